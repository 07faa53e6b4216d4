// The MD5 message digest over a caller-owned context.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

constexpr int kMd5BlockBytes = 64;
constexpr int kMd5DigestBytes = 16;

// State words, message length in bits (low, high), and the partial block.
struct Md5Context {
  uint32_t state[4];
  uint32_t bit_count[2];
  uint8_t buffer[kMd5BlockBytes];
};
static_assert(offsetof(Md5Context, bit_count) == 16);
static_assert(offsetof(Md5Context, buffer) == 24);
static_assert(sizeof(Md5Context) == 88);

}  // namespace crypto

extern "C" {
void vxmMD5Init(crypto::Md5Context* context);
// A length of 0 or less adds nothing.
void vxmMD5Update(crypto::Md5Context* context, const uint8_t* data, int32_t length);
void vxmMD5Final(uint8_t* digest, crypto::Md5Context* context);
void vxmMD5String(const uint8_t* data, int32_t length, uint8_t* digest);
}
