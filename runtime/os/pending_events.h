// The pending-event table: connects that complete later and name lookups that
// run on threads of their own each hold an entry until Lisp code reaps it.
// Entries are handed out round-robin: the next index advances at every
// creation whether or not the entry it leaves has been reaped, so callers keep
// fewer than kPendingEventCount events pending at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace lisp::os {

inline constexpr int32_t kPendingEventCount = 48;

// Entry kinds.
inline constexpr int32_t kPendingLookup = 0;
inline constexpr int32_t kPendingConnect = 16;

// Flag bits.
inline constexpr uint32_t kPendingInProgress = 1;
inline constexpr uint32_t kPendingFinished = 2;
inline constexpr uint32_t kPendingCancelled = 4;

// A call that leaves its work pending returns the entry index plus this.
inline constexpr int32_t kPendingResultBase = 0x10000;

struct PendingEvent {
  int32_t kind;
  int32_t socket;   // connect: the socket; lookup: 0
  uint32_t flags;   // kPending* bits
  int32_t result;   // connect: its socket error, 0 for success; lookup: the count or -1
  uint32_t waiter;  // the gate to open when it finishes, 0 for none
};
static_assert(offsetof(PendingEvent, kind) == 0);
static_assert(offsetof(PendingEvent, socket) == 4);
static_assert(offsetof(PendingEvent, flags) == 8);
static_assert(offsetof(PendingEvent, result) == 12);
static_assert(offsetof(PendingEvent, waiter) == 16);
static_assert(sizeof(PendingEvent) == 20);

extern PendingEvent events[kPendingEventCount];
extern std::mutex events_mutex;

// A new in-progress entry with result 0; returns its index.
int32_t createPendingEvent(int32_t kind, int32_t socket, uint32_t waiter);
// Gives an entry up before anyone waits on it: cancelled, no longer in
// progress, no waiter.
void dropPendingEvent(int32_t index);
// True when `index` names an entry.
constexpr bool isPendingIndex(int32_t index) {
  return index >= 0 && index < kPendingEventCount;
}
// Wakes the entry's waiter, if any. Called with events_mutex held.
void wakePendingWaiter(PendingEvent& entry);
// The first in-progress connect of `socket` gets `socketError` as its result
// and is finished (its waiter woken). False when none is in progress.
bool finishPendingConnect(int32_t socket, int32_t socketError);
// The socket leaves its watcher: a connect of it still in progress will never
// be reported, and no entry of it may be taken for one of a later socket
// given the same number. Its entries stop being in progress and name no
// socket (kForgottenSocket); their results stay and their waiters stay
// waiting.
inline constexpr int32_t kForgottenSocket = -1;
void forgetPendingConnects(int32_t socket);
// True while a connect of `socket` is in progress.
bool connectInProgress(int32_t socket);

}  // namespace lisp::os

extern "C" {
// Under events_mutex: sets the cancelled bit and forgets the waiter.
void cancel_event(int32_t index);
}
