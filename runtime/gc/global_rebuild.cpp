// The closing passes of a global collection: the root-set bitmap and the
// page maps rebuilt from the compacted old areas, empty neighbouring areas
// merged, and the old-space allocation state pointed at what is left.
//
// Invariant these passes restore (see heap_areas.cpp and write_barrier.h):
// every old slot that points into new space or at a lisp-static object lies
// on a marked page; every page map names the first object of each page;
// the tenure catch-up position lies at the end of the conses tenured so far.
//
// Sections: root set, page maps, merging, allocation state.

#include "runtime/gc/allocation.h"
#include "runtime/gc/collector_errors.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/global_gc.h"
#include "runtime/gc/global_gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/object_layout.h"

namespace {

using namespace gc;
using namespace gc::ggc;

constexpr uint8_t kSysvectorType = 13;
constexpr uint32_t kPageKindMask = 3;  // low bits of a cons page's flag word: 0 or 1

// ---- root set ----

const SlotTreatment kRootTreatment = {ggc_checkroot, ggc_checkroot};

// A hash table that hashes by address and is not being rehashed is
// marked for rehashing: its objects may have moved.
void markForRehash(uint32_t header) {
  uint32_t& word = wordAt(header);
  const uint32_t flags = (word >> 8) & 0xff;
  if ((word >> 24) < 2 && (flags & 0x02)) word = (word & ~0x300u) | 0x100u;
}

// ---- page maps ----

uint32_t& pagemapEntry(uint32_t base, uint32_t address) {
  return wordAt(base + 4 * pageOf(address));
}

// An object from `from` to `to` was laid down: pages strictly between
// theirs are inside it, and the page of `to` starts with `to`.
void noteObject(uint32_t base, uint32_t from, uint32_t to) {
  if (pageOf(to) == pageOf(from)) return;
  for (uint32_t page = pageStart(from) + kPageBytes; page < pageStart(to); page += kPageBytes)
    pagemapEntry(base, page) = kPageInsideObject;
  pagemapEntry(base, to) = to;
}

// ---- merging ----

bool isEmptyArea(const GsOldArea* area) {
  return area->frontier == area->firstObject && area->lowestConsPage == area->end;
}

void replaceArea(GsOldArea*& pointer, GsOldArea* gone, GsOldArea* survivor) {
  if (pointer == gone) pointer = survivor;
}

void merge(GsOldArea* area, GsOldArea* next) {
  area->next = next->next;
  if (next->next)
    next->next->previous = area;
  else
    GsLastOldArea = area;
  --GsOldAreaCt;
  for (GsOldArea** pointer :
       {&GsOldSmallOtherArea, &GsOldBigOtherArea, &GsOldPageArea, &GsTenureCatchupConsArea})
    replaceArea(*pointer, next, area);
  GsOldAreaSetsize(area, area->size + next->size);
}

// ---- allocation state ----

// A fresh old cons page from GsOldPageArea on, or 0 when no area has room.
uint32_t takeOldConsPage() {
  const uint32_t page = page_from_old();
  if (page == 0) return 0;
  GsOldArea* area = GsOldPageArea;
  ++area->consPageCount;
  ConsPageHeader* header = consPage(page);
  header->flags = 0;
  header->end = page + kPageBytes;
  pagemapEntry(area->pagemapBase, page) = kPageCons;
  return page;
}

void setTenureCatchup(GsOldArea* area, uint32_t page, uint32_t item) {
  GsTenureCatchupConsArea = area;
  GsTenureCatchupConsPage = page;
  GsTenureCatchupConsItem = item;
}

}  // namespace

extern "C" {

uint32_t rootcount = 0;

void ggc_checkroot(uint32_t slot) {
  if (!needsRootBit(wordAt(slot))) return;
  noteroot(slot);
  ++rootcount;
}

uint32_t ggc_root_cons(uint32_t cell) {
  ggc_checkroot(cell);
  ggc_checkroot(cell + 4);
  return 0;
}

uint32_t ggc_root_other(uint32_t header) {
  const uint8_t type = wordAt(header) & 0xff;
  if (type == lisp::type_code::HashTable) markForRehash(header);
  if (type == kSysvectorType) gserror(gc_messages::kSysvectorInOldSpaceFound, header, 0);
  scan_other_item(header, &kRootTreatment);
  return 0;
}

void rootmap_zero(GsOldArea* area) {
  clearRootBits(areaAddress(area), area->end);
}

void ggc_rebuild_rootset() {
  rootcount = 0;
  for (GsOldArea* area = GsOldAreas; area; area = area->next) rootmap_zero(area);
  gsgc_scan_all(ggc_root_cons, ggc_root_other, 1, 0, 1);
}

void ggc_pass_newrootset() {
  ggc_rebuild_rootset();
}

// The heap layout's page map: addresses of first objects, -1 inside an object,
// 1 for a cons page (either kind of page).
void ggc_build_area_pagemap(GsOldArea* area) {
  const uint32_t start = areaAddress(area);
  const uint32_t base = area->pagemapBase;
  GsInitPagemap(base + 4 * pageOf(start), start, pagemapWords(area->size), area->firstObject);
  for (uint32_t object = area->firstObject; object < area->frontier;) {
    const uint32_t next = objectEnd(object, area->frontier);
    noteObject(base, object, next);
    object = next;
  }
  for (uint32_t page = area->lowestConsPage; page < area->end; page += kPageBytes) {
    const uint32_t kind = consPage(page)->flags & kPageKindMask;
    if (kind > 1) {
      gserror(gc_messages::kUnexpectedPageType, page, 0);
      pagemapEntry(base, page) = kPageUnused;
      continue;
    }
    pagemapEntry(base, page) = kPageCons;
  }
}

// New space does not change in a global collection: its map stays as it is.
void ggc_pass_newpagemap() {
  for (GsOldArea* area = GsOldAreas; area; area = area->next) ggc_build_area_pagemap(area);
}

void ggc_pass_merge_empties() {
  figures.merged = 0;
  for (GsOldArea* area = GsOpenOldAreaFence; area && area->next;) {
    GsOldArea* next = area->next;
    if (isEmptyArea(area) && isEmptyArea(next) && area->end == areaAddress(next)) {
      merge(area, next);
      ++figures.merged;
      continue;
    }
    area = next;
  }
}

}  // extern "C"

namespace gc::ggc {

// After the moves: allocation searches start at the oldest open area; old
// conses go on in the lowest page of the newest area that has cons pages,
// and the tenure catch-up starts where they go on.
void resetOldAllocation() {
  GsOldSmallOtherArea = GsOldBigOtherArea = GsOldPageArea = GsOpenOldAreaFence;
  GsOldArea* newest = nullptr;
  for (GsOldArea* area = GsOpenOldAreaFence; area; area = area->next)
    if (area->lowestConsPage < area->end) newest = area;
  uint32_t page = 0;
  if (newest) {
    GsOldPageArea = newest;
    page = newest->lowestConsPage;
  } else {
    page = takeOldConsPage();
  }
  GsOldConsPage = page;
  if (page != 0)
    setTenureCatchup(GsOldPageArea, page, consPage(page)->fill);
  else  // no open area has room for a page: conses go to later areas
    setTenureCatchup(GsLastOldArea, GsLastOldArea->end, 0);
}

}  // namespace gc::ggc
