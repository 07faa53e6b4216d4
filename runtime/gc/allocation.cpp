// Allocation of conses and other objects in new space and old space.
//
// Invariants kept here (see heap_areas.cpp for the whole heap's):
// - GlobNewFree never counts bytes twice: every page or object taken from the
//   allocation semispace is first subtracted from it (request_newspace or
//   other_from_new_xsmp), by compare-and-swap.
// - Objects grow upward to the frontier, cons pages downward to the low
//   mark, and the two never overlap; the pagemap entry of a cons page is 1
//   and is never overwritten by an object frontier.
// - Nothing is allocated in an area before GsOpenOldAreaFence.
// - An object that found no room in old space lives in new space with
//   generation 0, so the next scavenge tenures it.

#include "runtime/gc/allocation.h"

#include <algorithm>

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/native_heap.h"

namespace {

using namespace gc;

constexpr int kConsPageKind = 0;
constexpr int kOtherObjectKind = 3;

int32_t load(const uint32_t& word) {
  return static_cast<int32_t>(__atomic_load_n(&word, __ATOMIC_ACQUIRE));
}
bool compareAndSwap(uint32_t& word, int32_t expected, int32_t desired) {
  uint32_t seen = static_cast<uint32_t>(expected);
  return __atomic_compare_exchange_n(&word, &seen, static_cast<uint32_t>(desired), false,
                                     __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

uint32_t& newPagemapEntry(uint32_t address) {
  return wordAt(GsNewPagemap + 4 * pageOf(address));
}
uint32_t& areaPagemapEntry(const GsOldArea* area, uint32_t address) {
  return wordAt(area->pagemapBase + 4 * pageOf(address));
}

// The frontier moved from `from` to `to`: pages it passed over lie inside
// the object, the page it reached starts its next object. A frontier that
// reached the cons pages leaves their entries alone.
template <class EntryOf>
void advancePagemap(uint32_t from, uint32_t to, uint32_t consPagesStart, EntryOf entryOf) {
  if (pageOf(to) == pageOf(from)) return;
  for (uint32_t page = pageOf(from) + 1; page < pageOf(to); ++page)
    entryOf(page << kPageShift) = kPageInsideObject;
  if (to < consPagesStart) entryOf(to) = to;
}

void prepareFreshPage(uint32_t page) {
  ConsPageHeader* header = consPage(page);
  header->fill = header->firstCell = page + kConsPageFirstCell;
  header->zero = 0;
}

}  // namespace

extern "C" {

// ---- new space ----

int request_newspace(uint32_t bytes) {
  uint32_t& freeWord = globalWord(global::kNewFree);
  for (;;) {
    const int32_t free = load(freeWord);
    const int64_t rest = int64_t{free} - bytes;
    if (rest < 0) return 0;
    if (compareAndSwap(freeWord, free, static_cast<int32_t>(rest))) return 1;
  }
}

uint32_t page_from_new(int kind) {
  if (!request_newspace(kPageBytes)) return 0;
  uint32_t& lowMark = GsNewAllocationArea.pageLowMark;
  int32_t mark;
  do {
    mark = load(lowMark);
  } while (!compareAndSwap(lowMark, mark, mark - static_cast<int32_t>(kPageBytes)));
  const uint32_t page = static_cast<uint32_t>(mark) - kPageBytes;
  prepareFreshPage(page);
  if (InScavenge == 0 && pageallochook) pageallochook(kind, 0);
  return page;
}

uint32_t conspage_from_new() {
  const uint32_t page = page_from_new(kConsPageKind);
  if (page == 0) return 0;
  ConsPageHeader* header = consPage(page);
  header->flags = 0;
  header->end = page + kPageBytes;
  header->stamp = globalWord(global::kGeneration);
  header->queueLink = 0;
  xxGsAllocConsPage = page;
  newPagemapEntry(page) = kPageCons;
  return page;
}

uint32_t cons_from_new_page() {
  sync_shared_cons_pointer();
  uint32_t page;
  while ((page = conspage_from_new()) == 0) scavenge(0);
  ConsPageHeader* header = consPage(page);
  const uint32_t cell = header->fill;
  header->fill += kConsCellBytes;
  point_shared_cons_pointer(page);
  return cell;
}

int require_new_cons(int32_t generation) {
  const uint32_t index = static_cast<uint32_t>(std::clamp<int32_t>(generation, 0, kLastGeneration));
  const uint32_t current = GsGenConsPage[index];
  if (current != 0 && consPage(current)->fill != consPage(current)->end) return 1;
  const uint32_t page = conspage_from_new();
  if (page == 0) return 0;
  consPage(page)->stamp = index;
  __atomic_store_n(&GsGenConsPage[index], page, __ATOMIC_RELEASE);
  return 1;
}

uint32_t other_from_new_xsmp(uint32_t bytes) {
  const uint32_t size = roundUp(bytes, 8);
  const uint32_t total = size + kPrefixBytes;
  if (load(globalWord(global::kNewFree)) < static_cast<int64_t>(total)) scavenge(total);

  uint32_t& top = globalWord(global::kNewOtherTop);
  const uint32_t prefixAddress = top;
  auto* prefix = reinterpret_cast<NewObjectPrefix*>(static_cast<uintptr_t>(prefixAddress));
  prefix->link = 0;
  prefix->stamp = globalWord(global::kGeneration) & stamp::kGenerationMask;
  top = prefixAddress + total;
  __atomic_sub_fetch(&globalWord(global::kNewFree), total, __ATOMIC_ACQ_REL);

  if (pageOf(top) != pageOf(prefixAddress)) new_space_page_crossed(prefixAddress, top, size);
  return prefixAddress + kPrefixBytes;
}

void new_space_page_crossed(uint32_t from, uint32_t to, uint32_t objectBytes) {
  if (InScavenge == 0 && pageallochook) pageallochook(kOtherObjectKind, objectBytes);
  advancePagemap(from, to, GsNewAllocationArea.pageLowMark,
                 [](uint32_t address) -> uint32_t& { return newPagemapEntry(address); });
}

// ---- old space ----

uint32_t grab_old_other(GsOldArea* area, uint32_t bytes) {
  if (areaAddress(area) < areaAddress(GsOpenOldAreaFence))
    gserror(gc_messages::kClosedOldArea, areaAddress(area), 1);
  if (area->freeBytes < bytes) return 0;
  area->freeBytes -= bytes;
  const uint32_t object = area->frontier;
  area->frontier += bytes;
  advancePagemap(object, area->frontier, area->lowestConsPage,
                 [area](uint32_t address) -> uint32_t& { return areaPagemapEntry(area, address); });
  return object;
}

uint32_t other_from_old_xsmp(uint32_t bytes) {
  const uint32_t size = roundUp(bytes, 8);
  const bool big = size > kSmallOtherLimit;
  GsOldArea*& hint = big ? GsOldBigOtherArea : GsOldSmallOtherArea;
  const uint32_t enough = big ? kBigOtherMinimumFree : 1;
  GsOldArea* area = hint;
  while (area && area->freeBytes < enough) area = area->next;
  hint = area;
  for (; area; area = area->next)
    if (const uint32_t object = grab_old_other(area, size)) return object;

  GsOtherTenuresWaiting += size;
  const uint32_t object = other_from_new_xsmp(size);
  wordAt(object - kPrefixBytes + 4) &= ~stamp::kGenerationMask;
  return object;
}

uint32_t page_from_old() {
  GsOldArea* area = GsOldPageArea;
  while (area && area->freeBytes < kPageBytes) area = area->next;
  if (!area) return 0;
  GsOldPageArea = area;
  area->freeBytes -= kPageBytes;
  area->lowestConsPage -= kPageBytes;
  const uint32_t page = area->lowestConsPage;
  prepareFreshPage(page);
  return page;
}

uint32_t cons_from_old() {
  if (GsOldConsPage != 0) {
    ConsPageHeader* header = consPage(GsOldConsPage);
    if (header->fill < header->end) {
      const uint32_t cell = header->fill;
      header->fill += kConsCellBytes;
      return cell;
    }
  }
  const uint32_t page = page_from_old();
  if (page == 0) {
    ++GsConsTenuresWaiting;
    return 0;
  }
  GsOldArea* area = GsOldPageArea;
  ++area->consPageCount;
  ConsPageHeader* header = consPage(page);
  header->flags = 0;
  areaPagemapEntry(area, page) = kPageCons;
  header->fill = page + kConsPageFirstCell + kConsCellBytes;
  header->end = page + kPageBytes;
  GsOldConsPage = page;
  return page + kConsPageFirstCell;
}

// An object that never moves. In the native heap it gets an 8-byte prefix
// like a new-space object; `oldStorage` is an earlier result to resize.
uint32_t other_from_static_xsmp(uint32_t bytes, int inHeap, void* oldStorage) {
  if (inHeap) return other_from_old_xsmp(bytes);
  void* block = oldStorage ? static_cast<uint8_t*>(oldStorage) - kPrefixBytes : nullptr;
  void* storage = vxmrealloc(block, roundUp(bytes, 8) + kPrefixBytes, 0);
  return storage ? addressOf(storage) + kPrefixBytes : 0;
}

}  // extern "C"
