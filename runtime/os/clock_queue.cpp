// The clock queue: Lisp clock entries ordered by due time, ties behind
// earlier entries, and the alarm armed for the first of them. Due entries
// open gates, mark a time-slice tick on the running thread, or schedule
// interrupts.

#include <cstdint>

#include "runtime/gc/gc_state.h"

#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/thread_operations.h"
#include "runtime/os/thread_operations_internal.h"
#include "runtime/os/thread_registry.h"

namespace to = lisp::thread_ops;
namespace ev = lisp::mp_event;
namespace tr = lisp::thread_record;
using lisp::car;
using lisp::cdr;
using lisp::fixnumValue;
using lisp::lispval;
using lisp::wordAt;

namespace {

// The longest wait the alarm is armed for, and what replaces a longer one.
constexpr int32_t kLongestAlarmSeconds = 2592000;  // 30 days

struct DueTime {
  int32_t seconds, milliseconds;
};

DueTime dueOf(lispval entry) {
  return {fixnumValue(wordAt(entry, to::kDueSeconds)),
          fixnumValue(wordAt(entry, to::kDueMilliseconds))};
}

bool later(DueTime a, DueTime b) {
  return a.seconds > b.seconds || (a.seconds == b.seconds && a.milliseconds > b.milliseconds);
}

lispval queueHeader() {
  return to::runtimeGlobal(to::global::kClockQueueHeader);
}

bool haveQueue() {
  return lisp::isOther(queueHeader());
}

lispval firstEntry() {
  return wordAt(queueHeader(), tr::kQueueNext);
}

// The thread whose time slice a tick ends. Decision: the thread that holds
// the heap, the one running. A thread asking for the heap queues ahead of
// its equals and so heads the ready queue while the holder runs; marking
// the head would end the slice of a thread that has none. Without a holder,
// the ready head.
lispval sliceHolder() {
  if (tcp_that_owns_heap) return lisp::registry::tagged(tcp_that_owns_heap);
  lock_lisp_ready_queue();
  const lispval head = to::readyHeadTagged();
  unlock_lisp_ready_queue();
  return head;
}

// Acts on the entry kept[0]; the Lisp call it may make keeps `kept` valid.
void act(lispval* kept, uint32_t count) {
  const lispval entry = kept[0];
  const lispval nil = nilval;
  const lispval cell = wordAt(entry, to::kClockAction);
  if (!lisp::isCons(cell) || !lisp::isCons(car(cell))) return;
  const lispval kind = car(car(cell));
  const lispval datum = cdr(car(cell));
  if (to::equalsZero(kind)) {
    if (lisp::isOther(datum)) open_vxm_gate(to::gateStateWord(datum));
  } else if (kind == nil) {
    to::services().callTypeFunction(nil, kept, count);
    const lispval running = sliceHolder();
    if (running != nil) {
      mp_log_event(ev::kSliceMarkedHead, wordAt(running, tr::kOsThreadId));
      wordAt(running, tr::kClockWord) = 1;
    }
  } else {
    const lispval thread = wordAt(entry, to::kClockThread);
    if (validate_thread(thread)) op_schedule_thread_interrupt(thread, cell);
  }
}

}  // namespace

extern "C" {

lispval mp_clock_event_delta = lisp::makeFixnum(75);
int suppress_clock_events = 0;

void add_to_clock_queue(lispval entry) {
  if (!haveQueue() || !lisp::isOther(entry)) return;
  const lispval header = queueHeader();
  remove_from_clock_queue_quietly(entry);
  const DueTime due = dueOf(entry);
  lispval at = firstEntry();
  for (uint32_t n = 0; at != header && n < (1u << 24); at = wordAt(at, tr::kQueueNext), ++n)
    if (later(dueOf(at), due)) break;
  const lispval previous = wordAt(at, tr::kQueuePrevious);
  to::store(entry, tr::kQueueNext, at);
  to::store(entry, tr::kQueuePrevious, previous);
  to::store(previous, tr::kQueueNext, entry);
  to::store(at, tr::kQueuePrevious, entry);
  if (firstEntry() == entry) op_arm_clock_queue(1);
}

// Unlinks the entry; true when it was the first. Nothing when it is on no
// queue.
int remove_from_clock_queue_quietly(lispval entry) {
  if (!haveQueue() || !lisp::isOther(entry)) return 0;
  const lispval next = wordAt(entry, tr::kQueueNext);
  const lispval previous = wordAt(entry, tr::kQueuePrevious);
  if (!lisp::isOther(next) || !lisp::isOther(previous)) return 0;
  const bool wasFirst = firstEntry() == entry;
  to::store(previous, tr::kQueueNext, next);
  to::store(next, tr::kQueuePrevious, previous);
  to::store(entry, tr::kQueueNext, nilval);
  to::store(entry, tr::kQueuePrevious, nilval);
  return wasFirst ? 1 : 0;
}

void remove_from_clock_queue(lispval entry) {
  if (remove_from_clock_queue_quietly(entry)) op_arm_clock_queue(1);
}

lispval op_arm_clock_queue(int mode) {
  const lispval nil = nilval;
  if (!haveQueue()) return nil;
  const lispval header = queueHeader();
  int32_t seconds = 0, milliseconds = 0;
  to::services().now(&seconds, &milliseconds);
  DueTime horizon{seconds, milliseconds + fixnumValue(mp_clock_event_delta)};
  horizon.seconds += horizon.milliseconds / 1000;
  horizon.milliseconds %= 1000;

  bool fired = false;
  if (!suppress_clock_events) {
    const lispval first = firstEntry();
    lispval at = first;
    for (uint32_t n = 0; at != header && n < (1u << 24) && !later(dueOf(at), horizon); ++n)
      at = wordAt(at, tr::kQueueNext);
    if (at != first) {
      fired = true;
      mp_log_event(ev::kClockEntriesDue, 0);
      to::store(header, tr::kQueueNext, at);
      to::store(at, tr::kQueuePrevious, header);
      // The entry, the next one and the end of the due run, kept valid
      // across the Lisp calls the actions make.
      lispval kept[3] = {first, 0, at};
      while (kept[0] != kept[2]) {
        kept[1] = wordAt(kept[0], tr::kQueueNext);
        act(kept, 3);
        to::store(kept[0], tr::kQueueNext, nil);
        to::store(kept[0], tr::kQueuePrevious, nil);
        kept[0] = kept[1];
      }
    }
  }
  if (mode == 0 && !fired) return nil;
  const lispval head = firstEntry();
  if (head == header) {
    to::services().alarmOff();
    return nil;
  }
  const DueTime due = dueOf(head);
  int32_t waitSeconds = due.seconds - seconds;
  int32_t waitMilliseconds = due.milliseconds - milliseconds;
  if (waitMilliseconds < 0) {
    waitMilliseconds += 1000;
    waitSeconds -= 1;
  }
  if (waitSeconds < 0 || waitSeconds > kLongestAlarmSeconds) {
    waitSeconds = kLongestAlarmSeconds;
    waitMilliseconds = 0;
  }
  to::services().alarmOn(waitSeconds, waitMilliseconds * 1000);
  return nil;
}

}  // extern "C"
