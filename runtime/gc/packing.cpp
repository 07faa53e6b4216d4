// Heap packing before an image save: sifting, packing and resizing.
//
// Invariant every step keeps: once it returns, every pointer names its
// object where the object now lies, the heap walks from each area's first
// object to its frontier, every page map names the first object of each of
// its pages, and the root-set bitmap marks every old page that points into
// new space. Sifting leaves the old copies behind as byte vectors of the same
// size (walkable garbage until the next global collection); packing moves
// the newest old area's cons pages down, never its other objects.
//
// Sections: shared helpers, packing (old area, adjustment, new space, the
// step sequence), sifting, resizing.

#include "runtime/gc/packing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/collector_errors.h"
#include "runtime/gc/from_space.h"
#include "runtime/gc/function_entry.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/gc_statistics.h"
#include "runtime/gc/global_gc.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/object_extent.h"
#include "runtime/gc/root_scan.h"
#include "runtime/gc/scavenger.h"
#include "runtime/gc/sizing.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/object_layout.h"

extern "C" uint32_t globs[32];

namespace {

using namespace gc;
using lisp::lispval;

constexpr uint32_t kNewFenceGlobsWord = 1;
// Preparing scavenges until the allocation semispace is the upper half: the
// second always gets there unless the first grew new space; a third covers
// that.
constexpr int kMostPreparingScavenges = 3;

// ---- shared helpers ----

bool printing() {
  return (GsCtlFlags & flag::kProgress) != 0;
}
void progress(const char* text) {
  if (!printing()) return;
  gc_messages::print("%s", text);
  std::fflush(stdout);
}
void progress(const char* format, uint32_t bytes) {
  if (!printing()) return;
  gc_messages::print(format, static_cast<int>(bytes));
  std::fflush(stdout);
}

bool isEmpty(const GsOldArea* area) {
  return area->frontier == area->firstObject && area->lowestConsPage == area->end;
}

uint32_t alignDown(uint32_t value, uint32_t unit) {
  return unit == 0 ? value : value - value % unit;
}

void publishFence(uint32_t fence) {
  GsNewFence = fence;
  GsNewFenceLV = fence + lisp::kPointerBias;
  scavenge_setfence(fence);
  globs[kNewFenceGlobsWord] = fence;
}

// A return-address walk that leaves every address as it is.
void keepReturnAddress(uint32_t) {}

// One scavenge pass that moves new space as GsOldShrinkage and
// GsNewShrinkage say. It runs as a global collection's closing scavenge
// does (GsInGlobalGc 2), so the sizing step cannot grow back at once what
// is being squeezed out. It is a bare scavenge1, without GsEnter and
// GsExit: their hooks (native or Lisp) could allocate and collect before
// the caller has cleared the stale root bits and rebuilt the root set and
// the page map, which would undo the squeeze.
void shrinkingScavenge() {
  savefloat();
  sync_shared_cons_pointer();
  GsNewExpansion = GsOldExpansion = 0;
  GsInGlobalGc = 2;
  prelink_stacks();
  GsAdjTotAlloc(1);
  scavenge1(0);
  pointAtCurrentGenerationPage();
  GsAdjTotAlloc(0);
  GsInGlobalGc = 0;
  sync_shared_cons_pointer();
  restorefloat();
}

// ---- packing: the newest old area ----

// The range of cons pages the last ggcp_pack_old moved, where they were.
struct MovedPages {
  uint32_t from = 0, to = 0;  // [from, to) before the move
  uint32_t distance = 0;
};
MovedPages g_movedPages;

bool inMovedPages(uint32_t address) {
  return address >= g_movedPages.from && address < g_movedPages.to;
}
void lowerIfMoved(uint32_t& address) {
  if (inMovedPages(address)) address -= g_movedPages.distance;
}

// A page's header words that hold addresses within the page.
void shiftPageHeader(uint32_t page, uint32_t distance) {
  ConsPageHeader* header = consPage(page);
  for (uint32_t* word :
       {&header->fill, &header->firstCell, &header->end, &header->savedFill, &header->catchupScan})
    if (*word != 0) *word -= distance;
  header->moveDistance = 0;
}

// The words outside the heap that name an old cons page or cell.
void lowerOldConsPositions() {
  lowerIfMoved(GsOldConsPage);
  // The catch-up position may stand at the area's end (nothing left to scan).
  const uint32_t end = g_movedPages.to;
  for (uint32_t* word : {&GsTenureCatchupConsPage, &GsTenureCatchupConsItem})
    if (*word >= g_movedPages.from && *word <= end) *word -= g_movedPages.distance;
}

void packSlot(uint32_t slot) {
  const lispval value = wordAt(slot);
  if (lisp::isCons(value) && inMovedPages(lisp::objectAddress(value)))
    wordAt(slot) = value - g_movedPages.distance;
}

// The discarded newest area's neighbours take over the words that named it.
void unlinkNewestArea(GsOldArea* area) {
  GsOldArea* previous = area->previous;
  previous->next = nullptr;
  GsLastOldArea = previous;
  --GsOldAreaCt;
  for (GsOldArea** pointer : {&GsOldPageArea, &GsOldSmallOtherArea, &GsOldBigOtherArea})
    if (*pointer == area) *pointer = previous;
  if (GsTenureCatchupConsArea == area) {
    // The area had no cons pages: catch-up goes on where old conses go on.
    const uint32_t page = GsOldConsPage;
    GsTenureCatchupConsArea = previous;
    GsTenureCatchupConsPage = page != 0 ? page : previous->end;
    GsTenureCatchupConsItem = page != 0 ? consPage(page)->fill : 0;
  }
}

// Step 3: an empty newest area right below new space goes; new space
// takes its place.
void discardNewestArea(GsOldArea* area) {
  const uint32_t start = areaAddress(area), size = area->size;
  unlinkNewestArea(area);
  clearRootBits(start, start + size);
  publishFence(start);
  ggcp_oldp_shift = size;
  ggcp_oldo_shift = 0;
  progress(gc_messages::kPackDiscardArea, size);
}

// Step 4's distance: the area's page space down to its objects plus keep,
// rounded up to a page, in whole worst-case pages.
uint32_t oldAreaSqueeze(const GsOldArea* area, uint32_t keep) {
  const uint64_t floor =
      (uint64_t{area->frontier} + keep + kPageBytes - 1) & ~uint64_t{kPageBytes - 1};
  if (floor >= area->lowestConsPage) return 0;
  return alignDown(area->lowestConsPage - static_cast<uint32_t>(floor), GsWorstCasePagesize);
}

// ---- packing: new space ----

// Bytes of the allocation semispace in use: page map and other objects from
// its start, cons pages from its low mark.
uint32_t newSpaceInUse() {
  const GsNewArea& semispace = GsNewAllocationArea;
  return (globalWord(global::kNewOtherTop) - semispace.start) +
         (semispace.end - semispace.pageLowMark);
}

// ---- sifting ----

struct Move {
  uint32_t from, bytes, to;
};
// Every object the sift in progress moved, in address order of `from`.
std::vector<Move> g_moves;

// The move of the object that holds `address`, or null.
const Move* moveHolding(uint32_t address) {
  auto after = std::upper_bound(g_moves.begin(), g_moves.end(), address,
                                [](uint32_t a, const Move& m) { return a < m.from; });
  if (after == g_moves.begin()) return nullptr;
  const Move& move = *(after - 1);
  return address < move.from + move.bytes ? &move : nullptr;
}

lisp::Tag tagOfObject(uint32_t object) {
  return (wordAt(object) & 0xff) == lisp::kSymbolTypeByte ? lisp::Tag::Symbol : lisp::Tag::Other;
}

// Copies one object into `copy` and leaves the forwarding header behind.
void siftObject(uint32_t object, uint32_t bytes, uint32_t copy) {
  std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(copy)),
              reinterpret_cast<const void*>(static_cast<uintptr_t>(object)), bytes);
  wordAt(object) = siftedHeader(bytes);
  wordAt(object + 4) = lisp::pointerWord(copy, tagOfObject(copy));
  g_moves.push_back({object, bytes, copy});
}

// Moves objects from the newest areas down into the oldest open ones with
// room, until source and destination meet.
void siftObjects() {
  GsOldArea* destination = GsOpenOldAreaFence;
  for (GsOldArea* source = GsLastOldArea; source && source != destination;
       source = source->previous) {
    for (uint32_t object = source->firstObject; object < source->frontier;) {
      const uint32_t bytes = objectEnd(object, source->frontier) - object;
      uint32_t copy = 0;
      while (destination != source && (copy = grab_old_other(destination, bytes)) == 0)
        destination = destination->next;
      if (copy == 0) return;
      siftObject(object, bytes, copy);
      object += bytes;
    }
  }
}

// A function's code slot: when its code vector moved, an entry word inside
// the old vector moves with it (a trampoline entry stays).
void siftCodeSlot(uint32_t slot) {
  const lispval before = wordAt(slot);
  ggcs_adj_slot(slot);
  const lispval after = wordAt(slot);
  if (after == before) return;
  if (const Move* move = moveHolding(lisp::objectAddress(before)))
    moveEntryWithCode(slot, move->from, move->bytes, move->to);
}

}  // namespace

extern "C" {

uint32_t ggcp_oldp_shift = 0;
uint32_t ggcp_oldo_shift = 0;

// ---- packing ----

void ggcp_downshift(GsOldArea* area, uint32_t pages) {
  if (pages == 0) return;
  const uint32_t first = pageOf(area->lowestConsPage);  // already moved down
  const uint32_t last = pageOf(area->end - 1);
  uint32_t* map = &wordAt(area->pagemapBase);
  for (uint32_t page = first; page <= last; ++page) map[page] = map[page + pages];
  for (uint32_t page = last + 1; page <= last + pages; ++page) map[page] = kPageUnused;
}

void ggc_pack_adjust() {
  progress(gc_messages::kPackAdjust);
  gc::scanAllSlots({packSlot, packSlot}, keepReturnAddress);
  progress(gc_messages::kPackAdjustDone);
}

void ggcp_pack_old(GsOldArea* area, uint32_t distance) {
  if (distance == 0) {
    progress(gc_messages::kPackCannotCompact);
    return;
  }
  progress(gc_messages::kPackOldArea, distance);
  const uint32_t low = area->lowestConsPage, end = area->end;
  g_movedPages = {low, end, distance};
  std::memmove(reinterpret_cast<void*>(static_cast<uintptr_t>(low - distance)),
               reinterpret_cast<const void*>(static_cast<uintptr_t>(low)), end - low);
  for (uint32_t page = low - distance; page < end - distance; page += kPageBytes)
    shiftPageHeader(page, distance);
  clearRootBits(end - distance, end);
  area->size -= distance;
  area->end -= distance;
  area->lowestConsPage -= distance;
  area->freeBytes -= distance;
  lowerOldConsPositions();
  ggcp_downshift(area, distance / kPageBytes);
  ggc_pack_adjust();
  g_movedPages = {};
  ggc_rebuild_rootset();  // the scavenge that moves new space reads it
  ggcp_oldp_shift = distance;
  ggcp_oldo_shift = distance / kPageBytes;
}

void ggcp_pack_new() {
  const uint32_t semispace = GsNewSemiSize;
  const uint32_t needed = roundUp(newSpaceInUse(), kPageBytes);
  const uint32_t shrink =
      needed < semispace ? alignDown(semispace - needed, GsWorstCasePagesize) : 0;
  if (shrink == 0 && ggcp_oldp_shift == 0) return;
  if (ggcp_oldp_shift == 0) {
    progress(gc_messages::kPackPacking);
  } else {
    progress(gc_messages::kPackMoving);
    if (shrink != 0) progress(gc_messages::kPackAndPacking);
  }
  progress(gc_messages::kPackNewArea);
  progress(gc_messages::kPackSqueezed, shrink);

  const uint32_t oldTop = GsNewTop;
  GsOldShrinkage = ggcp_oldp_shift;
  GsNewShrinkage = shrink;
  shrinkingScavenge();  // new space moves; post_adjust_areas publishes its fence
  clearRootBits(GsLastOldArea->end, oldTop);
  ggc_rebuild_rootset();
  ggc_build_area_pagemap(GsLastOldArea);
  scavenge_setfence(GsNewFence);
  pointAtCurrentGenerationPage();
}

int ggc_pack(int32_t keepBytes) {
  // Decision: a packing asked for while one runs (from a hook of one of its
  // scavenges) does nothing and answers as a packing that cannot start: its
  // steps share the running one's state (the shifts, the moved pages).
  static bool packing = false;
  if (packing || lisp_heap.brk != GsNewTop) return 1;
  struct Running {
    Running() { packing = true; }
    ~Running() { packing = false; }
  } running;
  ggcp_oldp_shift = ggcp_oldo_shift = 0;

  // 1. Nothing but survivors in new space, allocating in its upper half.
  progress(gc_messages::kPackPrepare);
  scavenge(0);
  for (int i = 1; i < kMostPreparingScavenges && GsNewScavengeToArea > GsNewAllocationArea.start;
       ++i)
    scavenge(0);
  if (lisp_heap.brk != GsNewTop || GsNewScavengeToArea > GsNewAllocationArea.start) return 1;

  // 2. Free space of the older open areas counts towards keep.
  uint32_t keep = static_cast<uint32_t>(std::max(keepBytes, 0));
  for (GsOldArea* area = GsOpenOldAreaFence; area && area != GsLastOldArea; area = area->next)
    keep -= std::min(keep, area->freeBytes);

  // 3 and 4: squeeze the newest area when it lies right below new space.
  // Decisions: the fence area is never discarded, so one open area remains;
  // an area with no more free bytes than keep squeezes out 0 bytes, which
  // ggcp_pack_old reports as it reports any distance of 0.
  GsOldArea* newest = GsLastOldArea;
  if (newest->end == GsNewFence) {
    if (isEmpty(newest) && keep == 0 && newest != GsOpenOldAreaFence && newest->previous)
      discardNewestArea(newest);
    else
      ggcp_pack_old(newest, newest->freeBytes > keep ? oldAreaSqueeze(newest, keep) : 0);
  }

  // 5. New space moves down and shrinks.
  ggcp_pack_new();
  return 0;
}

// ---- sifting ----

void ggcs_adj_slot(uint32_t slot) {
  const lispval value = wordAt(slot);
  if (!lisp::isOther(value) && !lisp::isSymbolTagged(value)) return;
  const uint32_t object = lisp::objectAddress(value);
  const Move* move = moveHolding(object);
  if (move && move->from == object) wordAt(slot) = lisp::pointerWord(move->to, lisp::tagOf(value));
}

void ggcs_adj_retaddr(uint32_t slot) {
  const uint32_t address = wordAt(slot);
  if (const Move* move = moveHolding(address)) wordAt(slot) = address + (move->to - move->from);
}

void ggc_sift() {
  sync_shared_cons_pointer();
  setGsNewFrom();
  prelink_stacks();
  g_moves.clear();
  siftObjects();
  if (!g_moves.empty()) {
    std::sort(g_moves.begin(), g_moves.end(),
              [](const Move& a, const Move& b) { return a.from < b.from; });
    gc::scanAllSlots({ggcs_adj_slot, siftCodeSlot}, ggcs_adj_retaddr);
    ggc_rebuild_rootset();
  }
  g_moves.clear();
  g_moves.shrink_to_fit();
}

// ---- resizing ----

// Decision: with neither amount positive nothing is set and no scavenge runs.
void gc_resize(int32_t otherBytes, int32_t symbolBytes) {
  if (otherBytes <= 0 && symbolBytes <= 0) return;
  if (otherBytes > 0) GsMinFreeOldOther = static_cast<uint32_t>(otherBytes);
  if (symbolBytes > 0) GsMinFreeOldSyms = static_cast<uint32_t>(symbolBytes);
  scavenge(0);
  GsMinFreeOldOther = GsMinFreeOldSyms = 0;
}

}  // extern "C"
