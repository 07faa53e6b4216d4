// Per-thread message queues and the registry of windows.
//
// Every thread started by this layer has a queue from its start; any other
// thread gets one the first time it looks at its queue or waits for messages.
// A message goes to a thread by its id, or to a window, which lands it in the
// queue of the window's owning thread. Dispatching a message calls the
// procedure registered for its window.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/waitable.h"

namespace platform {

inline constexpr uint32_t kQuitMessage = 18;
inline constexpr uint32_t kUserMessage = 1024;

// The queued record, 28 bytes.
struct Message {
  Handle window;  // kNoHandle for a message posted to a thread
  uint32_t message;
  uint32_t wParam;
  uint32_t lParam;
  uint32_t time;  // milliseconds of the monotonic clock when posted
  int32_t x;      // pointer position: no pointer here, always 0
  int32_t y;
};
static_assert(sizeof(Message) == 28);
static_assert(offsetof(Message, time) == 16);

using WindowProcedure = uint32_t (*)(Handle window, uint32_t message, uint32_t wParam,
                                     uint32_t lParam);

// A window owned by the calling thread; closing the handle or the end of the
// owning thread removes it.
Handle createWindow(WindowProcedure procedure);

// Fail (last error set) when the thread has no queue or the window is gone.
bool postThreadMessage(uint32_t threadId, uint32_t message, uint32_t wParam, uint32_t lParam);
bool postWindowMessage(Handle window, uint32_t message, uint32_t wParam, uint32_t lParam);

// Gives the calling thread its queue when it has none yet.
void ensureMessageQueue();
// The oldest queued message, removed or left in place; false when empty.
bool peekMessage(Message* message, bool remove);
// Waits for a message and removes it; false for kQuitMessage.
bool getMessage(Message* message);
// No keyboard input reaches these queues, so nothing is ever translated.
bool translateMessage(const Message* message);
// Calls the window's procedure; 0 for a thread message or a window that is gone.
uint32_t dispatchMessage(const Message* message);

// The oldest queued message for `window` (kNoHandle: any) whose number lies in
// first..last (both 0: any number), removed or left in place.
bool peekMessageFiltered(Message* message, Handle window, uint32_t first, uint32_t last,
                         bool remove);
// Waits for such a message and removes it: 0 for kQuitMessage, 1 otherwise,
// -1 (last error set) when `window` is not a live window.
int32_t getMessageFiltered(Message* message, Handle window, uint32_t first, uint32_t last);
// Calls the procedure of a window the calling thread owns and returns its
// result. A window of another thread is refused (0, last error
// kAccessDenied): no thread here answers sent messages while it waits.
uint32_t sendMessage(Handle window, uint32_t message, uint32_t wParam, uint32_t lParam);
// Makes a window of the calling thread its focus; returns the previous focus
// (kNoHandle when none). A window that is gone or another thread's is refused
// (kNoHandle, last error set) and the focus stays.
Handle setFocus(Handle window);

}  // namespace platform
