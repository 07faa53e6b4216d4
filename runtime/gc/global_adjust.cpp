// Address adjustment of a global collection: every slot of the heap, the
// stacks, the lisp-static objects, the global words and the external slot
// managers is set to where its object will be once the open old areas are
// compacted.
//
// The break vector holds, in address order, the start of every open area
// and every hole (filler) of its chain, then one entry past the last: where
// this round's portion ends. While a round runs, each hole's link word holds
// the hole bytes of its area up to and including it, so an object slides down
// by the sum of the greatest entry at or below it (an area start: 0). When
// memory for the whole vector is short, the portions come in several rounds,
// lowest addresses first; a value adjusted in one round lies below every
// later portion, so no value is adjusted twice.
//
// Sections: the sequence of breaks, the vector, slot adjustment, the pass.

#include <algorithm>
#include <cstdio>

#include "runtime/gc/function_entry.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/global_gc.h"
#include "runtime/gc/global_gc_state.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/root_scan.h"

namespace {

using namespace gc;
using namespace gc::ggc;
using lisp::lispval;

constexpr uint32_t kStackEntries = 4096;
constexpr uint32_t kForwardTag = 3;
constexpr uint32_t kConsWordFromForward = 2;  // moved cons: car - 2 is its tagged new cell

// An area's first word is the next area's address (8-aligned) or 0, never
// the filler's type byte.
bool isHole(uint32_t entry) {
  return (wordAt(entry) & 0xff) == kFillerType;
}

// ---- the sequence of breaks ----

// Walks area starts and holes in address order; `sum` is the hole bytes of
// the current area up to and including the last hole returned.
struct BreakCursor {
  GsOldArea* area = nullptr;
  uint32_t hole = 0;  // next hole of `area` (0: the next area comes)
  bool areaPending = true;
  uint32_t sum = 0;

  bool done() const { return area == nullptr; }
  uint32_t peek() const {
    if (!area) return openSpaceEnd();
    return areaPending ? areaAddress(area) : hole;
  }
  void advance() {
    if (areaPending) {
      areaPending = false;
      hole = area->firstHole;
      sum = 0;
    } else {
      sum += holeSize(hole);
      hole = holeLink(hole);
    }
    if (!areaPending && hole == 0) {
      area = area->next;
      areaPending = true;
    }
  }
};

// ---- the vector ----

struct BreakVector {
  uint32_t* entries = nullptr;
  uint32_t capacity = 0;     // real entries per round plus the closing one
  uint32_t count = 0;        // of this round, the closing one included
  bool closedByEnd = false;  // the closing entry is the end of the open areas
  uint32_t mappedBytes = 0;
  uint32_t mappedAt = 0;
};
BreakVector ggc_break_vector;
bool g_firstRound = true;

// Loads the next portion, replacing each hole's link by its running sum.
void ggc_fill_break_vector(BreakCursor& cursor) {
  uint32_t n = 0;
  while (n + 1 < ggc_break_vector.capacity && !cursor.done()) {
    const uint32_t entry = cursor.peek();
    const bool hole = !cursor.areaPending;
    cursor.advance();  // reads the link before it is replaced
    if (hole) holeLink(entry) = cursor.sum;
    ggc_break_vector.entries[n++] = entry;
  }
  ggc_break_vector.entries[n++] = cursor.peek();
  ggc_break_vector.count = n;
  ggc_break_vector.closedByEnd = cursor.done();
}

// Puts the links back: a hole links to the next hole of its area, the last to 0.
void ggc_restore_break_chain() {
  const uint32_t last = ggc_break_vector.count - 1;
  for (uint32_t k = 0; k < last; ++k) {
    const uint32_t entry = ggc_break_vector.entries[k];
    if (!isHole(entry)) continue;
    const uint32_t next = ggc_break_vector.entries[k + 1];
    const bool nextIsHole = (k + 1 < last || !ggc_break_vector.closedByEnd) && isHole(next);
    holeLink(entry) = nextIsHole ? next : 0;
  }
}

// How far the object at `address` slides; false when this round's portion
// does not hold it.
bool slideOf(uint32_t address, uint32_t& slide) {
  const uint32_t* first = ggc_break_vector.entries;
  const uint32_t* last = first + ggc_break_vector.count - 1;
  if (address < *first || address >= *last) return false;
  const uint32_t entry = *(std::upper_bound(first, last, address) - 1);
  slide = isHole(entry) ? holeLink(entry) : 0;
  return true;
}

// ---- slot adjustment ----

lispval adjustedCons(lispval value) {
  const uint32_t car = wordAt(lisp::objectAddress(value));
  if ((car & lisp::kTagMask) == kForwardTag) value = car - kConsWordFromForward;
  return value + consPage(pageStart(lisp::objectAddress(value)))->moveDistance;
}

void adjustCodeSlot(uint32_t slot);
const SlotTreatment kAdjustTreatment = {ggc_adj_slot, adjustCodeSlot};

// A function's code vector moved: its entry word moves with it.
void adjustCodeSlot(uint32_t slot) {
  const lispval before = wordAt(slot);
  ggc_adj_slot(slot);
  const lispval after = wordAt(slot);
  if (after == before || !lisp::isOther(before)) return;
  const uint32_t code = lisp::objectAddress(before);
  // The old vector's size: it is still where it was.
  moveEntryWithCode(slot, code, ausize_other(code), lisp::objectAddress(after));
}

// ---- the vector's size ----

// Entries per round for `passes` rounds: a portion of the breaks and the
// closing entry.
uint32_t entriesFor(uint32_t breaks, uint32_t passes) {
  return static_cast<uint32_t>((uint64_t{breaks} + 2 * passes - 1) / passes);
}

uint32_t openAreaCount() {
  uint32_t count = 0;
  for (GsOldArea* area = GsOpenOldAreaFence; area; area = area->next) ++count;
  return count;
}

}  // namespace

extern "C" {

uint32_t ggc_break_count = 0;
uint32_t ggc_adjust_pass_counter = 0;

void ggc_adj_slot(uint32_t slot) {
  const lispval value = wordAt(slot);
  if (!isPointer(value)) return;
  const uint32_t object = lisp::objectAddress(value);
  if (!inOpenSpace(object)) return;
  if (lisp::isCons(value)) {
    if (g_firstRound) wordAt(slot) = adjustedCons(value);
    return;
  }
  uint32_t slide;
  if (slideOf(object, slide)) wordAt(slot) = value - slide;
}

void ggc_adj_retaddr(uint32_t slot) {
  const uint32_t address = wordAt(slot);
  uint32_t slide;
  if (inOpenSpace(address) && slideOf(address, slide)) wordAt(slot) = address - slide;
}

// Sizes the vector: on the stack when a round needs at most 4096 entries,
// else committed (unless flag 0x1000 forbids it), else in more rounds.
// Returns the rounds; `onStack` receives the stack's room.
uint32_t ggc_build_break_vector(uint32_t* onStack) {
  const uint32_t breaks = ggc_break_count + openAreaCount();
  for (uint32_t passes = 1;; passes += passes / 4 + 1) {
    const uint32_t entries = entriesFor(breaks, passes);
    ggc_break_vector.capacity = entries;
    ggc_break_vector.mappedBytes = 0;
    if (entries <= kStackEntries) {
      ggc_break_vector.entries = onStack;
      figures.breakVectorOnStack = true;
      return passes;
    }
    if (GsCtlFlags & flag::kGlobalTest) continue;
    if (const uint32_t address = commitRegion(entries * 4)) {
      ggc_break_vector.entries = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
      ggc_break_vector.mappedAt = address;
      ggc_break_vector.mappedBytes = entries * 4;
      figures.breakVectorOnStack = false;
      return passes;
    }
  }
}

void ggc_pass_adjust() {
  uint32_t stackEntries[kStackEntries];
  const uint32_t passes = ggc_build_break_vector(stackEntries);
  figures.breakEntries = ggc_break_vector.capacity;
  if (GsCtlFlags & flag::kProgress) {
    gc_messages::print(figures.breakVectorOnStack ? gc_messages::kBreakVectorOnStack
                                                  : gc_messages::kBreakVectorMapped,
                       static_cast<int>(ggc_break_vector.capacity), static_cast<int>(passes));
    std::fflush(stdout);
  }
  ggc_adjust_pass_counter = 0;
  BreakCursor cursor;
  cursor.area = GsOpenOldAreaFence;
  g_firstRound = true;
  do {
    ++ggc_adjust_pass_counter;
    ggc_fill_break_vector(cursor);
    gc::scanAllSlots(kAdjustTreatment, ggc_adj_retaddr);
    ggc_restore_break_chain();
    g_firstRound = false;
  } while (!cursor.done());
  if (ggc_break_vector.mappedBytes != 0)
    releaseRegion(ggc_break_vector.mappedAt, ggc_break_vector.mappedBytes);
  ggc_break_vector = {};
  figures.adjustRounds = ggc_adjust_pass_counter;
}

}  // extern "C"
