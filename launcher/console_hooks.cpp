// The stream hooks of the host record. Console streams (kind 3) are served
// here through the console queue pair their entry names; every other kind
// goes to the runtime's operation in words 4 to 7 of the form in use.
//
// Every hook clears the error out-word first and replaces a descriptor
// outside 0 to 4095 by 4095.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "launcher/console_queues.h"
#include "launcher/host_records.h"
#include "platform/message_queue.h"

namespace launcher {

namespace {

void clearError(int32_t* error) {
  if (error) *error = 0;
}

int32_t fail(int32_t* error, int32_t number) {
  if (error) *error = number;
  return -1;
}

host::DescriptorEntry& entryOf(int32_t descriptor) {
  return current_host_record->descriptorTable[descriptor];
}

console::QueuePair* pairOf(const host::DescriptorEntry& entry) {
  return console::consolePair(entry.handle);
}

// Decision: a runtime entry that is not bound yet answers as the runtime does
// for an entry it cannot serve: error 9.
constexpr int32_t kErrorUnboundRuntime = host::kErrorNoConsoleQueues;

void wakeConsoleThread() {
  const uint32_t thread = current_host_record->consoleWakeThreadId;
  if (thread != 0) platform::postThreadMessage(thread, platform::kUserMessage, 0, 0);
}

void closeSplash() {
  if (close_splash_early) close_splash_early();
}

// The script file: one byte at a time up to and including a newline or until
// the buffer is full. At its end or on a read error with no byte read, the
// script is closed and 0 returned; bytes read before either are returned,
// and the next call meets the end again.
int32_t readScriptLine(char* buffer, int32_t length) {
  int32_t count = 0;
  while (count < length && ::read(script_descriptor, buffer + count, 1) == 1)
    if (buffer[count++] == '\n') break;
  if (count == 0) {
    ::close(script_descriptor);
    script_descriptor = -1;
  }
  return count;
}

void echoScriptLine(const char* line, int32_t count) {
  int32_t ignored = 0;
  current_host_record->writeHook(host::kStandardOutput, line, count, &ignored);
}

bool writeToPair(console::QueuePair* pair, const char* buffer, int32_t length, int32_t* error) {
  if (length < 0) {
    fail(error, host::kErrorInvalidArgument);
    return false;
  }
  // The put refuses only what would pass the largest int, or memory it cannot have.
  if (!console::writeOutput(pair, buffer, length)) {
    fail(error, host::kErrorOutOfMemory);
    return false;
  }
  return true;
}

bool processOutputOpen() {
  return fcntl(STDOUT_FILENO, F_GETFD) != -1;
}

// All of it, or false with errno set.
bool writeProcessOutput(const char* buffer, int32_t length) {
  int32_t done = 0;
  while (done < length) {
    const ssize_t wrote = ::write(STDOUT_FILENO, buffer + done, static_cast<size_t>(length - done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (wrote == 0) errno = EIO;  // no progress: do not spin
      return false;
    }
    done += static_cast<int32_t>(wrote);
  }
  return true;
}

}  // namespace

int32_t read_hook(int32_t descriptor, char* buffer, int32_t length, int32_t* error) {
  clearError(error);
  descriptor = host::clampDescriptor(descriptor);
  if (descriptor == host::kStandardInput) {
    closeSplash();
    // Decision: a read of no bytes leaves the script open.
    if (script_descriptor >= 0 && length > 0) {
      const int32_t count = readScriptLine(buffer, length);
      if (count > 0) {
        if (console_wanted) echoScriptLine(buffer, count);
        return count;
      }
    }
  }
  return console_read(descriptor, buffer, length, error);
}

int32_t console_read(int32_t descriptor, char* buffer, int32_t length, int32_t* error) {
  clearError(error);
  descriptor = host::clampDescriptor(descriptor);
  const host::DescriptorEntry& entry = entryOf(descriptor);
  if (entry.kind != host::kKindConsole) {
    const host::ReadHook runtimeRead = current_host_record->win_read;
    return runtimeRead ? runtimeRead(descriptor, buffer, length, error)
                       : fail(error, kErrorUnboundRuntime);
  }
  console::QueuePair* pair = pairOf(entry);
  if (!pair || !console::pairExists(pair)) return fail(error, host::kErrorNoConsoleInput);
  if (length < 0) return fail(error, host::kErrorInvalidArgument);
  const int32_t woke = console::waitForInput(pair, true);
  current_host_record->peekLoopHook(0);
  if (woke == console::kMessageWaiting) return fail(error, host::kErrorInterrupted);
  const int32_t count = console::readInput(pair, buffer, length);
  // -1: the pair went while we waited.
  return count >= 0 ? count : fail(error, host::kErrorNoConsoleInput);
}

int32_t console_form_write_hook(int32_t descriptor, const char* buffer, int32_t length,
                                int32_t* error) {
  clearError(error);
  descriptor = host::clampDescriptor(descriptor);
  if (descriptor != host::kStandardOutput) return console_write(descriptor, buffer, length, error);
  // Whatever entry 1 holds, its bytes go to pair 0's output queue, or nowhere
  // once the pair is gone.
  return writeToPair(console::consolePair(0), buffer, length, error) ? length : -1;
}

int32_t no_console_form_write_hook(int32_t descriptor, const char* buffer, int32_t length,
                                   int32_t* error) {
  clearError(error);
  descriptor = host::clampDescriptor(descriptor);
  if (length < 0 && (descriptor == host::kStandardOutput ||
                     entryOf(descriptor).kind == host::kKindConsole))
    return fail(error, host::kErrorInvalidArgument);
  // Without a console the process's own standard output still takes
  // descriptor 1 (the runtime's messages among it), whatever entry 1 holds.
  if (descriptor == host::kStandardOutput) {
    if (!processOutputOpen()) return length;
    return writeProcessOutput(buffer, length) ? length : fail(error, errno);
  }
  // Nobody drains the output queue without a console: the other console
  // streams are dropped instead of piling up there.
  if (entryOf(descriptor).kind == host::kKindConsole) return length;
  return console_write(descriptor, buffer, length, error);
}

int32_t console_write(int32_t descriptor, const char* buffer, int32_t length, int32_t* error) {
  clearError(error);
  descriptor = host::clampDescriptor(descriptor);
  const host::DescriptorEntry& entry = entryOf(descriptor);
  if (entry.kind != host::kKindConsole) {
    const host::WriteHook runtimeWrite = current_host_record->win_write;
    return runtimeWrite ? runtimeWrite(descriptor, buffer, length, error)
                        : fail(error, kErrorUnboundRuntime);
  }
  console::QueuePair* pair = pairOf(entry);
  if (!pair || !console::pairExists(pair)) return fail(error, host::kErrorNoConsoleQueues);
  if (!writeToPair(pair, buffer, length, error)) return -1;
  wakeConsoleThread();
  return length;
}

int32_t close_hook(int32_t descriptor, int32_t* error) {
  clearError(error);
  descriptor = host::clampDescriptor(descriptor);
  host::DescriptorEntry& entry = entryOf(descriptor);
  if (entry.kind != host::kKindConsole) {
    const host::CloseHook runtimeClose = current_host_record->win_close;
    return runtimeClose ? runtimeClose(descriptor, error) : fail(error, kErrorUnboundRuntime);
  }
  console::QueuePair* pair = pairOf(entry);
  if (pair && console::pairExists(pair)) {
    console::freePair(pair);
    wakeConsoleThread();
  }
  entry.kind = host::kKindFree;
  return 0;
}

int32_t no_hang_hook(int32_t descriptorOrComplement, int32_t* error, int32_t wait) {
  clearError(error);
  const host::ReadinessQuestion question = host::decodeReadinessQuestion(descriptorOrComplement);
  if (question.descriptor == host::kStandardInput) {
    closeSplash();
    // Decision: the script answers only questions about reading.
    if (!question.writing && script_descriptor >= 0) return 1;
  }
  const host::DescriptorEntry& entry = entryOf(question.descriptor);
  if (entry.kind == host::kKindRuntimeDescriptor) return 1;
  if (entry.kind != host::kKindConsole) {
    const host::NoHangHook runtimeNoHang = current_host_record->win_no_hang;
    return runtimeNoHang ? runtimeNoHang(descriptorOrComplement, error, wait)
                         : fail(error, kErrorUnboundRuntime);
  }
  console::QueuePair* pair = pairOf(entry);
  if (!pair || !console::pairExists(pair)) return fail(error, host::kErrorNoConsoleQueues);
  if (question.writing) return 1;
  // The wait flag is not used: a console stream is asked without waiting.
  return console::waitForInput(pair, false) == console::kInputReady ? 1 : 0;
}

}  // namespace launcher
