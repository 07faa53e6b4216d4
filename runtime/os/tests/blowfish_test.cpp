// Blowfish through its exported entries: the published vectors for single
// blocks and CBC, both word orders of ECB, chaining across calls, and the
// guards on counts and key lengths.
#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <functional>

#include "runtime/os/tests/crypto_test_support.h"

namespace crypto_test {
namespace {

using crypto::BlowfishSchedule;

struct BlockVector {
  const char* key;
  const char* plain;
  const char* cipher;
};

// Single-block vectors published with the cipher; the rows from the second
// group use the first 1..24 bytes of one key on one plaintext.
constexpr BlockVector kBlockVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"F0", "FEDCBA9876543210", "F9AD597C49DB005E"},
    {"F0E1", "FEDCBA9876543210", "E91D21C1D961A6D6"},
    {"F0E1D2", "FEDCBA9876543210", "E9C2B70A1BC65CF3"},
    {"F0E1D2C3", "FEDCBA9876543210", "BE1E639408640F05"},
    {"F0E1D2C3B4", "FEDCBA9876543210", "B39E44481BDB1E6E"},
    {"F0E1D2C3B4A5", "FEDCBA9876543210", "9457AA83B1928C0D"},
    {"F0E1D2C3B4A596", "FEDCBA9876543210", "8BB77032F960629D"},
    {"F0E1D2C3B4A59687", "FEDCBA9876543210", "E87A244E2CC85E82"},
    {"F0E1D2C3B4A5968778", "FEDCBA9876543210", "15750E7A4F4EC577"},
    {"F0E1D2C3B4A596877869", "FEDCBA9876543210", "122BA70B3AB64AE0"},
    {"F0E1D2C3B4A5968778695A", "FEDCBA9876543210", "3A833C9AFFC537F6"},
    {"F0E1D2C3B4A5968778695A4B", "FEDCBA9876543210", "9409DA87A90F6BF2"},
    {"F0E1D2C3B4A5968778695A4B3C", "FEDCBA9876543210", "884F80625060B8B4"},
    {"F0E1D2C3B4A5968778695A4B3C2D", "FEDCBA9876543210", "1F85031C19E11968"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E", "FEDCBA9876543210", "79D9373A714CA34F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F", "FEDCBA9876543210", "93142887EE3BE15C"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F00", "FEDCBA9876543210", "03429E838CE2D14B"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011", "FEDCBA9876543210", "A4299E27469FF67B"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F001122", "FEDCBA9876543210", "AFD5AED1C1BC96A8"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F00112233", "FEDCBA9876543210", "10851C0E3858DA9F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344", "FEDCBA9876543210", "E6F51ED79B9DB21F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F001122334455", "FEDCBA9876543210", "64A6E14AFD36B46F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F00112233445566", "FEDCBA9876543210", "80C7D7D45A5479AD"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210", "05044B62FA52D080"},
};

// Bytes as they lie in memory, read as words: network order.
std::vector<uint32_t> networkWords(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> words(bytes.size() / 4);
  std::memcpy(words.data(), bytes.data(), words.size() * 4);
  return words;
}

std::vector<uint8_t> bytesOfWords(const std::vector<uint32_t>& words) {
  std::vector<uint8_t> bytes(words.size() * 4);
  std::memcpy(bytes.data(), words.data(), bytes.size());
  return bytes;
}

std::vector<uint32_t> hostWords(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> words = networkWords(bytes);
  for (uint32_t& word : words) word = ntohl(word);
  return words;
}

std::string upperHex(const std::vector<uint8_t>& bytes) {
  std::string hex = toHex(bytes);
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return hex;
}

class BlowfishTest : public CryptoTest {
 protected:
  const BlowfishSchedule& keyed(std::string_view hexKey) {
    const std::vector<uint8_t> key = fromHex(hexKey);
    lib.blowfishSetKey(&schedule, key.data(), static_cast<int32_t>(key.size()));
    return schedule;
  }
  BlowfishSchedule schedule{};
};

TEST_F(BlowfishTest, SingleBlocksGiveThePublishedVectorsAndDecryptBack) {
  for (const BlockVector& v : kBlockVectors) {
    SCOPED_TRACE(v.key);
    const BlowfishSchedule& k = keyed(v.key);
    const std::vector<uint32_t> plain = hostWords(fromHex(v.plain));
    const std::vector<uint32_t> cipher = hostWords(fromHex(v.cipher));
    uint32_t left = plain[0], right = plain[1];
    EXPECT_EQ(lib.encryptBlock(&k, &left, &right), cipher[1]);
    EXPECT_EQ(left, cipher[0]);
    EXPECT_EQ(right, cipher[1]);
    EXPECT_EQ(lib.decryptBlock(&k, &left, &right), plain[1]);
    EXPECT_EQ(left, plain[0]);
    EXPECT_EQ(right, plain[1]);
  }
}

TEST_F(BlowfishTest, EcbAgreesWithTheVectorsInBothWordOrders) {
  for (const BlockVector& v : kBlockVectors) {
    SCOPED_TRACE(v.key);
    const BlowfishSchedule& k = keyed(v.key);
    // Network order: the words are the vector's bytes as they stand.
    std::vector<uint32_t> words = networkWords(fromHex(v.plain));
    EXPECT_EQ(lib.ecbEncryptNetwork(&k, words.data(), 2), 2);
    EXPECT_EQ(upperHex(bytesOfWords(words)), v.cipher);
    EXPECT_EQ(lib.ecbDecryptNetwork(&k, words.data(), 2), 2);
    EXPECT_EQ(upperHex(bytesOfWords(words)), v.plain);
    // Host order: the same after converting each word.
    words = hostWords(fromHex(v.plain));
    lib.ecbEncrypt(&k, words.data(), 2);
    EXPECT_EQ(words, hostWords(fromHex(v.cipher)));
    lib.ecbDecrypt(&k, words.data(), 2);
    EXPECT_EQ(words, hostWords(fromHex(v.plain)));
  }
}

TEST_F(BlowfishTest, EcbOverSeveralBlocksTreatsEachPairAlone) {
  const BlowfishSchedule& k = keyed("0123456789ABCDEF");
  std::vector<uint32_t> words = networkWords(fromHex("11111111111111111111111111111111"));
  EXPECT_EQ(lib.ecbEncryptNetwork(&k, words.data(), 4), 4);
  EXPECT_EQ(upperHex(bytesOfWords(words)), "61F9C3802281B09661F9C3802281B096");
}

// The CBC vector published with the cipher: the text with its terminating
// zero byte, padded to whole blocks with zeros.
constexpr char kCbcKey[] = "0123456789ABCDEFF0E1D2C3B4A59687";
constexpr char kCbcChain[] = "FEDCBA9876543210";
constexpr char kCbcText[] = "7654321 Now is the time for ";
constexpr char kCbcCipher[] = "6b77b4d63006dee605b156e27403979358deb9e7154616d959f1652bd5ff92cc";

std::vector<uint8_t> cbcPlainBytes() {
  std::vector<uint8_t> bytes = bytesOf(kCbcText);
  bytes.resize(32, 0);
  return bytes;
}

TEST_F(BlowfishTest, CbcGivesThePublishedVectorAndKeepsTheLastBlockAsChain) {
  const BlowfishSchedule& k = keyed(kCbcKey);
  std::vector<uint32_t> words = networkWords(cbcPlainBytes());
  std::vector<uint32_t> chain = networkWords(fromHex(kCbcChain));
  lib.cbcEncrypt(&k, words.data(), 8, chain.data());
  EXPECT_EQ(toHex(bytesOfWords(words)), kCbcCipher);
  EXPECT_EQ(toHex(bytesOfWords(chain)), std::string(kCbcCipher).substr(48));

  chain = networkWords(fromHex(kCbcChain));
  lib.cbcDecrypt(&k, words.data(), 8, chain.data());
  EXPECT_EQ(bytesOfWords(words), cbcPlainBytes());
  EXPECT_EQ(toHex(bytesOfWords(chain)), std::string(kCbcCipher).substr(48));
}

TEST_F(BlowfishTest, CbcSplitAcrossCallsContinuesOneChain) {
  const BlowfishSchedule& k = keyed(kCbcKey);
  for (int32_t first : {2, 4, 6}) {
    SCOPED_TRACE(first);
    std::vector<uint32_t> words = networkWords(cbcPlainBytes());
    std::vector<uint32_t> chain = networkWords(fromHex(kCbcChain));
    lib.cbcEncrypt(&k, words.data(), first, chain.data());
    lib.cbcEncrypt(&k, words.data() + first, 8 - first, chain.data());
    EXPECT_EQ(toHex(bytesOfWords(words)), kCbcCipher);

    chain = networkWords(fromHex(kCbcChain));
    lib.cbcDecrypt(&k, words.data(), first, chain.data());
    lib.cbcDecrypt(&k, words.data() + first, 8 - first, chain.data());
    EXPECT_EQ(bytesOfWords(words), cbcPlainBytes());
  }
}

// Each array routine, called with a word count; the chain is used by CBC only.
using ArrayRoutine = std::function<void(const BlowfishSchedule*, uint32_t*, int32_t, uint32_t*)>;

std::vector<std::pair<const char*, ArrayRoutine>> arrayRoutines(const CryptoEntries& lib) {
  return {
      {"ecb encrypt", [&](auto* k, auto* w, int32_t n, auto*) { lib.ecbEncrypt(k, w, n); }},
      {"ecb decrypt", [&](auto* k, auto* w, int32_t n, auto*) { lib.ecbDecrypt(k, w, n); }},
      {"network encrypt",
       [&](auto* k, auto* w, int32_t n, auto*) { EXPECT_EQ(lib.ecbEncryptNetwork(k, w, n), n); }},
      {"network decrypt",
       [&](auto* k, auto* w, int32_t n, auto*) { EXPECT_EQ(lib.ecbDecryptNetwork(k, w, n), n); }},
      {"cbc encrypt", [&](auto* k, auto* w, int32_t n, auto* c) { lib.cbcEncrypt(k, w, n, c); }},
      {"cbc decrypt", [&](auto* k, auto* w, int32_t n, auto* c) { lib.cbcDecrypt(k, w, n, c); }},
  };
}

constexpr uint32_t kGuard = 0xDEADBEEF;
constexpr int kArrayWords = 5;

// The caller's array with a guard word on each side, and its chaining value.
struct GuardedWords {
  std::array<uint32_t, kArrayWords + 2> all{kGuard, 1, 2, 3, 4, 5, kGuard};
  std::array<uint32_t, 2> chain{0x01234567, 0x89ABCDEF};
  uint32_t* words() { return all.data() + 1; }
};

TEST_F(BlowfishTest, ArrayRoutinesTouchOnlyCompletePairs) {
  const BlowfishSchedule& k = keyed("0123456789ABCDEF");
  for (const auto& [name, routine] : arrayRoutines(lib)) {
    SCOPED_TRACE(name);
    for (int32_t count : {0, -1, -4}) {
      GuardedWords untouched, data;
      routine(&k, data.words(), count, data.chain.data());
      EXPECT_EQ(data.all, untouched.all) << count;
      EXPECT_EQ(data.chain, untouched.chain) << count;
    }
    // An odd count: the first four words as for a count of four, the fifth
    // and the guards as they were.
    GuardedWords even, odd;
    routine(&k, even.words(), 4, even.chain.data());
    routine(&k, odd.words(), kArrayWords, odd.chain.data());
    EXPECT_EQ(odd.chain, even.chain);
    EXPECT_EQ(odd.all, (std::array<uint32_t, kArrayWords + 2>{
                           kGuard, even.all[1], even.all[2], even.all[3], even.all[4], 5, kGuard}));
    EXPECT_NE(odd.all[1], 1u);
    // The same on an array of exactly five words, where the sanitizer build
    // reports any access past its end.
    std::vector<uint32_t> exact{1, 2, 3, 4, 5};
    std::array<uint32_t, 2> chain = GuardedWords().chain;
    routine(&k, exact.data(), kArrayWords, chain.data());
    EXPECT_EQ(exact, std::vector<uint32_t>(odd.all.begin() + 1, odd.all.end() - 1));
  }
}

TEST_F(BlowfishTest, KeyLengthOfZeroOrLessLeavesTheScheduleAsItWas) {
  const BlowfishSchedule before = keyed("0123456789ABCDEF");
  const uint8_t key[] = {1, 2, 3, 4};
  for (int32_t length : {0, -1, -100}) {
    lib.blowfishSetKey(&schedule, key, length);
    EXPECT_EQ(std::memcmp(&schedule, &before, sizeof before), 0) << length;
  }
}

TEST_F(BlowfishTest, WeakKeyTestCountsEqualPairsWithinEachBox) {
  uint32_t next = 1;
  for (uint32_t& word : schedule.p) word = next++;
  for (auto& box : schedule.s)
    for (uint32_t& word : box) word = next++;
  EXPECT_EQ(lib.equalBoxPairs(&schedule), 0);
  // Equal words in different boxes are no pair.
  schedule.s[3][7] = schedule.s[2][7];
  EXPECT_EQ(lib.equalBoxPairs(&schedule), 0);
  schedule.s[0][1] = schedule.s[0][2] = schedule.s[0][0];
  schedule.s[1][200] = schedule.s[1][5];
  EXPECT_EQ(lib.equalBoxPairs(&schedule), 4);
}

}  // namespace
}  // namespace crypto_test
