// The two records that join the launcher and the runtime library: the host
// record (25 words of hooks and shared words) and the pseudo file descriptor
// table (4096 entries naming every stream of the Lisp). The launcher owns
// both; the runtime keeps the host record's address and reaches the table
// through word 16. This header is the one definition both sides include.
//
// Every hook is a plain C function of the i386 C calling convention; every
// word is 32 bits wide.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(sizeof(void*) == 4, "the host record is a record of 32-bit words");

namespace host {

// ---- pseudo file descriptors ----

inline constexpr int32_t kDescriptorCount = 4096;
// Entry that receives every descriptor outside 0 to 4095; never allocated.
inline constexpr int32_t kOutOfRangeDescriptor = 4095;
inline constexpr int32_t kStandardInput = 0;
inline constexpr int32_t kStandardOutput = 1;
inline constexpr int32_t kStandardError = 2;
inline constexpr int32_t kNullDeviceDescriptor = 3;
// The runtime allocates entries from here up to 4094.
inline constexpr int32_t kFirstAllocatedDescriptor = 4;

// Entry kinds.
inline constexpr uint16_t kKindFree = 0;
inline constexpr uint16_t kKindRuntimeDescriptor = 1;  // a descriptor of the C runtime
inline constexpr uint16_t kKindSocket = 2;
inline constexpr uint16_t kKindConsole = 3;  // handle: index of the console queue pair
inline constexpr uint16_t kKindNullDevice = 4;
inline constexpr uint16_t kKindChildPipe = 5;
inline constexpr uint16_t kKindFileHandle = 6;

// Flag bits, child pipes only; allocation clears them.
inline constexpr uint16_t kFlagPipeEnded = 1;  // the pipe's thread has finished or detached
inline constexpr uint16_t kFlagPipeDirectionA = 2;
inline constexpr uint16_t kFlagPipeDirectionB = 4;

struct DescriptorEntry {
  uint32_t handle;    // runtime descriptor, socket, system handle, or console pair index
  uint16_t kind;      // kKind*
  uint16_t flags;     // kFlag*
  uint32_t words[3];  // socket: write-ready, close-or-exception, read-ready events;
                      // child pipe: words[0] points to its pipe buffer
  uint32_t quietReceive;  // socket: a receive that would block gives 0 bytes
};
static_assert(offsetof(DescriptorEntry, handle) == 0);
static_assert(offsetof(DescriptorEntry, kind) == 4);
static_assert(offsetof(DescriptorEntry, flags) == 6);
static_assert(offsetof(DescriptorEntry, words) == 8);
static_assert(offsetof(DescriptorEntry, quietReceive) == 20);
static_assert(sizeof(DescriptorEntry) == 24);

using DescriptorTable = DescriptorEntry[kDescriptorCount];

// Any int names an entry: outside 0 to 4095 it is entry 4095.
constexpr int32_t clampDescriptor(int32_t descriptor) {
  return descriptor >= 0 && descriptor < kDescriptorCount ? descriptor : kOutOfRangeDescriptor;
}

// The no-hang hooks take a descriptor to ask about reading, or its bit
// complement (a negative int) to ask about writing.
struct ReadinessQuestion {
  int32_t descriptor;  // clamped
  bool writing;
};
constexpr ReadinessQuestion decodeReadinessQuestion(int32_t descriptorOrComplement) {
  // Decision: the complement is undone before the clamp; clamping first would
  // send every question about writing to entry 4095.
  const bool writing = descriptorOrComplement < 0;
  return {clampDescriptor(writing ? ~descriptorOrComplement : descriptorOrComplement), writing};
}

// ---- hooks ----

// (descriptor, buffer, length, error out) -> count or -1
using ReadHook = int32_t (*)(int32_t descriptor, char* buffer, int32_t length, int32_t* error);
using WriteHook = int32_t (*)(int32_t descriptor, const char* buffer, int32_t length,
                              int32_t* error);
// (descriptor, error out) -> 0 or -1
using CloseHook = int32_t (*)(int32_t descriptor, int32_t* error);
// (descriptor or its complement, error out, wait flag) -> 1 ready, 0 not, -1 error
using NoHangHook = int32_t (*)(int32_t descriptorOrComplement, int32_t* error, int32_t wait);
// (descriptor or complement, thread) -> result of the watch
using WatchForHook = int32_t (*)(int32_t descriptorOrComplement, uint32_t thread);
using WaitSigioHook = int32_t (*)(int32_t mode);
using TimerSignalHook = void (*)();
using ExitHook = void (*)(int32_t status);
using PeekLoopHook = int32_t (*)(int32_t mode);
using SingleEventHook = int32_t (*)();

// ---- the host record ----

struct HostRecord {
  ReadHook readHook;                  // 0
  WriteHook writeHook;                // 1
  CloseHook closeHook;                // 2
  NoHangHook noHangHook;              // 3
  ReadHook win_read;                  // 4  runtime entries, filled after binding
  WriteHook win_write;                // 5
  CloseHook win_close;                // 6
  NoHangHook win_no_hang;             // 7
  WatchForHook win_watchfor;          // 8
  WaitSigioHook win_waitsigio;        // 9
  TimerSignalHook win_timersig;       // 10
  ExitHook exitHook;                  // 11
  PeekLoopHook peekLoopHook;          // 12 replaced on first use
  SingleEventHook singleEventHook;    // 13 replaced on first use
  uint32_t lispThreadId;              // 14
  uint32_t consoleWakeThreadId;       // 15 posted when console output is queued or closed
  DescriptorEntry* descriptorTable;   // 16
  const uint32_t* peekWindows;        // 17 null-terminated window list, or null
  const void* splashBlock;            // 18 first splash block (bitmap)
  uint32_t splashBlockLength;         // 19
  uint32_t consoleWindow;             // 20
  uint32_t moduleInstance;            // 21
  uint32_t splashWindow;              // 22
  const void* secondSplashBlock;      // 23
  uint32_t secondSplashBlockLength;   // 24
};
inline constexpr int kHostRecordWords = 25;
static_assert(sizeof(HostRecord) == kHostRecordWords * 4);
static_assert(offsetof(HostRecord, readHook) == 0 * 4);
static_assert(offsetof(HostRecord, writeHook) == 1 * 4);
static_assert(offsetof(HostRecord, closeHook) == 2 * 4);
static_assert(offsetof(HostRecord, noHangHook) == 3 * 4);
static_assert(offsetof(HostRecord, win_read) == 4 * 4);
static_assert(offsetof(HostRecord, win_write) == 5 * 4);
static_assert(offsetof(HostRecord, win_close) == 6 * 4);
static_assert(offsetof(HostRecord, win_no_hang) == 7 * 4);
static_assert(offsetof(HostRecord, win_watchfor) == 8 * 4);
static_assert(offsetof(HostRecord, win_waitsigio) == 9 * 4);
static_assert(offsetof(HostRecord, win_timersig) == 10 * 4);
static_assert(offsetof(HostRecord, exitHook) == 11 * 4);
static_assert(offsetof(HostRecord, peekLoopHook) == 12 * 4);
static_assert(offsetof(HostRecord, singleEventHook) == 13 * 4);
static_assert(offsetof(HostRecord, lispThreadId) == 14 * 4);
static_assert(offsetof(HostRecord, consoleWakeThreadId) == 15 * 4);
static_assert(offsetof(HostRecord, descriptorTable) == 16 * 4);
static_assert(offsetof(HostRecord, peekWindows) == 17 * 4);
static_assert(offsetof(HostRecord, splashBlock) == 18 * 4);
static_assert(offsetof(HostRecord, splashBlockLength) == 19 * 4);
static_assert(offsetof(HostRecord, consoleWindow) == 20 * 4);
static_assert(offsetof(HostRecord, moduleInstance) == 21 * 4);
static_assert(offsetof(HostRecord, splashWindow) == 22 * 4);
static_assert(offsetof(HostRecord, secondSplashBlock) == 23 * 4);
static_assert(offsetof(HostRecord, secondSplashBlockLength) == 24 * 4);

// Error numbers the launcher's console hooks report; Lisp code sees them as
// they are.
inline constexpr int32_t kErrorInterrupted = 4;        // a window message ended the wait
inline constexpr int32_t kErrorNoConsoleQueues = 9;    // write or readiness without queues
inline constexpr int32_t kErrorOutOfMemory = 12;       // the output would not fit
inline constexpr int32_t kErrorInvalidArgument = 22;   // negative length
inline constexpr int32_t kErrorNoConsoleInput = 36;    // read without queues

}  // namespace host
