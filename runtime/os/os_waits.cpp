// Message-aware waits and the I/O wait.
//
// The I/O wait gathers one handle list: the wake event first, then the
// record's event-watch list, the running children and the socket-watch list,
// cut off where the platform's limit of handles per wait is reached.

#include "runtime/os/os_waits.h"

#include <algorithm>

#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/os/child_processes.h"
#include "runtime/os/remote_commands.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/mode_line.h"
#include "runtime/os/thread_start.h"
#include "runtime/os/thread_registry.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/record_words.h"
#include "runtime/rs/thread_record.h"

namespace lisp::os {

uint32_t waitSliceMilliseconds = kWaitSliceMilliseconds;

namespace {

constexpr int kMaximumChildHandles = 16;

uint32_t* listAt(uint32_t* record, int32_t offset) {
  return &recordWord(record, offset);
}

}  // namespace

WhileLispExists::WhileLispExists() {
  if (!delivery_.admitted()) platform::exitThread(0);
}

void watchSocketEvents(uint32_t* record, const uint32_t events[3], bool forWriting) {
  uint32_t& count = recordWord(record, thread_record::kSocketWatchCount);
  uint32_t* handles = listAt(record, thread_record::kSocketWatchHandles);
  for (uint32_t event : {events[1], forWriting ? events[0] : events[2]})
    if (count < thread_record::kSocketWatchCapacity) handles[count++] = event;
}

}  // namespace lisp::os

extern "C" {

int wait_but_watch_for_messages(int32_t count, const uint32_t* handles, int slices,
                                int32_t* result) {
  const uint32_t timeout = slices != 0 ? lisp::os::waitSliceMilliseconds : platform::kWaitForever;
  const size_t size = count > 0 ? static_cast<size_t>(count) : 0;
  int32_t waited;
  do {
    waited =
        count < 0 ? platform::kWaitFailed : platform::waitForAnyOrMessage({handles, size}, timeout);
  } while (waited == platform::kWaitTimedOut);
  if (result) *result = waited;
  if (waited != count) return 0;
  platform::Message first{};
  platform::peekMessage(&first, false);
  mp_log_event(lisp::mp_event::kWaitEndedByMessage, first.message);
  return 1;
}

int32_t breakable_lock_wait(int32_t count, const uint32_t* handles) {
  if (check_pending_remote_command()) return 0;
  mp_log_event(lisp::mp_event::kBreakableWaitStarts, 0);
  int32_t result = platform::kWaitFailed;
  wait_but_watch_for_messages(count, handles, 0, &result);
  mp_log_event(lisp::mp_event::kBreakableWaitEnded, static_cast<uint32_t>(result));
  check_pending_remote_command();
  return result;
}

// Decisions:
// - A wait that fails (a bad handle) returns the failure, -1, rather than
//   waiting again; a caller without a record waits holding what it holds.
// - The heap is released with the stack marked (the saved native stack set):
//   released unmarked, the collector would skip the waiting thread's frames
//   and a value live in them would be lost when its object moved.
int32_t thread_wait_any_os_event(int32_t count, const uint32_t* handles) {
  using namespace lisp::thread_record;
  using lisp::os::recordWord;
  const size_t size = count > 0 ? static_cast<size_t>(count) : 0;
  const auto signalled = [count](int32_t result) {
    if (result >= 0 && result < count) return result;
    if (result >= platform::kWaitAbandoned && result < platform::kWaitAbandoned + count)
      return result - platform::kWaitAbandoned;
    return -1;
  };
  if (count < 0) return platform::kWaitFailed;
  const int32_t polled = platform::waitForAny({handles, size}, 0);
  if (signalled(polled) >= 0) return signalled(polled);
  uint32_t* record = my_pthreadctl(nullptr);
  for (;;) {
    // The thread blocks: it leaves the ready queue, so that the release
    // wakes the thread that is next, and marks its stack, so that a
    // collection run meanwhile by another thread updates the Lisp values in
    // its frames.
    if (record) lisp::heap_lock::releaseOffQueue(record, 1, 1);
    int32_t result = platform::kWaitFailed;
    wait_but_watch_for_messages(count, handles, 0, &result);
    if (record) {
      recordWord(record, kState) = kStateRunning;
      recordWord(record, kIoWaitMarker) = 0;
      vxm_reacquire_heap_2(record);
      check_for_thread_exit(record);
    }
    if (signalled(result) >= 0) return signalled(result);
    if (result != count) return result;
    platform::Message message{};
    while (platform::peekMessage(&message, true)) {
      if (message.message == platform::kQuitMessage) lisp_exit(0);
      platform::translateMessage(&message);
      platform::dispatchMessage(&message);
    }
  }
}

int32_t md_io_wait(uint32_t* record) {
  using namespace lisp::thread_record;
  using lisp::os::recordWord;
  constexpr int kLimit = static_cast<int>(platform::kMaximumWaitHandles);
  uint32_t handles[kLimit];
  int size = 0, firstChild = 0, endOfChildren = 0;
  {
    const lisp::os::WhileLispExists lisp;
    recordWord(record, kState) = kStateWaitingOnDescriptors;
    recordWord(record, kIoWaitMarker) = kIoWaitMarked;
    handles[size++] = recordWord(record, kWakeEvent);
    const uint32_t watched = std::min(recordWord(record, kWatchCount), kEventWatchCapacity);
    std::copy_n(lisp::os::listAt(record, kEventWatchList), watched, handles + size);
    size += static_cast<int>(watched);
    firstChild = size;
    size += add_waiting_proc_handles(handles, size,
                                     std::min(size + lisp::os::kMaximumChildHandles, kLimit));
    endOfChildren = size;
    const uint32_t sockets =
        std::min<uint32_t>(recordWord(record, kSocketWatchCount), kLimit - size);
    std::copy_n(lisp::os::listAt(record, kSocketWatchHandles), sockets, handles + size);
    size += static_cast<int>(sockets);
  }

  const int32_t result = breakable_lock_wait(size, handles);
  const lisp::os::WhileLispExists lisp;
  if (endOfChildren > firstChild)
    note_signalled_procs(handles, firstChild, endOfChildren, size, result);
  recordWord(record, kState) = kStateRunning;
  return result;
}

void watch_for_socket_activity(int32_t descriptor, int forWriting) {
  // A thread the registry does not know watches through index 0's record.
  uint32_t* record = my_thread(nullptr);
  if (!record) record = lisp::registry::recordAt(0);
  if (!record) return;
  if (descriptor < 0) {
    lisp::os::recordWord(record, lisp::thread_record::kSocketWatchList) = 0;
    lisp::os::recordWord(record, lisp::thread_record::kSocketWatchCount) = 0;
    return;
  }
  if (const uint32_t* events = fd_socket_events(static_cast<uint32_t>(descriptor)))
    lisp::os::watchSocketEvents(record, events, forWriting != 0);
}

}  // extern "C"
