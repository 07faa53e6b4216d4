// Wide names into the two conversion buffers (wide_name_buffers.h).

#include "runtime/os/wide_name_buffers.h"

namespace lisp::os {
namespace {

char wide_name_buffers[2][kWideNameBufferBytes];

constexpr uint32_t kReplacement = '?';

bool isHighSurrogate(uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The UTF-8 bytes of one code point into `out`; their count.
size_t encode(uint32_t code, char out[4]) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | code >> 6);
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = static_cast<char>(0xE0 | code >> 12);
    out[1] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | code >> 18);
  out[1] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
  out[2] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
  out[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

}  // namespace

const char* convertWideName(const uint16_t* wide, WideNameBuffer which) {
  if (!wide) return nullptr;
  char* buffer = wide_name_buffers[which == WideNameBuffer::First ? 0 : 1];
  size_t used = 0;
  for (size_t i = 0; wide[i] != 0; ++i) {
    uint32_t code = wide[i];
    if (isHighSurrogate(code) && isLowSurrogate(wide[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (wide[i + 1] - 0xDC00u);
      ++i;
    } else if (isHighSurrogate(code) || isLowSurrogate(code)) {
      code = kReplacement;
    }
    char bytes[4];
    const size_t count = encode(code, bytes);
    if (used + count + 1 > kWideNameBufferBytes) return nullptr;
    for (size_t k = 0; k < count; ++k) buffer[used++] = bytes[k];
  }
  buffer[used] = '\0';
  return buffer;
}

}  // namespace lisp::os
