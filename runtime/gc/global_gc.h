// The global collector: marks everything reachable, turns the dead runs of
// the open old areas into holes, compacts their conses, other objects and
// cons pages towards the low end, adjusts every pointer, and rebuilds the
// root-set bitmap and the page maps. Old areas below the open-area fence
// never move; their slots are roots.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_layout.h"

extern "C" {

// One global collection between two scavenges; `request` goes to the
// closing scavenge. Returns the cons-allocation frontier (GlobConsFill).
// GsInGlobalGc (gc_state.h) is 1 during its passes, 2 during its closing
// scavenge, 0 outside.
uint32_t global_gc(uint32_t request);

// Statistics of the last global collection, by type code: objects reclaimed
// and their bytes. Slot 1 (the cons tag) counts the conses moved instead.
inline constexpr uint32_t kHoleCountSlots = 256;
extern uint32_t ggc_last_hole_count[kHoleCountSlots];
extern uint32_t ggc_last_hole_aucount[kHoleCountSlots];
void ggc_get_hole_count(uint32_t* counts, uint32_t* sizes);

// Marking.
extern uint32_t mark_depth;            // nesting of the current queue frame
extern uint32_t mark_max_depth;        // deepest nesting reached
extern const uint32_t mark_depth_max;  // 20
extern uint32_t mark_depth_max_exceeded;
extern uint32_t mark_depth_ov_count;  // heap rescans after an overflow
extern uint32_t mark_tally;           // objects marked
void mark_slot_contents(uint32_t slot);
void retry_overflowed_marks();
void mark_finalizations();

// The mark bitmap: one bit per 8 bytes from the open-area fence to GsNewTop.
extern uint32_t MmapBitMap;  // bytes committed for it; 0 when it lies in the to-space
extern uint32_t ZeroBitMap;  // the mark pass clears it first

// Holes and adjustment.
extern uint32_t ggc_break_count;          // fillers on the hole chains
extern uint32_t ggc_adjust_pass_counter;  // adjustment rounds of the last collection
extern uint32_t rootcount;                // root-set slots found by the last collection

// The passes, in the order global_gc runs them.
int ggc_setup_bitmap();  // 0 when no room for the bitmap could be had
void ggc_pass_mark();
void ggc_pass_clean_bindstacks();
void ggc_pass_clean_weak();
void ggc_pass_cons_slots();
void ggc_pass_breakothers();
void ggc_pass_pages();
void ggc_pass_adjust();
void ggc_pass_compactothers();
void ggc_pass_compact_pages();
void ggc_pass_newrootset();
void ggc_pass_newpagemap();
void ggc_pass_merge_empties();
void ggc_remove_bitmap();

// Address adjustment: slots, return addresses, and the vector's size
// (returns the rounds; `onStack` is room for 4096 entries).
void ggc_adj_slot(uint32_t slot);
void ggc_adj_retaddr(uint32_t slot);
uint32_t ggc_build_break_vector(uint32_t* onStack);

// The new root set and page maps.
void ggc_checkroot(uint32_t slot);
uint32_t ggc_root_cons(uint32_t cell);
uint32_t ggc_root_other(uint32_t header);
void rootmap_zero(gc::GsOldArea* area);
void ggc_rebuild_rootset();
void ggc_build_area_pagemap(gc::GsOldArea* area);

// Free bytes of the old areas (between each frontier and its cons pages).
uint32_t sum_old_free();
}
