// MD5 through its exported entries: the published suite, messages around the
// padding boundary and up to 1 MB against digests from an independent
// implementation, and updates in pieces of any size.
#include <algorithm>
#include <random>

#include "runtime/os/tests/crypto_test_support.h"

namespace crypto_test {
namespace {

using crypto::kMd5DigestBytes;
using crypto::Md5Context;

struct DigestVector {
  const char* message;
  const char* digest;
};

constexpr DigestVector kPublishedSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

struct ReferenceDigest {
  int32_t length;
  uint32_t seed;
  const char* digest;
};

constexpr ReferenceDigest kReferenceDigests[] = {
#include "runtime/os/tests/md5_reference_digests.inc"
};

// The generator script's message bytes: xorshift32, one low byte per step.
std::vector<uint8_t> referenceMessage(int32_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  uint32_t state = seed;
  for (uint8_t& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state);
  }
  return bytes;
}

class Md5Test : public CryptoTest {
 protected:
  std::string digestOf(const std::vector<uint8_t>& message) {
    uint8_t digest[kMd5DigestBytes];
    lib.md5String(message.data(), static_cast<int32_t>(message.size()), digest);
    return toHex(digest, sizeof digest);
  }

  // The digest of the message added in pieces whose sizes the generator picks.
  std::string digestInPieces(const std::vector<uint8_t>& message, std::mt19937& random,
                             int32_t largestPiece) {
    Md5Context context;
    lib.md5Init(&context);
    std::uniform_int_distribution<int32_t> pieceSize(0, largestPiece);
    for (size_t at = 0; at < message.size();) {
      const int32_t piece =
          std::min<int32_t>(pieceSize(random), static_cast<int32_t>(message.size() - at));
      lib.md5Update(&context, message.data() + at, piece);
      at += piece;
    }
    uint8_t digest[kMd5DigestBytes];
    lib.md5Final(digest, &context);
    return toHex(digest, sizeof digest);
  }
};

TEST_F(Md5Test, PublishedSuiteInOneCallAndByteByByte) {
  std::mt19937 random(1);
  for (const DigestVector& v : kPublishedSuite) {
    SCOPED_TRACE(v.message);
    EXPECT_EQ(digestOf(bytesOf(v.message)), v.digest);
    EXPECT_EQ(digestInPieces(bytesOf(v.message), random, 1), v.digest);
  }
}

TEST_F(Md5Test, MessagesOfEveryPaddingCaseAgreeWithTheReference) {
  std::mt19937 random(2);
  for (const ReferenceDigest& row : kReferenceDigests) {
    SCOPED_TRACE(row.length);
    const std::vector<uint8_t> message = referenceMessage(row.length, row.seed);
    EXPECT_EQ(digestOf(message), row.digest);
    EXPECT_EQ(digestInPieces(message, random, 200), row.digest);
    EXPECT_EQ(digestInPieces(message, random, 70000), row.digest);
  }
}

TEST_F(Md5Test, UpdateOfZeroOrLessAddsNothing) {
  const std::vector<uint8_t> message = bytesOf("abc");
  Md5Context context;
  lib.md5Init(&context);
  lib.md5Update(&context, message.data(), 3);
  for (int32_t length : {0, -1, -64}) lib.md5Update(&context, message.data(), length);
  uint8_t digest[kMd5DigestBytes];
  lib.md5Final(digest, &context);
  EXPECT_EQ(toHex(digest, sizeof digest), "900150983cd24fb0d6963f7d28e17f72");

  lib.md5String(message.data(), -5, digest);
  EXPECT_EQ(toHex(digest, sizeof digest), "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
}  // namespace crypto_test
