// The pseudo descriptor table and its stream operations on Linux: kind 1 is a
// descriptor of the C library, kind 2 a socket, kind 4 the null device,
// kind 5 a child pipe buffer, kind 6 a descriptor opened the way system file
// handles are (its errors are system error codes).

#include "runtime/os/host_record_services.h"
#include "runtime/os/pseudo_descriptors.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/error_numbers.h"
#include "platform/memory.h"
#include "platform/waitable.h"
#include "runtime/os/child_pipe_buffer.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/socket_watchers.h"
#include "runtime/rs/exports.h"

namespace lisp::os {

host::HostRecord* hostRecord() {
  return reinterpret_cast<host::HostRecord*>(redir);
}

host::DescriptorEntry* descriptorTable() {
  host::HostRecord* record = hostRecord();
  return record ? record->descriptorTable : nullptr;
}

namespace {

// Trace codes of the socket paths.
namespace trace {
inline constexpr uint32_t kReadStarts = 528;
inline constexpr uint32_t kReadSocket = 534;
inline constexpr uint32_t kReadResult = 538;
inline constexpr uint32_t kReadFailed = 539;
inline constexpr uint32_t kReadError = 540;
inline constexpr uint32_t kReadWouldBlockGivesZero = 541;
inline constexpr uint32_t kWriteStarts = 533;
inline constexpr uint32_t kWriteSocket = 530;
inline constexpr uint32_t kWriteDone = 531;
inline constexpr uint32_t kReadinessStarts = 521;
inline constexpr uint32_t kReadinessForWriting = 535;
inline constexpr uint32_t kReadinessForReading = 536;
inline constexpr uint32_t kReadinessResult = 537;
}  // namespace trace

enum SocketEvent { kWriteReady = 0, kCloseOrException = 1, kReadReady = 2 };

// Decision: a negative length is refused with the C runtime's EINVAL (22)
// before any kind is served, as the launcher's console hooks do.
constexpr int32_t kErrorInvalidLength = 22;
constexpr int32_t kErrorBadAddress = 14;  // the C runtime's EFAULT

constexpr int32_t kEndOfAllocation = host::kOutOfRangeDescriptor;  // 4094 is the last

void setError(int32_t* error, int32_t value) {
  if (error) *error = value;
}

int32_t fail(int32_t* error, int32_t value) {
  setError(error, value);
  return -1;
}

// The entry a stream operation acts on, or null without a table.
host::DescriptorEntry* entryFor(int32_t descriptor) {
  host::DescriptorEntry* table = descriptorTable();
  return table ? &table[host::clampDescriptor(descriptor)] : nullptr;
}

ChildPipeBuffer* pipeBufferOf(const host::DescriptorEntry& entry) {
  return reinterpret_cast<ChildPipeBuffer*>(static_cast<uintptr_t>(entry.words[0]));
}

bool pipeEnded(const host::DescriptorEntry& entry) {
  return (entry.flags & host::kFlagPipeEnded) != 0;
}

bool isSignalled(uint32_t event, bool waitForIt) {
  const platform::Handle handles[] = {event};
  return platform::waitForAny(handles, waitForIt ? platform::kWaitForever : 0) == 0;
}

// ---- kind 1 ----

int32_t runtimeFailure(int32_t* error) {
  return fail(error, platform::runtimeErrnoFromLinux(errno));
}

int32_t readDescriptor(const host::DescriptorEntry& entry, char* buffer, int32_t length,
                       int32_t* error) {
  close_profiler_gate();
  const ssize_t got = ::read(static_cast<int>(entry.handle), buffer, static_cast<size_t>(length));
  const int saved = errno;
  open_profiler_gate();
  errno = saved;
  return got < 0 ? runtimeFailure(error) : static_cast<int32_t>(got);
}

// ---- kind 2 ----

int32_t readSocket(const host::DescriptorEntry& entry, char* buffer, int32_t length,
                   int32_t* error) {
  uint32_t* events = fd_socket_events(entry.handle);
  if (!events) return -1;
  platform::resetEvent(events[kReadReady]);
  rearm_watched_socket(static_cast<int32_t>(entry.handle));
  mp_log_event(trace::kReadStarts, entry.handle);
  mp_log_event(trace::kReadSocket, entry.handle);
  // Sockets of the Lisp never block the Lisp thread: a socket watched for
  // events does not block on the system this emulates either.
  const ssize_t got =
      ::recv(static_cast<int>(entry.handle), buffer, static_cast<size_t>(length), MSG_DONTWAIT);
  const int32_t socketError = got < 0 ? platform::socketErrorFromLinux(errno) : 0;
  mp_log_event(trace::kReadResult, static_cast<uint32_t>(got));
  if (got >= 0) return static_cast<int32_t>(got);
  mp_log_event(trace::kReadFailed, entry.handle);
  mp_log_event(trace::kReadError, static_cast<uint32_t>(socketError));
  if (socketError == kErrorWouldBlock && entry.quietReceive != 0) {
    mp_log_event(trace::kReadWouldBlockGivesZero, entry.handle);
    return 0;
  }
  return fail(error, socketError);
}

int32_t writeSocket(const host::DescriptorEntry& entry, const char* data, int32_t length,
                    int32_t* error) {
  uint32_t* events = fd_socket_events(entry.handle);
  if (!events) return -1;
  platform::resetEvent(events[kWriteReady]);
  rearm_watched_socket(static_cast<int32_t>(entry.handle));
  mp_log_event(trace::kWriteStarts, entry.handle);
  mp_log_event(trace::kWriteSocket, entry.handle);
  // No signal for a peer that has gone: the error word reports it instead.
  const ssize_t sent = ::send(static_cast<int>(entry.handle), data, static_cast<size_t>(length),
                              MSG_DONTWAIT | MSG_NOSIGNAL);
  const int32_t socketError = sent < 0 ? platform::socketErrorFromLinux(errno) : 0;
  if (socketError != kErrorWouldBlock) {
    mp_log_event(trace::kWriteDone, entry.handle);
    platform::setEvent(events[kWriteReady]);
  }
  return sent < 0 ? fail(error, socketError) : static_cast<int32_t>(sent);
}

int32_t closeSocket(host::DescriptorEntry& entry, int32_t* error) {
  // The socket leaves its watcher first, so that nothing polls its number
  // once closed. Setting the events wakes anybody waiting.
  remove_watched_socket(static_cast<int32_t>(entry.handle));
  for (uint32_t event : entry.words) platform::setEvent(event);
  for (uint32_t& event : entry.words) {
    platform::closeHandle(event);
    event = 0;
  }
  if (::close(static_cast<int>(entry.handle)) < 0)
    return fail(error, platform::socketErrorFromLinux(errno));
  return 0;
}

int32_t socketReadiness(const host::DescriptorEntry& entry, bool writing, bool wait,
                        int32_t* error) {
  mp_log_event(trace::kReadinessStarts, entry.handle);
  mp_log_event(writing ? trace::kReadinessForWriting : trace::kReadinessForReading,
               static_cast<uint32_t>(wait));
  const uint32_t* events = fd_socket_events(entry.handle);
  if (!events) {
    mp_log_event(trace::kReadinessResult, static_cast<uint32_t>(-1));
    return -1;
  }
  const platform::Handle watched[] = {
      writing ? events[kWriteReady] : events[kCloseOrException],
      writing ? events[kCloseOrException] : events[kReadReady]};
  const int32_t waited = platform::waitForAny(watched, wait ? platform::kWaitForever : 0);
  int32_t result;
  if (waited == 0 || waited == 1) {
    mp_log_event(trace::kReadinessResult, static_cast<uint32_t>(waited + 1));
    result = 1;
  } else if (waited == platform::kWaitTimedOut) {
    mp_log_event(trace::kReadinessResult, 0);
    result = 0;
  } else {
    mp_log_event(trace::kReadinessResult, static_cast<uint32_t>(-1));
    result = fail(error, static_cast<int32_t>(platform::lastSystemError()));
  }
  return result;
}

// ---- kind 5 ----

// A child pipe goes one way: the Lisp side reads the child's output and error
// pipes (direction A) and writes its input pipe (direction B). A transfer the
// other way would hand out the data the Lisp side wrote, or overwrite the
// child's output before it was read: it fails as on a descriptor not open
// that way.
bool goesTheOtherWay(const host::DescriptorEntry& entry, uint16_t direction) {
  return (entry.flags & direction) != 0;
}

int32_t readPipe(const host::DescriptorEntry& entry, char* buffer, int32_t length,
                 int32_t* error) {
  if (goesTheOtherWay(entry, host::kFlagPipeDirectionB)) return fail(error, kErrorBadDescriptor);
  if (pipeEnded(entry)) return 0;
  ChildPipeBuffer* pipe = pipeBufferOf(entry);
  if (!pipe) return fail(error, kErrorBadDescriptor);
  close_profiler_gate();
  isSignalled(pipe->lispEvent, true);
  open_profiler_gate();
  if (pipeEnded(entry)) return 0;
  const uint32_t available = pipe->endOffset - std::min(pipe->readOffset, pipe->endOffset);
  const uint32_t count = std::min(static_cast<uint32_t>(length), available);
  // A buffer not wholly writable fails the read as a file read does; the
  // bytes stay for the next one.
  if (!platform::copyChecked(buffer, pipe->data + pipe->readOffset, count))
    return fail(error, kErrorBadAddress);
  pipe->readOffset += count;
  if (pipe->readOffset >= pipe->endOffset) {
    platform::resetEvent(pipe->lispEvent);
    platform::setEvent(pipe->threadEvent);
  }
  return static_cast<int32_t>(count);
}

int32_t writePipe(const host::DescriptorEntry& entry, const char* data, int32_t length,
                  int32_t* error) {
  if (goesTheOtherWay(entry, host::kFlagPipeDirectionA)) return fail(error, kErrorBadDescriptor);
  if (pipeEnded(entry)) return fail(error, kErrorPipeEnded);
  ChildPipeBuffer* pipe = pipeBufferOf(entry);
  if (!pipe) return fail(error, kErrorBadDescriptor);
  // The writer thread has not taken the previous data yet.
  if (!isSignalled(pipe->lispEvent, false)) return fail(error, kErrorWouldBlock);
  const uint32_t count = std::min(static_cast<uint32_t>(length), kChildPipeDataBytes);
  std::memcpy(pipe->data, data, count);
  pipe->readOffset = 0;
  pipe->endOffset = count;
  platform::resetEvent(pipe->lispEvent);
  platform::setEvent(pipe->threadEvent);
  return static_cast<int32_t>(count);
}

// The entry lets go of its buffer; unless the pipe has ended the thread is
// told so and wakes to let go too.
void closePipe(host::DescriptorEntry& entry) {
  ChildPipeBuffer* pipe = pipeBufferOf(entry);
  if (!pipe) return;
  // Taken in every case: a thread that is ending on its own at this moment
  // then finds no entry to mark, rather than one that may be reused.
  detachEntry(pipe);
  if (!pipeEnded(entry) &&
      __atomic_load_n(&pipe->state, __ATOMIC_ACQUIRE) != kChildPipeDetached) {
    // Released: a pipe thread that sees the state also sees the last data.
    __atomic_store_n(&pipe->state, kChildPipeDetached, __ATOMIC_RELEASE);
    platform::setEvent(pipe->threadEvent);
  }
  entry.words[0] = 0;
  releaseChildPipeBuffer(pipe);
}

int32_t pipeReadiness(const host::DescriptorEntry& entry, bool writing, bool wait,
                      int32_t* error) {
  if (pipeEnded(entry)) return 1;
  ChildPipeBuffer* pipe = pipeBufferOf(entry);
  // Decision: asking about writing on an entry without a buffer fails as
  // asking about reading does, rather than reading through a null buffer.
  (void)writing;
  if (!pipe) return fail(error, kErrorBadDescriptor);
  return isSignalled(pipe->lispEvent, wait) ? 1 : 0;
}

// Why a read or write of `length` bytes on `entry` cannot start (the error
// number), or 0: only the descriptor kinds that carry a byte stream take
// one, and never a negative length.
int32_t refusedTransfer(const host::DescriptorEntry* entry, int32_t length) {
  if (!entry) return kErrorBadDescriptor;
  switch (entry->kind) {
    case host::kKindRuntimeDescriptor:
    case host::kKindSocket:
    case host::kKindNullDevice:
    case host::kKindChildPipe:
      return length < 0 ? kErrorInvalidLength : 0;
    default:
      return kErrorBadDescriptor;
  }
}

}  // namespace
}  // namespace lisp::os

using namespace lisp::os;

extern "C" {

// ---- the table ----

KORVANE_EXPORT int32_t allocate_pseudofd(uint32_t handle, int32_t kind) {
  host::DescriptorEntry* table = descriptorTable();
  if (!table) return -1;
  for (int32_t descriptor = host::kFirstAllocatedDescriptor; descriptor < kEndOfAllocation;
       ++descriptor) {
    host::DescriptorEntry& entry = table[descriptor];
    if (entry.kind != host::kKindFree) continue;
    entry.handle = handle;
    entry.flags = 0;
    if (kind == host::kKindSocket) {
      for (uint32_t& event : entry.words) event = platform::createEvent(true, false);
      entry.quietReceive = 0;
    }
    entry.kind = static_cast<uint16_t>(kind);
    return descriptor;
  }
  return -1;
}

KORVANE_EXPORT int32_t pseudofd_to_fd(uint32_t pseudofd, int32_t kind) {
  host::DescriptorEntry* table = descriptorTable();
  if (!table || pseudofd >= static_cast<uint32_t>(host::kDescriptorCount)) return -1;
  const host::DescriptorEntry& entry = table[pseudofd];
  if (kind != 0 && entry.kind != kind) return -1;
  return static_cast<int32_t>(entry.handle);
}

KORVANE_EXPORT int32_t fd_to_pseudofd(uint32_t handle, int32_t kind) {
  host::DescriptorEntry* table = descriptorTable();
  if (!table) return -1;
  for (int32_t descriptor = host::kFirstAllocatedDescriptor; descriptor < kEndOfAllocation;
       ++descriptor)
    if (table[descriptor].kind == kind && table[descriptor].handle == handle) return descriptor;
  return -1;
}

KORVANE_EXPORT int32_t pseudofd_kind(uint32_t pseudofd) {
  host::DescriptorEntry* table = descriptorTable();
  if (!table || pseudofd >= static_cast<uint32_t>(host::kDescriptorCount)) return -1;
  return table[pseudofd].kind;
}

uint32_t* fd_socket_events(uint32_t socket) {
  const int32_t descriptor = fd_to_pseudofd(socket, host::kKindSocket);
  return descriptor < 0 ? nullptr : descriptorTable()[descriptor].words;
}

// ---- the stream operations ----

KORVANE_EXPORT int32_t win_read(int32_t pseudofd, char* buffer, int32_t length, int32_t* error) {
  setError(error, 0);
  host::DescriptorEntry* entry = entryFor(pseudofd);
  if (const int32_t refused = refusedTransfer(entry, length)) return fail(error, refused);
  switch (entry->kind) {
    case host::kKindRuntimeDescriptor: return readDescriptor(*entry, buffer, length, error);
    case host::kKindSocket: return readSocket(*entry, buffer, length, error);
    case host::kKindNullDevice: return 0;
    default: return readPipe(*entry, buffer, length, error);
  }
}

KORVANE_EXPORT int32_t win_write(int32_t pseudofd, const char* data, int32_t length,
                                 int32_t* error) {
  setError(error, 0);
  host::DescriptorEntry* entry = entryFor(pseudofd);
  if (const int32_t refused = refusedTransfer(entry, length)) return fail(error, refused);
  switch (entry->kind) {
    case host::kKindRuntimeDescriptor: {
      const ssize_t wrote =
          ::write(static_cast<int>(entry->handle), data, static_cast<size_t>(length));
      return wrote < 0 ? runtimeFailure(error) : static_cast<int32_t>(wrote);
    }
    case host::kKindSocket: return writeSocket(*entry, data, length, error);
    case host::kKindNullDevice: return length;
    default: return writePipe(*entry, data, length, error);
  }
}

KORVANE_EXPORT int32_t win_close(int32_t pseudofd, int32_t* error) {
  setError(error, 0);
  host::DescriptorEntry* entry = entryFor(pseudofd);
  if (!entry) return fail(error, kErrorBadDescriptor);
  const uint16_t kind = entry->kind;
  entry->kind = host::kKindFree;
  switch (kind) {
    case host::kKindRuntimeDescriptor:
      return ::close(static_cast<int>(entry->handle)) < 0 ? runtimeFailure(error) : 0;
    case host::kKindSocket:
      return closeSocket(*entry, error);
    case host::kKindChildPipe:
      closePipe(*entry);
      return 0;
    case host::kKindFileHandle:
      if (::close(static_cast<int>(entry->handle)) < 0)
        return fail(error, static_cast<int32_t>(platform::systemErrorFromLinux(errno)));
      return 0;
    default:
      return 0;
  }
}

KORVANE_EXPORT int32_t win_no_hang(int32_t pseudofdOrComplement, int32_t* error, int32_t wait) {
  setError(error, 0);
  const host::ReadinessQuestion question = host::decodeReadinessQuestion(pseudofdOrComplement);
  host::DescriptorEntry* entry = entryFor(question.descriptor);
  if (!entry) return fail(error, kErrorBadDescriptor);
  switch (entry->kind) {
    case host::kKindRuntimeDescriptor:
    case host::kKindNullDevice:
      return 1;
    case host::kKindSocket:
      return socketReadiness(*entry, question.writing, wait != 0, error);
    case host::kKindChildPipe:
      return pipeReadiness(*entry, question.writing, wait != 0, error);
    default:
      return fail(error, kErrorBadDescriptor);
  }
}

}  // extern "C"
