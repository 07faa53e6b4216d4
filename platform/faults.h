// Machine faults delivered to the runtime: the processor-context and
// exception records the fault filter hands to its dispatcher, and the
// installation of the filter for the signals Linux raises on a fault.
//
// The filter runs on an alternate signal stack. It fills a context record
// from the interrupted registers, classifies the fault (one replaceable
// hook), calls the dispatcher, and writes the record's registers and
// eflags back, so the thread resumes where the dispatcher decided.
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

inline constexpr uint32_t kAccessViolation = 0xC0000005;

struct ExceptionRecord {
  uint32_t code;
  uint32_t flags;
  uint32_t nested;   // always 0 here
  uint32_t address;  // the faulting instruction
  uint32_t informationCount;
  uint32_t information[15];  // access violation: [0] 0 read / 1 write, [1] the faulting address
};

// What a fault is for the dispatcher.
enum class FaultKind : uint8_t {
  Interrupt,        // int N (signal 1)
  Breakpoint,       // hlt or int3 (signal 2)
  AccessViolation,  // (signal 11), with an exception record
  PassedOn,         // not the runtime's: the default action ends the process
};
inline constexpr int kFaultSignalInterrupt = 1;
inline constexpr int kFaultSignalBreakpoint = 2;
inline constexpr int kFaultSignalAccess = 11;

// Decides what a fault is from the Linux signal, its si_code and si_addr and
// the interrupted context (whose eip it may move, as for int3). Replaceable.
struct FaultFacts {
  int linuxSignal;
  int code;
  uint32_t address;
};
using FaultClassifier = FaultKind (*)(const FaultFacts& facts, ProcessorContext* context);
FaultKind classifyFault(const FaultFacts& facts, ProcessorContext* context);

// The dispatcher: gets the signal (1, 2, 11), the exception record (or
// null) and the context it may change; returns the new eip.
using FaultDispatcher = uint32_t (*)(int signal, ExceptionRecord* exception,
                                     ProcessorContext* context);

// Installs the filter for SIGSEGV, SIGBUS, SIGILL, SIGTRAP and SIGFPE with
// the given dispatcher and classifier (null: classifyFault). Process-wide.
void installFaultFilter(FaultDispatcher dispatcher, FaultClassifier classifier = nullptr);
// Gives the calling thread its alternate signal stack (once per thread).
bool ensureFaultStack();
// True once installFaultFilter has run.
bool faultFilterInstalled();

// Reads code bytes without faulting: false when any of them is unreadable.
bool readCodeBytes(uint32_t address, void* into, size_t count);

}  // namespace platform
