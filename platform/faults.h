// Machine faults delivered to the runtime as structured exceptions: the
// processor-context and exception records a filter sees, the exception
// codes, the guarded regions (exception frames) a thread runs inside, and
// the installation of the handling for the signals Linux raises on a fault.
//
// A fault runs on the thread's alternate signal stack. The handling fills a
// context record from the interrupted registers and an exception record
// whose code comes from one classification table, then asks the filters of
// the thread's frames, innermost first:
//   -1  resume with the context as the filter left it;
//    0  ask the next frame out; when none is left the fault is passed on to
//       the handler installed before ours, else to the default action, so
//       the process ends by the signal;
//    1  unwind to the frame: its region returns 0.
// A fault on a thread outside every frame is passed on at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// The processor context of a fault: 0x8c bytes the dispatcher leaves
// alone, then the segment and general registers in this order.
struct ProcessorContext {
  uint8_t unfilled[0x8c];
  uint32_t gs, fs, es, ds;
  uint32_t edi, esi, ebx, edx, ecx, eax;
  uint32_t ebp, eip, cs, eflags, esp, ss;
};
static_assert(offsetof(ProcessorContext, gs) == 0x8c);
static_assert(offsetof(ProcessorContext, esi) == 0xa0);
static_assert(offsetof(ProcessorContext, ebx) == 0xa4);
static_assert(offsetof(ProcessorContext, edx) == 0xa8);
static_assert(offsetof(ProcessorContext, ecx) == 0xac);
static_assert(offsetof(ProcessorContext, eax) == 0xb0);
static_assert(offsetof(ProcessorContext, ebp) == 0xb4);
static_assert(offsetof(ProcessorContext, eip) == 0xb8);
static_assert(offsetof(ProcessorContext, eflags) == 0xc0);
static_assert(offsetof(ProcessorContext, esp) == 0xc4);
static_assert(sizeof(ProcessorContext) == 0xcc);

// Exception codes, as the runtime's filter knows them.
namespace exception_code {
inline constexpr uint32_t kAccessViolation = 0xC0000005;
inline constexpr uint32_t kPrivilegedInstruction = 0xC0000096;
inline constexpr uint32_t kIllegalInstruction = 0xC000001D;
inline constexpr uint32_t kDataMisalignment = 0x80000002;
inline constexpr uint32_t kBreakpoint = 0x80000003;
inline constexpr uint32_t kSingleStep = 0x80000004;
inline constexpr uint32_t kIntegerDivideByZero = 0xC0000094;
inline constexpr uint32_t kIntegerOverflow = 0xC0000095;
inline constexpr uint32_t kArrayBoundsExceeded = 0xC000008C;
inline constexpr uint32_t kFloatDenormalOperand = 0xC000008D;
inline constexpr uint32_t kFloatDivideByZero = 0xC000008E;
inline constexpr uint32_t kFloatInexactResult = 0xC000008F;
inline constexpr uint32_t kFloatInvalidOperation = 0xC0000090;
inline constexpr uint32_t kFloatOverflow = 0xC0000091;
inline constexpr uint32_t kFloatUnderflow = 0xC0000093;
// The console's interrupt key ending the process (SIGINT here).
inline constexpr uint32_t kControlBreakExit = 0xC000013A;
}  // namespace exception_code
inline constexpr uint32_t kAccessViolation = exception_code::kAccessViolation;

struct ExceptionRecord {
  uint32_t code;
  uint32_t flags;
  uint32_t nested;   // always 0 here
  uint32_t address;  // the faulting instruction
  uint32_t informationCount;
  // Access violation: [0] 0 read, 1 write, 8 instruction fetch; [1] the
  // faulting address (0 when the fault names none: int N, cs: writes, hlt).
  uint32_t information[15];
};
inline constexpr uint32_t kAccessRead = 0, kAccessWrite = 1, kAccessExecute = 8;

struct ExceptionPointers {
  ExceptionRecord* record;
  ProcessorContext* context;
};

// What a filter answers.
inline constexpr int32_t kContinueExecution = -1;
inline constexpr int32_t kContinueSearch = 0;
inline constexpr int32_t kExecuteHandler = 1;
using ExceptionFilter = int32_t (*)(uint32_t code, ExceptionPointers* pointers);

// The facts of a Linux fault the classification reads.
struct FaultFacts {
  int linuxSignal;
  int code;          // si_code
  uint32_t address;  // si_addr
};
// The exception code of a fault (the classification table). May move the
// context's eip back onto the instruction (int3 reports the byte after it).
uint32_t classifyFault(const FaultFacts& facts, ProcessorContext* context);

// Runs body(argument) inside an exception frame whose filter is `filter`
// and returns its result; 0 when the filter answered kExecuteHandler for a
// fault inside (the body is then left by a jump: it must hold nothing that
// needs destroying). Installs the fault handling when it is not yet.
uint32_t runGuarded(ExceptionFilter filter, uint32_t (*body)(void* argument), void* argument);
// True while the calling thread runs inside a frame.
bool insideExceptionFrame();

// Installs the handling for SIGSEGV, SIGBUS, SIGILL, SIGTRAP and SIGFPE
// (once per process; later calls do nothing).
void installFaultHandling();
// True once installFaultHandling has run.
bool faultHandlingInstalled();
// Also hands SIGINT to the frames, as kControlBreakExit with the context of
// the thread it interrupted. An interrupt that arrives on another thread is
// sent on to the thread that called this. Nothing changes when SIGINT is
// ignored.
void routeKeyboardInterrupt();
// Gives the calling thread its alternate signal stack (once per thread).
bool ensureFaultStack();

// Reads code bytes without faulting: false when any of them is unreadable.
bool readCodeBytes(uint32_t address, void* into, size_t count);

}  // namespace platform
