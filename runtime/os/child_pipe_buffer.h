// The child pipe buffer: what a child-pipe entry's first word points to. The
// pipe thread moves bytes between the child's pipe and the data area; the
// Lisp side reads or writes the data area. Two events hand the area back and
// forth: the Lisp-side event is signalled while the Lisp side may use it, the
// thread's event when the thread should refill or drain it.
//
// A buffer has two owners, the descriptor entry and the pipe thread, and the
// last of them to let go frees it (and closes both events). So a Lisp thread
// waiting on the Lisp-side event never waits on freed memory when the pipe
// ends, and a closed entry never leaves the thread with a dangling buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "launcher/host_record.h"

namespace lisp::os {

inline constexpr uint32_t kChildPipeDataBytes = 1024;
// State word: the Lisp side has let go of the buffer.
inline constexpr uint32_t kChildPipeDetached = 2;

struct ChildPipeBuffer {
  uint32_t lispEnd;              // the Lisp side's end of the pipe
  uint32_t threadEvent;          // set to have the pipe thread refill or drain the data
  uint32_t lispEvent;            // signalled while the Lisp side may use the data
  uint32_t childProcess;         // handle of the child process
  host::DescriptorEntry* entry;  // the entry naming this buffer; null once detached
  uint32_t state;                // kChildPipeDetached once the Lisp side let go
  uint32_t readOffset;           // next byte of the data to hand out
  uint32_t endOffset;            // end of the valid data
  char data[kChildPipeDataBytes];
};
static_assert(offsetof(ChildPipeBuffer, lispEnd) == 0);
static_assert(offsetof(ChildPipeBuffer, threadEvent) == 4);
static_assert(offsetof(ChildPipeBuffer, lispEvent) == 8);
static_assert(offsetof(ChildPipeBuffer, childProcess) == 12);
static_assert(offsetof(ChildPipeBuffer, entry) == 16);
static_assert(offsetof(ChildPipeBuffer, state) == 20);
static_assert(offsetof(ChildPipeBuffer, readOffset) == 24);
static_assert(offsetof(ChildPipeBuffer, endOffset) == 28);
static_assert(offsetof(ChildPipeBuffer, data) == 32);
static_assert(sizeof(ChildPipeBuffer) == 32 + kChildPipeDataBytes);

// A zeroed buffer with both owners, its thread's event (automatic reset) and
// its Lisp-side event (manual reset), neither signalled.
ChildPipeBuffer* newChildPipeBuffer();
// One owner lets go; the last one frees the buffer and closes its events.
void releaseChildPipeBuffer(ChildPipeBuffer* buffer);
// What the pipe thread does when the pipe has ended: marks the entry (while
// attached) as ended, wakes a Lisp side waiting on the buffer, and lets go.
void endChildPipe(ChildPipeBuffer* buffer);
// Takes the entry pointer, leaving null; whichever side of the pipe takes it
// first is the one that may still touch the entry.
host::DescriptorEntry* detachEntry(ChildPipeBuffer* buffer);
// Buffers not yet freed, for tests.
int32_t liveChildPipeBuffers();

}  // namespace lisp::os
