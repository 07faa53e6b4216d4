// The from-space record of a scavenge: the allocation semispace as it was
// when the scavenge (or a verification outside one) began.
//
// GsNewFromArea keeps the field order of an old-area header, so code that
// walks an old area walks the from-space the same way.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_layout.h"

extern "C" {
extern gc::GsOldArea GsNewFromArea;  // end, lowest cons page, first object, frontier, pagemap
extern uint32_t GsNewFrom_other1;    // first other object (its prefix) of the from-space
extern uint32_t GsNewFromEnd;        // end of the from-space

// Records the allocation semispace as the from-space.
void setGsNewFrom();
}

namespace gc {
// Whether the untagged object start (value minus 16 minus its tag) lies in
// [GsNewFrom_other1, GsNewFromEnd).
bool pointsIntoFromSpace(uint32_t value);
}  // namespace gc
