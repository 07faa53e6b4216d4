// Blowfish as its definition gives it: 16 Feistel rounds over a P-array and
// four S-boxes that start as the hexadecimal digits of pi and are then
// replaced by encryptions under the key.
//
// Invariant: every routine touches only the caller's schedule and the words
// of complete pairs inside the count it is given.

#include "runtime/os/blowfish.h"

#include <arpa/inet.h>

#include <cstring>
#include <span>
#include <utility>

#include "runtime/rs/exports.h"

namespace {

using crypto::BlowfishSchedule;
using crypto::kBlowfishRounds;

constexpr uint32_t kInitialWords[] = {
#include "runtime/os/blowfish_initial_boxes.inc"
};
static_assert(sizeof(kInitialWords) == sizeof(BlowfishSchedule));

constexpr int kKeyBytesPerWord = 4;

uint32_t roundFunction(const BlowfishSchedule& k, uint32_t x) {
  return ((k.s[0][x >> 24] + k.s[1][(x >> 16) & 255]) ^ k.s[2][(x >> 8) & 255]) + k.s[3][x & 255];
}

void encryptBlock(const BlowfishSchedule& k, uint32_t& left, uint32_t& right) {
  uint32_t l = left, r = right;
  for (int i = 0; i < kBlowfishRounds; ++i) {
    l ^= k.p[i];
    r ^= roundFunction(k, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= k.p[kBlowfishRounds];
  l ^= k.p[kBlowfishRounds + 1];
  left = l;
  right = r;
}

void decryptBlock(const BlowfishSchedule& k, uint32_t& left, uint32_t& right) {
  uint32_t l = left, r = right;
  for (int i = kBlowfishRounds + 1; i > 1; --i) {
    l ^= k.p[i];
    r ^= roundFunction(k, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= k.p[1];
  l ^= k.p[0];
  left = l;
  right = r;
}

// Number of words that form complete pairs; 0 for a count of 0 or less.
int32_t pairedWords(int32_t count) {
  return count > 0 ? count & ~1 : 0;
}

template <typename BlockOp>
void eachHostPair(const BlowfishSchedule& k, uint32_t* words, int32_t count, BlockOp op) {
  for (int32_t i = 0; i < pairedWords(count); i += 2) op(k, words[i], words[i + 1]);
}

template <typename BlockOp>
void eachNetworkPair(const BlowfishSchedule& k, uint32_t* words, int32_t count, BlockOp op) {
  for (int32_t i = 0; i < pairedWords(count); i += 2) {
    uint32_t left = ntohl(words[i]), right = ntohl(words[i + 1]);
    op(k, left, right);
    words[i] = htonl(left);
    words[i + 1] = htonl(right);
  }
}

// Replaces the words pair by pair with successive encryptions of the running
// block (left, right), as the key set-up does.
void replaceWithEncryptions(BlowfishSchedule& k, std::span<uint32_t> words, uint32_t& left,
                            uint32_t& right) {
  for (size_t i = 0; i + 1 < words.size(); i += 2) {
    encryptBlock(k, left, right);
    words[i] = left;
    words[i + 1] = right;
  }
}

}  // namespace

extern "C" {

KORVANE_EXPORT void sy_lb3456764(BlowfishSchedule* schedule, const uint8_t* key,
                                 int32_t key_length) {
  if (key_length <= 0) return;
  std::memcpy(schedule, kInitialWords, sizeof kInitialWords);
  int32_t next = 0;
  for (uint32_t& word : schedule->p) {
    uint32_t keyWord = 0;
    for (int b = 0; b < kKeyBytesPerWord; ++b) {
      keyWord = (keyWord << 8) | key[next];
      next = (next + 1) % key_length;
    }
    word ^= keyWord;
  }
  // P and then each S-box, in order, take successive encryptions of a block
  // that starts at zero.
  uint32_t left = 0, right = 0;
  replaceWithEncryptions(*schedule, schedule->p, left, right);
  for (auto& box : schedule->s) replaceWithEncryptions(*schedule, box, left, right);
}

KORVANE_EXPORT uint32_t sy_lb54567786(const BlowfishSchedule* schedule, uint32_t* left,
                                      uint32_t* right) {
  encryptBlock(*schedule, *left, *right);
  return *right;
}

KORVANE_EXPORT uint32_t sy_lb236468534(const BlowfishSchedule* schedule, uint32_t* left,
                                       uint32_t* right) {
  decryptBlock(*schedule, *left, *right);
  return *right;
}

KORVANE_EXPORT int32_t sy_lb5469317a(const BlowfishSchedule* schedule) {
  int32_t pairs = 0;
  for (const auto& box : schedule->s)
    for (int i = 0; i < crypto::kBlowfishSBoxWords; ++i)
      for (int j = i + 1; j < crypto::kBlowfishSBoxWords; ++j) pairs += box[i] == box[j];
  return pairs;
}

KORVANE_EXPORT void sy_lb74598752(const BlowfishSchedule* schedule, uint32_t* words,
                                  int32_t count) {
  eachHostPair(*schedule, words, count, encryptBlock);
}

KORVANE_EXPORT void sy_lb78923511(const BlowfishSchedule* schedule, uint32_t* words,
                                  int32_t count) {
  eachHostPair(*schedule, words, count, decryptBlock);
}

KORVANE_EXPORT int32_t sy_lb427537943(const BlowfishSchedule* schedule, uint32_t* words,
                                      int32_t count) {
  eachNetworkPair(*schedule, words, count, encryptBlock);
  return count;
}

KORVANE_EXPORT int32_t sy_lb19473267(const BlowfishSchedule* schedule, uint32_t* words,
                                     int32_t count) {
  eachNetworkPair(*schedule, words, count, decryptBlock);
  return count;
}

KORVANE_EXPORT void sy_lb20382456(const BlowfishSchedule* schedule, uint32_t* words, int32_t count,
                                  uint32_t* chain) {
  uint32_t c0 = ntohl(chain[0]), c1 = ntohl(chain[1]);
  eachNetworkPair(*schedule, words, count,
                  [&](const BlowfishSchedule& k, uint32_t& left, uint32_t& right) {
                    left ^= c0;
                    right ^= c1;
                    encryptBlock(k, left, right);
                    c0 = left;
                    c1 = right;
                  });
  chain[0] = htonl(c0);
  chain[1] = htonl(c1);
}

KORVANE_EXPORT void sy_lb65428302(const BlowfishSchedule* schedule, uint32_t* words, int32_t count,
                                  uint32_t* chain) {
  uint32_t c0 = ntohl(chain[0]), c1 = ntohl(chain[1]);
  eachNetworkPair(*schedule, words, count,
                  [&](const BlowfishSchedule& k, uint32_t& left, uint32_t& right) {
                    const uint32_t cipherLeft = left, cipherRight = right;
                    decryptBlock(k, left, right);
                    left ^= c0;
                    right ^= c1;
                    c0 = cipherLeft;
                    c1 = cipherRight;
                  });
  chain[0] = htonl(c0);
  chain[1] = htonl(c1);
}

}  // extern "C"
