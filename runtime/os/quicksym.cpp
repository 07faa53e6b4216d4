#include "runtime/os/quicksym.h"

#include <dlfcn.h>

#include <cstddef>

#include "runtime/rs/object_layout.h"

namespace {

constexpr size_t kNameBufferBytes = 0x4000;
constexpr int32_t kLengthWord = -0xe;

// The 16-bit code units of a string: type 117 (fixnum length word) or the
// plain character vector 101 (length in the header).
bool codeUnits(lisp::lispval name, const uint16_t** units, uint32_t* count) {
  if (!lisp::isOther(name)) return false;
  const uint32_t header = lisp::wordAt(name, lisp::kHeaderOffset);
  const uint8_t code = lisp::typeCodeOf(header);
  const lisp::VectorType* type = lisp::vectorType(code);
  if (!type || type->element != lisp::ElementKind::Character) return false;
  if (type->fixnumLength) {
    const lisp::lispval length = lisp::wordAt(name, kLengthWord);
    if (!lisp::isFixnum(length) || lisp::fixnumValue(length) < 0) return false;
    *count = static_cast<uint32_t>(lisp::fixnumValue(length));
  } else {
    *count = lisp::headerLength(header);
  }
  *units = reinterpret_cast<const uint16_t*>(
      static_cast<uintptr_t>(name + lisp::kHeaderOffset + lisp::vectorDataOffset(*type)));
  return true;
}

// UTF-8 of the units into buffer, NUL-terminated; false when it does not fit
// or a unit is NUL.
bool toUtf8(const uint16_t* units, uint32_t count, char* buffer) {
  size_t used = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t u = units[i];
    if (u == 0 || used + 4 > kNameBufferBytes) return false;
    if (u < 0x80) {
      buffer[used++] = static_cast<char>(u);
    } else if (u < 0x800) {
      buffer[used++] = static_cast<char>(0xc0 | (u >> 6));
      buffer[used++] = static_cast<char>(0x80 | (u & 0x3f));
    } else {
      buffer[used++] = static_cast<char>(0xe0 | (u >> 12));
      buffer[used++] = static_cast<char>(0x80 | ((u >> 6) & 0x3f));
      buffer[used++] = static_cast<char>(0x80 | (u & 0x3f));
    }
  }
  buffer[used] = 0;
  return true;
}

}  // namespace

uint32_t sy_quicksym(uint32_t handle, lisp::lispval name) {
  const uint16_t* units = nullptr;
  uint32_t count = 0;
  char buffer[kNameBufferBytes];
  if (handle == 0 || !codeUnits(name, &units, &count) || !toUtf8(units, count, buffer)) return 0;
  void* module = reinterpret_cast<void*>(static_cast<uintptr_t>(handle));
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dlsym(module, buffer)));
}
