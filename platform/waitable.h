// Handles and the objects a thread can wait on.
//
// A handle is a 32-bit word (thread records and tables hold them) naming an
// object in the process's one handle table; 0 names nothing. Duplicating a
// handle gives a second name for the same object; the object lives until its
// last handle is closed and no wait or thread still uses it.
//
// Waitable objects: events (manual or automatic reset), mutexes (an owner
// thread, a recursion depth, abandoned when the owner ends while holding it),
// semaphores (a count up to a maximum), and thread and process handles, which
// become signalled when the thread or process ends and keep its exit code.
//
// Failing calls store a system error code (error_numbers.h).
#pragma once

#include <cstdint>
#include <span>

namespace platform {

using Handle = uint32_t;
inline constexpr Handle kNoHandle = 0;

inline constexpr uint32_t kWaitForever = 0xffffffff;
inline constexpr size_t kMaximumWaitHandles = 64;
// Results of a wait: the index of the signalled handle, kWaitAbandoned + i for
// a mutex whose owner ended, the handle count for new input in the thread's
// message queue, or one of these.
inline constexpr int32_t kWaitAbandoned = 128;
inline constexpr int32_t kWaitTimedOut = 258;
inline constexpr int32_t kWaitFailed = -1;
// Exit code of a thread or process that is still running.
inline constexpr uint32_t kStillActive = 259;

Handle createEvent(bool manualReset, bool initiallySignalled);
bool setEvent(Handle event);
bool resetEvent(Handle event);

// Not owned by anyone at first unless asked.
Handle createMutex(bool initiallyOwned);
// Only the owner can release; each acquisition needs one release.
bool releaseMutex(Handle mutex);
// True when the calling thread holds the mutex.
bool mutexHeldByCaller(Handle mutex);

Handle createSemaphore(int32_t initialCount, int32_t maximumCount);
// Adds `count`; fails, changing nothing, when that passes the maximum.
bool releaseSemaphore(Handle semaphore, int32_t count, int32_t* previousCount = nullptr);

Handle duplicateHandle(Handle handle);
bool closeHandle(Handle handle);

// Waits until one of `handles` is signalled (and takes it: resets an automatic
// event, owns a mutex, counts a semaphore down) or the time-out passes. When
// several are signalled, the lowest index wins. At most kMaximumWaitHandles.
int32_t waitForAny(std::span<const Handle> handles, uint32_t timeoutMilliseconds);
// The same, but also returns handles.size() when new input has reached the
// calling thread's message queue since it last looked at the queue.
int32_t waitForAnyOrMessage(std::span<const Handle> handles, uint32_t timeoutMilliseconds);

// Exit code of a thread or process handle; kStillActive while it runs.
bool exitCodeOf(Handle threadOrProcess, uint32_t* exitCode);

}  // namespace platform
