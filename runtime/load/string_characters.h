// Where a Lisp string keeps its 16-bit characters and how many it has.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"
#include "runtime/rs/object_layout.h"

namespace lisp {

struct StringCharacters {
  const uint16_t* data;
  uint32_t count;
};

// After a fixnum length word when the type byte has the length bit, else
// right after the header (the length then in the header).
inline StringCharacters stringCharacters(lispval string) {
  const uint32_t header = wordAt(string, kHeaderOffset);
  const bool lengthWord = (header & kFixnumLengthBit) != 0;
  const uint32_t count =
      lengthWord ? static_cast<uint32_t>(fixnumValue(wordAt(string, -0xe))) : headerLength(header);
  const int32_t data = lengthWord ? -0xa : -0xe;
  return {reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(string + data)), count};
}

}  // namespace lisp
