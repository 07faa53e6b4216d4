// A word of a thread record given by its raw address, at the record's
// tagged-word offset (thread_record.h), as the native side reaches records.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::os {

inline uint32_t& recordWord(uint32_t* record, int32_t offset) {
  return wordAt(wordOf(record, Tag::Other), offset);
}

}  // namespace lisp::os
