// The passes of a global collection that plan and carry out the moves in
// the open old areas: cons cells into the free cells of lower pages, dead
// runs of other objects into holes, whole cons pages into empty page slots
// of older areas, then the moves themselves.
//
// Invariant between planning and moving: every moved cons leaves its new
// address (tag 3) in its old car; every hole is a chain of fillers whose
// sizes say how far the objects above them slide; every cons page of an
// open area says in moveDistance where it goes (0: it stays). Nothing moves
// until every pointer has been adjusted to where its object will be.
//
// Sections: statistics, cons swap, break chain, page plan, compaction.

#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/gc/global_gc.h"
#include "runtime/gc/global_gc_state.h"
#include "runtime/gc/heap_walkers.h"

namespace {

using namespace gc;
using namespace gc::ggc;

constexpr uint32_t kForwardedConsBias = 0x13;  // moved cons: its car holds new cell + 0x13
constexpr uint32_t kConsStatisticsSlot = 1;
constexpr uint32_t kIndexPoints = 9;

// ---- cons swap ----

// A position on the chain of open cons pages: page number on the chain and
// cell number in the page.
struct CellChain {
  std::vector<uint32_t> pages;  // in address order within each area, areas oldest first
  uint64_t cells() const { return uint64_t{pages.size()} * kConsesPerPage; }
  uint32_t cell(uint64_t position) const {
    return pages[position / kConsesPerPage] + kConsPageFirstCell +
           kConsCellBytes * static_cast<uint32_t>(position % kConsesPerPage);
  }
};

CellChain openConsPages() {
  CellChain chain;
  for (GsOldArea* area = GsOpenOldAreaFence; area; area = area->next)
    for (uint32_t page = area->lowestConsPage; page < area->end; page += kPageBytes)
      chain.pages.push_back(page);
  return chain;
}

void moveCons(uint32_t from, uint32_t to) {
  wordAt(to) = wordAt(from);
  wordAt(to + 4) = wordAt(from + 4);
  wordAt(from) = to + kForwardedConsBias;
  clearMark(from);
  setMark(to);
}

// The fingers read the bitmap a word at a time where 32 cells of one page
// share a bitmap word: a fully marked word (low finger) or an empty one
// (high finger) is passed at once.
constexpr uint32_t kBitsPerWord = 32;
constexpr uint32_t kAllMarked = 0xffffffff, kNoneMarked = 0;

bool wholeWordFrom(const CellChain& chain, uint64_t position, uint64_t limit, uint32_t word) {
  if (position + kBitsPerWord > limit || position % kConsesPerPage + kBitsPerWord > kConsesPerPage)
    return false;
  const uint32_t bit = bitOf(chain.cell(position));
  return bit % kBitsPerWord == 0 && bitmap.words[bit / kBitsPerWord] == word;
}
bool wholeWordBelow(const CellChain& chain, uint64_t end, uint64_t limit, uint32_t word) {
  return end >= limit + kBitsPerWord && wholeWordFrom(chain, end - kBitsPerWord, end, word);
}

// Cells before `meeting` are live, the rest free: each page's fill follows.
void setFills(const CellChain& chain, uint64_t meeting) {
  for (size_t index = 0; index < chain.pages.size(); ++index) {
    const uint32_t page = chain.pages[index];
    const uint64_t first = uint64_t{index} * kConsesPerPage;
    ConsPageHeader* header = consPage(page);
    if (meeting >= first + kConsesPerPage)
      header->fill = header->end;
    else if (meeting <= first)
      header->fill = page + kConsPageFirstCell;
    else
      header->fill = chain.cell(meeting);
  }
}

// ---- break chain ----

void countReclaimed(uint32_t object, uint32_t bytes) {
  const uint8_t type = wordAt(object) & 0xff;
  ++ggc_last_hole_count[type];
  ggc_last_hole_aucount[type] += bytes;
}

// Turns [start, end) into fillers appended to the hole chain at *link.
uint32_t* makeHole(uint32_t start, uint32_t end, uint32_t* link, GsOldArea* area) {
  for (uint32_t piece = start; piece < end;) {
    const uint32_t bytes = std::min(end - piece, kLargestFiller);
    wordAt(piece) = fillerHeader(bytes);
    *link = piece;
    link = &holeLink(piece);
    ++area->holeCount;
    piece += bytes;
  }
  area->holeBytes += end - start;
  return link;
}

// Nine points at tenths of the chain, each with the hole bytes below it.
void indexHoles(GsOldArea* area) {
  uint32_t number = 0, below = 0, point = 0;
  for (uint32_t hole = area->firstHole; hole != 0 && point < kIndexPoints;
       hole = holeLink(hole), ++number) {
    while (point < kIndexPoints && number == (point + 1) * area->holeCount / 10) {
      area->holeIndex[point] = hole;
      area->holeIndexBytes[point] = below;
      ++point;
    }
    below += holeSize(hole);
  }
}

void breakArea(GsOldArea* area) {
  area->firstHole = area->holeCount = area->holeBytes = 0;
  uint32_t* link = &area->firstHole;
  for (uint32_t object = area->firstObject; object < area->frontier;) {
    if (isMarked(object)) {
      object = objectEnd(object, area->frontier);
      continue;
    }
    const uint32_t start = object;
    while (object < area->frontier && !isMarked(object)) {
      const uint32_t next = objectEnd(object, area->frontier);
      countReclaimed(object, next - object);
      object = next;
    }
    link = makeHole(start, object, link, area);
    ++figures.holes;
  }
  *link = 0;
  ggc_break_count += area->holeCount;
  figures.holeBytes += area->holeBytes;
  indexHoles(area);
  area->pageSpaceReach = roundUp(area->frontier - area->holeBytes, kPageBytes);
}

// ---- page plan ----

// Slot finger: oldest area first, each from its top down to where its page
// space may reach. Page finger: newest area first, each from its lowest
// cons page up. They meet when the slot finger is no longer older.
struct Finger {
  GsOldArea* area;
  uint32_t page;
};

bool crossed(const Finger& slot, const Finger& used) {
  return areaAddress(slot.area) > areaAddress(used.area) ||
         (slot.area == used.area && slot.page <= used.page);
}

// Slots below the lowest cons page lie in the other objects' space; those
// down to pageSpaceReach are free once the other objects are compacted.
uint32_t lowestSlot(const GsOldArea* area) {
  return std::min(area->lowestConsPage, area->pageSpaceReach);
}

// The next empty slot at or below the finger; pages in use stay.
bool nextEmptySlot(Finger& slot, const Finger& used) {
  for (;;) {
    if (crossed(slot, used)) return false;
    if (slot.page < lowestSlot(slot.area) || slot.page >= slot.area->end) {
      slot.area = slot.area->next;
      if (!slot.area) return false;
      slot.page = slot.area->end - kPageBytes;
      continue;
    }
    if (slot.page >= slot.area->lowestConsPage && pageInUse(slot.page)) {
      slot.page -= kPageBytes;
      continue;
    }
    return true;
  }
}

// The next cons page in use at or above the finger.
bool nextUsedPage(Finger& used, const Finger& slot) {
  for (;;) {
    if (crossed(slot, used)) return false;
    if (used.page >= used.area->end) {
      if (used.area == GsOpenOldAreaFence) return false;
      used.area = used.area->previous;
      used.page = used.area->lowestConsPage;
      continue;
    }
    if (pageInUse(used.page)) return true;
    used.page += kPageBytes;
  }
}

// ---- compaction ----

void compactArea(GsOldArea* area) {
  if (area->firstHole == 0) return;
  uint32_t to = area->firstHole;
  for (uint32_t hole = area->firstHole; hole != 0;) {
    const uint32_t next = holeLink(hole);
    const uint32_t from = hole + holeSize(hole);
    const uint32_t end = next != 0 ? next : area->frontier;
    std::memmove(reinterpret_cast<void*>(static_cast<uintptr_t>(to)),
                 reinterpret_cast<void*>(static_cast<uintptr_t>(from)), end - from);
    to += end - from;
    hole = next;
  }
  area->freeBytes += area->frontier - to;
  area->frontier = area->rootScanLimit = area->tenureCatchup = to;
  area->firstHole = area->holeCount = area->holeBytes = 0;
  std::fill(std::begin(area->holeIndex), std::end(area->holeIndex), 0u);
  std::fill(std::begin(area->holeIndexBytes), std::end(area->holeIndexBytes), 0u);
}

void movePage(uint32_t page) {
  ConsPageHeader* header = consPage(page);
  const uint32_t distance = header->moveDistance;
  const uint32_t slot = page + distance;
  std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(slot)), header, kPageBytes);
  ConsPageHeader* moved = consPage(slot);
  moved->fill += distance;
  moved->firstCell += distance;
  moved->end += distance;
  moved->moveDistance = 0;
  header->moveDistance = 0;
  header->fill = header->firstCell;  // the page left is empty
  ++figures.pagesMoved;
}

// Page space from the lowest page in use up to the end; pages left empty
// below it become free space.
void recomputePageSpace(GsOldArea* area) {
  uint32_t lowest = area->end;
  for (uint32_t page = area->end - kPageBytes; page >= area->pageSlotsFrom && page < area->end;
       page -= kPageBytes)
    if (pageInUse(page)) lowest = page;
  area->lowestConsPage = lowest;
  area->consPageCount = (area->end - lowest) / kPageBytes;
  area->freeBytes = lowest - area->frontier;
  area->pageSpaceReach = area->pageSlotsFrom = 0;
}

}  // namespace

extern "C" {

void ggc_pass_cons_slots() {
  const CellChain chain = openConsPages();
  uint64_t low = 0, high = chain.cells();
  uint32_t moved = 0;
  for (;;) {
    while (low < high && isMarked(chain.cell(low)))
      low += wholeWordFrom(chain, low, high, kAllMarked) ? kBitsPerWord : 1;
    while (high > low && !isMarked(chain.cell(high - 1)))
      high -= wholeWordBelow(chain, high, low, kNoneMarked) ? kBitsPerWord : 1;
    if (high <= low) break;
    moveCons(chain.cell(high - 1), chain.cell(low));
    ++moved;
    ++low;
    --high;
  }
  setFills(chain, low);  // cells below `low` are live, the rest free
  ggc_last_hole_count[kConsStatisticsSlot] = moved;
  ggc_last_hole_aucount[kConsStatisticsSlot] = moved * kConsCellBytes;
  figures.consesMoved = moved;
}

void ggc_pass_breakothers() {
  ggc_break_count = 0;
  for (GsOldArea* area = GsOpenOldAreaFence; area; area = area->next) breakArea(area);
}

void ggc_pass_pages() {
  for (GsOldArea* area = GsOpenOldAreaFence; area; area = area->next) {
    for (uint32_t page = area->lowestConsPage; page < area->end; page += kPageBytes)
      consPage(page)->moveDistance = 0;
    area->pageSlotsFrom = area->lowestConsPage;
  }
  if (!GsOpenOldAreaFence) return;
  Finger slot{GsOpenOldAreaFence, GsOpenOldAreaFence->end - kPageBytes};
  Finger used{GsLastOldArea, GsLastOldArea->lowestConsPage};
  while (nextEmptySlot(slot, used) && nextUsedPage(used, slot)) {
    consPage(used.page)->moveDistance = slot.page - used.page;
    slot.area->pageSlotsFrom = std::min(slot.area->pageSlotsFrom, slot.page);
    slot.page -= kPageBytes;
    used.page += kPageBytes;
  }
}

void ggc_pass_compactothers() {
  for (GsOldArea* area = GsOpenOldAreaFence; area; area = area->next) compactArea(area);
}

void ggc_pass_compact_pages() {
  figures.pagesMoved = 0;
  for (GsOldArea* area = GsLastOldArea; area && isOpenArea(area); area = area->previous)
    for (uint32_t page = area->lowestConsPage; page < area->end; page += kPageBytes)
      if (consPage(page)->moveDistance != 0) movePage(page);
  for (GsOldArea* area = GsOpenOldAreaFence; area; area = area->next) recomputePageSpace(area);
}

}  // extern "C"
