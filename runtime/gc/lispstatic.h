// The lisp-static registry: Lisp objects in native-heap blocks that never
// move, registered so that each scavenge can free those no slot reaches.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace gc {

inline constexpr uint32_t kLispstaticEntries = 1024;
inline constexpr uint32_t kLispstaticTableGrowth = 2048;  // block table entries added at a time

// One native-heap block of the registry (5140 bytes).
struct lispstatic_block {
  uint32_t count;
  uint32_t hint;  // lowest free entry to try
  uint32_t reserved[3];
  lisp::lispval entries[kLispstaticEntries];  // 0 when free
  uint8_t marks[kLispstaticEntries];          // bit 0: reached in the current scavenge
};
static_assert(sizeof(lispstatic_block) == 5140);

// An object's registry position, kept in the first word of its prefix.
constexpr uint32_t lispstaticPosition(uint32_t block, uint32_t entry) {
  return block | (entry << 16);
}

}  // namespace gc

extern "C" {
extern uint32_t lispstatic_adds;
extern uint32_t lispstatic_frees;

// 1 when the value is an other object in a native-heap block; with
// checkPositions, also when its prefix names a registry entry holding it.
int valid_lispstatic(lisp::lispval value, int checkPositions);
// Registers a native-heap object. `append` is a raw word: non-zero (t, or any
// fixnum but 0) appends after the highest used entry, 0 (fixnum 0) takes the
// first free entry. Anything else, and an object already registered, is
// left alone.
void add_lispstatic(lisp::lispval object, uint32_t append);
// Hands the value words of every object whose registration is under way
// (registrations nest through a collection's hooks) to `slot`: a collection
// run by a registration's own allocations must update and keep what they
// hold, which no registry entry shows yet.
void scan_lispstatic_being_registered(void (*slot)(uint32_t slot));
// Unregisters a registered object and frees its native block.
void delete_lispstatic(lisp::lispval object);
// Grows the block table by kLispstaticTableGrowth entries.
void reallocate_lispstatic_blocks();
// Marks a registered object reached by a scan; the first time, hands its
// value words to `slot`.
void mark_lispstatic(lisp::lispval object, void (*slot)(uint32_t slot));
// 1 when the value is a registered object that the current scavenge has not
// marked (so far reached only through weak slots, if at all); else 0.
int unmarked_lispstatic(lisp::lispval value);
// Visits (when `visit` is given) every registered object that is marked, or
// every one when not sweeping, clearing the marks; sweeping frees the
// unmarked. The registry's range is recomputed from what stays.
void scan_lispstatic(void (*visit)(uint32_t header), int sweep);
}
