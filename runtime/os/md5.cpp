// MD5 as its definition gives it: 64-byte blocks, four rounds of sixteen
// steps, little-endian words, padding with a 1 bit, zeros and the bit length.
//
// Invariant: the context's buffer holds (bit length / 8) mod 64 bytes not yet
// compressed; every full block has gone into the state.

#include "runtime/os/md5.h"

#include <algorithm>
#include <cstring>

#include "runtime/rs/exports.h"

namespace {

using crypto::kMd5BlockBytes;
using crypto::Md5Context;

constexpr uint32_t kInitialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
// Padding ends each message: the bit length fills the block's last eight bytes.
constexpr int kLengthOffset = kMd5BlockBytes - 8;

// Per step: the additive constant floor(2^32 * |sin(i + 1)|).
constexpr uint32_t kSineTable[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Per round: the message word of its step k is (first + stride * k) mod 16.
struct MessageOrder {
  int first, stride;
};
constexpr MessageOrder kMessageOrder[4] = {{0, 1}, {1, 5}, {5, 3}, {0, 7}};

// Per round: the rotation amounts of its four step positions.
constexpr int kRotations[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32_t rotateLeft(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

uint32_t loadLittle(const uint8_t* bytes) {
  return bytes[0] | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

void storeLittle(uint8_t* bytes, uint32_t word) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
}

// The round's mixing function.
uint32_t mix(int round, uint32_t b, uint32_t c, uint32_t d) {
  switch (round) {
    case 0:
      return (b & c) | (~b & d);
    case 1:
      return (b & d) | (c & ~d);
    case 2:
      return b ^ c ^ d;
    default:
      return c ^ (b | ~d);
  }
}

void compress(uint32_t state[4], const uint8_t* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = loadLittle(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int step = 0; step < 64; ++step) {
    const int round = step / 16;
    const uint32_t sum = a + mix(round, b, c, d) +
                         x[(kMessageOrder[round].first + kMessageOrder[round].stride * step) % 16] +
                         kSineTable[step];
    a = d;
    d = c;
    c = b;
    b = b + rotateLeft(sum, kRotations[round][step % 4]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void addBytes(Md5Context& context, const uint8_t* data, uint32_t length) {
  uint32_t used = (context.bit_count[0] >> 3) % kMd5BlockBytes;
  const uint32_t lowBits = context.bit_count[0] + (length << 3);
  context.bit_count[1] += (length >> 29) + (lowBits < context.bit_count[0]);
  context.bit_count[0] = lowBits;
  while (length > 0) {
    const uint32_t take = std::min<uint32_t>(length, kMd5BlockBytes - used);
    std::memcpy(context.buffer + used, data, take);
    used += take;
    data += take;
    length -= take;
    if (used == kMd5BlockBytes) {
      compress(context.state, context.buffer);
      used = 0;
    }
  }
}

}  // namespace

extern "C" {

KORVANE_EXPORT void vxmMD5Init(Md5Context* context) {
  std::memcpy(context->state, kInitialState, sizeof kInitialState);
  context->bit_count[0] = context->bit_count[1] = 0;
}

KORVANE_EXPORT void vxmMD5Update(Md5Context* context, const uint8_t* data, int32_t length) {
  if (length > 0) addBytes(*context, data, static_cast<uint32_t>(length));
}

KORVANE_EXPORT void vxmMD5Final(uint8_t* digest, Md5Context* context) {
  uint8_t lengthBytes[8];
  storeLittle(lengthBytes, context->bit_count[0]);
  storeLittle(lengthBytes + 4, context->bit_count[1]);
  const uint32_t used = (context->bit_count[0] >> 3) % kMd5BlockBytes;
  const uint32_t padLength =
      used < kLengthOffset ? kLengthOffset - used : kMd5BlockBytes + kLengthOffset - used;
  uint8_t padding[kMd5BlockBytes] = {0x80};
  addBytes(*context, padding, padLength);
  addBytes(*context, lengthBytes, sizeof lengthBytes);
  for (int i = 0; i < 4; ++i) storeLittle(digest + 4 * i, context->state[i]);
}

KORVANE_EXPORT void vxmMD5String(const uint8_t* data, int32_t length, uint8_t* digest) {
  Md5Context context;
  vxmMD5Init(&context);
  vxmMD5Update(&context, data, length);
  vxmMD5Final(digest, &context);
}

}  // extern "C"
