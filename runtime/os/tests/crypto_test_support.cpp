#include "runtime/os/tests/crypto_test_support.h"

#include <dlfcn.h>

namespace crypto_test {
namespace {

template <typename Function>
void bind(void* library, Function& entry, const char* name, std::string& missing) {
  entry = reinterpret_cast<Function>(dlsym(library, name));
  if (!entry) missing += std::string(missing.empty() ? "" : " ") + name;
}

// KORVANE_PATH is empty when the primitives are linked into the test program.
CryptoEntries resolve() {
  CryptoEntries e{};
  void* library = dlopen(KORVANE_PATH[0] != '\0' ? KORVANE_PATH : nullptr, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    e.missing = dlerror();
    return e;
  }
  bind(library, e.blowfishSetKey, "sy_lb3456764", e.missing);
  bind(library, e.encryptBlock, "sy_lb54567786", e.missing);
  bind(library, e.decryptBlock, "sy_lb236468534", e.missing);
  bind(library, e.equalBoxPairs, "sy_lb5469317a", e.missing);
  bind(library, e.ecbEncrypt, "sy_lb74598752", e.missing);
  bind(library, e.ecbDecrypt, "sy_lb78923511", e.missing);
  bind(library, e.ecbEncryptNetwork, "sy_lb427537943", e.missing);
  bind(library, e.ecbDecryptNetwork, "sy_lb19473267", e.missing);
  bind(library, e.cbcEncrypt, "sy_lb20382456", e.missing);
  bind(library, e.cbcDecrypt, "sy_lb65428302", e.missing);
  bind(library, e.md5Init, "vxmMD5Init", e.missing);
  bind(library, e.md5Update, "vxmMD5Update", e.missing);
  bind(library, e.md5Final, "vxmMD5Final", e.missing);
  bind(library, e.md5String, "vxmMD5String", e.missing);
  bind(library, e.rc4KeySize, "sizeof_rc4_key", e.missing);
  bind(library, e.rc4SetKey, "vxm_RC4_set_key", e.missing);
  bind(library, e.rc4, "vxm_RC4", e.missing);
  bind(library, e.rc4Help, "vxm_RC4_help", e.missing);
  return e;
}

}  // namespace

const CryptoEntries& cryptoEntries() {
  static const CryptoEntries entries = resolve();
  return entries;
}

std::vector<uint8_t> fromHex(std::string_view hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}

std::string toHex(const uint8_t* bytes, size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < length; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

}  // namespace crypto_test
