// Threads and child processes, with the control that the runtime needs over
// another thread: suspending it, reading and changing its registers, and
// resuming it.
//
// A thread id is the kernel's id of the thread (gettid). Every thread started
// here takes its own per-thread block (thread_block.h) and message queue
// before its start routine runs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/waitable.h"

namespace platform {

using ThreadStart = uint32_t (*)(void* argument);

// Starts a thread running start(argument) with a stack of at least
// `stackBytes` (0: the default). Returns its handle and stores its id; on
// failure kNoHandle, with the runtime errno and last error set.
Handle createThread(ThreadStart start, void* argument, size_t stackBytes, uint32_t* threadId);
// Tests can make thread creation fail (as for want of resources) through a
// fault hook: while it returns true, createThread fails.
using ThreadCreationFaultHook = bool (*)();
void setThreadCreationFaultHook(ThreadCreationFaultHook hook);  // nullptr: no faults

// Ends the calling thread with `exitCode`.
[[noreturn]] void exitThread(uint32_t exitCode);

uint32_t currentThreadId();
// A new handle to the calling thread.
Handle currentThreadHandle();
// 0 when the handle is not a thread's.
uint32_t threadIdOf(Handle thread);

// Suspend counts nest; both return the count before the call, or -1 on
// failure. A thread cannot suspend itself.
int32_t suspendThread(Handle thread);
int32_t resumeThread(Handle thread);

// Register sets of a context.
namespace context_part {
inline constexpr uint32_t kControl = 1;   // ebp, eip, cs, eflags, esp, ss
inline constexpr uint32_t kInteger = 2;   // edi, esi, ebx, edx, ecx, eax
inline constexpr uint32_t kSegments = 4;  // gs, fs, es, ds
inline constexpr uint32_t kAll = kControl | kInteger | kSegments;
}  // namespace context_part

struct ThreadContext {
  uint32_t parts;  // context_part bits: which groups to read or write
  uint32_t edi, esi, ebx, edx, ecx, eax;
  uint32_t ebp, eip, cs, eflags, esp, ss;
  uint32_t gs, fs, es, ds;
};

// Only for a thread that this or another caller has suspended. Writing
// changes the registers the thread resumes with.
bool readThreadContext(Handle thread, ThreadContext* context);
bool writeThreadContext(Handle thread, const ThreadContext& context);

// Processor time a thread has used, so far or in all when it has ended.
struct ThreadTimes {
  uint64_t kernelMicroseconds;
  uint64_t userMicroseconds;
};
bool threadTimes(Handle thread, ThreadTimes* times);

// Priority levels from lowest (-2) to highest (2); 0 is normal. They map onto
// the thread's nice value; raising above normal may need privileges.
inline constexpr int kLowestPriority = -2;
inline constexpr int kHighestPriority = 2;
bool setThreadPriority(Handle thread, int level);
// The level nearest the thread's nice value; 0 when it cannot be read.
int threadPriority(Handle thread);
// Gives the calling thread the top real-time priority; false when not permitted.
bool raiseCallerToRealTime();

// A handle that becomes signalled when the child process `pid` ends, with its
// exit status as exit code (128 + the signal number when a signal ended it).
// The child is reaped by this layer.
Handle watchChildProcess(pid_t pid);

}  // namespace platform
