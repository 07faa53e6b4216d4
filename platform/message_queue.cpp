// Message queues and windows, over the handle table (object_table.h).

#include "platform/message_queue.h"

#include "platform/error_numbers.h"
#include "platform/object_table.h"

namespace platform {

using namespace detail;

namespace {

// Appends to a live thread's queue and wakes the thread. Needs the table lock.
bool enqueue(uint32_t threadId, const Message& message) {
  ThreadState* target = liveThread(threadId);
  if (!target || !target->hasQueue) {
    setLastSystemError(system_error::kInvalidThreadId);
    return false;
  }
  target->queue.push_back(message);
  target->newInput = true;
  sem_post(&target->wake);
  return true;
}

}  // namespace

KernelObject* detail::windowOf(Handle handle) {
  KernelObject* window = objectOf(handle);
  return window && window->kind == ObjectKind::Window && window->owner != 0 ? window : nullptr;
}

Handle createWindow(WindowProcedure procedure) {
  auto* window = new KernelObject(ObjectKind::Window);
  window->procedures.own = procedure;
  TableLock lock;
  window->stackingOrder = topStackingOrder();
  ThreadState* owner = currentThreadState();
  owner->hasQueue = true;
  window->owner = owner->id;
  return insertObject(window);
}

bool postThreadMessage(uint32_t threadId, uint32_t message, uint32_t wParam, uint32_t lParam) {
  TableLock lock;
  return enqueue(threadId, {kNoHandle, message, wParam, lParam, monotonicMilliseconds(), 0, 0});
}

bool postWindowMessage(Handle handle, uint32_t message, uint32_t wParam, uint32_t lParam) {
  TableLock lock;
  KernelObject* window = windowOf(handle);
  if (!window) {
    setLastSystemError(system_error::kInvalidWindowHandle);
    return false;
  }
  return enqueue(window->owner, {handle, message, wParam, lParam, monotonicMilliseconds(), 0, 0});
}

void ensureMessageQueue() {
  TableLock lock;
  currentThreadState()->hasQueue = true;
}

bool peekMessage(Message* message, bool remove) {
  TableLock lock;
  ThreadState* me = currentThreadState();
  me->hasQueue = true;
  me->newInput = false;
  if (me->queue.empty()) return false;
  *message = me->queue.front();
  if (remove) me->queue.pop_front();
  return true;
}

bool getMessage(Message* message) {
  while (!peekMessage(message, true)) waitForAnyOrMessage({}, kWaitForever);
  return message->message != kQuitMessage;
}

bool translateMessage(const Message*) {
  return false;
}

uint32_t dispatchMessage(const Message* message) {
  WindowProcedures procedures;
  {
    TableLock lock;
    KernelObject* window = windowOf(message->window);
    if (window) procedures = window->procedures;
  }
  return procedures.call(message->window, message->message, message->wParam, message->lParam);
}

namespace {

bool matches(const Message& message, Handle window, uint32_t first, uint32_t last) {
  if (window != kNoHandle && message.window != window) return false;
  if (first == 0 && last == 0) return true;
  return message.message >= first && message.message <= last;
}

// The focus of each thread; a window owned by the thread or kNoHandle.
thread_local Handle focusWindow = kNoHandle;

}  // namespace

bool peekMessageFiltered(Message* message, Handle window, uint32_t first, uint32_t last,
                         bool remove) {
  TableLock lock;
  ThreadState* me = currentThreadState();
  me->hasQueue = true;
  me->newInput = false;
  for (auto at = me->queue.begin(); at != me->queue.end(); ++at) {
    if (!matches(*at, window, first, last)) continue;
    *message = *at;
    if (remove) me->queue.erase(at);
    return true;
  }
  return false;
}

int32_t getMessageFiltered(Message* message, Handle window, uint32_t first, uint32_t last) {
  for (;;) {
    if (window != kNoHandle) {
      TableLock lock;
      if (!windowOf(window)) {
        setLastSystemError(system_error::kInvalidWindowHandle);
        return -1;
      }
    }
    if (peekMessageFiltered(message, window, first, last, true))
      return message->message == kQuitMessage ? 0 : 1;
    waitForAnyOrMessage({}, kWaitForever);
  }
}

uint32_t sendMessage(Handle handle, uint32_t message, uint32_t wParam, uint32_t lParam) {
  WindowProcedures procedures;
  {
    TableLock lock;
    KernelObject* window = windowOf(handle);
    if (!window) {
      setLastSystemError(system_error::kInvalidWindowHandle);
      return 0;
    }
    if (window->owner != currentThreadState()->id) {
      setLastSystemError(system_error::kAccessDenied);
      return 0;
    }
    procedures = window->procedures;
  }
  return procedures.call(handle, message, wParam, lParam);
}

Handle setFocus(Handle handle) {
  Handle previous = focusWindow;
  {
    TableLock lock;
    if (!windowOf(previous)) previous = kNoHandle;  // the focus went with its window
    KernelObject* window = windowOf(handle);
    if (!window) {
      setLastSystemError(system_error::kInvalidWindowHandle);
      return kNoHandle;
    }
    if (window->owner != currentThreadState()->id) {
      setLastSystemError(system_error::kAccessDenied);
      return kNoHandle;
    }
  }
  focusWindow = handle;
  return previous;
}

}  // namespace platform
