// The signal kicker.
//
// Decisions:
// - With an empty foreign-call chain the thread counts as running Lisp
//   (there is no native frame to return to).
// - The urgent interrupt takes over a thread only where
//   urgentInterruptMayLandAt allows it: in compiled Lisp code, outside a
//   collection. Anywhere else (the runtime's routines, its allocation
//   stretches and trap entries, native code and the C library, a
//   collection) the collector would not understand the live registers, or
//   the trap words would be overwritten. There the request is held: the
//   counter stays at 4 and the pending word set, so the next request, or
//   the next safe point, answers it. Foreign and leaf native calls thus
//   hold the interrupt until they return to Lisp.
// - A context whose eip is 0 is the console's (signal_lisp): the heap
//   owner's place is judged where it is stopped, and a refused landing is
//   held there (hold_urgent_interrupt).
// - A thread without a record counts only the console's interrupt, for the
//   heap owner (the thread a forced break lands in); any other signal from
//   it is logged and dropped.

#include "runtime/rs/signal_kicker.h"

#include <algorithm>
#include <atomic>

#include "platform/thread_block.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/small_services.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/thread_registry.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/thread_record.h"
#include "runtime/rs/trap_handlers.h"

namespace {

namespace tr = lisp::thread_record;
namespace global = lisp::nil_block::global;
using lisp::lispval;

constexpr int kInterruptSignal = 2;
constexpr int kAlarmSignal = 14;
constexpr int32_t kCounterWrap = 4;  // counts 0, 1, 2, 3, 4, then 0
constexpr int32_t kWarnAfter = 3;

uint32_t& globalWord(int32_t offset) {
  return lisp::wordAt(nilval, offset);
}

uint32_t addressOf(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}

// The calling thread's record (tagged), or 0. Without the slot lock: the
// signal may have interrupted this thread while it held it.
lispval callingRecord() {
  return platform::threadSlotFromSignal(static_cast<int32_t>(lisp_tls_index / 4));
}

// The record a signal is counted for: the calling thread's; for the
// console's interrupt from a thread without one, the heap owner's, read
// under the registry lock. 0 when there is none.
lispval recordToSignal(int signal) {
  if (const lispval own = callingRecord()) return own;
  if (signal != kInterruptSignal) return 0;
  lisp::heap_lock::lockRegistryMutex();
  uint32_t* owner = lisp::registry::recordAt(vxm_thread_control.heapOwnerIndex);
  lisp::heap_lock::unlockRegistryMutex();
  return owner ? lisp::registry::tagged(owner) : 0;
}

// Advances the interrupt counter by one, wrapping after 4 unless the wrap
// is held (then 4 stays); the old count.
int32_t advanceInterruptCounter(bool holdAtWrap) {
  std::atomic_ref<uint32_t> counter(globalWord(global::kInterruptCounter));
  uint32_t old = counter.load();
  uint32_t next;
  do {
    const int32_t count = lisp::isFixnum(old) ? lisp::fixnumValue(old) : 0;
    next = lisp::makeFixnum(count >= kCounterWrap ? (holdAtWrap ? kCounterWrap : 0) : count + 1);
  } while (!counter.compare_exchange_weak(old, next));
  return lisp::isFixnum(old) ? lisp::fixnumValue(old) : 0;
}

// The interrupted eip goes on the thread's stack, so the routine returns
// to it.
void redirectTo(platform::ThreadContext* context, void (*routine)()) {
  context->esp -= 4;
  *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(context->esp)) = context->eip;
  context->eip = addressOf(routine);
}

// Whether the request must wait for a safe point. A null context cannot be
// redirected anyway; eip 0 is the console's, judged at the owner.
bool mustHold(const platform::ThreadContext* context) {
  return context && context->eip != 0 && !lisp::os::urgentInterruptMayLandAt(context->eip);
}

void (*urgentRoutineFor(lispval record))() {
  if (lisp::wordAt(record, tr::kLeafCallStack) != nilval) return urgent_interrupt_from_c_leaf;
  const uint32_t clink = lisp::wordAt(record, tr::kClinkHead);
  if (clink != tr::kEmptyClinkChain && reinterpret_cast<uint32_t*>(clink)[1] == 0)
    return urgent_interrupt_from_c;
  return urgent_interrupt;
}

}  // namespace

extern "C" {

int gotsigkicker(int signal, platform::ThreadContext* context) {
  globalWord(global::kSignalPending) = 0xffffffff;
  const lispval record = recordToSignal(signal);
  if (record == 0) {
    mp_log_event(lisp::mp_event::kSignalWithoutThread, 0);
    return 0;
  }
  if (const uint32_t block = lisp::wordAt(record, tr::kSelectBlockAddress))
    *reinterpret_cast<uint32_t*>(block) = 0;
  if (signal == kAlarmSignal) threads_note_sigalrm(signal);
  if (signal == kInterruptSignal) {
    const bool held = mustHold(context);
    const int32_t old = advanceInterruptCounter(held);
    if (old == kWarnAfter) urgentwarn(old + 1);
    if (old == kCounterWrap && !held) {
      globalWord(global::kSignalPending) = 0;
      std::fill(std::begin(lsignals), std::end(lsignals), 0);
      if (context) redirectTo(context, urgentRoutineFor(record));
    }
  }
  return 1;
}

void hold_urgent_interrupt() {
  globalWord(global::kInterruptCounter) = lisp::makeFixnum(kCounterWrap);
  globalWord(global::kSignalPending) = 0xffffffff;
}

}  // extern "C"
