// Event watches, the message pump and the wake-up of the Lisp thread.

#include "runtime/os/message_pump.h"

#include <cstring>

#include "platform/message_queue.h"
#include "platform/waitable.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/child_pipe_buffer.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_waits.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/os/remote_commands.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/exports.h"
#include "runtime/rs/thread_record.h"

namespace lisp::os {
namespace {

inline constexpr uint32_t kLispThreadWoken = 31;  // mp log: the woken OS thread id
// Global word -8, the signal-pending word, lies 0x35 below nil.
inline constexpr int32_t kSignalPendingWord = -0x35;
// Modes that pump the launcher's windows: the fixnum 1 from Lisp, as it is.
inline constexpr int32_t kWindowModes = 1;

int32_t interruptPending() {
  return nilval != 0 ? static_cast<int32_t>(gc::globalWord(kSignalPendingWord)) : 0;
}

// Removes and dispatches every message `peek` finds; a quit message ends the
// Lisp first. True when there was any.
template <typename Peek>
bool pumpAll(Peek peek) {
  bool any = false;
  platform::Message message;
  while (peek(&message)) {
    any = true;
    if (message.message == platform::kQuitMessage) lisp_exit(0);
    platform::translateMessage(&message);
    platform::dispatchMessage(&message);
  }
  return any;
}

void pumpWindows(const uint32_t* windows) {
  bool found;
  do {
    found = false;
    for (const uint32_t* window = windows; *window != 0; ++window)
      found |= pumpAll([&](platform::Message* message) {
        return platform::peekMessageFiltered(message, *window, 0, 0, true);
      });
  } while (found);
}

}  // namespace
}  // namespace lisp::os

using namespace lisp::os;

extern "C" {

KORVANE_EXPORT int32_t win_watchfor(int32_t pseudofdOrComplement, lisp::lispval thread) {
  if (pseudofdOrComplement == kStopWatching) {
    watch_for_socket_activity(-1, 0);
    return static_cast<int32_t>(reinterpret_cast<uintptr_t>(vxm_event_watch(0, 1, thread)));
  }
  const host::ReadinessQuestion question = host::decodeReadinessQuestion(pseudofdOrComplement);
  host::DescriptorEntry* table = descriptorTable();
  if (!table) return -1;
  const host::DescriptorEntry& entry = table[question.descriptor];
  switch (entry.kind) {
    case host::kKindSocket:
      watch_for_socket_activity(static_cast<int32_t>(entry.handle), question.writing);
      return 0;
    case host::kKindChildPipe: {
      if (entry.flags & host::kFlagPipeEnded) {
        vxm_event_always_signalled(thread);
        return 0;
      }
      const auto* pipe =
          reinterpret_cast<const ChildPipeBuffer*>(static_cast<uintptr_t>(entry.words[0]));
      // Decision: writing on an entry without a buffer watches nothing, as
      // reading does.
      if (!pipe) return 0;
      vxm_event_watch(pipe->lispEvent, 0, thread);
      return 0;
    }
    default:
      return -1;
  }
}

KORVANE_EXPORT int32_t win_waitsigio(int32_t mode) {
  host::HostRecord* record = hostRecord();
  if (!record) return 0;
  if (record->singleEventHook) record->singleEventHook();
  return record->peekLoopHook ? record->peekLoopHook(mode) : 0;
}

KORVANE_EXPORT uint32_t* vxm_event_watch(uint32_t handle, int32_t reset, lisp::lispval thread) {
  uint32_t* count;
  uint32_t* list;
  set_thread_watch_pointers(&count, &list, thread);
  if (reset != 0)
    *count = 0;
  else if (*count < lisp::thread_record::kEventWatchCapacity)
    list[(*count)++] = handle;
  return count;
}

KORVANE_EXPORT void vxm_event_always_signalled(lisp::lispval thread) {
  static const platform::Handle alwaysSignalled = platform::createEvent(true, true);
  vxm_event_watch(alwaysSignalled, 0, thread);
}

KORVANE_EXPORT int32_t vxm_process_single_event() {
  if (const int32_t pending = interruptPending()) return pending;
  uint32_t* count = nullptr;
  uint32_t* list = nullptr;
  set_my_thread_watch_pointers(&count, &list);
  const size_t size = count ? std::min(*count, lisp::thread_record::kEventWatchCapacity) : 0;
  return platform::waitForAnyOrMessage({list, size}, platform::kWaitForever);
}

KORVANE_EXPORT int32_t vxm_message_peek_loop(int32_t mode) {
  if (InScavenge != 0 || GsInGlobalGc != 0) return 0;
  if (mode == 0) {
    pumpAll([](platform::Message* message) { return platform::peekMessage(message, true); });
  } else if ((mode >> 2) == kWindowModes) {
    const host::HostRecord* record = hostRecord();
    if (record && record->peekWindows) pumpWindows(record->peekWindows);
  }
  check_pending_remote_command();
  return 0;
}

KORVANE_EXPORT int32_t process_pending_events(int32_t peekOnly) {
  if (peekOnly != 0) {
    platform::Message message;
    return platform::peekMessage(&message, false) ? 1 : 0;
  }
  const host::HostRecord* record = hostRecord();
  if (record && record->peekLoopHook) record->peekLoopHook(0);
  return 0;
}

KORVANE_EXPORT void wake_lisp_thread() {
  const host::HostRecord* record = hostRecord();
  if (!record) return;
  const uint32_t thread = record->lispThreadId;
  mp_log_event(kLispThreadWoken, thread);
  platform::postThreadMessage(thread, platform::kUserMessage, 0, 0);
}

KORVANE_EXPORT void win_timersig() {
  const host::HostRecord* record = hostRecord();
  if (record && record->lispThreadId != 0) wake_lisp_thread();
}

KORVANE_EXPORT uint32_t vxm_mp_setfocus(uint32_t window) {
  return platform::setFocus(window);
}

KORVANE_EXPORT uint32_t vxm_mp_sendmessage(uint32_t window, uint32_t message, uint32_t wParam,
                                           uint32_t lParam) {
  return platform::sendMessage(window, message, wParam, lParam);
}

KORVANE_EXPORT int32_t vxm_mp_getmessage(void* out, uint32_t window, uint32_t first,
                                         uint32_t last) {
  platform::Message message{};
  const int32_t result = platform::getMessageFiltered(&message, window, first, last);
  std::memcpy(out, &message, sizeof message);
  return result;
}

}  // extern "C"
