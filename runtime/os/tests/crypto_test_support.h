// The crypto primitives as Lisp code reaches them: looked up by their
// exported names in the built library (or, in the sanitizer build, in the
// test program itself, which links the same sources).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/os/blowfish.h"
#include "runtime/os/md5.h"
#include "runtime/os/rc4.h"

namespace crypto_test {

struct CryptoEntries {
  decltype(&sy_lb3456764) blowfishSetKey;
  decltype(&sy_lb54567786) encryptBlock;
  decltype(&sy_lb236468534) decryptBlock;
  decltype(&sy_lb5469317a) equalBoxPairs;
  decltype(&sy_lb74598752) ecbEncrypt;
  decltype(&sy_lb78923511) ecbDecrypt;
  decltype(&sy_lb427537943) ecbEncryptNetwork;
  decltype(&sy_lb19473267) ecbDecryptNetwork;
  decltype(&sy_lb20382456) cbcEncrypt;
  decltype(&sy_lb65428302) cbcDecrypt;
  decltype(&vxmMD5Init) md5Init;
  decltype(&vxmMD5Update) md5Update;
  decltype(&vxmMD5Final) md5Final;
  decltype(&vxmMD5String) md5String;
  decltype(&sizeof_rc4_key) rc4KeySize;
  decltype(&vxm_RC4_set_key) rc4SetKey;
  decltype(&vxm_RC4) rc4;
  decltype(&vxm_RC4_help) rc4Help;
  std::string missing;  // names that were not found, or why the lookup failed
};

// Resolved once, on first use.
const CryptoEntries& cryptoEntries();

// Base of every crypto test: fails at once when an entry is missing.
class CryptoTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(lib.missing, "") << "crypto entries not found"; }
  const CryptoEntries& lib = cryptoEntries();
};

std::vector<uint8_t> fromHex(std::string_view hex);
std::string toHex(const uint8_t* bytes, size_t length);
inline std::string toHex(const std::vector<uint8_t>& bytes) {
  return toHex(bytes.data(), bytes.size());
}
inline std::vector<uint8_t> bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

}  // namespace crypto_test
