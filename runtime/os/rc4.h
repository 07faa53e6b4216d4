// The RC4 stream cipher over a caller-owned key record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

constexpr int kRc4StateWords = 256;

// The two stream indices, then the permutation, one entry per word.
struct Rc4Key {
  uint32_t x;
  uint32_t y;
  uint32_t data[kRc4StateWords];
};
static_assert(offsetof(Rc4Key, data) == 8);
static_assert(sizeof(Rc4Key) == 1032);

}  // namespace crypto

extern "C" {
int32_t sizeof_rc4_key();
// A key length of 0 or less leaves the record unchanged.
void vxm_RC4_set_key(crypto::Rc4Key* key, int32_t key_length, const uint8_t* key_bytes);
// Input and output may be the same buffer; a length of 0 or less does nothing.
void vxm_RC4(crypto::Rc4Key* key, int32_t length, const uint8_t* input, uint8_t* output);
void vxm_RC4_help(crypto::Rc4Key* key, int32_t length, const uint8_t* input, int32_t input_offset,
                  uint8_t* output, int32_t output_offset);
}
