// The ready and waiting queues as the thread operations use them: queuing by
// priority, taking records off, gates and semaphores, the general wait gate,
// giving up the heap until runnable, and the record's time accounting.

#include <cstdint>

#include "runtime/gc/gc_state.h"

#include "runtime/gc/write_barrier.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/os_waits.h"
#include "runtime/os/runtime_clock.h"
#include "runtime/os/thread_operations.h"
#include "runtime/os/thread_operations_internal.h"
#include "runtime/os/thread_registry.h"

namespace lisp::thread_ops {

namespace ev = lisp::mp_event;

uint32_t* gateStateWord(lispval gate) {
  return reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(objectAddress(gate) + 4));
}

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

void store(lispval object, int32_t offset, lispval value) {
  uint32_t& slot = wordAt(object, offset);
  slot = value;
  cnoteroot(addressOf(&slot));
}

bool runnable(lispval record) {
  return wordAt(record, kWaitFunction) == nilval && wordAt(record, kHoldList) == nilval &&
         wordAt(record, kRunList) != nilval;
}

bool ranksBelow(lispval priority, lispval other) {
  return xpriority_value(priority) < xpriority_value(other);
}

bool mayTakeTheHeap(lispval record) {
  switch (wordAt(record, tr::kState)) {
    case tr::kStateNew:
    case tr::kStateKilled:
    case tr::kStateDead:
    case tr::kStateCallbackDone:
    case tr::kStateInForeignCall: return false;
    default: return true;
  }
}

lispval readyHeadTagged() {
  uint32_t* head = lisp::heap_lock::readyHead();
  return head ? registry::tagged(head) : nilval;
}

namespace {

void linkBefore(lispval record, lispval successor) {
  const lispval predecessor = wordAt(successor, tr::kQueuePrevious);
  wordAt(record, tr::kQueueNext) = successor;
  wordAt(record, tr::kQueuePrevious) = predecessor;
  wordAt(predecessor, tr::kQueueNext) = record;
  wordAt(successor, tr::kQueuePrevious) = record;
}

}  // namespace

// Callers hold the ready-queue lock.
void insertByPriority(lispval record, lispval header, bool behindEquals) {
  const lispval priority = wordAt(record, tr::kPriority);
  lispval at = wordAt(header, tr::kQueueNext);
  for (uint32_t n = 0; at != header && n < registry::kMostRecords; at = wordAt(at, tr::kQueueNext), ++n) {
    const lispval other = wordAt(at, tr::kPriority);
    if (ranksBelow(other, priority) || (!behindEquals && !ranksBelow(priority, other))) break;
  }
  linkBefore(record, at);
}

void unlinkLocked(lispval record) {
  lisp::heap_lock::unlinkFromQueue(registry::rawRecord(record));
}

bool onWaitingQueueLocked(lispval record) {
  const lispval header = registry::tagged(waiting_thread_header_aligned);
  lispval at = wordAt(header, tr::kQueueNext);
  for (uint32_t n = 0; at != header && n < registry::kMostRecords; at = wordAt(at, tr::kQueueNext), ++n)
    if (at == record) return true;
  return false;
}

void moveToHead(lispval record) {
  const lispval header = registry::tagged(ready_thread_header_aligned);
  if (wordAt(header, tr::kQueueNext) == record) return;
  unlinkLocked(record);
  linkBefore(record, wordAt(header, tr::kQueueNext));
}

uint32_t nowMilliseconds() {
  int32_t seconds = 0, milliseconds = 0;
  services().now(&seconds, &milliseconds);
  const uint32_t now = static_cast<uint32_t>(seconds) * 1000u + static_cast<uint32_t>(milliseconds);
  return now == 0 ? 1 : now;  // 0 marks "no slice running"
}

void suspendAccounting(lispval record, uint32_t now) {
  if (!vxm_accounting_active) return;
  uint32_t& start = wordAt(record, tr::kSliceStart);
  if (start == 0) return;
  wordAt(record, tr::kMillisecondsUsed) += now - start;
  start = 0;
}

void resumeAccounting(lispval record, uint32_t now) {
  if (vxm_accounting_active) wordAt(record, tr::kSliceStart) = now;
}

void resumeSlice(lispval record) {
  resumeAccounting(record, nowMilliseconds());
  const lispval entry = wordAt(record, kClockEntry);
  if (lisp::isOther(entry)) add_to_clock_queue(entry);
}

ForeignCallRecord::ForeignCallRecord(uint32_t* record) : record_(record) {
  if (!record_) return;
  uint32_t& head = wordAt(registry::tagged(record_), tr::kClinkHead);
  const bool chain = head != 0 && head != tr::kEmptyClinkChain;
  // The frame of the Lisp code that called out, as the newest record has it:
  // the stack walk goes on from there as it did before.
  const uint32_t callingFrame =
      chain ? reinterpret_cast<const uint32_t*>(static_cast<uintptr_t>(head))[2] : 0;
  words_ = {head, 0, callingFrame, nilval, 0, 0};
  head = addressOf(words_.data());
}

ForeignCallRecord::~ForeignCallRecord() {
  if (record_) wordAt(registry::tagged(record_), tr::kClinkHead) = words_[0];
}

}  // namespace lisp::thread_ops

namespace to = lisp::thread_ops;
namespace ev = lisp::mp_event;
namespace tr = lisp::thread_record;
using lisp::lispval;
using lisp::wordAt;

extern "C" {

lispval general_wait_thread = 0;  // nil is stored at set-up; 0 means none as well
lispval general_wait_gate = 0;

void thread_to_queue(lispval record, lispval header, uint32_t event, int behindEquals) {
  mp_log_event(event, wordAt(record, tr::kOsThreadId));
  lock_lisp_ready_queue();
  to::unlinkLocked(record);
  to::insertByPriority(record, header, behindEquals != 0);
  unlock_lisp_ready_queue();
}

void thread_to_ready_queue(lispval record) {
  thread_to_queue(record, lisp::registry::tagged(ready_thread_header_aligned), ev::kQueuedReady, 1);
}

void thread_to_wait_queue(lispval record) {
  thread_to_queue(record, lisp::registry::tagged(waiting_thread_header_aligned), ev::kQueuedWaiting,
                  1);
}

void thread_off_queues(lispval record) {
  wordAt(record, tr::kQueueWord1) = wordAt(record, tr::kQueueWord2) = 0;
  lock_lisp_ready_queue();
  to::unlinkLocked(record);
  unlock_lisp_ready_queue();
}

// Callers hold the ready-queue lock.
void unwait_threadctl(lispval record) {
  to::unlinkLocked(record);
  to::store(record, to::kWaitFunction, nilval);
  to::store(record, to::kWaitArguments, nilval);
  wordAt(record, to::kWaitedObject) = 0;
  if (to::runnable(record) && to::mayTakeTheHeap(record))
    threadctl_to_ready(lisp::registry::rawRecord(record));
}

int32_t open_vxm_gate_ctl(uint32_t* stateWord, int mode) {
  const uint32_t address = to::addressOf(stateWord);
  mp_log_event(mode ? ev::kSemaphorePosted : ev::kGateOpened, address);
  lock_lisp_ready_queue();
  const bool readyWasEmpty = lisp::heap_lock::readyHead() == nullptr;
  int32_t result = 0;
  if (mode) {
    result = static_cast<int32_t>(stateWord[1]) == -1 ? 1 : 0;
    stateWord[1] += 1;
  } else if (stateWord[0] != 0) {
    unlock_lisp_ready_queue();
    return 0;  // already open: nobody to wake
  } else {
    result = 1;
  }
  stateWord[0] = 1;
  if (!waiting_thread_header_aligned) {  // no thread queues yet: nobody waits
    unlock_lisp_ready_queue();
    return result;
  }
  const lispval header = lisp::registry::tagged(waiting_thread_header_aligned);
  lispval at = wordAt(header, tr::kQueueNext);
  for (uint32_t n = 0; at != header && n < lisp::registry::kMostRecords; ++n) {
    const lispval next = wordAt(at, tr::kQueueNext);
    if (wordAt(at, to::kWaitedObject) == address) {
      unwait_threadctl(at);
      if (mode) break;
    }
    at = next;
  }
  if (readyWasEmpty) {
    if (uint32_t* head = lisp::heap_lock::readyHead()) vxm_open_lock(wordAt(lisp::registry::tagged(head), tr::kWakeEvent));
  }
  unlock_lisp_ready_queue();
  return result;
}

int32_t open_vxm_gate(uint32_t* stateWord) {
  return open_vxm_gate_ctl(stateWord, 0);
}

int32_t put_vxm_semaphore(uint32_t* stateWord) {
  return open_vxm_gate_ctl(stateWord, 1);
}

void check_gwh_release(lispval self) {
  if (general_wait_thread != self || general_wait_gate == 0 || general_wait_gate == nilval)
    return;
  lock_lisp_ready_queue();
  uint32_t* head = lisp::heap_lock::readyHead();
  unlock_lisp_ready_queue();
  if (!head) {
    mp_log_event(ev::kWaitGateReleased, 0xffffffff);
  } else if (lisp::registry::tagged(head) == self) {
    mp_log_event(ev::kWaitGateReleased, wordAt(self, tr::kRegistryIndex));
  } else {
    return;
  }
  open_vxm_gate(to::gateStateWord(general_wait_gate));
}

void thread_suspend_processing(lispval self) {
  thread_suspend_time_accounting(self);
}

void thread_relinquish_heap(lispval self) {
  relinquish_heap_io_wait(self);
  lock_lisp_ready_queue();
  // The thread that got the heap back is the one that runs.
  if (to::readyHeadTagged() != self && !to::onWaitingQueueLocked(self)) to::moveToHead(self);
  unlock_lisp_ready_queue();
}

// The signals that arrived while the thread was off are processed before its
// pending interrupts run.
void thread_resume_processing(lispval self) {
  to::resumeSlice(self);
  to::processArrivedSignals();
  process_thread_interrupts(self);
}

lispval thread_sequence_break(lispval self) {
  const lispval nil = nilval;
  for (;;) {
    thread_suspend_processing(self);
    thread_relinquish_heap(self);
    thread_resume_processing(self);
    if (wordAt(self, to::kWaitFunction) != nil && wordAt(self, to::kRetestFlag) != nil) {
      to::services().callTypeFunction(lisp::makeFixnum(1), nullptr, 0);
      if (wordAt(self, to::kWaitFunction) != nil) {
        mp_log_event(ev::kWaitFunctionAboutToRun, self);
        const lispval over =
            to::services().apply(wordAt(self, to::kWaitFunction), wordAt(self, to::kWaitArguments),
                                 nullptr, 0);
        mp_log_event(ev::kWaitFunctionTested, over != nil ? 1 : 0);
        if (over != nil) {
          to::store(self, to::kWaitFunction, nil);
          to::store(self, to::kWaitArguments, nil);
        }
      }
    }
    if (wordAt(self, to::kWaitFunction) == nil) {
      mp_log_event(ev::kMayRunCheck, (wordAt(self, to::kRunList) != nil ? 2 : 0) +
                                         (wordAt(self, to::kHoldList) != nil ? 1 : 0));
      if (to::runnable(self)) return nil;
      thread_off_queues(self);
      continue;
    }
    thread_off_queues(self);
    if (wordAt(self, to::kHoldList) == nil && wordAt(self, to::kRunList) != nil)
      thread_to_wait_queue(self);
  }
}

uint32_t wait_os_event(uint32_t handle) {
  uint32_t* record = my_pthreadctl(nullptr);
  if (record) check_gwh_release(lisp::registry::tagged(record));
  const to::ForeignCallRecord outOfLisp(record);
  return static_cast<uint32_t>(thread_wait_any_os_event(1, &handle));
}

uint32_t wait_any_os_event(uint32_t count, const uint32_t* handles) {
  uint32_t* record = my_pthreadctl(nullptr);
  if (record) check_gwh_release(lisp::registry::tagged(record));
  const to::ForeignCallRecord outOfLisp(record);
  return static_cast<uint32_t>(thread_wait_any_os_event(static_cast<int32_t>(count), handles));
}

// ---- time accounting ----

void thread_time_init(lispval record) {
  wordAt(record, tr::kSliceStart) = 0;
  wordAt(record, tr::kMillisecondsUsed) = 0;
}

void thread_suspend_time_accounting(lispval record) {
  to::suspendAccounting(record, to::nowMilliseconds());
}

// Starts the slice, puts the thread's clock entry back on the clock queue
// and runs the thread's pending interrupts.
void thread_resume_time_accounting(lispval record) {
  to::resumeSlice(record);
  process_thread_interrupts(record);
}

void rs_suspend_time_accounting(uint32_t* record, uint32_t seconds, uint32_t milliseconds) {
  if (!record) return;
  const uint32_t now = seconds * 1000u + milliseconds;
  to::suspendAccounting(lisp::registry::tagged(record), now == 0 ? 1 : now);
}

// The native form starts the slice only. It serves the synchronous-signal
// path (vxm_acquire_heap_for_syncsig), which takes the heap inside the
// exception filter, where no Lisp may run before the fault's own handler,
// and the native callback, whose Lisp is the callback alone: the clock entry
// and the interrupts wait for the thread's next resume from Lisp (its next
// scheduling point).
void rs_resume_time_accounting(uint32_t* record) {
  if (record) to::resumeAccounting(lisp::registry::tagged(record), to::nowMilliseconds());
}

}  // extern "C"
