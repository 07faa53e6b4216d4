// Waits of Lisp threads that keep the thread responsive to window messages,
// and the I/O wait over a thread's watched events, children and sockets.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_presence.h"

extern "C" {
// Waits for any of the handles or for new input in the thread's message
// queue; with `slices` non-zero in slices of waitSliceMilliseconds, repeated
// for as long as they time out. Stores the final wait result through
// `result` when given. Returns 1 when a message ended the wait, else 0.
int wait_but_watch_for_messages(int32_t count, const uint32_t* handles, int slices,
                                int32_t* result);
// 0 at once when a remote command is queued; otherwise the wait result of a
// message-aware wait without limit.
int32_t breakable_lock_wait(int32_t count, const uint32_t* handles);
// Waits, with the heap released, for one of the handles (index returned)
// while dispatching the thread's messages.
int32_t thread_wait_any_os_event(int32_t count, const uint32_t* handles);
// The I/O wait of a Lisp thread (raw record): on its wake event, its watched
// events, its running children and its watched sockets.
int32_t md_io_wait(uint32_t* record);
// Watches a socket descriptor for the calling thread, or empties its
// socket-watch list when the descriptor is negative.
void watch_for_socket_activity(int32_t descriptor, int forWriting);
}

namespace lisp::os {
// Slice of the sliced waits; tests shorten it.
inline constexpr uint32_t kWaitSliceMilliseconds = 5000;
extern uint32_t waitSliceMilliseconds;

// Appends a socket's events to a record's socket-watch list: its second event,
// then its first when watching for writing, else its third. The list holds at
// most 200 handles; appends past that are ignored.
void watchSocketEvents(uint32_t* record, const uint32_t events[3], bool forWriting);

// Held while a thread in or out of its I/O wait touches its record or takes
// the heap: the record lives in the native heap, which goes once the Lisp has
// ended. Giving the heaps back waits for every holder; a thread that finds
// the Lisp gone leaves (its OS thread ends) without writing a word.
class WhileLispExists {
 public:
  WhileLispExists();
  WhileLispExists(const WhileLispExists&) = delete;
  WhileLispExists& operator=(const WhileLispExists&) = delete;

 private:
  presence::Delivery delivery_;
};
}  // namespace lisp::os
