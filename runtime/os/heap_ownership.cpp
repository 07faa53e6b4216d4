// Taking and giving up the heap, the ready queue's order, and the freeze.
//
// Decisions:
// - A release after which the thread blocks in the system or leaves Lisp for
//   good (foreign calls, OS-event waits, the clean releases, the thread-exit
//   check) first takes the releaser off the ready queue; a grab queues it
//   again by priority. A releaser left at the head would make the release
//   wake the next record, which is not the head and sleeps again, and every
//   thread behind it would starve.
// - relinquish_heap_and_wait leaves the releaser where its caller put it: a
//   yielding thread queued behind its equals stays on the ready queue, and
//   the release that makes it the head wakes it. Only a releaser still at the
//   head is taken off, for the reason above.
// - A release by a thread that does not hold the heap mutex changes nothing.
// - The freeze count and the parked threads change under the ready-queue
//   lock. Every thread that finds the heap frozen is marked parked, and the
//   thaw that brings the count to 0 wakes all of them (each checks again):
//   remembering one parked thread would let a second parker hide the first
//   for ever. `parkedThread` still names the latest parker.

#include "runtime/os/heap_ownership.h"

#include <atomic>
#include <bitset>
#include <optional>

#include "platform/waitable.h"
#include "runtime/gc/gc_state.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/mode_line.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/os_waits.h"
#include "runtime/os/record_words.h"
#include "runtime/os/runtime_clock.h"
#include "runtime/os/thread_operations.h"
#include "runtime/os/thread_registry.h"
#include "runtime/os/thread_start.h"
#include "runtime/rs/thread_record.h"

namespace tr = lisp::thread_record;
namespace ev = lisp::mp_event;
using lisp::lispval;
using lisp::os::recordWord;
using lisp::registry::lockReadyQueue;
using lisp::registry::rawRecord;
using lisp::registry::tagged;
using lisp::registry::unlockReadyQueue;

extern "C" {
int scheduler_started = 0;
int vxm_accounting_active = 0;
uint32_t* smp_sigalrm_handler = nullptr;
int smp_gc_trace = 0;
}

namespace lisp::heap_lock {

void (*beforeSleepHook)() = nullptr;

namespace {

// Records marked parked, by registry index; under the ready-queue lock.
std::bitset<registry::kMostRecords> parked;

constexpr const char* kGcStateLabels[] = {"lisping", "foreign", "blocking_gc", "blocked_by_gc",
                                          "beside_gc"};
constexpr const char kUnknownGcState[] = "unknown";
constexpr const char kTracePrefix[] = "smp [0x%x(%d)]: ";
constexpr const char kRunText[] = "Run ";
constexpr const char kIdleText[] = "Idle";
constexpr uint32_t kPlainReleaseValue = 0x12345678;

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

uint32_t indexOf(uint32_t* record) {
  return recordWord(record, tr::kRegistryIndex);
}

uint32_t* readyHeader() {
  return ready_thread_header_aligned;
}

bool onAQueue(uint32_t* record) {
  const uint32_t next = recordWord(record, tr::kQueueNext);
  return next != nilval && next != 0;
}

uint32_t* nextOf(uint32_t* record) {
  return rawRecord(recordWord(record, tr::kQueueNext));
}

void linkBefore(uint32_t* record, uint32_t* successor) {
  uint32_t* predecessor = rawRecord(recordWord(successor, tr::kQueuePrevious));
  recordWord(record, tr::kQueueNext) = tagged(successor);
  recordWord(record, tr::kQueuePrevious) = tagged(predecessor);
  recordWord(predecessor, tr::kQueueNext) = tagged(record);
  recordWord(successor, tr::kQueuePrevious) = tagged(record);
}

int32_t priorityOf(uint32_t* record) {
  return xpriority_value(recordWord(record, tr::kPriority));
}

// Links the record into the ready queue before the first record whose
// priority is lower (aheadOfEquals: lower or equal).
void queueByPriority(uint32_t* record, bool aheadOfEquals) {
  uint32_t* header = readyHeader();
  const int32_t priority = priorityOf(record);
  uint32_t* at = nextOf(header);
  for (; at != header; at = nextOf(at)) {
    const int32_t other = priorityOf(at);
    if (other < priority || (aheadOfEquals && other == priority)) break;
  }
  linkBefore(record, at);
}

// Releases the ready-queue lock, sleeps on the record's wake event and takes
// the lock again.
void sleepUnlocked(uint32_t* record) {
  unlockReadyQueue();
  if (beforeSleepHook) beforeSleepHook();
  md_lock_wait(recordWord(record, tr::kWakeEvent));
  lockReadyQueue();
}

bool callerHoldsHeapMutex() {
  return platform::mutexHeldByCaller(vxm_thread_control.heapMutex);
}

bool onWaitingQueue(uint32_t* record) {
  uint32_t* header = waiting_thread_header_aligned;
  if (!header || !onAQueue(record)) return false;
  uint32_t* at = nextOf(header);
  for (uint32_t n = 0; at != header && n < registry::kMostRecords; at = nextOf(at), ++n)
    if (at == record) return true;
  return false;
}

void markStackWhenAsked(int mark) {
  if (mark != 0) sg_mark_stack_for_gc();
}

}  // namespace

namespace {
FastMutex& registryMutex() {
  static FastMutex mutex = makeFastMutex();
  return mutex;
}
}  // namespace

void lockRegistryMutex() {
  grab_fast_mutex(&registryMutex(), identify_os_thread());
}

void unlockRegistryMutex() {
  release_fast_mutex(&registryMutex(), identify_os_thread());
}

void releaseOffQueue(uint32_t* record, int mark, int account) {
  if (!callerHoldsHeapMutex()) return;
  if (record) {
    lockReadyQueue();
    // A record on the waiting queue stays there: that is where the gate
    // openers and the unwaiting operations look for it.
    if (!onWaitingQueue(record)) unlinkFromQueue(record);
    unlockReadyQueue();
  }
  vxm_release_heap_t(mark, account);
}

void unlinkFromQueue(uint32_t* record) {
  if (!onAQueue(record)) return;
  uint32_t* next = nextOf(record);
  uint32_t* previous = rawRecord(recordWord(record, tr::kQueuePrevious));
  recordWord(previous, tr::kQueueNext) = tagged(next);
  recordWord(next, tr::kQueuePrevious) = tagged(previous);
  recordWord(record, tr::kQueueNext) = recordWord(record, tr::kQueuePrevious) = nilval;
}

void queueOnlyMember(uint32_t* record) {
  uint32_t* header = readyHeader();
  for (uint32_t* at = nextOf(header); at != header;) {
    uint32_t* next = nextOf(at);
    recordWord(at, tr::kQueueNext) = recordWord(at, tr::kQueuePrevious) = nilval;
    at = next;
  }
  recordWord(header, tr::kQueueNext) = recordWord(header, tr::kQueuePrevious) = tagged(header);
  linkBefore(record, header);
}

uint32_t* readyHead() {
  uint32_t* header = readyHeader();
  if (!header) return nullptr;
  uint32_t* head = nextOf(header);
  return head == header ? nullptr : head;
}

bool isParked(uint32_t* record) {
  return parked.test(indexOf(record) % registry::kMostRecords);
}

// Plain mutex calls: the mp event log may live in the heaps that go.
namespace {
std::atomic<int> wokenWaitersForTheHeap{0};
}  // namespace

bool aWokenWaiterWaitsForTheHeap() {
  return wokenWaitersForTheHeap.load() != 0;
}

HeldWhileHeapsGo::HeldWhileHeapsGo()
    : mutex_(vxm_thread_control.heapMutex),
      held_(!mutex_ || platform::waitForAny({&mutex_, 1}, 0) == 0) {}

HeldWhileHeapsGo::~HeldWhileHeapsGo() {
  if (mutex_ && held_) platform::releaseMutex(mutex_);
}

}  // namespace lisp::heap_lock

namespace hl = lisp::heap_lock;

extern "C" {

const char* gcstate_label(int32_t state) {
  if (state < 0 || state >= static_cast<int32_t>(std::size(hl::kGcStateLabels)))
    return hl::kUnknownGcState;
  return hl::kGcStateLabels[state];
}

void smp_gc_printf(uint32_t* record, const char* format, uint32_t argument) {
  if (!smp_gc_trace) return;
  vxmprintf(hl::kTracePrefix, hl::addressOf(record),
            record ? static_cast<int>(recordWord(record, tr::kOsThreadId)) : 0);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  vxmprintf(format, argument);
#pragma GCC diagnostic pop
  vxmprintf("\n");
}

// ---- taking the heap ----

void vxm_grab_heap_control(uint32_t* record) {
  auto& control = vxm_thread_control;
  mp_log_event(ev::kHeapGrabRequested, tcp_that_owns_heap
                                           ? recordWord(tcp_that_owns_heap, tr::kOsThreadId)
                                           : 0);
  lockReadyQueue();
  if (hl::readyHead() != record) {
    hl::unlinkFromQueue(record);
    hl::queueByPriority(record, true);
    while (hl::readyHead() != record) hl::sleepUnlocked(record);
  }
  const uint32_t index = hl::indexOf(record) % lisp::registry::kMostRecords;
  while (control.freezeCount > 0) {
    control.parkedThread = hl::addressOf(record);
    hl::parked.set(index);
    hl::sleepUnlocked(record);
  }
  hl::parked.reset(index);
  ++control.heapHolds;
  unlockReadyQueue();
  md_lock_wait(control.heapMutex);  // an abandoned mutex is owned all the same
  control.heapOwnerIndex = static_cast<int32_t>(hl::indexOf(record));
  tcp_that_owns_heap = record;
  mp_log_event(ev::kHeapGranted, 0);
  if (wakeup_hook_p()) run_bar_hook(0, hl::kRunText);
}

void vxm_reacquire_heap_2(uint32_t* record) {
  vxm_grab_heap_control(record);
  recordWord(record, tr::kSavedNativeStack) = 0;
  check_for_thread_exit(record);
  const auto index = static_cast<int32_t>(hl::indexOf(record));
  if (vxm_thread_control.environmentIndex != index) switch_thread_dynamic_environment(index);
}

void vxm_reacquire_heap() {
  uint32_t* record = my_pthreadctl(nullptr);
  if (!record) return;
  recordWord(record, tr::kState) = tr::kStateRunning;
  vxm_reacquire_heap_2(record);
  // Lisp runs next: the full resume puts the clock entry back (its slice may
  // have fired while the thread was out) and runs the pending interrupts.
  thread_resume_time_accounting(tagged(record));
}

void vxm_acquire_heap_for_syncsig() {
  if (vxm_thread_control.lispThreadCount <= 1) return;
  uint32_t* record = my_pthreadctl(nullptr);
  if (!record || tcp_that_owns_heap == record) return;
  vxm_grab_heap_control(record);
  recordWord(record, tr::kSavedNativeStack) = 0;
  const auto index = static_cast<int32_t>(hl::indexOf(record));
  if (vxm_thread_control.environmentIndex != index) switch_thread_dynamic_environment(index);
  rs_resume_time_accounting(record);
}

// ---- giving it up ----

void release_heap_mutex(int account) {
  auto& control = vxm_thread_control;
  if (!hl::callerHoldsHeapMutex()) return;
  if (account && vxm_accounting_active) {
    if (uint32_t* record = my_pthreadctl(nullptr)) {
      const lisp::os::RuntimeTime now = lisp::os::runtimeClock();
      rs_suspend_time_accounting(record, static_cast<uint32_t>(now.seconds), now.milliseconds);
    }
  }
  const uint32_t me = identify_os_thread();
  lockReadyQueue();
  if (control.heapHolds > 0 && --control.heapHolds == 0) {
    uint32_t* header = hl::readyHeader();
    for (uint32_t* at = header ? hl::nextOf(header) : nullptr; at && at != header;
         at = hl::nextOf(at)) {
      if (recordWord(at, tr::kOsThreadId) == me) continue;
      vxm_open_lock(recordWord(at, tr::kWakeEvent));
      break;
    }
  }
  unlockReadyQueue();
  platform::releaseMutex(control.heapMutex);
}

void vxm_just_release_heap(int account) {
  lockReadyQueue();
  uint32_t* head = hl::readyHead();
  const uint32_t headId = head ? recordWord(head, tr::kOsThreadId) : 0;
  unlockReadyQueue();
  mp_log_event(ev::kHeapReleased, headId);
  release_heap_mutex(account);
  if (wakeup_hook_p() && !hl::readyHead()) run_bar_hook(0, hl::kIdleText);
}

__attribute__((noinline)) void sg_mark_stack_for_gc() {
  if (uint32_t* record = my_pthreadctl(nullptr))
    recordWord(record, tr::kSavedNativeStack) = hl::addressOf(__builtin_frame_address(0));
}

void vxm_release_heap_t(int mark, int account) {
  if (!hl::callerHoldsHeapMutex()) return;
  hl::markStackWhenAsked(mark);
  vxm_thread_control.heapOwnerIndex = -2;
  tcp_that_owns_heap = nullptr;
  vxm_just_release_heap(account);
}

void vxm_release_heap_for_sdcall_t(uint32_t* record, int mark) {
  if (!hl::callerHoldsHeapMutex()) return;
  if (record) {
    lockReadyQueue();
    hl::unlinkFromQueue(record);
    recordWord(record, tr::kState) = tr::kStateInForeignCall;
    unlockReadyQueue();
  }
  vxm_release_heap_t(mark, 0);
}

void vxm_release_heap_for_sdcall(int mark) {
  vxm_release_heap_for_sdcall_t(my_pthreadctl(nullptr), mark);
}

void vxm_clean_release_return() {
  if (!hl::callerHoldsHeapMutex()) return;
  vxm_make_environment_neutral();
  hl::releaseOffQueue(my_pthreadctl(nullptr), 0, 1);
}

// A Lisp thread leaves by the one exit path of every Lisp thread (its record
// freed unless a foreign callback's caller still owns it); a thread without
// a record only gives the heap up.
void vxm_clean_release_exit() {
  uint32_t* record = my_pthreadctl(nullptr);
  if (!record) {
    vxm_clean_release_return();
    lisp_thread_exit();
  }
  vxm_make_environment_neutral();
  end_lisp_os_thread(record, tr::kStateDead, recordWord(record, tr::kCallbackFlag) == 0 ? 1 : 0, 0);
}

void relinquish_heap_and_wait(uint32_t* record, int ioWait) {
  if (hl::callerHoldsHeapMutex()) {
    lockReadyQueue();
    if (hl::readyHead() == record) hl::unlinkFromQueue(record);
    unlockReadyQueue();
  }
  vxm_release_heap_t(1, 1);
  if (ioWait)
    md_io_wait(record);
  else
    md_itchy_lock_wait(recordWord(record, tr::kWakeEvent));
  // Out of an I/O wait the record stays written only while the Lisp exists,
  // until the heap is held: the heaps go only once nobody holds it.
  std::optional<lisp::os::WhileLispExists> lisp;
  if (ioWait) lisp.emplace();
  recordWord(record, tr::kState) = tr::kStateRunning;
  recordWord(record, tr::kIoWaitMarker) = 0;
  if (ioWait) ++hl::wokenWaitersForTheHeap;
  vxm_reacquire_heap_2(record);
  if (ioWait) --hl::wokenWaitersForTheHeap;
  lisp.reset();
  check_for_thread_exit(record);
}

void relinquish_heap_simple_wait(lispval record) {
  relinquish_heap_and_wait(rawRecord(record), 0);
}

// Word 59 holds the wait kind; 2 is a wait on I/O.
void relinquish_heap_io_wait(lispval record) {
  constexpr int32_t kWaitKind = tr::wordOffset(59);
  constexpr uint32_t kIoWaitKind = 2;
  uint32_t* raw = rawRecord(record);
  relinquish_heap_and_wait(raw, recordWord(raw, kWaitKind) == kIoWaitKind ? 1 : 0);
}

// ---- the freeze ----

void freeze_vxm_heap() {
  lockReadyQueue();
  ++vxm_thread_control.freezeCount;
  unlockReadyQueue();
}

void thaw_vxm_heap() {
  auto& control = vxm_thread_control;
  lockReadyQueue();
  if (control.freezeCount > 0 && --control.freezeCount == 0 && hl::parked.any()) {
    for (uint32_t index = 0; index < control.registryCount; ++index) {
      if (!hl::parked.test(index)) continue;
      hl::parked.reset(index);
      if (uint32_t* record = lisp::registry::recordAt(static_cast<int32_t>(index)))
        vxm_open_lock(recordWord(record, tr::kWakeEvent));
    }
    control.parkedThread = 0;
  }
  unlockReadyQueue();
}

// ---- the heap mutex alone ----

void vxm_grab_heap() {
  mp_log_event(ev::kHeapGrabRequested, 0xffffffff);
  md_lock_wait(vxm_thread_control.heapMutex);
  mp_log_event(ev::kHeapGranted, 0);
}

void vxm_release_heap() {
  mp_log_event(ev::kHeapReleased, hl::kPlainReleaseValue);
  platform::releaseMutex(vxm_thread_control.heapMutex);
}

int vxm_heap_grabbed() {
  return 0;
}

void vxm_beg_for_heap() {}

void lock_lisp_ready_queue() {
  lockReadyQueue();
}

void unlock_lisp_ready_queue() {
  unlockReadyQueue();
}

void threadctl_to_ready(uint32_t* record) {
  mp_log_event(ev::kThreadToReady, recordWord(record, tr::kOsThreadId));
  hl::unlinkFromQueue(record);
  hl::queueByPriority(record, false);
}

}  // extern "C"
