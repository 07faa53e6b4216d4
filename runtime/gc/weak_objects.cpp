// Weak vectors, finalizations and sysvectors after a scavenge's closure.
//
// Invariant on entry (kept by the scavenger's closure): every object that is
// reachable other than through a weak slot, a finalization's watched word or
// the sysvector chain has been copied out of the from-space, and its
// from-space original is forwarded (a cons by a tag-3 car, any other object
// by stamp bit 16 and its copy in the header word). So a from-space value
// that is not forwarded now is dead, and nothing here may leave a pointer
// into the from-space behind: after the flip it is reused.
//
// Sections: weak slots, weak vectors, finalizations, sysvectors, stacks.

#include "runtime/gc/weak_objects.h"

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/from_space.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/lispstatic.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/rs/object_layout.h"

// The calling thread's stack base from its thread record, when the thread
// layer is linked in; the platform's stack bounds stand in otherwise.
extern "C" __attribute__((weak)) uint32_t get_stackbase();

namespace {

using namespace gc;
using lisp::lispval;

constexpr uint32_t kForwardedConsTag = 3;  // a forwarded cons's car: copy + 0x13
constexpr uint32_t kConsWordFromForward = 2;

uint32_t& prefixLink(uint32_t prefix) {
  return wordAt(prefix);
}
uint32_t& prefixStamp(uint32_t prefix) {
  return wordAt(prefix + 4);
}
uint32_t prefixOfValue(lispval value) {
  return lisp::objectAddress(value) - kPrefixBytes;
}
uint32_t prefixOfHeader(uint32_t header) {
  return header - kPrefixBytes;
}

bool isPointer(lispval value) {
  return lisp::isCons(value) || lisp::isOther(value) || lisp::isSymbolTagged(value);
}

// ---- weak vectors ----

// Where a weak vector's (or a hash table's value vector's) slots lie.
struct VectorSlots {
  uint32_t first;  // address of slot 0
  uint32_t count;
};

// Types 96 (count in the header) and 112 (a fixnum length word); none for others.
VectorSlots vectorSlots(uint32_t header) {
  const uint32_t word0 = wordAt(header);
  switch (word0 & 0xff) {
    case lisp::type_code::LispVector:
      return {header + 4, word0 >> 8};
    case lisp::type_code::SimpleVector:
      return {header + 8, static_cast<uint32_t>(lisp::fixnumValue(wordAt(header + 4)))};
    default:
      return {0, 0};
  }
}

// The value of the symbol held in GlobWeakReplacement; nil while it holds
// no symbol.
lispval weakReplacementValue() {
  const lispval symbol = globalWord(global::kWeakReplacement);
  if (!lisp::isSymbolTagged(symbol)) return nilval;
  return lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue;
}

// A hash table's words that a dead key changes.
constexpr uint32_t kHashKeyVectorWord = 1, kHashCountWord = 7, kHashValuesWord = 8;

bool isHashTable(lispval value) {
  return lisp::isOther(value) &&
         (wordAt(lisp::objectAddress(value)) & 0xff) == lisp::type_code::HashTable;
}

// ---- finalizations ----

// A finalization: an object of type 96 with three slots.
constexpr uint32_t kFinalizedObjectWord = 1;
constexpr uint32_t kQueueLinkWord = 3;

// ---- sysvectors ----

constexpr uint32_t kSysvectorKindWord = 1;
constexpr uint32_t kSysvectorStorageWord = 2;

int32_t sysvectorKind(uint32_t header) {
  return lisp::fixnumValue(wordAt(header + 4 * kSysvectorKindWord));
}

// Gives back the native storage of a dead indirect sysvector; storage that
// is no native-heap block is left alone. A storage block of kind 2 stays:
// on this host (Linux counts as host system 1, the family sy_win95p answers
// true for) such blocks outlive their owner.
void freeSysvectorStorage(uint32_t header) {
  const lispval storage = wordAt(header + 4 * kSysvectorStorageWord);
  if (storage == 0) return;
  const uint32_t block = lisp::objectAddress(storage);
  void* native = reinterpret_cast<void*>(static_cast<uintptr_t>(prefixOfHeader(block)));
  if (!malloc_verify_object(native) || sysvectorKind(block) == kSysvectorStackStorage) return;
  vxmmalloc_frees += vxmfree(native, 0);
}

}  // namespace

namespace gc {

void pushOnChain(uint32_t& head, uint32_t prefix) {
  prefixLink(prefix) = head;
  head = prefix;
}

void appendSysvector(uint32_t prefix) {
  prefixLink(prefix) = 0;
  wordAt(GsSVC_tail) = prefix;
  GsSVC_tail = prefix;
}

void clearDeadWeakSlots(uint32_t vector, int replace, int (*dead)(uint32_t slot)) {
  const VectorSlots slots = vectorSlots(vector);
  if (slots.count == 0) return;
  if (!replace) {
    for (uint32_t i = 0; i < slots.count; ++i)
      if (dead(slots.first + 4 * i)) wordAt(slots.first + 4 * i) = nilval;
    return;
  }

  const uint32_t keys = slots.count - 1;
  const uint32_t tableSlot = slots.first + 4 * keys;
  const bool tableAlive = !dead(tableSlot);
  // A dead table's slot would point at reclaimed memory afterwards.
  if (!tableAlive) wordAt(tableSlot) = nilval;
  const lispval replacement = weakReplacementValue();
  const lispval self = lisp::pointerWord(vector, lisp::Tag::Other);
  for (uint32_t i = 0; i < keys; ++i) {
    if (!dead(slots.first + 4 * i)) continue;
    wordAt(slots.first + 4 * i) = replacement;
    if (tableAlive) swv_adjust_hash_table(self, keys, i, wordAt(tableSlot));
  }
}

}  // namespace gc

extern "C" {

// ---- weak slots ----

int check_weak_slot(uint32_t slot) {
  const lispval value = wordAt(slot);
  if (!isPointer(value)) return 0;
  // A lisp-static object the closure did not mark is swept after the weak
  // scans: dead, like an uncopied from-space object.
  if (!pointsIntoFromSpace(value)) return unmarked_lispstatic(value);
  if (lisp::isCons(value)) {
    const lispval car = lisp::car(value);
    if ((car & lisp::kTagMask) != kForwardedConsTag) return 1;
    wordAt(slot) = car - kConsWordFromForward;
    return 0;
  }
  if (!(prefixStamp(prefixOfValue(value)) & stamp::kForwarded)) return 1;
  wordAt(slot) = wordAt(lisp::objectAddress(value));
  return 0;
}

// ---- weak vectors ----

void scan_weak_vector(uint32_t vector, int replace) {
  clearDeadWeakSlots(vector, replace, check_weak_slot);
}

// The value vector's own length bounds the index (the key count is not needed).
void swv_adjust_hash_table(lispval vector, uint32_t /*count*/, uint32_t index, lispval table) {
  if (!isHashTable(table)) return;
  const uint32_t header = lisp::objectAddress(table);
  if (wordAt(header + 4 * kHashKeyVectorWord) != vector) return;
  uint32_t& count = wordAt(header + 4 * kHashCountWord);
  if (lisp::isFixnum(count)) count -= lisp::makeFixnum(1);
  const lispval values = wordAt(header + 4 * kHashValuesWord);
  if (values == nilval || !lisp::isOther(values)) return;
  const VectorSlots slots = vectorSlots(lisp::objectAddress(values));
  if (index < slots.count) wordAt(slots.first + 4 * index) = nilval;
}

// ---- finalizations ----

int tenurecatchup_finalizations(const SlotTreatment* treatment) {
  uint32_t chain = GsFinlzChain;
  GsFinlzChain = 0;
  uint32_t triggered = 0, *lastTriggered = &triggered;
  while (chain != 0) {
    const uint32_t prefix = chain;
    chain = prefixLink(prefix);
    const uint32_t header = prefix + kPrefixBytes;
    if (!(prefixStamp(prefix) & stamp::kFinalizationPending)) continue;
    if (!check_weak_slot(header + 4 * kFinalizedObjectWord)) continue;
    prefixStamp(prefix) &= ~stamp::kFinalizationPending;
    prefixLink(prefix) = 0;
    *lastTriggered = prefix;
    lastTriggered = &prefixLink(prefix);
  }
  if (triggered == 0) return 0;

  uint32_t& queue = globalWord(global::kFinalizeQueue);
  for (uint32_t prefix = triggered; prefix != 0;) {
    const uint32_t next = prefixLink(prefix);
    prefixLink(prefix) = 0;
    const uint32_t header = prefix + kPrefixBytes;
    wordAt(header + 4 * kQueueLinkWord) = queue;
    queue = lisp::pointerWord(header, lisp::Tag::Other);
    treatment->checknslot(header + 4 * kFinalizedObjectWord);
    prefix = next;
  }
  return 1;
}

// ---- sysvectors ----

void scan_sysvectors() {
  uint32_t member = GsSVC_head;
  GsSVC_head = 0;
  GsSVC_tail = addressOf(&GsSVC_head);
  while (member != 0) {
    const uint32_t prefix = member;
    member = prefixLink(prefix);
    const uint32_t header = prefix + kPrefixBytes;
    if (prefixStamp(prefix) & stamp::kForwarded) {
      const uint32_t copy = lisp::objectAddress(wordAt(header));
      // A copy outside new space has no prefix to chain it through.
      if (copy >= GsNewFence && copy < GsNewTop) appendSysvector(prefixOfHeader(copy));
      continue;
    }
    if (sysvectorKind(header) != kSysvectorIndirect) {
      gserror(gc_messages::kSysvectorChainNotIndirect, header, 1);
      continue;
    }
    freeSysvectorStorage(header);
  }
}

void clear_old_stack_sysvectors(uint32_t low, uint32_t high) {
  for (uint32_t prefix = GsSVC_head; prefix != 0; prefix = prefixLink(prefix)) {
    const uint32_t header = prefix + kPrefixBytes;
    if (sysvectorKind(header) != kSysvectorIndirect) continue;
    uint32_t& storage = wordAt(header + 4 * kSysvectorStorageWord);
    if (storage < low || storage > high) storage = 0;
    if (prefix == GsSVC_tail) break;
  }
}

// ---- stacks ----

lispval stack_allocated_p(lispval address) {
  uint32_t stackPointer;
  asm volatile("mov {%%esp, %0|%0, esp}" : "=r"(stackPointer));
  uint32_t base = get_stackbase ? get_stackbase() : 0;
  if (base == 0) base = currentStackBase();  // no thread record: the platform's bounds
  return lisp::makeFixnum(address >= stackPointer && address < base ? 1 : 0);
}

}  // extern "C"
