// A function object's entry word (word 1) holds the raw address every call
// jumps to: normally an instruction inside the function's code vector, or a
// trampoline elsewhere. The word is no Lisp value, so a walk that moves the
// code vector named by the code slot (word 4) moves the entry itself.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_layout.h"
#include "runtime/gc/object_extent.h"

namespace gc {

inline constexpr uint32_t kFunctionEntryWord = 1;

// The entry word of the function whose code slot is at `codeSlot`.
inline uint32_t& functionEntryWord(uint32_t codeSlot) {
  return wordAt(codeSlot - 4 * kCodeSlotWord + 4 * kFunctionEntryWord);
}

// The function's code vector moved from [from, from + bytes) to `to`: an
// entry inside the old vector moves with it, an entry elsewhere stays.
inline void moveEntryWithCode(uint32_t codeSlot, uint32_t from, uint32_t bytes, uint32_t to) {
  uint32_t& entry = functionEntryWord(codeSlot);
  if (entry >= from && entry - from < bytes) entry += to - from;
}

}  // namespace gc
