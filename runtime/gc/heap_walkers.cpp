// Heap walkers: objects, cons cells and Lisp-value slots of the whole heap.
//
// Invariant the walks rely on (kept by allocation and the collectors): from
// an area's first object (a semispace's first prefix), stepping by object
// sizes, fillers included, reaches exactly its frontier; cons cells of a
// page lie from its first cell up to its fill pointer. A walk that meets an
// unknown type code, or an object reaching past the end of the walk (a
// damaged header or length word), ends the process (gserror1); only
// isObjectStart, which the verifier uses, and objectContaining answer no
// instead.
//
// Sections: item sizes, object walks, cons walks, slot walks, image ranges.

#include "runtime/gc/heap_walkers.h"

#include <algorithm>

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/object_extent.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/lisp_value.h"

// Provided by the lisp-static registry and the external slot managers when
// they are linked in; the walks skip them otherwise.
extern "C" {
__attribute__((weak)) void scan_external_slots(gsgc_slot_routine slot);
__attribute__((weak)) void scan_lispstatic(void (*visit)(uint32_t header), int sweep);
}

namespace {

using namespace gc;

constexpr uint32_t kSysvectorDirect = 1;
constexpr uint32_t kSysvectorIndirect = 3;
constexpr uint32_t kSysvectorFirstSlot = 16;  // word 4
constexpr uint32_t kSysvectorOverheadBytes = 12;
constexpr int32_t kAllAreas = 1;

// ---- item sizes ----

bool isFiller(uint32_t item) {
  return wordAt(item + 4) >= stamp::kFillerFirst;
}

// Bytes of a filler, or 0 when its count cannot be one.
uint32_t fillerBytes(uint32_t item) {
  const uint32_t bytes = wordAt(item);
  return bytes >= kPrefixBytes && bytes % 8 == 0 ? bytes : 0;
}

// Bytes of the object at `object`; 0 for an unknown type.
uint32_t objectBytes(uint32_t object) {
  return extentOf(wordAt(object), wordAt(object + 4)).bytes;
}

// Bytes from an item to the next one (old space: an object; new space: a
// filler, or a prefix and its object); 0 when the item is damaged: an
// unknown type, or an extent reaching past `limit`.
uint32_t itemBytes(uint32_t item, bool newSpace, uint32_t limit) {
  uint32_t bytes = 0;
  if (!newSpace) {
    bytes = objectBytes(item);
  } else if (isFiller(item)) {
    bytes = fillerBytes(item);
  } else if (const uint32_t objectPart = objectBytes(item + kPrefixBytes)) {
    bytes = kPrefixBytes + objectPart;  // at most 0xfffffff8 + 8: no wrap
  }
  return bytes <= limit - item ? bytes : 0;
}

bool namesAnItem(uint32_t entry) {
  return entry != kPageUnused && entry != kPageCons && entry != kPageInsideObject;
}

// ---- object walks ----

// Calls `visit` on every object of [from, to) (fillers skipped) until it
// returns non-zero; sizes are taken before the visit, which may forward.
template <class Visit>
uint32_t walkObjects(uint32_t from, uint32_t to, bool newSpace, Visit visit) {
  for (uint32_t item = from; item < to;) {
    if (newSpace && isFiller(item)) {
      const uint32_t bytes = fillerBytes(item);
      if (bytes == 0 || bytes > to - item) gserror1(item);
      item += bytes;
      continue;
    }
    const uint32_t object = newSpace ? item + kPrefixBytes : item;
    const uint32_t next = objectEnd(object, to);
    if (const uint32_t result = visit(object)) return result;
    item = next;
  }
  return 0;
}

// ---- cons walks ----

template <class Visit>
void walkConsPage(uint32_t page, uint32_t limit, Visit visit) {
  for (uint32_t cell = page + kConsPageFirstCell; cell < limit && cell < page + kPageBytes;
       cell += kConsCellBytes)
    visit(cell);
}

void walkAreaConses(const GsOldArea* area, bool savedFill, gsgc_item_routine routine) {
  for (uint32_t page = area->end - kPageBytes; page >= area->lowestConsPage && page < area->end;
       page -= kPageBytes) {
    const ConsPageHeader* header = consPage(page);
    walkConsPage(page, savedFill ? header->savedFill : header->fill, routine);
  }
}

void walkNewConses(gsgc_item_routine routine) {
  const GsNewArea& semispace = GsNewAllocationArea;
  for (uint32_t page = semispace.end - kPageBytes;
       page >= semispace.pageLowMark && page < semispace.end; page -= kPageBytes)
    if (wordAt(GsNewPagemap + 4 * pageOf(page)) == kPageCons)
      walkConsPage(page, consPage(page)->fill, routine);
}

// ---- slot walks ----

// The slot routine of the walk in progress (walks do not nest).
gsgc_slot_routine g_slotRoutine = nullptr;
SlotTreatment g_treatment = {};

uint32_t consCellSlots(uint32_t cell) {
  g_slotRoutine(cell);
  g_slotRoutine(cell + 4);
  return 0;
}
uint32_t objectSlots(uint32_t object) {
  scan_other_item(object, &g_treatment);
  return 0;
}
void lispstaticSlots(uint32_t header) {
  scan_other_item(header, &g_treatment);
}

void beginSlotWalk(gsgc_slot_routine slot) {
  g_slotRoutine = slot;
  g_treatment = {slot, slot};
}
void beginSlotWalk(const SlotTreatment& treatment) {
  g_slotRoutine = treatment.checknslot;
  g_treatment = treatment;
}

void scanSysvectorSlots(uint32_t sysvector, const SlotTreatment& treatment) {
  const uint32_t kind = static_cast<uint32_t>(lisp::fixnumValue(wordAt(sysvector + 4)));
  uint32_t block = sysvector;
  if (kind == kSysvectorIndirect) {
    const uint32_t storage = wordAt(sysvector + 8);
    if (storage == 0) return;
    block = lisp::objectAddress(storage);
    if (lisp::fixnumValue(wordAt(block + 4)) != kSysvectorDirect) gserror2(sysvector, 1);
  } else if (kind != kSysvectorDirect) {
    gserror2(sysvector, 0);
  }
  // The count word is trusted only as far as the block's own length reaches.
  const uint32_t lengthBytes = wordAt(block) >> 8;
  const uint32_t capacity =
      lengthBytes > kSysvectorOverheadBytes ? (lengthBytes - kSysvectorOverheadBytes) / 4 : 0;
  const uint32_t count = std::min(wordAt(block + 8), capacity);
  for (uint32_t i = 0; i < count; ++i) treatment.checknslot(block + kSysvectorFirstSlot + 4 * i);
}

// ---- image ranges ----

struct RangeEmitter {
  gsgc_range_routine callback;
  void* data;
  int emit(uint32_t start, uint32_t end) const {
    return start < end ? callback(data, start, end) : 0;
  }
};

}  // namespace

namespace gc {

ObjectRegion regionOf(const GsOldArea* area) {
  return {area->firstObject, area->frontier, area->pagemapBase, false};
}

ObjectRegion allocationRegion() {
  return {GsNewOther1, globalWord(global::kNewOtherTop), GsNewPagemap, true};
}

ObjectRegion regionHolding(uint32_t address) {
  for (const GsOldArea* area = GsOldAreas; area; area = area->next)
    if (address >= areaAddress(area) && address < area->end) return regionOf(area);
  const GsNewArea& semispace = GsNewAllocationArea;
  if (GsNewSemiSize != 0 && address >= semispace.start && address < semispace.end)
    return allocationRegion();
  return {};
}

uint32_t objectEnd(uint32_t object, uint32_t limit) {
  const uint32_t bytes = ausize_other(object);
  if (object >= limit || bytes > limit - object) gserror1(object);
  return object + bytes;
}

void scanAllSlots(const SlotTreatment& treatment, gsgc_slot_routine returnAddress) {
  beginSlotWalk(treatment);
  gsgc_scan_all(consCellSlots, objectSlots, kAllAreas, 1, 1);
  scan_os_stacks(treatment.checknslot, returnAddress);
  scan_global_slots(treatment.checknslot, returnAddress);
  if (scan_external_slots) scan_external_slots(treatment.checknslot);
  if (scan_lispstatic) {
    beginSlotWalk(treatment);
    scan_lispstatic(lispstaticSlots, 0);
  }
}

bool isObjectStart(const ObjectRegion& region, uint32_t object) {
  const uint32_t bias = region.newSpace ? kPrefixBytes : 0;
  if (object < region.first + bias || object >= region.frontier) return false;
  const uint32_t target = object - bias;  // the item that would hold the object
  uint32_t item = region.first;
  for (uint32_t page = pageStart(target); page > pageStart(region.first); page -= kPageBytes) {
    const uint32_t entry = wordAt(region.pagemapBase + 4 * pageOf(page));
    if (namesAnItem(entry) && entry >= region.first && entry <= target) {
      item = entry;
      break;
    }
  }
  while (item < target) {
    const uint32_t bytes = itemBytes(item, region.newSpace, region.frontier);
    if (bytes == 0) return false;
    item += bytes;
  }
  return item == target && !(region.newSpace && isFiller(item));
}

uint32_t objectContaining(const ObjectRegion& region, uint32_t address) {
  if (address < region.first || address >= region.frontier) return 0;
  // The nearest entry at or below the address that names an item: pages
  // inside an object (-1), and items starting above the address, are passed.
  uint32_t item = region.first;
  for (uint32_t page = pageStart(address); page > pageStart(region.first); page -= kPageBytes) {
    const uint32_t entry = wordAt(region.pagemapBase + 4 * pageOf(page));
    if (namesAnItem(entry) && entry >= region.first && entry <= address) {
      item = entry;
      break;
    }
  }
  while (item < region.frontier) {
    const uint32_t bytes = itemBytes(item, region.newSpace, region.frontier);
    if (bytes == 0) return 0;
    if (address - item < bytes) {
      if (region.newSpace && isFiller(item)) return 0;
      const uint32_t object = region.newSpace ? item + kPrefixBytes : item;
      return address >= object ? object : 0;
    }
    item += bytes;
  }
  return 0;
}

}  // namespace gc

extern "C" {

uint32_t ausize_other(uint32_t address) {
  const uint32_t bytes = objectBytes(address);
  if (bytes == 0) gserror1(address);
  return bytes;
}

void scan_other_item(uint32_t address, const SlotTreatment* treatment) {
  const ObjectExtent extent = extentOf(wordAt(address), wordAt(address + 4));
  if (!extent.row) gserror1(address);
  if (extent.row->sysvector) {
    scanSysvectorSlots(address, *treatment);
    return;
  }
  for (uint32_t i = 0; i < extent.wordCount[0]; ++i)
    treatment->checknslot(address + 4 * (extent.firstWord[0] + i));
  if (extent.row->codeSlot) treatment->checkcslot(address + 4 * kCodeSlotWord);
  for (uint32_t i = 0; i < extent.wordCount[1]; ++i)
    treatment->checknslot(address + 4 * (extent.firstWord[1] + i));
}

void gsgc_scan_others(uint32_t from, uint32_t to, int inNewSpace, gsgc_item_routine routine) {
  walkObjects(from, to, inNewSpace != 0, [routine](uint32_t object) {
    routine(object);
    return 0u;
  });
}

void gsgc_scan_all(gsgc_item_routine cons, gsgc_item_routine other, int32_t selector,
                   int includeNew, int closedLimit) {
  sync_shared_cons_pointer();
  if (selector != 0) {
    GsOldArea* area = selector == -2 ? GsOpenOldAreaFence : GsOldAreas;
    const GsOldArea* stop = selector == -1 ? GsOpenOldAreaFence : nullptr;
    for (; area && area != stop; area = area->next) {
      const bool closed = areaAddress(area) < areaAddress(GsOpenOldAreaFence);
      if (cons) walkAreaConses(area, closed && closedLimit == 0, cons);
      if (other) gsgc_scan_others(area->firstObject, area->frontier, 0, other);
    }
  }
  if (!includeNew || GsNewSemiSize == 0) return;
  if (cons) walkNewConses(cons);
  if (other) gsgc_scan_others(GsNewOther1, globalWord(global::kNewOtherTop), 1, other);
}

void gsgc_scan_all_slots(gsgc_slot_routine slot, gsgc_slot_routine returnAddress) {
  gc::scanAllSlots({slot, slot}, returnAddress);
}

void gsgc_scan_mark(gsgc_slot_routine slot, gsgc_slot_routine returnAddress) {
  beginSlotWalk(slot);
  gsgc_scan_all(consCellSlots, objectSlots, -1, 0, 0);
  scan_global_slots(slot, returnAddress);
  if (scan_external_slots) scan_external_slots(slot);
  scan_os_stacks(slot, returnAddress);
}

uint32_t gsgc_scan_stacks(gsgc_item_routine routine) {
  if (GsNewSemiSize == 0) return 0;
  return walkObjects(GsNewOther1, globalWord(global::kNewOtherTop), true, routine);
}

int gsgcd_walk_areas_save_image(gsgc_range_routine callback, void* data) {
  const RangeEmitter ranges{callback, data};
  uint32_t from = lisp_heap.base;
  for (GsOldArea* area = GsOldAreas; area; area = area->next) {
    if (const int result = ranges.emit(from, area->end)) return result;
    from = area->end;
  }
  if (GsNewSemiSize == 0) return 0;
  sync_shared_cons_pointer();
  const GsNewArea& semispace = GsNewAllocationArea;
  const uint32_t otherTop = globalWord(global::kNewOtherTop);
  const uint32_t heapBreak = lisp_heap.brk;
  int result;
  if (semispace.start < GsNewScavengeToArea) {  // the lower half
    if ((result = ranges.emit(from, otherTop))) return result;
    if ((result = ranges.emit(semispace.pageLowMark, semispace.end))) return result;
    return heapBreak > GsNewTop ? ranges.emit(GsNewTop, heapBreak) : 0;
  }
  if ((result = ranges.emit(from, GsNewScavengeToArea))) return result;
  if ((result = ranges.emit(semispace.start, otherTop))) return result;
  return ranges.emit(semispace.pageLowMark, heapBreak);
}

}  // extern "C"
