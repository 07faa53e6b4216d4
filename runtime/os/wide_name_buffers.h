// The runtime's two buffers for names that Lisp code hands over in wide
// characters (16-bit units) and the system wants in its multibyte encoding:
// window-class and menu names, and dialog template names.
//
// Decision: the multibyte encoding is UTF-8, Linux's; a lone surrogate
// becomes '?'. Callers hold the heap, which serialises them, so the buffers
// are not locked; a converted name stays in its buffer until the next
// conversion into the same one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lisp::os {

inline constexpr size_t kWideNameBufferBytes = 16384;

enum class WideNameBuffer { First, Second };

// Converts the NUL-terminated wide name into the buffer and returns it, or
// null when the name (with its NUL) does not fit.
const char* convertWideName(const uint16_t* wide, WideNameBuffer buffer);

// Names may be small integers (resource numbers, atoms) in place of an
// address; those are passed on unchanged.
inline bool isIntegerName(const void* name) {
  return reinterpret_cast<uintptr_t>(name) < 0x10000;
}

}  // namespace lisp::os
