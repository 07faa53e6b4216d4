// The generation scavenger.
//
// Invariant it establishes: when a scavenge returns, nothing points into the
// from-space (no root, no old-space word, no new-space word, no lisp-static
// slot), and every old-space word that points into new space (or at a
// lisp-static object) lies on a page whose root-set bit is set.
//
// How: every from-space object reached is copied once and forwarded (a
// cons by a tag-3 car, an other object by bit 16 of its prefix stamp and its
// header word); every slot is visited exactly once per pass, so a visit that
// finds a pointer into the target half means a slot was visited twice, which
// is fatal. Slots in old space are re-marked after their visit (ochecknslot),
// so a slot that still points into new space keeps its page marked.
//
// Scan fronts: copied conses (downward over the to-space's cons pages, plus
// a queue of pages the front had passed when they received a copy), copied
// other objects (upward from GsNewOther1), and objects tenured in this
// scavenge (each old area from its root-scan limit; conses from where the
// last scavenge's tenured conses ended).
//
// Sections: state, copying, slot treatments, code tree, catch-up scans,
// roots, hooks and calls into Lisp, the request loop, entry points (the
// helpers of each come first, the exported routines after them in the same
// order); last, the native heap's link to the scavenger.

#include "runtime/gc/scavenger.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "platform/waitable.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/collector_errors.h"
#include "runtime/gc/external_slot_managers.h"
#include "runtime/gc/from_space.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/gc_statistics.h"
#include "runtime/gc/global_gc.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/lispstatic.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/object_extent.h"
#include "runtime/gc/root_scan.h"
#include "runtime/gc/sizing.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/gc/weak_objects.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/os/memory_status.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/integer_context.h"

namespace {

using namespace gc;
using lisp::lispval;
using lisp::Tag;

// ---- state ----

constexpr uint32_t kQueueEmpty = 0xffffffff;
constexpr uint32_t kBeingDrained = 0xffffffff;  // queue link of the page being drained
constexpr uint32_t kForwardedConsBias = 0x13;   // car of a copied cons: copy + 0x13 (tag 3)
constexpr uint32_t kForwardTag = 3;
constexpr uint8_t kCodeVectorType = 108;
constexpr uint8_t kFinalizationType = 96;
constexpr uint8_t kWeakSimpleVectorType = 112;
constexpr uint32_t kFunctionEntryWord = 1;
constexpr uint32_t kSmallestTreeCodeVector = 16;
constexpr uint32_t kEntryFromCodeVector = 14;  // entry = code vector's tagged word - 14
constexpr uint32_t kFinalizationFirstScanned = 2;
constexpr uint32_t kFinalizationSlots = 3;  // watched object, value, queue link
constexpr uint32_t kHookVectorAddressWord = 2;
constexpr uint8_t kHookVectorTypes[] = {127, 123};
constexpr uint8_t kFunctionTypes[] = {8, 9};
constexpr int32_t kReserveThreshold = 50000;
constexpr char kMemoryStatusFile[] = "memdump";

// Global words -N (nil - 0x15 - 4N) the scavenger reads.
constexpr int32_t globalMinus(int32_t n) {
  return -0x15 - 4 * n;
}
constexpr int32_t kGcAfterFunction = globalMinus(36);
constexpr int32_t kScavengeCount = globalMinus(64);
constexpr int32_t kHeapExhaustedFunction = globalMinus(128);
constexpr int32_t kSymbolTable = globalMinus(303);
constexpr int32_t kGcBeforeHooks = globalMinus(311);
constexpr int32_t kGcAfterHooks = globalMinus(312);
constexpr uint32_t kVectorFirstElement = 8;  // simple vector: header, length, elements

LispCaller g_lispCaller = nullptr;
uint32_t g_fromSysvectorChain = 0;

uint32_t& newFreeWord() {
  return globalWord(global::kNewFree);
}
int32_t newFree() {
  return static_cast<int32_t>(newFreeWord());
}
int32_t generation() {
  return static_cast<int32_t>(globalWord(global::kGeneration));
}
void setGeneration(int32_t value) {
  globalWord(global::kGeneration) = static_cast<uint32_t>(value);
}
bool flagSet(uint32_t bit) {
  return (GsCtlFlags & bit) != 0;
}
void note(uint32_t address) {
  GsScanHist3 = GsScanHist2;
  GsScanHist2 = GsScanHist1;
  GsScanHist1 = address;
}

uint32_t& prefixStamp(uint32_t prefix) {
  return wordAt(prefix + 4);
}
bool inToSpace(uint32_t address) {
  return address >= GsNewAllocationArea.start && address < GsNewAllocationArea.end;
}
bool inNewSpace(uint32_t address) {
  return address >= GsNewFence && address < GsNewTop;
}
bool isPointer(lispval value) {
  const Tag tag = lisp::tagOf(value);
  return tag != Tag::Fixnum && tag != Tag::FixnumOdd && tag != Tag::Character;
}

// ---- copying ----

// Makes `bytes` of to-space free for a copy, drawing on the reserve when the
// copies outgrow what the mutator was given; fatal when even that is short.
void ensureToSpaceRoom(uint32_t bytes) {
  if (newFree() >= static_cast<int64_t>(bytes)) return;
  newFreeWord() += GsNewReserve;
  GsNewReserve = 0;
  if (newFree() < static_cast<int64_t>(bytes)) gserror(gc_messages::kToSpaceOverflow, bytes, 1);
}

// The cons page of generation d with room for one more cell; queued for the
// copy scan when the scan has passed it.
uint32_t consPageFor(uint32_t d) {
  const uint32_t current = GsGenConsPage[d];
  if (current == 0 || consPage(current)->fill >= consPage(current)->end) {
    ensureToSpaceRoom(kPageBytes);
    if (!require_new_cons(static_cast<int32_t>(d)))
      gserror(gc_messages::kToSpaceOverflow, kPageBytes, 1);
  }
  const uint32_t page = GsGenConsPage[d];
  ConsPageHeader* header = consPage(page);
  if (page > GsCCPCons && header->queueLink == 0) {
    header->queueLink = GsCCPQueue;
    header->catchupScan = header->fill;
    GsCCPQueue = page;
  }
  return page;
}

// Where a from-space cons goes: an old cell when it is old enough and old
// space has room, else the next cell of its generation's page.
uint32_t placeCons(uint32_t cell) {
  const int32_t d = static_cast<int32_t>(consPage(pageStart(cell))->stamp) - GsTenureLimit;
  if (d <= 0) {
    if (const uint32_t old = cons_from_old()) {
      old_copy += kConsCellBytes;
      return old;
    }
  }
  const uint32_t page =
      consPageFor(static_cast<uint32_t>(std::clamp<int32_t>(d, 0, kLastGeneration)));
  ConsPageHeader* header = consPage(page);
  const uint32_t copy = header->fill;
  header->fill += kConsCellBytes;
  new_copy += kConsCellBytes;
  return copy;
}

// Copies the object whose prefix is at `prefix`, forwards it, and returns
// the copy's tagged word.
lispval forwardOther(uint32_t prefix, Tag tag) {
  const uint32_t header = prefix + kPrefixBytes;
  const lispval copy = copynewother(prefix, wordAt(header) & 0xff, static_cast<uint32_t>(tag));
  wordAt(header) = copy;
  prefixStamp(prefix) |= stamp::kForwarded;
  return copy;
}

// ---- code tree ----

// A node is a new-space code vector: its prefix link points at its two tree
// links, the last two words of the vector (lower, higher), each the prefix
// address of a child or 0.
uint32_t codeVectorEnd(uint32_t prefix) {
  return objectEnd(prefix + kPrefixBytes, GsNewFromArea.frontier);
}
uint32_t& lowerLink(uint32_t prefix) {
  return wordAt(wordAt(prefix));
}
uint32_t& higherLink(uint32_t prefix) {
  return wordAt(wordAt(prefix) + 4);
}

uint32_t buildBalanced(const std::vector<uint32_t>& nodes, size_t first, size_t last) {
  if (first >= last) return 0;
  const size_t middle = first + (last - first) / 2;
  const uint32_t node = nodes[middle];
  lowerLink(node) = buildBalanced(nodes, first, middle);
  higherLink(node) = buildBalanced(nodes, middle + 1, last);
  return node;
}

// The prefix of the code vector that holds `address`, or 0.
uint32_t findCodeVector(uint32_t address) {
  uint32_t node = GsCodeTree;
  while (node != 0) {
    const uint32_t header = node + kPrefixBytes;
    // The links are the vector's last two words; a copied vector's header
    // no longer gives its size.
    const uint32_t end = wordAt(node) + 8;
    if (address < header)
      node = lowerLink(node);
    else if (address >= end)
      node = higherLink(node);
    else
      return node;
  }
  return 0;
}

// ---- catch-up scans ----

void scanConsCars(uint32_t page, uint32_t from) {
  for (uint32_t cell = from; cell < consPage(page)->fill; cell += kConsCellBytes) {
    note(cell);
    checknslot(cell);
  }
}

// Scans the queued pages; a page stays marked as queued while it is
// scanned, so copies into it are picked up by the same scan, not queued again.
bool drainQueue() {
  bool work = false;
  while (GsCCPQueue != kQueueEmpty) {
    const uint32_t page = GsCCPQueue;
    ConsPageHeader* header = consPage(page);
    GsCCPQueue = header->queueLink;
    header->queueLink = kBeingDrained;
    const uint32_t from = header->catchupScan;
    work |= from < header->fill;
    scanConsCars(page, from);
    header->queueLink = 0;
  }
  return work;
}

// Value words of a finalization from word 2 on (word 1, its object, is weak).
void scanFinalization(uint32_t header) {
  const uint32_t words = wordAt(header) >> 8;
  for (uint32_t word = kFinalizationFirstScanned; word <= words; ++word)
    checknslot(header + 4 * word);
}

bool areaHasConsPages(const GsOldArea* area) {
  return area->lowestConsPage < area->end;
}

// ---- hooks and calls into Lisp ----

bool holdsFunction(lispval value) {
  if (!lisp::isOther(value)) return false;
  const uint8_t type = wordAt(lisp::objectAddress(value)) & 0xff;
  return std::find(std::begin(kFunctionTypes), std::end(kFunctionTypes), type) !=
         std::end(kFunctionTypes);
}

// A hook list element: a native address, or a raw vector holding it.
uint32_t hookAddress(lispval element) {
  if (!lisp::isOther(element)) return element;
  const uint32_t header = lisp::objectAddress(element);
  const uint8_t type = wordAt(header) & 0xff;
  if (std::find(std::begin(kHookVectorTypes), std::end(kHookVectorTypes), type) ==
      std::end(kHookVectorTypes))
    return 0;
  return wordAt(header + 4 * kHookVectorAddressWord);
}

template <class Call>
void runHooks(int32_t listWord, Call call) {
  for (lispval list = globalWord(listWord); lisp::isCons(list); list = lisp::cdr(list))
    if (const uint32_t address = hookAddress(lisp::car(list))) call(address);
}

// A non-negative integer for Lisp, boxed by the runtime's own routine: a
// fixnum, or a bignum beyond the fixnum range. Called after a collection,
// when new space has room for the few small bignums a call needs.
lispval integerArgument(uint32_t value) {
  if (value <= static_cast<uint32_t>(lisp::kMostPositiveFixnum))
    return lisp::makeFixnum(static_cast<int32_t>(value));
  lisp::integers::IntegerFrame frame{};
  lisp::integers::IntegerContext context(frame, nilval, currentThreadRecord());
  return context.boxUnsigned(value);
}

lispval tOrNil(bool value) {
  const lispval nil = nilval;
  return value ? lisp::nil_block::tFor(nil) : nil;
}

// ---- the request loop ----

// One round of `scavenge`: a global collection when requested, else a
// scavenge with its prologue and epilogue.
void scavengeRound(uint32_t request) {
  if (flagSet(flag::kGlobalRequest)) {
    global_gc(request);
    return;
  }
  sync_shared_cons_pointer();
  GsEnter(0);
  scavenge1(request);
  gc::pointAtCurrentGenerationPage();
  GsExit(request);
  sync_shared_cons_pointer();
}

bool requestFits(uint32_t request) {
  return require_new_cons(generation()) && int64_t{request} <= newFree();
}

}  // namespace

namespace gc {

const SlotTreatment kNewSlotTreatment = {checknslot, checkcslot};
const SlotTreatment kOldSlotTreatment = {ochecknslot, [](uint32_t slot) {
                                           checkcslot(slot);
                                           cnoteroot(slot);
                                         }};

void setLispCaller(LispCaller caller) {
  g_lispCaller = caller;
}

// Points the shared cons pointer at the current generation's cons page, or
// (when there is none) at the page last taken, whose fill is current: the
// pointer and xxGsAllocConsPage must agree before the next sync.
void pointAtCurrentGenerationPage() {
  const uint32_t index =
      static_cast<uint32_t>(std::clamp<int32_t>(generation(), 0, kLastGeneration));
  const uint32_t page = GsGenConsPage[index] != 0 ? GsGenConsPage[index] : xxGsAllocConsPage;
  if (page != 0) point_shared_cons_pointer(page);
}

}  // namespace gc

extern "C" {

uint32_t ScavengeCt = 0;
uint32_t ScavengeSelect = 0;
uint32_t GsScanHist1 = 0;
uint32_t GsScanHist2 = 0;
uint32_t GsScanHist3 = 0;
__attribute__((weak)) uint32_t oblist = 0;

// ---- copying ----

lispval copynewcons(lispval cons) {
  const uint32_t cell = lisp::objectAddress(cons);
  const uint32_t copy = placeCons(cell);
  wordAt(copy) = wordAt(cell);
  wordAt(copy + 4) = wordAt(cell + 4);
  wordAt(cell) = copy + kForwardedConsBias;
  return lisp::pointerWord(copy, Tag::Cons);
}

lispval copynewother(uint32_t prefix, uint32_t type, uint32_t tag) {
  const uint32_t header = prefix + kPrefixBytes;
  if (inToSpace(header)) gserror(gc_messages::kAlreadyCopied, header, 1);
  note(header);
  // Its extent comes from its own header and length words: one that reaches
  // past the from-space frontier is damage, never copied.
  const uint32_t bytes = objectEnd(header, GsNewFromArea.frontier) - header;
  const uint32_t oldStamp = prefixStamp(prefix);
  const int32_t d = static_cast<int32_t>(oldStamp & stamp::kGenerationMask) - GsTenureLimit;

  uint32_t copy;
  if ((oldStamp & stamp::kKeepNew) || d > 0) {
    ensureToSpaceRoom(bytes + kPrefixBytes);
    copy = other_from_new_xsmp(bytes);
    // A keep-new object that reached the tenure limit stays at generation 0.
    prefixStamp(copy - kPrefixBytes) =
        (oldStamp & ~stamp::kGenerationMask) | static_cast<uint32_t>(std::max(d, 0));
    new_copy += bytes;
  } else {
    ensureToSpaceRoom(bytes + kPrefixBytes);  // old space may be full
    copy = other_from_old_xsmp(bytes);
    (inNewSpace(copy) ? new_copy : old_copy) += bytes;
  }
  const bool copyInNewSpace = inNewSpace(copy);
  if (type == kCodeVectorType && copyInNewSpace) {
    wordAt(GsCVC_tail) = copy - kPrefixBytes;
    GsCVC_tail = copy - kPrefixBytes;
    ++GsCVC_count;
  }
  std::copy_n(&wordAt(header), bytes / 4, &wordAt(copy));
  if (type == kCodeVectorType && !copyInNewSpace) wordAt(copy + bytes - 4) = 0xffffffff;
  return copy + lisp::kPointerBias + tag;
}

// ---- slot treatments ----

void checknslot(uint32_t slot) {
  for (;;) {
    const lispval value = wordAt(slot);
    if (!pointsIntoFromSpace(value) || !isPointer(value)) {
      if (!isPointer(value)) return;
      if (Gslispstatic_count > 0 && lisp::isOther(value) && value >= Gslispstatic_min &&
          value <= Gslispstatic_max)
        mark_lispstatic(value, checknslot);
      if (value >= GsNewFenceLV && value < GsNewTopLV && !pointsIntoFromSpace(value))
        gserror(gc_messages::kPointsIntoTargetHalf, value, 1);
      return;
    }
    const Tag tag = lisp::tagOf(value);
    if (tag == Tag::Cons) {
      const uint32_t cell = lisp::objectAddress(value);
      const uint32_t car = wordAt(cell);
      if ((car & lisp::kTagMask) == kForwardTag) {
        wordAt(slot) = car - 2;
        return;
      }
      const lispval copy = copynewcons(value);
      wordAt(slot) = copy;
      slot = lisp::objectAddress(copy) + 4;  // lists are copied along their cdrs at once
      continue;
    }
    if (tag == Tag::Other || tag == Tag::Symbol) {
      const uint32_t prefix = lisp::objectAddress(value) - kPrefixBytes;
      wordAt(slot) = (prefixStamp(prefix) & stamp::kForwarded) ? wordAt(prefix + kPrefixBytes)
                                                               : forwardOther(prefix, tag);
    }
    return;
  }
}

void ochecknslot(uint32_t slot) {
  checknslot(slot);
  cnoteroot(slot);
}

void checkcslot(uint32_t slot) {
  checknslot(slot);
  const uint32_t function = slot - 4 * kCodeSlotWord;
  uint32_t& entry = wordAt(function + 4 * kFunctionEntryWord);
  if (inNewSpace(entry)) entry = wordAt(slot) - kEntryFromCodeVector;
}

void checkretaddr(uint32_t slot) {
  const uint32_t address = wordAt(slot);
  if (address < GsNewFence) return;
  const uint32_t node = findCodeVector(address);
  if (node == 0) return;
  const uint32_t header = node + kPrefixBytes;
  const lispval copy =
      (prefixStamp(node) & stamp::kForwarded) ? wordAt(header) : forwardOther(node, Tag::Other);
  wordAt(slot) = address + (lisp::objectAddress(copy) - header);
}

// ---- code tree ----

void build_code_tree() {
  std::vector<uint32_t> nodes;
  nodes.reserve(GsCVC_count);
  for (uint32_t prefix = GsCVC_head; prefix != 0;) {
    nodes.push_back(prefix);
    if (prefix == GsCVC_tail) break;
    prefix = wordAt(prefix);
  }
  // Too short to hold its links (and any call): left out of the tree.
  std::erase_if(nodes, [](uint32_t prefix) {
    return codeVectorEnd(prefix) - (prefix + kPrefixBytes) < kSmallestTreeCodeVector;
  });
  std::sort(nodes.begin(), nodes.end());
  for (const uint32_t prefix : nodes) wordAt(prefix) = codeVectorEnd(prefix) - 8;
  GsCodeTree = buildBalanced(nodes, 0, nodes.size());
}

// ---- catch-up scans ----

void copycatchup_init() {
  GsCCPCons = GsNewAllocationArea.end - kPageBytes;
  GsCCICons = consPage(GsCCPCons)->firstCell;
  GsCCOther = GsNewOther1;
  GsCCPQueue = kQueueEmpty;
}

int copycatchup_cons() {
  bool work = false;
  for (;;) {
    work |= drainQueue();
    for (;;) {
      const uint32_t fill = consPage(GsCCPCons)->fill;
      if (GsCCICons < fill) {
        work = true;
        scanConsCars(GsCCPCons, GsCCICons);
        GsCCICons = consPage(GsCCPCons)->fill;
        continue;
      }
      const uint32_t lower = GsCCPCons - kPageBytes;
      if (lower < GsNewAllocationArea.pageLowMark || GsCCPCons == GsNewAllocationArea.pageLowMark)
        break;
      GsCCPCons = lower;
      GsCCICons = consPage(lower)->firstCell;
    }
    if (GsCCPQueue == kQueueEmpty) return work;
  }
}

int copycatchup_other() {
  const uint32_t& top = globalWord(global::kNewOtherTop);
  if (GsCCOther == top) return 0;
  while (GsCCOther < top) {
    const uint32_t prefix = GsCCOther;
    const uint32_t header = prefix + kPrefixBytes;
    note(header);
    const uint32_t end = objectEnd(header, top);
    const uint32_t stampWord = prefixStamp(prefix);
    const uint8_t type = wordAt(header) & 0xff;
    if ((stampWord & stamp::kWeakVector) &&
        (type == kFinalizationType || type == kWeakSimpleVectorType)) {
      pushOnChain(GsWeakChain, prefix);
      gsbpweak();
    } else if ((stampWord & stamp::kFinalizationPending) && type == kFinalizationType &&
               (wordAt(header) >> 8) >= kFinalizationSlots) {
      // Shorter vectors are scanned as ordinary ones: the queue link (word
      // 3) would lie past their end.
      pushOnChain(GsFinlzChain, prefix);
      gsbpweak();
      scanFinalization(header);
    } else {
      scan_other_item(header, &kNewSlotTreatment);
    }
    GsCCOther = end;
  }
  return 1;
}

void tenurecatchup_init() {
  GSTCACons = areaAddress(GsTenureCatchupConsArea);
  GSTCPCons = GsTenureCatchupConsPage;
  GSTCICons = GsTenureCatchupConsItem;
  for (GsOldArea* area = GsOldAreas; area; area = area->next)
    area->tenureCatchup = area->rootScanLimit;
}

int tenurecatchup_cons() {
  if (GSTCACons == 0) return 0;
  bool work = false;
  for (;;) {
    auto* area = reinterpret_cast<GsOldArea*>(static_cast<uintptr_t>(GSTCACons));
    if (GSTCPCons != 0 && GSTCPCons >= area->lowestConsPage && GSTCPCons < area->end) {
      while (GSTCICons < consPage(GSTCPCons)->fill) {
        const uint32_t cell = GSTCICons;
        note(cell);
        cnoteroot(cell + 4);
        ochecknslot(cell);
        GSTCICons = cell + kConsCellBytes;
        GsTenureCatchupConsItem = GSTCICons;
        work = true;
      }
      if (GSTCPCons - kPageBytes >= area->lowestConsPage && GSTCPCons > area->lowestConsPage) {
        GSTCPCons -= kPageBytes;
        GSTCICons = consPage(GSTCPCons)->firstCell;
        GsTenureCatchupConsPage = GSTCPCons;
        GsTenureCatchupConsItem = GSTCICons;
        continue;
      }
    }
    // Below the area's lowest cons page: the first later area with cons pages.
    GsOldArea* later = area->next;
    while (later && !areaHasConsPages(later)) later = later->next;
    if (!later) return work;
    GSTCACons = areaAddress(later);
    GSTCPCons = later->end - kPageBytes;
    GSTCICons = consPage(GSTCPCons)->firstCell;
    GsTenureCatchupConsArea = later;
    GsTenureCatchupConsPage = GSTCPCons;
    GsTenureCatchupConsItem = GSTCICons;
  }
}

int tenurecatchup_other() {
  bool work = false;
  for (GsOldArea* area = GsOldAreas; area; area = area->next) {
    while (area->tenureCatchup < area->frontier) {
      const uint32_t object = area->tenureCatchup;
      note(object);
      const uint32_t end = objectEnd(object, area->frontier);
      scan_other_item(object, &kOldSlotTreatment);
      area->tenureCatchup = end;
      area->rootScanLimit = area->tenureCatchup;
      work = true;
    }
  }
  return work;
}

// ---- roots ----

void scavenge_globals() {
  scan_global_slots(checknslot, checkretaddr);
  const lispval table = globalWord(kSymbolTable);
  oblist = lisp::isOther(table) ? lisp::objectAddress(table) + kVectorFirstElement : table;
}

void scavenge_stack() {
  scan_os_stacks(checknslot, checkretaddr);
}

// ---- hooks and calls into Lisp ----

void GsExitHook(uint32_t efficiency, uint32_t oldCopy, uint32_t newCopy, int global,
                uint32_t request) {
  const lispval function = globalWord(kGcAfterFunction);
  if (!g_lispCaller || !holdsFunction(function) || currentThreadRecord() == 0) return;
  const lispval arguments[] = {tOrNil(global != 0), integerArgument(newCopy),
                               integerArgument(oldCopy), integerArgument(efficiency),
                               integerArgument(request)};
  g_lispCaller(function, arguments, 5);
}

void GsFailedSbrkError(uint32_t request, int oldExpansion, uint32_t zero, uint32_t failedBytes,
                       uint32_t heapLimit, uint32_t failCode) {
  const lispval function = globalWord(kHeapExhaustedFunction);
  // Lisp runs only in a thread with a record, and the boxing of a size
  // beyond the fixnum range allocates through it.
  if (!g_lispCaller || !holdsFunction(function) || currentThreadRecord() == 0) return;
  const lispval arguments[] = {integerArgument(request),
                               lisp::makeFixnum(oldExpansion ? 1 : 0),
                               lisp::makeFixnum(static_cast<int32_t>(zero)),
                               integerArgument(failedBytes),
                               heapLimit == 0 ? nilval : integerArgument(heapLimit),
                               lisp::makeFixnum(static_cast<int32_t>(failCode))};
  g_lispCaller(function, arguments, 6);
}

// ---- entry points ----

void GsEnter(uint32_t argument) {
  // A hook may allocate and so run a whole collection of its own. It runs
  // as between collections, and the global mark the caller set is put back
  // afterwards: the nested collection's GsExit clears it.
  const uint32_t inGlobalGc = std::exchange(GsInGlobalGc, 0u);
  runHooks(kGcBeforeHooks, [argument](uint32_t address) {
    reinterpret_cast<void (*)(uint32_t)>(static_cast<uintptr_t>(address))(argument);
  });
  GsInGlobalGc = inGlobalGc;
  gcstart();
  if (InScavenge == 0) prelink_stacks();
  GsAdjTotAlloc(1);
}

void scavenge1(uint32_t request) {
  if (InScavenge != 0) gserror(gc_messages::kRecursiveScavenge, 0, 1);
  mp_log_scavenge();
  InScavenge = 1;
  if (++ScavengeCt == ScavengeSelect) gsbp();
  if (flagSet(flag::kProgress)) {
    gc_messages::print("%s", flagSet(flag::kVerbose) ? gc_messages::kScavengingLong
                                                     : gc_messages::kScavengingTerse);
    std::fflush(stdout);
  }
  if (flagSet(flag::kBreakAtStart)) gsbp();
  if (!flagSet(flag::kHideNewSpace)) {
    newFreeWord() += GsNewHidden;
    GsNewHidden = 0;
  }
  new_copy = old_copy = vxmmalloc_frees = 0;
  setGeneration(generation() - GsTenureLimit);
  const int32_t rememberedGeneration = generation();

  for (;;) {
    // Pass start: the allocation semispace becomes the from-space.
    setGsNewFrom();
    GsOtherTenuresWaiting = GsConsTenuresWaiting = 0;
    build_code_tree();
    wordAt(GsSVC_tail) = 0;
    g_fromSysvectorChain = GsSVC_head;

    const uint32_t topPage = GsNewFromEnd - kPageBytes;
    const int32_t topStamp = static_cast<int32_t>(consPage(topPage)->stamp) - GsTenureLimit;
    setGeneration(std::max(topStamp, 0));
    pre_adjust_areas();
    setGeneration(rememberedGeneration);

    tenurecatchup_init();
    copycatchup_init();
    GsWeakChain = 0;
    scavenge_per_thread_setup();

    scavenge_globals();
    scan_external_slots(checknslot);
    scavenge_stack();
    scan_rootset_entries(&kNewSlotTreatment);

    for (;;) {
      copycatchup_cons();
      if (copycatchup_other()) continue;
      if (tenurecatchup_cons() || tenurecatchup_other() ||
          tenurecatchup_finalizations(&kNewSlotTreatment))
        continue;
      break;
    }

    for (uint32_t prefix = GsWeakChain; prefix != 0;) {
      const uint32_t next = wordAt(prefix);
      scan_weak_vector(prefix + kPrefixBytes, (prefixStamp(prefix) & stamp::kReplacement) ? 1 : 0);
      prefix = next;
    }
    // The to-space chain is empty until the live members are appended.
    GsSVC_head = g_fromSysvectorChain;
    scan_sysvectors();
    scan_lispstatic(nullptr, 1);

    post_adjust_areas();
    setGeneration(rememberedGeneration);
    GsTenureLimit = 0;

    if (GsFailedSbrk != 0 || !gsgc_short_space(request) || GsInGlobalGc != 0) break;
  }

  if (flagSet(flag::kProgress)) {
    const bool terse = flagSet(flag::kStatistics) && GsInGlobalGc == 0;
    if (flagSet(flag::kVerbose))
      gc_messages::print("%s", terse ? gc_messages::kDone : gc_messages::kDoneLine);
    std::fflush(stdout);
  }
  if (flagSet(flag::kBreakAtEnd)) gsbp();
  InScavenge = 0;
}

void GsExit(uint32_t request) {
  GsAdjTotAlloc(0);
  gcend();
  computeut();
  if (flagSet(flag::kProgress)) {
    gc_messages::print("%s",
                       flagSet(flag::kStatistics) ? gc_messages::kNewline : gc_messages::kDoneLine);
    std::fflush(stdout);
  }
  globalWord(kScavengeCount) += lisp::makeFixnum(1);
  const bool wasGlobal = GsInGlobalGc != 0;
  if (flagSet(flag::kAdvanceGeneration) && !wasGlobal) {
    setGeneration(generation() + 1);
    GsTenureLimit = std::max(GsTenureLimit, generation() - GsGenSpread);
  }
  GsInGlobalGc = 0;
  // The figures of this collection, before a call out (into Lisp or a hook)
  // can allocate and start another one.
  const uint32_t efficiency = GsUT, oldCopy = old_copy, newCopy = new_copy;

  if (GsFailedSbrk != 0) {
    GsMinFreeOldOther = GsMinFreeOldSyms = 0;
    newFreeWord() += GsNewHidden;
    GsNewHidden = 0;
    const uint32_t failed = GsFailedSbrk;
    if (int64_t{newFree()} + GsNewReserve < kReserveThreshold)
      gserror(gc_messages::kCouldntGetBytes, failed, 1);
    if (newFree() < kReserveThreshold) {
      const uint32_t moved = static_cast<uint32_t>(kReserveThreshold - newFree());
      newFreeWord() += moved;
      GsNewReserve -= moved;
    }
    const uint32_t oldExpansion = GsOldExpansion, limit = GsFailedHlimit;
    GsFailedSbrk = GsOldExpansion = GsNewExpansion = GsFailedHlimit = 0;
    memory_status_dump(kMemoryStatusFile);
    GsFailedSbrkError(request, oldExpansion != 0, 0, failed, limit, GsSbrkFailCode);
  }

  runHooks(kGcAfterHooks, [](uint32_t address) {
    reinterpret_cast<void (*)()>(static_cast<uintptr_t>(address))();
  });
  if (flagSet(flag::kAfterGcHook)) GsExitHook(efficiency, oldCopy, newCopy, wasGlobal, request);
}

void scavenge(uint32_t request) {
  savefloat();
  int64_t freeBefore = newFree();
  for (;;) {
    scavengeRound(request);
    if (requestFits(request)) break;
    // More than the whole reservation could ever hold.
    if (request > lisp_heap.reserved_end - lisp_heap.base)
      gserror(gc_messages::kCouldntGetBytes, request, 1);
    // Repeat only while a round makes room or has a growth pending for the
    // next; a heap that cannot grow ends here instead of looping.
    const int64_t freeAfter = newFree();
    const bool growthPending = GsNewExpansion != 0 || GsOldExpansion != 0;
    if (freeAfter <= freeBefore && !growthPending)
      gserror(gc_messages::kCouldntGetBytes, request, 1);
    freeBefore = freeAfter;
    gc::pointAtCurrentGenerationPage();
  }
  gc::pointAtCurrentGenerationPage();
  restorefloat();
}

}  // extern "C"

namespace {

// Only the thread that holds the Lisp heap may move it: another thread's
// scavenge would neither scan nor update the owner's frames. Before the
// thread registry makes the heap mutex, only the starting thread runs.
bool callerHoldsLispHeap() {
  const uint32_t heapMutex = vxm_thread_control.heapMutex;
  return heapMutex == 0 || platform::mutexHeldByCaller(heapMutex);
}

// Refills of the native heap may scavenge when a Lisp heap exists, the
// caller holds it and no collection is running (a global collection's
// passes run between its two scavenges).
int mayScavenge() {
  return GsNewAllocationArea.start != 0 && InScavenge == 0 && GsInGlobalGc == 0 &&
                 callerHoldsLispHeap()
             ? 1
             : 0;
}
// A scavenge frees the native storage of dead sysvectors and lisp-static
// objects; the native bytes wanted are no request for new space.
void scavengeForNativeHeap(uint32_t) {
  scavenge(0);
}
const native_heap::ScavengerLink kScavengerLink = {mayScavenge, scavengeForNativeHeap};

}  // namespace

namespace gc {

void linkScavengerToNativeHeap() {
  native_heap::setScavengerLink(&kScavengerLink);
}

}  // namespace gc

namespace {
[[maybe_unused]] const bool kLinked = (gc::linkScavengerToNativeHeap(), true);
}  // namespace
