// Heap layout: GsInit, old areas and their pagemaps, the allocation
// semispace, heap growth and the open-area fence.
//
// Invariants of the heap (kept by every function below and by allocation):
// - Old areas lie in address order from GsOldAreas to GsLastOldArea, each
//   [start, end) with header, pagemap, then other objects in
//   [firstObject, frontier) and cons pages in [lowestConsPage, end);
//   freeBytes == lowestConsPage - frontier.
// - New space is [GsNewFence, GsNewTop), two semispaces of GsNewSemiSize;
//   in the allocation semispace other objects lie in
//   [GsNewOther1, GlobNewOtherTop) and cons pages in [pageLowMark, end).
// - A pagemap entry is 0 (unused), 1 (cons page), -1 (inside an object that
//   began earlier, or header) or the address of the first object starting
//   on the page; the entry of the page that holds a frontier names the
//   frontier. Walking objects by size from any named entry reaches every
//   object after it.
// - GlobHeapBasePage is the page of GsOldAreas; the root-set bitmap covers
//   32 * setf_protect_bmap_size pages from it, which is at least the span
//   from GsOldAreas to the break (maxheapsize bounds that span).
// - The shared cons pointer (GlobConsFill, GlobConsLimit) always points
//   into xxGsAllocConsPage.

#include "runtime/gc/heap_areas.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/gc_statistics.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/native_heap.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/thread_storage.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/lisp_presence.h"
#include "runtime/rs/runtime_routines.h"

extern "C" uint32_t globs[32];

namespace {

using namespace gc;

constexpr uint32_t kBitmapPagesPerWord = 32;
constexpr uint32_t kBitmapBytesPerWord = kBitmapPagesPerWord * kPageBytes;  // 0x40000
constexpr uint32_t kBitmapExtraWords = 2;
constexpr uint32_t kBitmapGrowthWords = 2048;
constexpr uint32_t kLispstaticBlockBlocks = 2048;
constexpr uint32_t kNewFenceGlobsWord = 1;  // globs[1] holds the new-space fence

uint32_t heapBreak() {
  return __atomic_load_n(&lisp_heap.brk, __ATOMIC_ACQUIRE);
}

// Grows the Lisp heap at start-up; a refusal ends the process.
uint32_t growOrDie(uint32_t bytes) {
  if (bytes > static_cast<uint32_t>(INT32_MAX)) novm();  // would read as a shrink
  const uint32_t old = heap_gssbrk(static_cast<int32_t>(bytes));
  if (old == heap_reservation::kSbrkFailed) novm();
  return old;
}

void alignBreakOrDie() {
  if (heap_sbrk_aligned(&lisp_heap, 0, GsWorstCasePagesize) == heap_reservation::kSbrkFailed)
    novm();
}

void setDefaults(int32_t spread, uint32_t reserve) {
  GsMinFreeNewPercent = kDefaultMinFreeNewPercent;
  GsExpFreeNewPercent = kDefaultExpFreeNewPercent;
  GsExpFreeOldPercent = kDefaultExpFreeOldPercent;
  GsMinFreeNewOther = kDefaultMinFreeNewOther;
  GsMinFreeNewPageSpace = kDefaultMinFreeNewPageSpace;
  GsNewQuantum = kDefaultNewQuantum;
  GsGenSpread = spread;
  GsTenureLimit = 0;
  GsNewReserve = reserve;
  GsMinFreeOldOther = GsMinFreeOldSyms = 0;
  GsNewHidden = GsNewExpansion = GsOldExpansion = GsAgingAreaSize = GsRecentTenures = 0;
  pageallochook = nullptr;
}

void allocateBitmapOrDie() {
  const uint32_t words = maxheapsize / kBitmapBytesPerWord + kBitmapExtraWords;
  void* bitmap = vxmmalloc(words * 4, 0, 0);
  if (!bitmap) novm();
  std::memset(bitmap, 0, words * 4);
  setf_protect_bmap = static_cast<uint32_t*>(bitmap);
  setf_protect_bmap_size = words;
  lispstatic_block_blocks = kLispstaticBlockBlocks;
}

// The first old cons page of a fresh area.
void takeFirstOldConsPage(GsOldArea* area) {
  const uint32_t page = page_from_old();
  if (page == 0) novm();
  ConsPageHeader* header = consPage(page);
  header->flags = 0;
  header->end = page + kPageBytes;
  area->consPageCount = 1;
  wordAt(area->pagemapBase + 4 * pageOf(page)) = kPageCons;
  GsOldConsPage = page;
  GsTenureCatchupConsArea = area;
  GsTenureCatchupConsPage = page;
  GsTenureCatchupConsItem = header->fill;
}

void setNewSpaceBounds(uint32_t start, uint32_t top) {
  GsNewFence = start;
  GsNewFenceLV = start + lisp::kPointerBias;
  GsNewTop = top;
  GsNewTopLV = top + lisp::kPointerBias;
  globs[kNewFenceGlobsWord] = start;
  globalWord(global::kNewFence) = start;
}

// Saves the fill pointer of each cons page of a closed area, highest first.
void closeArea(GsOldArea* area) {
  uint32_t lowest = area->end;
  for (uint32_t page = area->end - kPageBytes; page >= area->lowestConsPage && page < area->end;
       page -= kPageBytes) {
    consPage(page)->savedFill = consPage(page)->fill;
    lowest = page;
  }
  area->closedLowestPage = lowest;
}

// Fills the rest of a cons page with (nil . nil) so it takes no more conses.
void fillConsPageWithNil(uint32_t page) {
  const lisp::lispval nil = nilval;
  ConsPageHeader* header = consPage(page);
  for (uint32_t cell = header->fill; cell < header->end; cell += kConsCellBytes) {
    wordAt(cell) = nil;
    wordAt(cell + 4) = nil;
  }
  header->fill = header->end;
}

}  // namespace

extern "C" {

void GsRebornInit() {
  init_ut();
}

void GsInitPagemap(uint32_t pagemap, uint32_t firstAddress, uint32_t words, uint32_t firstObject) {
  uint32_t* entries = &wordAt(pagemap);
  std::fill(entries, entries + words, kPageUnused);
  const uint32_t firstPage = pageOf(firstAddress);
  for (uint32_t page = firstPage; (page + 1) * kPageBytes <= firstObject; ++page)
    entries[page - firstPage] = kPageInsideObject;
  entries[pageOf(firstObject) - firstPage] = firstObject;
}

void GsOldAreaSetsize(GsOldArea* area, uint32_t size) {
  const uint32_t start = areaAddress(area);
  area->size = size;
  area->end = start + size;
  area->lowestConsPage = area->end;
  const uint32_t pagemap = start + sizeof(GsOldArea);
  const uint32_t words = pagemapWords(size);
  area->pagemapBase = biasedPagemapBase(pagemap, start);
  area->firstObject = roundUp(pagemap + 4 * words, 8);
  area->frontier = area->rootScanLimit = area->tenureCatchup = area->firstObject;
  area->freeBytes = area->end - area->firstObject;
  area->consPageCount = 0;
  area->closedLowestPage = 0;
  std::fill(std::begin(area->spare), std::end(area->spare), 0u);
  area->zero12 = area->zero17 = 0;
  area->firstHole = area->holeCount = area->holeBytes = 0;
  area->pageSpaceReach = area->pageSlotsFrom = 0;
  std::fill(std::begin(area->holeIndex), std::end(area->holeIndex), 0u);
  std::fill(std::begin(area->holeIndexBytes), std::end(area->holeIndexBytes), 0u);
  std::fill(std::begin(area->reserved), std::end(area->reserved), 0u);
  GsInitPagemap(pagemap, start, words, area->firstObject);
}

void GsOldAreaSetup(uint32_t start, uint32_t size) {
  GsOldArea* area = reinterpret_cast<GsOldArea*>(static_cast<uintptr_t>(start));
  area->next = nullptr;
  ++GsOldAreaCt;
  GsOldAreaSetsize(area, size);
  area->previous = GsLastOldArea;
  if (GsLastOldArea)
    GsLastOldArea->next = area;
  else
    GsOldAreas = area;
  GsLastOldArea = area;
}

void GsNewAreaSetup(uint32_t start, uint32_t size) {
  GsNewAllocationArea = {start, start + size, start + size};
  const uint32_t words = pagemapWords(size);
  GsNewPagemap = biasedPagemapBase(start, start);
  GsNewOther1 = roundUp(start + 4 * words, 8);
  globalWord(global::kNewOtherTop) = GsNewOther1;
  GsInitPagemap(start, start, words, GsNewOther1);

  GsSVC_head = 0;
  GsSVC_tail = addressOf(&GsSVC_head);
  GsCVC_head = 0;
  GsCVC_tail = addressOf(&GsCVC_head);
  GsCVC_count = 0;

  const int64_t free = int64_t{start} + size - GsNewOther1 - GsNewReserve - GsNewHidden;
  globalWord(global::kNewFree) = static_cast<uint32_t>(static_cast<int32_t>(free));
  GsNewSemiSize = size;

  const uint32_t page = conspage_from_new();
  std::fill(std::begin(GsGenConsPage), std::end(GsGenConsPage), 0u);
  const uint32_t generation =
      std::min(globalWord(global::kGeneration), static_cast<uint32_t>(kLastGeneration));
  GsGenConsPage[generation] = page;
  if (page != 0) point_shared_cons_pointer(page);
}

void GsInit(uint32_t oldSize, uint32_t newSize, int32_t spread, uint32_t reserve) {
  if (spread <= 0) {
    gc_messages::warn(gc_messages::kSpreadTooSmall, spread);
    spread = 1;
  }
  if (oldSize < kMinimumSpaceBytes) {
    gc_messages::warn(gc_messages::kOldSpaceTooSmall);
    lisp_exit(1);
  }
  if (newSize < kMinimumSpaceBytes) {
    gc_messages::warn(gc_messages::kNewSpaceTooSmall);
    lisp_exit(1);
  }

  GsWorstCasePagesize = worstCasePageSize();
  setDefaults(spread, reserve);
  gc_messages::print(gc_messages::kInitialSpread, spread);
  allocateBitmapOrDie();

  // Old space: the global table at its start, the first old area after it.
  const uint32_t start = growOrDie(oldSize);
  alignBreakOrDie();
  gc_messages::print(gc_messages::kAllocatedSpace, static_cast<int>(heapBreak() - start),
                     gc_messages::kOldSpaceName);
  const uint32_t globalsStart = roundUp(start, 8);
  setup_dummy_threadctl(nullptr);  // the placeholder thread record setupglobs installs
  const uint32_t areaStart = setupglobs(globalsStart, static_cast<uint32_t>(spread));
  growOrDie(areaStart - start);
  alignBreakOrDie();
  GsOldAreaSetup(areaStart, heapBreak() - areaStart);
  GsOldArea* area = GsLastOldArea;
  globalWord(global::kHeapBasePage) = pageOf(areaAddress(GsOldAreas));
  GsOldPageArea = GsOpenOldAreaFence = area;
  GsOldSmallOtherArea = GsOldBigOtherArea = area;
  takeFirstOldConsPage(area);

  // New space: two semispaces at the top.
  const uint32_t newBytes = roundUp(newSize, kNewSpaceRounding);
  if (newBytes < newSize) novm();
  const uint32_t newStart = growOrDie(newBytes);
  setNewSpaceBounds(newStart, newStart + newBytes);
  gc_messages::print(gc_messages::kAllocatedNewSpace, static_cast<int>(newBytes));
  GsNewAreaSetup(newStart, newBytes / 2);
  GsNewScavengeToArea = newStart + newBytes / 2;
  // Sizes beyond maxheapsize: the root-set bitmap is enlarged to reach every
  // page laid out, as it is when the heap grows past it later. A page
  // without a bit could never be marked.
  const uint32_t span = heapBreak() - areaAddress(GsOldAreas);
  if (span > maxheapsize && allocate_new_bmap(span) == 0) novm();
  init_ut();
  lisp::presence::arrive();  // nil and both spaces are in place
}

int allocate_new_bmap(uint32_t span) {
  const uint32_t words = ((span >> 18) + kBitmapGrowthWords + 1) & ~(kBitmapGrowthWords - 1);
  void* bitmap = vxmmalloc(words * 4, 0, 0);
  if (!bitmap) return 0;
  std::memset(bitmap, 0, words * 4);
  if (setf_protect_bmap) {
    std::memcpy(bitmap, setf_protect_bmap, std::min(words, setf_protect_bmap_size) * 4);
    vxmmalloc_frees += vxmfree(setf_protect_bmap, 0);
  }
  setf_protect_bmap = static_cast<uint32_t*>(bitmap);
  setf_protect_bmap_size = words;
  maxheapsize = (words - kBitmapExtraWords) * kBitmapBytesPerWord;
  return 1;
}

int limited_setbrk(uint32_t n, uint32_t* newBreak) {
  if (n > static_cast<uint32_t>(INT32_MAX)) return -1;  // would read as a shrink
  const uint32_t oldBreak = heap_gssbrk(static_cast<int32_t>(n));
  if (oldBreak == heap_reservation::kSbrkFailed) return -1;
  *newBreak = oldBreak + n;
  const uint32_t span = *newBreak - areaAddress(GsOldAreas);
  if (span > maxheapsize && allocate_new_bmap(span) == 0) {
    GsFailedHlimit = maxheapsize;
    // Pages past the bitmap could never be marked: give the growth back.
    heap_gssbrk(-static_cast<int32_t>(n));
    *newBreak = oldBreak;
    return -1;
  }
  return 0;
}

void setOpenOldFence(int32_t n) {
  if (GsOldAreaCt == 0) return;
  const int32_t count = static_cast<int32_t>(GsOldAreaCt);
  if (n < 0) n += count;
  n = std::clamp(n, 0, count - 1);  // the fence is always an area of the chain

  GsOldArea* fence = GsOldAreas;
  for (int32_t i = 0; i < n && fence->next; ++i) {
    closeArea(fence);
    fence = fence->next;
  }
  GsOpenOldAreaFence = fence;
  GsOldSmallOtherArea = GsOldBigOtherArea = fence;
  if (GsOldConsPage != 0 && GsOldConsPage < areaAddress(fence)) {
    GsOldPageArea = fence;
    fillConsPageWithNil(GsOldConsPage);
  }
}

int32_t getOpenOldFence() {
  int32_t closed = 0;
  for (GsOldArea* area = GsOldAreas; area; area = area->next, ++closed)
    if (area == GsOpenOldAreaFence) return closed;
  return 0;
}

uint32_t GsNewspaceFullness() {
  sync_shared_cons_pointer();
  if (GsNewSemiSize == 0) return 0;
  const int32_t free = static_cast<int32_t>(globalWord(global::kNewFree));
  return free <= 0 ? 0 : static_cast<uint32_t>(int64_t{free} * 20 / GsNewSemiSize);
}

void sync_shared_cons_pointer() {
  if (xxGsAllocConsPage != 0)
    consPage(xxGsAllocConsPage)->fill = globalWord(global::kConsFill) - kConsWordBias;
}

void point_shared_cons_pointer(uint32_t page) {
  xxGsAllocConsPage = page;
  globalWord(global::kConsFill) = consPage(page)->fill + kConsWordBias;
  globalWord(global::kConsLimit) = consPage(page)->end + kConsWordBias;
}

}  // extern "C"

namespace gc {

uint32_t worstCasePageSize() {
  return std::max(vxmgetpagesize(), kPageBytes);
}

}  // namespace gc
