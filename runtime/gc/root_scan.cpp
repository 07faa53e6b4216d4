// The root-set scan: old-space pages marked by the write barrier.
//
// Invariant on entry: every old-space word that points into the from-space
// lies on a page whose bit is set (see write_barrier.cpp). On exit every bit
// visited is clear unless a word on its page still points into new space (or
// at a lisp-static object) after the scavenger treated it.
//
// Sections: bitmap walking, cons pages, other objects, the whole scan.

#include "runtime/gc/root_scan.h"

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/object_extent.h"
#include "runtime/gc/write_barrier.h"

namespace {

using namespace gc;

constexpr uint32_t kBitsPerWord = 32;
constexpr uint32_t kWordSpan = kBitsPerWord * kPageBytes;  // 0x40000 bytes per bitmap word
constexpr uint8_t kSysvectorCode = 13;

// ochecknslot: the scavenger's treatment, then the slot is noted again.
void treatValueSlot(const SlotTreatment& treatment, uint32_t slot) {
  treatment.checknslot(slot);
  cnoteroot(slot);
}
void treatCodeSlot(const SlotTreatment& treatment, uint32_t slot) {
  treatment.checkcslot(slot);
  cnoteroot(slot);
}

uint32_t areaPagemapEntry(const GsOldArea* area, uint32_t address) {
  return wordAt(area->pagemapBase + 4 * pageOf(address));
}

// Extent of the object at `address` of the area; a sysvector, an unknown
// type or an extent reaching past the area's frontier (a damaged header or
// length word) is fatal.
ObjectExtent extentAt(const GsOldArea* area, uint32_t address) {
  const uint32_t header = wordAt(address);
  const ObjectExtent extent = extentOf(header, wordAt(address + 4));
  if (!extent.row || extent.bytes > area->frontier - address)
    gserror(gc_messages::kUnknownObjectType, address, 1);
  if (extent.row->sysvector) gserror(gc_messages::kSysvectorInOldSpace, address, 1);
  return extent;
}

// The object that covers the first byte of `page`: found from the nearest
// pagemap entry at or before the page that names an object start, then by
// object sizes. An object that began on an earlier page is found as well.
uint32_t objectCoveringPage(const GsOldArea* area, uint32_t page) {
  if (areaPagemapEntry(area, page) == page) return page;
  uint32_t object = area->firstObject;
  for (uint32_t earlier = page - kPageBytes; earlier >= pageStart(area->firstObject);
       earlier -= kPageBytes) {
    const uint32_t entry = areaPagemapEntry(area, earlier);
    if (entry >= area->firstObject && entry < area->end) {
      object = entry;
      break;
    }
  }
  while (object < area->frontier) {
    const uint32_t end = object + extentAt(area, object).bytes;
    if (end > page) break;
    object = end;
  }
  return object;
}

// Treats the value words of the object at `object` that lie on dirty pages.
// `dirty` is the dirty page being worked on (0: none); words beyond it move
// on to the next dirty page inside the object, clearing its bit.
void scanObjectOnDirtyPages(const SlotTreatment& treatment, uint32_t object,
                            const ObjectExtent& extent, uint32_t& dirty) {
  const uint32_t end = object + extent.bytes;
  auto visit = [&](uint32_t word, bool codeSlot) {
    const uint32_t slot = object + 4 * word;
    if (dirty == 0) return false;
    if (slot >= dirty + kPageBytes) {
      dirty = rootscan_next_dirty_page(slot, end);
      if (dirty == 0) return false;
    }
    if (slot < dirty) return true;
    codeSlot ? treatCodeSlot(treatment, slot) : treatValueSlot(treatment, slot);
    return true;
  };
  for (int range = 0; range < 2; ++range) {
    if (range == 1 && extent.row->codeSlot && !visit(kCodeSlotWord, true)) return;
    for (uint32_t i = 0; i < extent.wordCount[range]; ++i)
      if (!visit(extent.firstWord[range] + i, false)) return;
  }
}

}  // namespace

extern "C" {

// ---- bitmap walking ----

uint32_t rootscan_next_dirty_page(uint32_t from, uint32_t to) {
  const uint32_t basePage = globalWord(global::kHeapBasePage);
  uint32_t page = pageStart(from);
  if (pageOf(page) < basePage) page = basePage << kPageShift;
  while (page < to) {
    const uint32_t index = pageOf(page) - basePage;
    if (index / kBitsPerWord >= setf_protect_bmap_size) return 0;
    uint32_t& word = setf_protect_bmap[index / kBitsPerWord];
    const uint32_t bit = 1u << (index % kBitsPerWord);
    if (index % kBitsPerWord == 0 && word == 0) {
      page += kWordSpan;
      continue;
    }
    if (word & bit) {
      word &= ~bit;
      return page;
    }
    page += kPageBytes;
  }
  return 0;
}

uint32_t count_root_bits() {
  uint32_t count = 0;
  for (GsOldArea* area = GsOldAreas; area; area = area->next)
    for (uint32_t page = pageStart(area->firstObject); page < area->end; page += kPageBytes)
      count += rootBitSet(page) ? 1 : 0;
  return count;
}

// ---- cons pages ----

void rootscan_cons_page(uint32_t page, const SlotTreatment* treatment) {
  const ConsPageHeader* header = consPage(page);
  if (header->flags & kConsPageSkipRootScan) return;
  const uint32_t limit = page == GsTenureCatchupConsPage ? GsTenureCatchupConsItem : header->fill;
  for (uint32_t cell = header->firstCell; cell < limit; cell += kConsCellBytes) {
    treatValueSlot(*treatment, cell);
    treatValueSlot(*treatment, cell + 4);
  }
}

void rootscan_pages(uint32_t from, uint32_t to, const SlotTreatment* treatment) {
  for (uint32_t page = from; page < to; page += kPageBytes)
    if (rootBitSet(page)) {
      clearRootBit(page);
      rootscan_cons_page(page, treatment);
    }
}

// ---- other objects ----

void rootscan_others(GsOldArea* area, const SlotTreatment* treatment) {
  const uint32_t limit = area->rootScanLimit;
  uint32_t object = area->firstObject;
  uint32_t dirty = 0;
  while (object < limit) {
    if (dirty == 0 || pageStart(object) != dirty) {
      dirty = rootscan_next_dirty_page(object, limit);
      if (dirty == 0) return;
      if (dirty > pageStart(object)) object = objectCoveringPage(area, dirty);
      if (object >= limit) return;
    }
    const ObjectExtent extent = extentAt(area, object);
    scanObjectOnDirtyPages(*treatment, object, extent, dirty);
    object += extent.bytes;
  }
}

// ---- the whole scan ----

void scan_rootset_entries(const SlotTreatment* treatment) {
  const uint32_t catchupArea = areaAddress(GsTenureCatchupConsArea);
  for (GsOldArea* area = GsOldAreas; area; area = area->next) {
    rootscan_others(area, treatment);
    if (catchupArea == 0 || areaAddress(area) < catchupArea)
      rootscan_pages(area->lowestConsPage, area->end, treatment);
    else if (areaAddress(area) == catchupArea)
      rootscan_pages(GsTenureCatchupConsPage, area->end, treatment);
  }
}

}  // extern "C"
