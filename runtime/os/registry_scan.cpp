// The collector's view of the registry: the Lisp values held in thread
// records and their two stacks, and the native stacks of every thread.
//
// Invariant: only slots 1 to 46 of a record, the used part of its binding
// and special stacks, and slot 1 of the two queue headers are handed to a
// slot routine; every raw word stays unseen.

#include <algorithm>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_relocation.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/thread_operations.h"
#include "runtime/os/thread_registry.h"

namespace tr = lisp::thread_record;
using lisp::lispval;
using lisp::registry::vectorWords;
using lisp::registry::word;

namespace {

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// Element 1 of a values vector on a thread's list is the link to the next
// one. The list is cut after its first vector, each link set to nil; the
// first vector's other elements are kept, since elements 3.. carry the
// values in flight (append_values allocating its copy, say).
constexpr uint32_t kValuesLinkElement = 1;

void emptyValuesVectors(uint32_t* record) {
  lispval vector = word(record, tr::kValuesVectors);
  for (uint32_t steps = 0; steps < lisp::registry::kMostRecords * 8; ++steps) {
    const lisp::registry::VectorWords words = vectorWords(vector);
    if (words.words <= kValuesLinkElement) break;
    vector = words.data[kValuesLinkElement];
    words.data[kValuesLinkElement] = nilval;
  }
}

void scanRecord(uint32_t* record, gsgc_slot_routine slot) {
  for (uint32_t index = 1; index <= tr::kLispSlots; ++index) slot(addressOf(&record[index]));
  gc_scan_pvec(word(record, tr::kBindingStack), word(record, tr::kBindingStackTop), slot);
  gc_scan_pvec(word(record, tr::kSpecialStack), 4 * word(record, tr::kSpecialFill), slot);
}

}  // namespace

extern "C" {

void scavenge_per_thread_setup() {
  for (uint32_t* record = threadctl_active; record; record = lisp::registry::nextOnChain(record)) {
    // Decision: the binding stack's top is not copied into its first data
    // word, which holds the first binding's symbol; the scan reads the top
    // from the record.
    const lisp::registry::VectorWords special = vectorWords(word(record, tr::kSpecialStack));
    if (special.words)
      special.data[0] = lisp::makeFixnum(static_cast<int32_t>(4 * word(record, tr::kSpecialFill)));
    word(record, tr::kScratch) = nilval;
    emptyValuesVectors(record);
  }
}

void gc_scan_pvec(lispval vector, uint32_t bytes, gsgc_slot_routine slot) {
  const lisp::registry::VectorWords words = vectorWords(vector);
  const uint32_t count = std::min(bytes / 4, words.words);
  for (uint32_t i = 0; i < count; ++i) slot(addressOf(&words.data[i]));
}

// Before the registry is set up the only record is the calling thread's
// placeholder, which the collector sees in its place.
void gc_scan_thread_registry(gsgc_slot_routine slot) {
  lisp::thread_ops::scanGlobals(slot);
  if (!tls_active2) {
    if (const uint32_t current = gc::currentThreadRecord())
      for (uint32_t index = 1; index <= tr::kLispSlots; ++index)
        slot(lisp::objectAddress(current) + 4 * index);
    return;
  }
  lisp::registry::lockReadyQueue();
  for (uint32_t* record = threadctl_active; record; record = lisp::registry::nextOnChain(record))
    scanRecord(record, slot);
  lisp::registry::unlockReadyQueue();
  for (uint32_t* header : {ready_thread_header_aligned, waiting_thread_header_aligned})
    if (header) slot(addressOf(&header[1]));
}

void scan_os_stacks(gsgc_slot_routine slot, gsgc_slot_routine returnAddress) {
  if (!skip_stack_scan) scan_activestack(slot, returnAddress);
  if (!tls_active2 || skip_savedstack_scan) return;
  lisp::registry::lockReadyQueue();
  for (uint32_t* record = threadctl_active; record; record = lisp::registry::nextOnChain(record)) {
    const uint32_t saved = word(record, tr::kSavedNativeStack);
    if (saved != 0)
      scan_stackspace(word(record, tr::kClinkHead), word(record, tr::kCatchChain), saved, slot,
                      returnAddress, 0);
  }
  lisp::registry::unlockReadyQueue();
}

uint32_t prelink_native_stacks() {
  if (!tls_active2) return prelink_activestack();
  for (uint32_t* record = threadctl_active; record; record = lisp::registry::nextOnChain(record))
    if (const int32_t bad = prelink_stack(record, 0, 0, 0)) return static_cast<uint32_t>(bad);
  return 0;
}

}  // extern "C"
