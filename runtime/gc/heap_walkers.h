// Walks over the heap: every object, every cons cell or every Lisp-value
// slot of the old areas and the allocation semispace, and the used ranges
// an image writer saves.
//
// Both fillers a shrunk object leaves are accepted everywhere: in old space
// a byte vector (type 98) that covers the freed tail, in new space a byte
// count followed by 0xffffffff where the next prefix would stand.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_layout.h"
#include "runtime/gc/root_scan.h"

extern "C" {

// Called with a cons cell's or an object's first byte; a non-zero result
// stops gsgc_scan_stacks (the other walks ignore it).
using gsgc_item_routine = uint32_t (*)(uint32_t address);
using gsgc_slot_routine = void (*)(uint32_t slot);
// Receives every used range [start, end) in address order (empty ones are
// left out); a non-zero result stops the walk and is returned.
using gsgc_range_routine = int (*)(void* data, uint32_t start, uint32_t end);

// Old areas by selector (0 none, -2 from the open-area fence on, -1 the
// closed ones before it, anything else all), then with includeNew the
// allocation semispace. Cons pages are walked highest first, each up to its
// fill pointer, or for pages of closed areas up to the saved fill when
// closedLimit is 0.
void gsgc_scan_all(gsgc_item_routine cons, gsgc_item_routine other, int32_t selector,
                   int includeNew, int closedLimit);
// Every object in [from, to); in new space `from` is a prefix or filler.
void gsgc_scan_others(uint32_t from, uint32_t to, int inNewSpace, gsgc_item_routine routine);
// Bytes of the object at `address` (its header); unknown types are fatal.
uint32_t ausize_other(uint32_t address);
// Hands every Lisp-value word of the object at `address` to the treatment
// (a function's code slot to checkcslot); a bad sysvector kind is fatal.
void scan_other_item(uint32_t address, const gc::SlotTreatment* treatment);

void gsgc_scan_all_slots(gsgc_slot_routine slot, gsgc_slot_routine returnAddress);
void gsgc_scan_mark(gsgc_slot_routine slot, gsgc_slot_routine returnAddress);
uint32_t gsgc_scan_stacks(gsgc_item_routine routine);
int gsgcd_walk_areas_save_image(gsgc_range_routine callback, void* data);
}

namespace gc {

// A stretch of objects: an old area (objects start at their headers) or a
// semispace (each object behind its prefix, fillers between).
struct ObjectRegion {
  uint32_t first;        // first object (new space: first prefix)
  uint32_t frontier;     // next free byte
  uint32_t pagemapBase;  // biased
  bool newSpace;
};
ObjectRegion regionOf(const GsOldArea* area);
ObjectRegion allocationRegion();
// The region of the old area or the allocation semispace that holds
// `address`; all zero when none does.
ObjectRegion regionHolding(uint32_t address);

// The first byte after the object at `object` in a walk that ends at
// `limit`: an unknown type, or an object reaching past the limit (a damaged
// header or length word), is fatal through gserror1.
uint32_t objectEnd(uint32_t object, uint32_t limit);

// gsgc_scan_all_slots with a treatment of its own for a function's code slot.
void scanAllSlots(const SlotTreatment& treatment, gsgc_slot_routine returnAddress);

// Whether `object` (a header address) starts an object of the region, found
// through the pagemap and object sizes. Never fatal: a damaged walk says no.
bool isObjectStart(const ObjectRegion& region, uint32_t object);
// The object (its header address) of the region that holds `address`, found
// from the page map the same way; 0 for a filler, a prefix or free space.
uint32_t objectContaining(const ObjectRegion& region, uint32_t address);

}  // namespace gc
