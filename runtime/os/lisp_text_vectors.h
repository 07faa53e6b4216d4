// Text in Lisp vectors that services fill or read: vectors of 8-bit elements
// (one byte each) and of 16-bit elements (characters or units, one byte of
// text each when written). Every access stays inside the vector's elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "runtime/rs/lisp_value.h"

namespace lisp::os {

struct TextVector {
  uint8_t* data;
  uint32_t elements;
  uint32_t elementBytes;  // 1 or 2
};
// The vector's text elements, or none when the object is no vector of 8- or
// 16-bit elements.
std::optional<TextVector> textVectorOf(lispval object);

// Writes the text and a terminating zero element. Decision: a text that does
// not fit with its zero is not written at all (false, vector unchanged), as
// for any object that is no text vector.
bool putText(lispval object, const char* text);
// As putText, but a text too long is cut to fit (a buffer of a system call
// that truncates); false only for an object that is no text vector or has no
// element.
bool putTextCut(lispval object, const char* text);

// The elements up to the first zero element or the end, as a zero-terminated
// byte string in `out` (16-bit elements above 0x7f as UTF-8); false when it
// does not fit into `size` bytes or the object is no text vector.
bool takeText(lispval object, char* out, size_t size);

}  // namespace lisp::os
