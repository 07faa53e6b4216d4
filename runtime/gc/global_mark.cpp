// The mark pass of a global collection, and the passes that act on what it
// found dead: weak vectors and finalizations.
//
// Invariant of the mark pass: every object whose bit is set either has been
// scanned, or sits in the queue, or was left out of a full queue while
// mark_depth_max_exceeded is set (and a heap rescan will reach it). A new-space
// weak vector is never scanned: it goes on GsWeakChain. A pending
// finalization is scanned except for its watched word, and goes on
// GsFinlzChain with stamp bit 22 so that a rescan does not chain it twice.
//
// Sections: the type table, the queue, marking, overflow, finalizations, weak vectors.

#include <algorithm>

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/global_gc.h"
#include "runtime/gc/global_gc_state.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/lispstatic.h"
#include "runtime/gc/object_extent.h"
#include "runtime/gc/weak_objects.h"
#include "runtime/rs/object_layout.h"

namespace {

using namespace gc;
using namespace gc::ggc;
using lisp::lispval;
using lisp::Tag;

constexpr uint32_t kFrameEntries = 1000;
constexpr uint32_t kDepthLimit = 20;
// A finalization's slots: the watched object, a value, and the link of
// the queue of triggered finalizations.
constexpr uint32_t kFinalizationSlots = 3;
constexpr uint32_t kQueueLinkSlot = 2;

// ---- the type table ----

static_assert(LispTypeIsSimple[117] && !LispTypeIsSimple[112] && !LispTypeIsSimple[7] &&
              !LispTypeIsSimple[8] && !LispTypeIsSimple[76]);

// ---- the queue ----

// Frames of kFrameEntries on the native stack; a full frame continues in the
// next one, up to kDepthLimit nested frames.
struct Frame {
  uint32_t count;
  lispval items[kFrameEntries];
};
struct Queue {
  Frame frames[kDepthLimit + 1];
};
Queue* g_queue = nullptr;

void resetQueue() {
  for (Frame& frame : g_queue->frames) frame.count = 0;
  mark_depth = 0;
}

void enqueue(lispval value) {
  Frame* frame = &g_queue->frames[mark_depth];
  if (frame->count == kFrameEntries) {
    if (mark_depth == mark_depth_max) {
      mark_depth_max_exceeded = 1;
      return;
    }
    frame = &g_queue->frames[++mark_depth];
    frame->count = 0;
    mark_max_depth = std::max(mark_max_depth, mark_depth);
  }
  frame->items[frame->count++] = value;
}

bool dequeue(lispval& value) {
  while (g_queue->frames[mark_depth].count == 0) {
    if (mark_depth == 0) return false;
    --mark_depth;
  }
  Frame& frame = g_queue->frames[mark_depth];
  value = frame.items[--frame.count];
  return true;
}

// ---- marking ----

bool inNewSpace(uint32_t address) {
  return address >= GsNewFence && address < GsNewTop;
}
uint32_t& prefixStamp(uint32_t header) {
  return wordAt(header - kPrefixBytes + 4);
}
uint8_t typeOf(uint32_t header) {
  return wordAt(header) & 0xff;
}
bool isVectorType(uint8_t type) {
  return type == lisp::type_code::LispVector || type == lisp::type_code::SimpleVector;
}
bool isNewWeakVector(uint32_t header) {
  return inNewSpace(header) && isVectorType(typeOf(header)) &&
         (prefixStamp(header) & stamp::kWeakVector);
}
// Where the slots of a vector of type 96 (count in its header) or 112 (a
// fixnum length word first) lie.
struct VectorSlots {
  uint32_t first;  // address of slot 0
  uint32_t count;
};
VectorSlots vectorSlots(uint32_t header) {
  if (typeOf(header) == lisp::type_code::LispVector) return {header + 4, wordAt(header) >> 8};
  const lispval length = wordAt(header + 4);
  const int32_t count = lisp::isFixnum(length) ? lisp::fixnumValue(length) : 0;
  return {header + 8, static_cast<uint32_t>(std::max(count, 0))};
}
// Decision: a vector with the pending bit but fewer than three slots has no
// room for the queue link; it is marked as an ordinary vector.
bool isNewFinalization(uint32_t header) {
  return inNewSpace(header) && isVectorType(typeOf(header)) &&
         (prefixStamp(header) & stamp::kFinalizationPending) &&
         vectorSlots(header).count >= kFinalizationSlots;
}
uint32_t watchedSlot(uint32_t header) {
  return vectorSlots(header).first;
}

void mark_function(uint32_t slot);
const SlotTreatment kMarkTreatment = {mark_slot_contents, mark_function};

// A pending finalization: chained once, everything but its watched word marked.
void markFinalization(uint32_t header) {
  uint32_t& stampWord = prefixStamp(header);
  if (!(stampWord & stamp::kFinalizationChained)) {
    stampWord |= stamp::kFinalizationChained;
    pushOnChain(GsFinlzChain, header - kPrefixBytes);
  }
  const VectorSlots slots = vectorSlots(header);
  for (uint32_t slot = 1; slot < slots.count; ++slot) mark_slot_contents(slots.first + 4 * slot);
}

void scanQueued(lispval value) {
  const uint32_t object = lisp::objectAddress(value);
  if (lisp::isCons(value)) {
    mark_slot_contents(object);
    mark_slot_contents(object + 4);
    return;
  }
  // Its slots are found from its own header and length words: an object
  // reaching past the end of its region is damage, never scanned.
  if (const ObjectRegion region = regionHolding(object); region.frontier != 0)
    objectEnd(object, region.frontier);
  if (isNewFinalization(object)) {
    markFinalization(object);
  } else {
    scan_other_item(object, &kMarkTreatment);
  }
}

void drainQueue() {
  lispval value;
  while (dequeue(value)) scanQueued(value);
}

// The code vector of a function is an ordinary value for marking.
void mark_function(uint32_t slot) {
  mark_slot_contents(slot);
}

// ---- overflow ----

lispval taggedObject(uint32_t header) {
  return lisp::pointerWord(header,
                           typeOf(header) == lisp::kSymbolTypeByte ? Tag::Symbol : Tag::Other);
}

uint32_t requeueCons(uint32_t cell) {
  if (isMarked(cell)) {
    enqueue(lisp::pointerWord(cell, Tag::Cons));
    drainQueue();
  }
  return 0;
}

uint32_t requeueOther(uint32_t header) {
  if (!isMarked(header) || LispTypeIsSimple[typeOf(header)] || isNewWeakVector(header)) return 0;
  if (isNewFinalization(header) && (prefixStamp(header) & stamp::kFinalizationChained)) return 0;
  enqueue(taggedObject(header));
  drainQueue();
  return 0;
}

// ---- return addresses ----

// The object of an open old area that holds `address`, found from the
// page map and object sizes; 0 when none does.
uint32_t objectHolding(uint32_t address) {
  const GsOldArea* area = areaHolding(address);
  if (!area || address < area->firstObject || address >= area->frontier) return 0;
  uint32_t object = area->firstObject;
  for (uint32_t page = pageStart(address); page > pageStart(area->firstObject);
       page -= kPageBytes) {
    const uint32_t entry = wordAt(area->pagemapBase + 4 * pageOf(page));
    if (entry >= area->firstObject && entry < area->frontier && entry <= address) {
      object = entry;
      break;
    }
  }
  for (uint32_t next; (next = objectEnd(object, area->frontier)) <= address;) object = next;
  return object;
}

// A code vector that a frame runs in is live, whatever else refers to it.
void markReturnAddress(uint32_t slot) {
  const uint32_t object = objectHolding(wordAt(slot));
  if (object == 0 || isMarked(object)) return;
  setMark(object);
  ++mark_tally;
  if (!LispTypeIsSimple[typeOf(object)]) enqueue(taggedObject(object));
  drainQueue();
}

// ---- finalizations ----

void pushOnFinalizeQueue(uint32_t header) {
  uint32_t& queue = globalWord(global::kFinalizeQueue);
  wordAt(watchedSlot(header) + 4 * kQueueLinkSlot) = queue;
  queue = lisp::pointerWord(header, Tag::Other);
}

// ---- binding stacks ----

// A binding-stack block: a direct sysvector whose word 2 holds the bytes of
// bindings in use, word 3 the element number of its thread's binding index,
// and whose 8-byte bindings (symbol, previous cell) start at word 4.
constexpr uint32_t kBindingBytesWord = 2;
constexpr uint32_t kBindingIndexWord = 3;
constexpr uint32_t kFirstBindingWord = 4;
constexpr uint32_t kBindingBytes = 8;
constexpr uint32_t kSysvectorOverheadBytes = 12;

void cleanBindingStack(uint32_t block) {
  if (lisp::fixnumValue(wordAt(block + 4)) != kSysvectorDirect) return;
  const uint32_t index = wordAt(block + 4 * kBindingIndexWord);
  uint32_t& bytes = wordAt(block + 4 * kBindingBytesWord);
  if (index == 0 || index == 0xffffffff || bytes == 0) return;
  // The count is trusted only as far as the block's own length reaches.
  const uint32_t length = wordAt(block) >> 8;
  const uint32_t room = length > kSysvectorOverheadBytes ? length - kSysvectorOverheadBytes : 0;
  const uint32_t used = std::min(bytes, room) / kBindingBytes * kBindingBytes;
  bytes = 0;
  for (uint32_t offset = 0; offset < used; offset += kBindingBytes) {
    const lispval symbol = wordAt(block + 4 * kFirstBindingWord + offset);
    if (!lisp::isSymbolTagged(symbol) || symbol == nilval) continue;
    const lispval values = lisp::objectOf<lisp::SymbolObject>(symbol)->valueVector;
    const bool vector = lisp::isOther(values) &&
                        typeOf(lisp::objectAddress(values)) == lisp::type_code::SimpleVector;
    const int32_t elements =
        vector ? lisp::fixnumValue(wordAt(lisp::objectAddress(values) + 4)) : 0;
    if (elements > 0 && static_cast<uint32_t>(elements) > index)
      wordAt(lisp::objectAddress(values) + 8 + 4 * index) = symbol;
    else
      gc_messages::print("%s\n", gc_messages::kValueVectorTooSmall);
  }
}

// ---- weak vectors ----

int unmarkedSlot(uint32_t slot) {
  return ggc::isDeadValue(wordAt(slot)) ? 1 : 0;
}

// Slots whose object the mark pass left unmarked are cleared (a weak-key
// vector's dead keys replaced).
void ggc_clean_weak_vector(uint32_t header) {
  clearDeadWeakSlots(header, (prefixStamp(header) & stamp::kReplacement) ? 1 : 0, unmarkedSlot);
}

}  // namespace

extern "C" {

uint32_t mark_depth = 0;
uint32_t mark_max_depth = 0;
const uint32_t mark_depth_max = kDepthLimit;
uint32_t mark_depth_max_exceeded = 0;
uint32_t mark_depth_ov_count = 0;
uint32_t mark_tally = 0;

void mark_slot_contents(uint32_t slot) {
  const lispval value = wordAt(slot);
  const Tag tag = lisp::tagOf(value);
  if (tag == Tag::Unused) gserror1(value);
  if (!ggc::isPointer(value)) return;
  const uint32_t object = lisp::objectAddress(value);
  if (object < ggc::bitmap.base) return;
  if (Gslispstatic_count > 0 && value >= Gslispstatic_min && value <= Gslispstatic_max) {
    mark_lispstatic(value, mark_slot_contents);
    return;
  }
  if (!ggc::covered(object) || ggc::isMarked(object)) return;
  ggc::setMark(object);
  ++mark_tally;
  if (tag != Tag::Cons) {
    if (isNewWeakVector(object)) {
      pushOnChain(GsWeakChain, object - kPrefixBytes);
      return;
    }
    if (LispTypeIsSimple[typeOf(object)]) return;
  }
  enqueue(value);
}

void retry_overflowed_marks() {
  while (mark_depth_max_exceeded) {
    ++mark_depth_ov_count;
    mark_depth_max_exceeded = 0;
    resetQueue();
    gsgc_scan_all(requeueCons, requeueOther, -2, 1, 1);
  }
}

// Finalizations whose watched object is unmarked are queued for Lisp, then
// their objects marked (all of one round are judged before any is marked,
// as the scavenger does), which may reach further finalizations.
void mark_finalizations() {
  while (GsFinlzChain != 0) {
    uint32_t chain = GsFinlzChain;
    GsFinlzChain = 0;
    uint32_t pending = 0, triggered = 0;
    while (chain != 0) {
      const uint32_t prefix = chain;
      chain = wordAt(prefix);
      const uint32_t header = prefix + kPrefixBytes;
      uint32_t& list = isDeadValue(wordAt(watchedSlot(header))) ? triggered : pending;
      wordAt(prefix) = list;
      list = prefix;
    }
    for (uint32_t prefix = triggered; prefix != 0;) {
      const uint32_t next = wordAt(prefix);
      const uint32_t header = prefix + kPrefixBytes;
      prefixStamp(header) &= ~(stamp::kFinalizationPending | stamp::kFinalizationChained);
      wordAt(prefix) = 0;
      pushOnFinalizeQueue(header);
      mark_slot_contents(watchedSlot(header));
      drainQueue();
      prefix = next;
    }
    retry_overflowed_marks();
    // Those still pending leave the chain; the next collection chains them anew.
    for (uint32_t prefix = pending; prefix != 0;) {
      const uint32_t next = wordAt(prefix);
      prefixStamp(prefix + kPrefixBytes) &= ~stamp::kFinalizationChained;
      wordAt(prefix) = 0;
      prefix = next;
    }
  }
}

void ggc_pass_mark() {
  Queue queue;
  g_queue = &queue;
  if (ZeroBitMap)
    std::fill_n(ggc::bitmap.words, (ggc::bitmap.top - ggc::bitmap.base + 255) / 256, 0u);
  resetQueue();
  mark_max_depth = mark_depth_max_exceeded = mark_depth_ov_count = mark_tally = 0;
  GsWeakChain = GsFinlzChain = 0;

  gsgc_scan_mark(
      [](uint32_t slot) {
        mark_slot_contents(slot);
        drainQueue();
      },
      markReturnAddress);
  drainQueue();
  retry_overflowed_marks();
  mark_finalizations();
  g_queue = nullptr;
}

// The binding stack of a dead thread: every symbol it binds gets the mark
// of no binding (the symbol itself) at the thread's index of its value
// vector, and the stack is emptied.
void ggc_pass_clean_bindstacks() {
  for (uint32_t prefix = GsSVC_head; prefix != 0; prefix = wordAt(prefix)) {
    const uint32_t header = prefix + kPrefixBytes;
    if (!isMarked(header) && lisp::fixnumValue(wordAt(header + 4)) == kSysvectorIndirect &&
        wordAt(header + 8) != 0)
      cleanBindingStack(lisp::objectAddress(wordAt(header + 8)));
    if (prefix == GsSVC_tail) break;
  }
}

void ggc_pass_clean_weak() {
  for (uint32_t prefix = GsWeakChain; prefix != 0;) {
    const uint32_t next = wordAt(prefix);
    const uint32_t header = prefix + kPrefixBytes;
    ggc_clean_weak_vector(header);
    wordAt(prefix) = 0;
    prefix = next;
  }
  GsWeakChain = 0;
}

}  // extern "C"
