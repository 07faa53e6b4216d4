// The native halves of the first Lisp thread's routines: the registry's
// state written into the first thread's Lisp thread object, and the
// profiler start a build can ask for.

#include "runtime/load/first_lisp_thread.h"

#include "runtime/gc/gc_state.h"
#include "runtime/gc/profiler.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/load/build_from_scratch.h"
#include "runtime/load/startup_messages.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/clock_services.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/thread_record.h"

namespace {

using lisp::lispval;
namespace ft = startup::first_thread;

// Stores a Lisp value into record slot `slot` and tells the collector.
void storeSlot(lispval record, int32_t slot, lispval value) {
  uint32_t& word = lisp::wordAt(record, lisp::thread_record::wordOffset(slot));
  word = value;
  fasl_protect(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&word)));
}

}  // namespace

extern "C" {

void first_lisp_thread_without_heap() {
  vxmfprintf(stderr, "%s", startup::text::kFirstThreadWithoutHeap);
  lisp_exit(1);
}

lispval first_thread_object_setup() {
  const lispval record = first_thread;
  if (!lisp::isOther(record)) return nilval;
  sy_time();
  const ft::ThreadObjectSlots& slots = ft::kThreadObjectSlots;
  storeSlot(record, slots.readyQueue, ready_thread_queue);
  storeSlot(record, slots.waitingQueue, waiting_thread_queue);
  storeSlot(record, slots.firstThread, first_thread);
  storeSlot(record, slots.startSeconds, lisp::makeFixnum(s_utime));
  storeSlot(record, slots.startMilliseconds, lisp::makeFixnum(s_stime));
  storeSlot(record, slots.counter, lisp::makeFixnum(0));
  return record;
}

void start_prof() {
  const auto kind = static_cast<int32_t>(raz_start_prof & ft::kProfileKindBits);
  if (kind != lisp::profiler::kTime && kind != lisp::profiler::kSpace) return;
  const auto entry = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&first_lisp_thread));
  if (start_profiler(kind, ft::kProfileMaxSamples, ft::kProfileIntervalMilliseconds, entry,
                     raz_sample_file, raz_size_file) == kind)
    start_sampling();
}

}  // extern "C"
