// The Blowfish block cipher over a caller-owned key schedule: key set-up,
// single blocks, a weak-key test, and ECB and CBC over arrays of 32-bit words.
// Nothing here allocates or keeps state outside the caller's records.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

constexpr int kBlowfishRounds = 16;
constexpr int kBlowfishPWords = kBlowfishRounds + 2;
constexpr int kBlowfishSBoxes = 4;
constexpr int kBlowfishSBoxWords = 256;

// The key schedule: P-array, then the four S-boxes (1042 words).
struct BlowfishSchedule {
  uint32_t p[kBlowfishPWords];
  uint32_t s[kBlowfishSBoxes][kBlowfishSBoxWords];
};
static_assert(sizeof(BlowfishSchedule) == 1042 * 4);
static_assert(offsetof(BlowfishSchedule, s) == 18 * 4);

}  // namespace crypto

extern "C" {
// Key set-up; a key length of 0 or less leaves the schedule unchanged.
void sy_lb3456764(crypto::BlowfishSchedule* schedule, const uint8_t* key, int32_t key_length);
// One block in place; each returns the new right word.
uint32_t sy_lb54567786(const crypto::BlowfishSchedule* schedule, uint32_t* left, uint32_t* right);
uint32_t sy_lb236468534(const crypto::BlowfishSchedule* schedule, uint32_t* left, uint32_t* right);
// Number of equal pairs of entries within each S-box.
int32_t sy_lb5469317a(const crypto::BlowfishSchedule* schedule);
// ECB over host-order words. The routines below all work on complete pairs
// only: an odd last word, and every word for a count of 0 or less, stays as it is.
void sy_lb74598752(const crypto::BlowfishSchedule* schedule, uint32_t* words, int32_t count);
void sy_lb78923511(const crypto::BlowfishSchedule* schedule, uint32_t* words, int32_t count);
// ECB over network-order words; each returns the count it was given.
int32_t sy_lb427537943(const crypto::BlowfishSchedule* schedule, uint32_t* words, int32_t count);
int32_t sy_lb19473267(const crypto::BlowfishSchedule* schedule, uint32_t* words, int32_t count);
// CBC over network-order words with the caller's two-word chaining value (also
// network order), stored back so that the next call continues the chain.
void sy_lb20382456(const crypto::BlowfishSchedule* schedule, uint32_t* words, int32_t count,
                   uint32_t* chain);
void sy_lb65428302(const crypto::BlowfishSchedule* schedule, uint32_t* words, int32_t count,
                   uint32_t* chain);
}
