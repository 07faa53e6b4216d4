// Classifying a Lisp value as a reference: what user_verify answers and what
// the verifying walks use to decide which slots to follow.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_walkers.h"

namespace gc::verify_code {
inline constexpr int kNotAnObject = 0;  // into the heap, but no allocated object of its tag
inline constexpr int kBadNilTag = 1;    // tag 5 but not nil
inline constexpr int kTagThree = 2;     // never a Lisp value
inline constexpr int kNowhere = 3;      // outside every known region
inline constexpr int kImmediate = 4;    // fixnum or character
inline constexpr int kOutsideHeap = 5;  // pure library, a stack, a thread record
inline constexpr int kSpecial = 6;      // nil, t, the unbound marker
inline constexpr int kCons = 7;
inline constexpr int kObject = 9;  // the start of an other object or symbol
inline constexpr int kLispStatic = 10;
inline constexpr int kLiveAbove = 6;  // codes above it are live heap pointers
}  // namespace gc::verify_code

namespace gc {

// A stretch outside the Lisp heap where a thread keeps Lisp values: a
// thread record [low, high), or a thread's saved stack from its saved
// position up to its stack base.
struct ThreadRegion {
  uint32_t low = 0, high = 0;  // high 0: none
  bool savedStack = false;
};
// The calling thread's record, or a record or saved stack of any thread in
// the registry, that holds the address.
ThreadRegion threadRegionHolding(uint32_t address);

}  // namespace gc

extern "C" {
// Debugging word: when set, every verify_slot prints its slot, value and code.
extern uint32_t dump_stack;
// Set by the global collector while it sifts: a symbol may then point at
// the forwarding byte vector (type 98) left where it was.
extern uint32_t gsgc_sifting;

// The code of the value held in `slot`. "current": judged against the
// allocation semispace, else against the recorded from-space; "strict":
// only new space counts as the heap.
int r_verify(uint32_t slot, int strict, int current);
int verify_slot(uint32_t slot, int strict, int current);
// Calls the routine on the slot when its value is a live heap pointer.
void verified_funcall(uint32_t slot, int strict, gsgc_slot_routine routine);
// The code of a value against the allocation semispace; outside a
// collection the shared cons pointer is synced and the from-space recorded.
int value_verify(uint32_t value, int inCollection);
}
