// The runtime's exception filter: it decides whether a machine exception on
// a Lisp thread is a Lisp trap, a general Lisp signal, the keyboard
// interrupt, the executable-stack probe's fault, or none of the runtime's.
#pragma once

#include <cstdint>

#include "platform/faults.h"
#include "platform/threads.h"

extern "C" {
// Non-zero while the sampling profiler must take no samples; raised while an
// exception is analysed.
extern uint32_t inhibitprof;
// Set while probe_executable_stack runs.
extern uint32_t probing_executable_stack;

// -1 (resume with the edited context) or 0 (next handler); never 1.
int32_t lisp_exception_filter(uint32_t code, platform::ExceptionPointers* pointers);
// The decision behind the filter; `faultAddress` is the context's eip.
int32_t vxm_analyze_exception(uint32_t code, platform::ProcessorContext* context,
                              platform::ExceptionRecord* record, platform::ExceptionRecord* again,
                              uint32_t faultAddress);
// 1 when the instruction at `address` is the trap instruction of `kind`.
int32_t vxm_trap_check(int32_t kind, uint32_t address);
// Delivers a trap of `kind` (1, 2 or 11) on the calling thread. Returns
// what syncsig1x returned: the handler, or 0 when the thread is not the
// runtime's.
uint32_t syncsig1(int32_t kind, platform::ExceptionRecord* record,
                  platform::ProcessorContext* context);
}

namespace lisp::os {

// Trap kinds.
inline constexpr int32_t kTrapInterrupt = 1;       // access violation at int N or a cs: prefix
inline constexpr int32_t kTrapHalt = 2;            // privileged instruction at hlt
inline constexpr int32_t kTrapGeneralSignal = 11;  // everything else the runtime takes

// What traps and interrupts are delivered through. Tests put recorders in;
// null parts put the runtime's own back (syncsig1x, gotsig).
struct TrapDelivery {
  uint32_t (*syncsig1x)(int32_t signal, platform::ExceptionRecord* record,
                        platform::ProcessorContext* context);
  int (*gotsig)(int signal, void* information, platform::ThreadContext* context);
};
void setTrapDelivery(TrapDelivery delivery);
const TrapDelivery& trapDelivery();

// One more stretch of memory that counts as Lisp code, [begin, end); tests
// lay trapping code out there. begin == end: none.
void setExtraLispCode(uint32_t begin, uint32_t end);
// True when `address` lies in one of the stretches that count as Lisp code.
bool inLispCode(uint32_t address, const uint32_t* threadRecord);
// True when `address` lies in compiled Lisp code: the Lisp heap, the pure
// library, or the extra stretch; not the runtime's own code (its routines
// and allocation stretches hold raw addresses) nor any native code.
bool inCompiledLispCode(uint32_t address);
// Whether an urgent interrupt may take over a thread stopped at `eip`: only
// in compiled Lisp code, whose every live register the collector
// understands, and never while a collection runs. Elsewhere the request is
// held for the next safe point.
bool urgentInterruptMayLandAt(uint32_t eip);

}  // namespace lisp::os
