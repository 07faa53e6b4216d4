// Pipe reader and writer threads.
//
// The two events hand the data area back and forth: the thread touches it
// only after the thread's event, the Lisp side only while the Lisp-side event
// is signalled. Every way a thread ends goes through finishPipe, which is the
// one place that closes the pipe and gives up the thread's share.

#include "runtime/os/pipe_threads.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/threads.h"
#include "platform/waitable.h"

namespace lisp::os {

namespace {

constexpr size_t kPipeThreadStackBytes = 64 * 1024;
constexpr int kBelowNormalPriority = -1;
// The pipe's end once forgotten (the system no longer knows it).
constexpr uint32_t kNoPipeEnd = 0xffffffff;

bool detached(const ChildPipeBuffer* pipe) {
  return __atomic_load_n(&pipe->state, __ATOMIC_ACQUIRE) == kChildPipeDetached;
}

void waitForWork(const ChildPipeBuffer* pipe) {
  const platform::Handle events[] = {pipe->threadEvent};
  platform::waitForAny(events, platform::kWaitForever);
}

// Closes the pipe (unless forgotten) and ends the thread's share: an entry
// still linked is marked ended, a Lisp side waiting on the buffer wakes.
uint32_t finishPipe(ChildPipeBuffer* pipe) {
  if (pipe->lispEnd != kNoPipeEnd) ::close(static_cast<int>(pipe->lispEnd));
  __atomic_store_n(&pipe->state, kChildPipeDetached, __ATOMIC_RELEASE);
  endChildPipe(pipe);
  return 0;
}

uint32_t pipeReader(void* argument) {
  auto* pipe = static_cast<ChildPipeBuffer*>(argument);
  for (;;) {
    if (detached(pipe)) return finishPipe(pipe);
    ssize_t got;
    do {
      got = ::read(static_cast<int>(pipe->lispEnd), pipe->data, kChildPipeDataBytes);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
      if (got < 0 && errno == EBADF) pipe->lispEnd = kNoPipeEnd;
      return finishPipe(pipe);
    }
    pipe->readOffset = 0;
    pipe->endOffset = static_cast<uint32_t>(got);
    platform::setEvent(pipe->lispEvent);
    if (detached(pipe)) return finishPipe(pipe);
    waitForWork(pipe);
  }
}

uint32_t pipeWriter(void* argument) {
  auto* pipe = static_cast<ChildPipeBuffer*>(argument);
  // A child that has gone makes writes fail with EPIPE; the signal that
  // comes with it stays pending on this thread instead of ending the process.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
  for (;;) {
    waitForWork(pipe);
    while (pipe->readOffset < pipe->endOffset) {
      const ssize_t wrote = ::write(static_cast<int>(pipe->lispEnd), pipe->data + pipe->readOffset,
                                    pipe->endOffset - pipe->readOffset);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote < 0) {
        if (errno == EBADF) pipe->lispEnd = kNoPipeEnd;
        pipe->readOffset = pipe->endOffset;  // the rest is dropped
        return finishPipe(pipe);
      }
      pipe->readOffset += static_cast<uint32_t>(wrote);
    }
    platform::setEvent(pipe->lispEvent);
    // Data handed over just before the detachment is still written: the
    // detachment set the thread's event again, so the next round takes it.
    if (detached(pipe) && pipe->readOffset >= pipe->endOffset) return finishPipe(pipe);
  }
}

}  // namespace

ChildPipeBuffer* newPipeBuffer(int lispEnd, uint32_t childProcess, bool lispWrites) {
  ChildPipeBuffer* pipe = newChildPipeBuffer();
  pipe->lispEnd = static_cast<uint32_t>(lispEnd);
  pipe->childProcess = childProcess;
  if (lispWrites) platform::setEvent(pipe->lispEvent);
  return pipe;
}

void startPipeThread(ChildPipeBuffer* buffer, bool lispWrites) {
  const platform::Handle thread = platform::createThread(lispWrites ? pipeWriter : pipeReader,
                                                         buffer, kPipeThreadStackBytes, nullptr);
  if (thread == platform::kNoHandle) {
    finishPipe(buffer);
    return;
  }
  platform::setThreadPriority(thread, kBelowNormalPriority);
  platform::closeHandle(thread);
}

void detachPipeBuffer(ChildPipeBuffer* buffer) {
  __atomic_store_n(&buffer->state, kChildPipeDetached, __ATOMIC_RELEASE);
  detachEntry(buffer);
  platform::setEvent(buffer->threadEvent);
  releaseChildPipeBuffer(buffer);
}

}  // namespace lisp::os
