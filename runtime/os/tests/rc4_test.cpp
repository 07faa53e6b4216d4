// RC4 through its exported entries: the published key streams, a stream
// continued across calls, in-place use, the offset form and the key guard.
#include <cstring>
#include <numeric>

#include "runtime/os/tests/crypto_test_support.h"

namespace crypto_test {
namespace {

using crypto::Rc4Key;

struct KeyStreamVector {
  const char* key;
  int32_t offset;
  const char* stream;
};

// Key-stream bytes published for the cipher, at the given stream offsets.
constexpr KeyStreamVector kKeyStreams[] = {
    {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"},
    {"0102030405", 16, "6982944f18fc82d589c403a47a0d0919"},
    {"0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae"},
    {"0102030405", 4096, "ff25b58995996707e51fbdf08b34d875"},
    {"0102030405060708090a0b0c0d0e0f10", 0, "9ac7cc9a609d1ef7b2932899cde41b97"},
    {"0102030405060708090a0b0c0d0e0f10", 4096, "a36a4c301ae8ac13610ccbc12256cacc"},
};

constexpr int32_t kStreamLength = 4112;

class Rc4Test : public CryptoTest {
 protected:
  Rc4Key& keyed(std::string_view hexKey) {
    const std::vector<uint8_t> bytes = fromHex(hexKey);
    lib.rc4SetKey(&key, static_cast<int32_t>(bytes.size()), bytes.data());
    return key;
  }
  Rc4Key key{};
};

// Text whose bytes differ from one another, so that no xor hides a fault.
std::vector<uint8_t> sampleText(size_t length) {
  std::vector<uint8_t> text(length);
  std::iota(text.begin(), text.end(), uint8_t{7});
  return text;
}

TEST_F(Rc4Test, KeyRecordIsTheSizeLispCodeAllocates) {
  EXPECT_EQ(lib.rc4KeySize(), 1032);
}

TEST_F(Rc4Test, KeyStreamGivesThePublishedBytes) {
  for (const KeyStreamVector& v : kKeyStreams) {
    SCOPED_TRACE(testing::Message() << v.key << " at " << v.offset);
    const std::vector<uint8_t> zeros(kStreamLength, 0);
    std::vector<uint8_t> stream(kStreamLength);
    lib.rc4(&keyed(v.key), kStreamLength, zeros.data(), stream.data());
    EXPECT_EQ(toHex(stream.data() + v.offset, 16), v.stream);
  }
}

TEST_F(Rc4Test, OneCallTwoCallsAndInPlaceGiveTheSameOutput) {
  const std::vector<uint8_t> text = sampleText(kStreamLength);
  std::vector<uint8_t> once(kStreamLength);
  lib.rc4(&keyed("0102030405"), kStreamLength, text.data(), once.data());
  for (int32_t first : {1, 255, 256, 4000}) {
    SCOPED_TRACE(first);
    std::vector<uint8_t> twice(kStreamLength);
    keyed("0102030405");
    lib.rc4(&key, first, text.data(), twice.data());
    lib.rc4(&key, kStreamLength - first, text.data() + first, twice.data() + first);
    EXPECT_EQ(twice, once);

    std::vector<uint8_t> inPlace = text;
    keyed("0102030405");
    lib.rc4(&key, first, inPlace.data(), inPlace.data());
    lib.rc4(&key, kStreamLength - first, inPlace.data() + first, inPlace.data() + first);
    EXPECT_EQ(inPlace, once);
  }
  // The same stream applied again restores the text.
  lib.rc4(&keyed("0102030405"), kStreamLength, once.data(), once.data());
  EXPECT_EQ(once, text);
}

TEST_F(Rc4Test, OffsetFormEqualsTheCallOnShiftedBuffers) {
  const std::vector<uint8_t> text = sampleText(64);
  std::vector<uint8_t> direct(64, 0xAA), viaOffsets(64, 0xAA);
  lib.rc4(&keyed("0102030405"), 20, text.data() + 9, direct.data() + 30);
  lib.rc4Help(&keyed("0102030405"), 20, text.data(), 9, viaOffsets.data(), 30);
  EXPECT_EQ(viaOffsets, direct);
  EXPECT_EQ(viaOffsets[29], 0xAA);
  EXPECT_EQ(viaOffsets[50], 0xAA);
}

TEST_F(Rc4Test, ZeroOrNegativeLengthsChangeNothing) {
  const Rc4Key before = keyed("0102030405");
  const uint8_t keyBytes[] = {9, 9, 9};
  for (int32_t length : {0, -1, -1000}) {
    lib.rc4SetKey(&key, length, keyBytes);
    EXPECT_EQ(std::memcmp(&key, &before, sizeof before), 0) << length;
    uint8_t buffer[4] = {1, 2, 3, 4};
    lib.rc4(&key, length, buffer, buffer);
    EXPECT_EQ(std::memcmp(&key, &before, sizeof before), 0) << length;
    EXPECT_EQ(buffer[0], 1);
  }
}

}  // namespace
}  // namespace crypto_test
