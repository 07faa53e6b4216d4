// RC4 as its definition gives it: a permutation of 0..255 mixed with the key,
// then one key-stream byte per step of the indices x and y.
//
// Invariant: every index into the permutation is taken modulo 256, so a key
// record whose words were overwritten still keeps the cipher inside it.

#include "runtime/os/rc4.h"

#include <utility>

#include "runtime/rs/exports.h"

namespace {

using crypto::Rc4Key;

constexpr uint32_t kIndexMask = crypto::kRc4StateWords - 1;

}  // namespace

extern "C" {

KORVANE_EXPORT int32_t sizeof_rc4_key() {
  return sizeof(Rc4Key);
}

KORVANE_EXPORT void vxm_RC4_set_key(Rc4Key* key, int32_t key_length, const uint8_t* key_bytes) {
  if (key_length <= 0) return;
  for (uint32_t i = 0; i <= kIndexMask; ++i) key->data[i] = i;
  uint32_t j = 0;
  int32_t next = 0;
  for (uint32_t i = 0; i <= kIndexMask; ++i) {
    j = (j + key->data[i] + key_bytes[next]) & kIndexMask;
    std::swap(key->data[i], key->data[j]);
    next = (next + 1) % key_length;
  }
  key->x = key->y = 0;
}

KORVANE_EXPORT void vxm_RC4(Rc4Key* key, int32_t length, const uint8_t* input, uint8_t* output) {
  uint32_t x = key->x & kIndexMask, y = key->y & kIndexMask;
  uint32_t* data = key->data;
  for (int32_t i = 0; i < length; ++i) {
    x = (x + 1) & kIndexMask;
    y = (y + data[x]) & kIndexMask;
    std::swap(data[x], data[y]);
    output[i] = input[i] ^ static_cast<uint8_t>(data[(data[x] + data[y]) & kIndexMask]);
  }
  key->x = x;
  key->y = y;
}

KORVANE_EXPORT void vxm_RC4_help(Rc4Key* key, int32_t length, const uint8_t* input,
                                 int32_t input_offset, uint8_t* output, int32_t output_offset) {
  vxm_RC4(key, length, input + input_offset, output + output_offset);
}

}  // extern "C"
