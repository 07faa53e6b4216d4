// Heap relocation: the relocation ranges and their slot routines, and the
// steps that move the collector's own records with the heap before every
// slot is relocated.
//
// Words are shifted only when they lie in the heap's old range: words that
// hold 0, a count, or an address outside the heap stay, and words the image
// reader already moved (they now lie in the new range, which never overlaps
// the old one) are not moved twice.

#include "runtime/gc/heap_relocation.h"

#include <iterator>

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/function_entry.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/object_extent.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/first_lisp_thread.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/object_layout.h"

extern "C" {
uint32_t rms_start = 0, rms_end = 0;
int32_t rms_offset = 0;
uint32_t rms_start2 = 0, rms_end2 = 0;
int32_t rms_offset2 = 0;
}

namespace {

using namespace gc;
using lisp::lispval;

// ---- which words of the heap's own records hold heap addresses ----

enum class Word : uint8_t { Other, Address, Pagemap };
constexpr Word O = Word::Other;
constexpr Word A = Word::Address;

// Every word of an old-area header, in order: links, bounds, page-space
// bounds, hole and object pointers are addresses.
// clang-format off
constexpr Word kAreaWords[] = {
    A, O, A, A, A,           // next, size, end, previous, closedLowestPage
    O, O, O,                 // spare
    A, A, A, O, O, A, A,     // lowestConsPage .. tenureCatchup
    Word::Pagemap, O, O,     // pagemapBase, consPageCount, zero17
    A, O, O,                 // firstHole, holeCount, holeBytes
    A, A, A, A, A, A, A, A, A,  // holeIndex
    O, O, O, O, O, O, O, O, O,  // holeIndexBytes
    A, A, O, O,              // pageSpaceReach, pageSlotsFrom, reserved
};
// clang-format on
static_assert(std::size(kAreaWords) == sizeof(GsOldArea) / 4, "one row per header word");
// Every word of a cons page header: the frontier words and the queue link.
constexpr Word kConsPageWords[] = {O, A, A, A, O, O, A, O, A, A};
static_assert(std::size(kConsPageWords) == sizeof(ConsPageHeader) / 4, "one row per header word");

// The raw-address words of the nil block the collector keeps (the tagged
// ones are Lisp values, relocated with every other slot; the cons pointer
// pair is reloaded from its page afterwards).
constexpr int32_t kGlobalAddressWords[] = {global::kNewFence, global::kNewOtherTop,
                                           global::kConsFill, global::kConsLimit};

// The heap's old range during gc_relocate_heap. The end is inclusive, and a
// top's pointer-biased form may lie up to 16 bytes beyond it.
struct OldRange {
  uint32_t low, high;
  int32_t delta;
  bool holds(uint32_t value) const {
    return value >= low && value - low <= high - low + lisp::kPointerBias;
  }
  void shift(uint32_t& word) const {
    if (holds(word)) word += static_cast<uint32_t>(delta);
  }
};

bool rangeHolds(uint32_t start, uint32_t end, uint32_t value) {
  return value > start && value < end;
}

// The relocated form of a word, whatever its low bits.
uint32_t relocated(uint32_t value) {
  if (rangeHolds(rms_start, rms_end, value)) return value + static_cast<uint32_t>(rms_offset);
  if (rangeHolds(rms_start2, rms_end2, value)) return value + static_cast<uint32_t>(rms_offset2);
  return value;
}

bool disjoint(uint32_t start, uint32_t end, uint32_t start2, uint32_t end2) {
  return start >= end || start2 >= end2 || end <= start2 || end2 <= start;
}

// The entry word of a function or closure is a raw code address: it looks
// like a fixnum to rms_slot, so it is relocated here explicitly.
uint32_t relocateEntryWord(uint32_t object) {
  const uint8_t type = wordAt(object) & 0xff;
  if (type == lisp::type_code::Function || type == lisp::type_code::Closure)
    rms_retaddr(object + 4 * kFunctionEntryWord);
  return 0;
}

// ---- the steps of gc_relocate_heap ----

void shiftCollectorVariables(const OldRange& old) {
  for (const CollectorVariable& row : kCollectorVariables)
    if (row.role == HeapWordRole::Address) old.shift(*static_cast<uint32_t*>(row.variable));
  for (const int32_t offset : kGlobalAddressWords) old.shift(globalWord(offset));
}

// The map's own address moved with the heap; its entries name objects.
void shiftPagemap(uint32_t& biasedBase, uint32_t oldFirst, uint32_t newFirst, uint32_t words,
                  const OldRange& old) {
  const uint32_t map = biasedBase + 4 * pageOf(oldFirst) + static_cast<uint32_t>(old.delta);
  biasedBase = biasedPagemapBase(map, newFirst);
  for (uint32_t i = 0; i < words; ++i) old.shift(wordAt(map + 4 * i));
}

void shiftConsPage(uint32_t page, const OldRange& old) {
  for (uint32_t i = 0; i < std::size(kConsPageWords); ++i)
    if (kConsPageWords[i] == Word::Address) old.shift(wordAt(page + 4 * i));
}

void shiftNewSpace(const OldRange& old) {
  if (GsNewSemiSize == 0) return;
  const GsNewArea& semispace = GsNewAllocationArea;
  shiftPagemap(GsNewPagemap, semispace.start - static_cast<uint32_t>(old.delta), semispace.start,
               pagemapWords(GsNewSemiSize), old);
  for (uint32_t page = pageStart(semispace.pageLowMark); page < semispace.end; page += kPageBytes)
    if (wordAt(GsNewPagemap + 4 * pageOf(page)) == kPageCons) shiftConsPage(page, old);
}

void shiftArea(GsOldArea* area, const OldRange& old) {
  auto* words = reinterpret_cast<uint32_t*>(area);
  for (uint32_t i = 0; i < std::size(kAreaWords); ++i)
    if (kAreaWords[i] == Word::Address) old.shift(words[i]);
  const uint32_t start = areaAddress(area);
  // The map follows the header; its biased base is recomputed from there.
  const uint32_t map = roundUp(start + sizeof(GsOldArea), 4);
  area->pagemapBase = biasedPagemapBase(map, start);
  for (uint32_t i = 0; i < pagemapWords(area->size); ++i) old.shift(wordAt(map + 4 * i));
  for (uint32_t page = area->end - kPageBytes; page >= area->lowestConsPage && page < area->end;
       page -= kPageBytes)
    if (wordAt(area->pagemapBase + 4 * pageOf(page)) == kPageCons) shiftConsPage(page, old);
}

// Relinks a chain whose elements lie in the heap's old range; a link that
// leaves it ends the chain (a damaged chain is never followed out of the heap).
void relinkChain(uint32_t& head, uint32_t* tail, const OldRange& old) {
  const uint32_t oldTail = tail ? *tail : 0;
  if (!old.holds(head)) {
    if (tail && head == 0) *tail = addressOf(&head);  // empty: the tail names the head
    return;
  }
  head += static_cast<uint32_t>(old.delta);
  uint32_t element = head;
  for (;;) {
    if (tail && element - static_cast<uint32_t>(old.delta) == oldTail) break;
    uint32_t& link = wordAt(element);
    if (!old.holds(link)) break;
    link += static_cast<uint32_t>(old.delta);
    element = link;
  }
  if (tail) *tail = element;
}

}  // namespace

extern "C" {

int skip_savedstack_scan = 0;

void rms_slot(uint32_t slot) {
  const uint32_t value = wordAt(slot);
  switch (lisp::tagOf(value)) {
    case lisp::Tag::Fixnum:
    case lisp::Tag::FixnumOdd:
    case lisp::Tag::Character:
      return;
    default:
      wordAt(slot) = relocated(value);
  }
}

void rms_retaddr(uint32_t slot) {
  wordAt(slot) = relocated(wordAt(slot));
}

void gc_rms() {
  const int saved = skip_savedstack_scan;
  skip_savedstack_scan = 1;
  gsgc_scan_all_slots(rms_slot, rms_retaddr);
  gsgc_scan_all(nullptr, relocateEntryWord, 1, 1, 1);
  skip_savedstack_scan = saved;
}

void gc_relocate_memory_section(uint32_t libraryStart, uint32_t libraryEnd, int32_t libraryDelta,
                                uint32_t heapStart, uint32_t heapEnd, int32_t heapDelta) {
  // A word inside both would be relocated by the library's offset alone.
  if (!disjoint(libraryStart, libraryEnd, heapStart, heapEnd))
    gserror(gc_messages::kRelocationRangesOverlap, libraryStart, 1);
  rms_start = libraryStart;
  rms_end = libraryEnd;
  rms_offset = libraryDelta;
  rms_start2 = heapStart;
  rms_end2 = heapEnd;
  rms_offset2 = heapDelta;
  gc_rms_preinit();
  rms_offset = rms_offset2 = 0;
}

void update_pfx_chain(uint32_t* head, uint32_t* out, int32_t delta) {
  const OldRange anywhere{1, 0xffffffffu - lisp::kPointerBias, delta};
  relinkChain(*head, out, anywhere);
}

int gc_relocate_heap(heap_descriptor* heap, int32_t heapDelta, int32_t libraryDelta) {
  const uint32_t delta = static_cast<uint32_t>(heapDelta);
  const OldRange old{heap->base - delta, heap->reserved_end - delta, heapDelta};
  if (delta % kPageBytes != 0) {
    gc_messages::warn(gc_messages::kRelocationMisaligned, static_cast<long>(heapDelta));
    return 0;
  }
  // Mended: words of the new heap would be relocated again by the library's
  // offset when the heap now lies where the library was.
  if (vxm_lso != 0 && (!disjoint(vxm_lso, vxm_lsoend, heap->base, heap->reserved_end) ||
                       !disjoint(vxm_lso, vxm_lsoend, old.low, old.high))) {
    gc_messages::warn(gc_messages::kRelocationRangesOverlap, static_cast<unsigned long>(vxm_lso));
    return 0;
  }

  if (heapDelta != 0) {
    // 1: the collector's variables (the image reader moved some already).
    shiftCollectorVariables(old);
    globalWord(global::kHeapBasePage) = pageOf(areaAddress(GsOldAreas));
    // 2 and 5: new space's page map and cons pages.
    shiftNewSpace(old);
    // 3: the prefix chains (sysvectors and code vectors end at their tails).
    relinkChain(GsWeakChain, nullptr, old);
    relinkChain(GsFinlzChain, nullptr, old);
    relinkChain(GsSVC_head, &GsSVC_tail, old);
    relinkChain(GsCVC_head, &GsCVC_tail, old);
    // 4: every old area.
    for (GsOldArea* area = GsOldAreas; area; area = area->next) shiftArea(area, old);
    // 5: the shared cons pointer from its page.
    sync_shared_cons_pointer();
    if (xxGsAllocConsPage != 0) point_shared_cons_pointer(xxGsAllocConsPage);
  }
  // 6: every slot.
  gc_relocate_memory_section(vxm_lso, vxm_lsoend, libraryDelta, old.low, old.high, heapDelta);
  // 7: the library's own words, read again where it now lies.
  if (libraryDelta != 0 && vxm_lso != 0)
    map_lso_from_addr(vxm_lso + static_cast<uint32_t>(libraryDelta));
  return 1;
}

}  // extern "C"
