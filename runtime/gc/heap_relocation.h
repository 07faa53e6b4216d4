// Moving the Lisp heap and the pure library's references after an image was
// restored elsewhere than where it was saved, and relinking a heap to a pure
// library attached while the Lisp runs.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_layout.h"
#include "runtime/gc/heap_reservation.h"

extern "C" {

// The two relocation ranges: a word inside the open interval (start, end) of
// a range gets its offset added, the first range tested first. Both offsets
// are 0 outside a relocation.
extern uint32_t rms_start, rms_end;
extern int32_t rms_offset;
extern uint32_t rms_start2, rms_end2;
extern int32_t rms_offset2;

// Relocates a Lisp value word; fixnums and characters (tags 0, 4, 6) stay.
void rms_slot(uint32_t slot);
// Relocates a raw code address (a return address or an entry), whatever its low bits.
void rms_retaddr(uint32_t slot);

// Set while the relocation walks the stacks: saved stacks are left alone.
extern int skip_savedstack_scan;

// Relocates every slot of the heap and of the running stack by the ranges.
void gc_rms();
// Stores the library range, then the heap range, relocates every slot
// through gc_rms_preinit and clears both offsets. The ranges must be disjoint.
void gc_relocate_memory_section(uint32_t libraryStart, uint32_t libraryEnd, int32_t libraryDelta,
                                uint32_t heapStart, uint32_t heapEnd, int32_t heapDelta);
// Adds delta to the head and every link of a new-space prefix chain (links
// through each prefix's first word, ending at 0); when `out` is given, the
// chain also ends at the element *out names (its address before the move),
// and *out receives the last element afterwards.
void update_pfx_chain(uint32_t* head, uint32_t* out, int32_t delta);

// Moves every pointer of the restored heap: `heap` describes it at its new
// place, the deltas are new address less recorded address of the heap and of
// the pure library. 1 when done; 0 when the move cannot be made (the reason
// is printed and nothing was changed).
int gc_relocate_heap(heap_descriptor* heap, int32_t heapDelta, int32_t libraryDelta);

// Replaces heap copies of strings and code vectors by the attached pure
// library's identical ones, and moves return addresses into the replaced
// code vectors over to the library's copies.
void link_lso_file();
// The object (its header address) of the allocation semispace, or of the
// old area, that holds `address`; 0 when none does.
uint32_t llf_scan_new(uint32_t address);
uint32_t llf_scan_old(gc::GsOldArea* area, uint32_t address);
}
