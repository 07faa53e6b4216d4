// The symbol-name hash: the characters read as little-endian 32-bit words,
// two characters a word, each byte ORed with 0x20 so that the case of ASCII
// letters does not matter; unsigned arithmetic with wrap-around.

#include "runtime/load/symbol_name_hash.h"

#include <cstring>

namespace {

constexpr uint32_t kLastWordMask[4] = {0xff, 0xffff, 0xffffff, 0xffffffff};
constexpr uint32_t kLastWordCase[4] = {0x20, 0x2020, 0x202020, 0x20202020};
constexpr uint32_t kLastWordFactor = 132105;  // 1 + 2^3 + 2^10 + 2^17
constexpr uint32_t kWordCase = 0x20202020;
constexpr uint32_t kMix = 0x12515264;
constexpr uint32_t kHashMask = 0xffffff;

// Word i of the text; the bytes past its end read as 0 (the mask drops them).
uint32_t wordOf(const uint8_t* bytes, uint32_t byteCount, uint32_t i) {
  uint32_t word = 0;
  const uint32_t first = 4 * i;
  for (uint32_t b = 0; b < 4 && first + b < byteCount; ++b)
    word |= static_cast<uint32_t>(bytes[first + b]) << (8 * b);
  return word;
}

}  // namespace

extern "C" uint32_t sshash(const uint16_t* characters, uint32_t count) {
  const uint32_t byteCount = 2 * count;
  if (byteCount < 1) return 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(characters);
  const uint32_t last = byteCount - 1;
  const uint32_t lastWordIndex = last / 4;
  const uint32_t r = last % 4;
  const uint32_t lastWord =
      (wordOf(bytes, byteCount, lastWordIndex) & kLastWordMask[r]) | kLastWordCase[r];
  uint32_t h = byteCount + lastWord * kLastWordFactor;
  for (uint32_t i = lastWordIndex; i-- > 0;) {
    const uint32_t e = 3 * h + (wordOf(bytes, byteCount, i) | kWordCase);
    h = (e + (e >> 5)) ^ kMix;
  }
  return (h + (h >> 3) + (h >> 23) + (h >> 18) + (h >> 13)) & kHashMask;
}
