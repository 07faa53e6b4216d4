// Sizing new space and old space around a scavenge: what must grow, the
// growth itself, and the aging area that becomes an old area.
#pragma once

#include <cstdint>

extern "C" {

// Free new space required for `request` more bytes; with `expand`, the
// growth of new space (both semispaces) that would provide it.
uint32_t gsgc_min_newavl(uint32_t request, int expand);
// Non-zero when another scavenge pass is needed; sets the expansions that
// the next pass applies, hides or reveals new space under flag c.
int gsgc_short_space(uint32_t request);
// Start of a pass: applies the expansions and makes the to-space the
// allocation semispace.
void pre_adjust_areas();
// After the copy: the aging area becomes an old area; the fence is published.
void post_adjust_areas();
// The new-space fence the write barrier reads.
void scavenge_setfence(uint32_t fence);
}
