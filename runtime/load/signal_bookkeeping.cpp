// Emulated signals as the runtime records them, the urgent-interrupt warning,
// and the heap release around foreign calls.
//
// lsignals is written from the alarm thread and native callbacks as well as
// from Lisp threads, one word at a time and without a lock: a slot is either
// 0 (empty) or a signal number, and a signal is stored in one slot at most.

#include <csignal>
#include <cstdio>

#include "runtime/load/small_services.h"
#include "runtime/load/startup_messages.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_log.h"
#include "runtime/rs/lisp_presence.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/system_call_dispatch.h"

namespace {

namespace text = startup::text;

// Event numbers of the mp event log.
constexpr uint32_t kEventSignalSeen = 0x103;
constexpr uint32_t kEventSignalDropped = 0x10a;
constexpr uint32_t kEventHeapWrap = 0x106;

// The globals-table word that Lisp code checks for a pending interrupt (global -8).
constexpr int32_t kSignalPendingFromNil = -0x35;
constexpr int kInterruptsBeforeError = 5;
constexpr uint32_t kHeapWrapDebugBit = 1;

}  // namespace

extern "C" {

extern lisp::lispval nilval;

int lsignals[kSignalSlots] = {};

void setsigseen(int signal) {
  if (mp_logging) mp_log_event(kEventSignalSeen, static_cast<uint32_t>(signal));
  if (signal == 0) return;
  for (int& slot : lsignals) {
    if (slot == signal) return;
    if (slot == 0) {
      slot = signal;
      return;
    }
  }
  int& last = lsignals[kSignalSlots - 1];
  if (mp_logging) mp_log_event(kEventSignalDropped, static_cast<uint32_t>(last));
  last = signal;
}

// The alarm's timer thread calls this too: the nil block and the thread
// records are touched only while a Lisp exists.
void setsig(int signal) {
  setsigseen(signal);
  const lisp::presence::Delivery delivery;
  if (!delivery.admitted()) return;
  lisp::wordAt(nilval, kSignalPendingFromNil) = 0xffffffff;
  ensure_live_thread_for_interrupt();
}

lisp_signal_handler lisp_signal(int signal, lisp_signal_handler handler) {
  return std::signal(signal, handler);
}

// Decision: the caller passes the thread's count of unanswered interrupts
// (the signal kicker has it at hand as it advances the counter).
void urgentwarn(int unanswered) {
  const int left = kInterruptsBeforeError - unanswered;
  vxmfprintf(stderr, text::kUrgentWarning, unanswered, left, left == 1 ? "" : "s");
}

// The debug message goes to Lisp's formatted output, which allocates and
// runs Lisp: it is printed before the heap is released.
void vxm_wrap_release_heap(int argument) {
  if (mp_logging) mp_log_event(kEventHeapWrap, 0);
  if (cl_debug_flags & kHeapWrapDebugBit) lisp_format(text::kReleaseHeap);
  vxm_release_heap_for_sdcall(argument);
}

void vxm_wrap_reacquire_heap() {
  if (mp_logging) mp_log_event(kEventHeapWrap, 1);
  vxm_reacquire_heap();
  if (cl_debug_flags & kHeapWrapDebugBit) lisp_format(text::kReacquireHeap);
}

}  // extern "C"
