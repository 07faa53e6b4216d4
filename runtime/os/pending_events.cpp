// The pending-event table; see pending_events.h.

#include "runtime/os/pending_events.h"

#include "runtime/os/thread_operations.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/rs/exports.h"

using namespace lisp::os;

namespace lisp::os {

PendingEvent events[kPendingEventCount];
std::mutex events_mutex;

namespace {
int32_t nextPendingIndex = 0;  // guarded by events_mutex
}  // namespace

int32_t createPendingEvent(int32_t kind, int32_t socket, uint32_t waiter) {
  std::lock_guard hold(events_mutex);
  const int32_t index = nextPendingIndex;
  nextPendingIndex = (nextPendingIndex + 1) % kPendingEventCount;
  events[index] = PendingEvent{kind, socket, kPendingInProgress, 0, waiter};
  return index;
}

void dropPendingEvent(int32_t index) {
  std::lock_guard hold(events_mutex);
  events[index].flags = kPendingCancelled;
  events[index].waiter = 0;
}

void wakePendingWaiter(PendingEvent& entry) {
  if (entry.waiter == 0) return;
  open_vxm_gate(reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(entry.waiter)));
  free_waiting_thread(-1);
}

bool finishPendingConnect(int32_t socket, int32_t socketError) {
  std::lock_guard hold(events_mutex);
  for (PendingEvent& entry : events) {
    if (entry.kind != kPendingConnect || entry.socket != socket ||
        (entry.flags & kPendingInProgress) == 0)
      continue;
    entry.result = socketError;
    entry.flags = (entry.flags & ~kPendingInProgress) | kPendingFinished;
    wakePendingWaiter(entry);
    return true;
  }
  return false;
}

void forgetPendingConnects(int32_t socket) {
  std::lock_guard hold(events_mutex);
  for (PendingEvent& entry : events)
    if (entry.kind == kPendingConnect && entry.socket == socket) {
      entry.flags &= ~kPendingInProgress;
      entry.socket = kForgottenSocket;
    }
}

bool connectInProgress(int32_t socket) {
  std::lock_guard hold(events_mutex);
  for (const PendingEvent& entry : events)
    if (entry.kind == kPendingConnect && entry.socket == socket &&
        (entry.flags & kPendingInProgress) != 0)
      return true;
  return false;
}

}  // namespace lisp::os

extern "C" {

KORVANE_EXPORT void cancel_event(int32_t index) {
  if (!isPendingIndex(index)) return;
  std::lock_guard hold(events_mutex);
  events[index].flags |= kPendingCancelled;
  events[index].waiter = 0;
}

}  // extern "C"
