// The exception filter of every Lisp thread.
//
// Invariant: an exception becomes a Lisp trap only when its instruction lies
// in Lisp code and is that kind's trap instruction; never while the
// collector runs; and `inhibitprof` is the same after the analysis as
// before it.
//
// Decisions:
// - The 256 bytes either side of the thread record are [record - 256,
//   record + 256): the record's code stubs lie at its start.
// - When syncsig1x finds the thread is not the runtime's (no thread record,
//   or a fault outside native code with edi not nil) the context is left as
//   it was; resuming it would fault again for ever, so the filter passes the
//   exception on instead and the process ends by its signal.
// - The keyboard interrupt edits the context through gotsig; the registers
//   it may change (eip, esp, the general ones) are copied back.

#include "runtime/os/exception_filter.h"

#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_layout.h"
#include "runtime/load/image_file.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/pure_library_bounds.h"
#include "runtime/load/startup.h"
#include "runtime/os/gotsig.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/trap_record.h"

extern "C" {
// Bounds of the hand-written runtime code outside the allocation stretch.
void start_of_fi_runtime();
void end_of_fi_runtime();
// A bare return: where the probe's fault resumes.
void get_frameptr();

uint32_t inhibitprof = 0;
uint32_t probing_executable_stack = 0;
}

namespace lisp::os {
namespace {

namespace code = platform::exception_code;
using platform::ExceptionRecord;
using platform::ProcessorContext;

constexpr int32_t kPassOn = platform::kContinueSearch;
constexpr int32_t kResume = platform::kContinueExecution;
constexpr int kInterruptSignal = 2;
constexpr uint32_t kRecordStubReach = 256;

// Exception codes that can be Lisp traps, and their kinds.
struct TrapKindOfCode {
  uint32_t code;
  int32_t kind;
};
constexpr TrapKindOfCode kTrapKinds[] = {
    {code::kAccessViolation, kTrapInterrupt},
    {code::kPrivilegedInstruction, kTrapHalt},
    {code::kDataMisalignment, kTrapGeneralSignal},
};

// The trap instruction of each kind: its first byte is one of two, or any
// instruction counts.
constexpr int kNoByte = -1;
struct TrapInstruction {
  int32_t kind;
  bool always;
  int firstByte;
  int otherFirstByte;
};
constexpr TrapInstruction kTrapInstructions[] = {
    {kTrapInterrupt, false, 0xcd, 0x2e},  // int N, or a cs: override
    {kTrapHalt, false, 0xf4, kNoByte},    // hlt
    {kTrapGeneralSignal, true, kNoByte, kNoByte},
};

TrapDelivery runtimeDelivery() {
  return TrapDelivery{syncsig1x, gotsig};
}
TrapDelivery delivery = runtimeDelivery();
uint32_t extraBegin = 0, extraEnd = 0;

uint32_t addressOf(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}
bool within(uint32_t address, uint32_t begin, uint32_t end) {
  return address >= begin && address < end;
}

int32_t trapKindOf(uint32_t exceptionCode) {
  for (const TrapKindOfCode& row : kTrapKinds)
    if (row.code == exceptionCode) return row.kind;
  return 0;
}

// gotsig speaks the thread-context form; the registers go there and back.
platform::ThreadContext threadContextOf(const ProcessorContext& context) {
  platform::ThreadContext thread{};
  thread.parts = platform::context_part::kAll;
  thread.edi = context.edi, thread.esi = context.esi, thread.ebx = context.ebx;
  thread.edx = context.edx, thread.ecx = context.ecx, thread.eax = context.eax;
  thread.ebp = context.ebp, thread.eip = context.eip, thread.cs = context.cs;
  thread.eflags = context.eflags, thread.esp = context.esp, thread.ss = context.ss;
  thread.gs = context.gs, thread.fs = context.fs, thread.es = context.es, thread.ds = context.ds;
  return thread;
}
void takeBack(const platform::ThreadContext& thread, ProcessorContext* context) {
  context->edi = thread.edi, context->esi = thread.esi, context->ebx = thread.ebx;
  context->edx = thread.edx, context->ecx = thread.ecx, context->eax = thread.eax;
  context->ebp = thread.ebp, context->eip = thread.eip;
  context->eflags = thread.eflags, context->esp = thread.esp;
}

// Steps 2 to 8 of the analysis; inhibitprof is the caller's.
int32_t decide(uint32_t exceptionCode, ProcessorContext* context, ExceptionRecord* record,
               uint32_t faultAddress, const uint32_t* thread) {
  if (exceptionCode == code::kControlBreakExit) {
    platform::ThreadContext interrupted = threadContextOf(*context);
    delivery.gotsig(kInterruptSignal, nullptr, &interrupted);
    takeBack(interrupted, context);
    return kResume;
  }
  if (exceptionCode == code::kAccessViolation && probing_executable_stack) {
    context->eip = addressOf(get_frameptr);
    probing_executable_stack = 0;
    disallow_mapping = 1;
    dep_style_vpl = 1;
    return kResume;
  }
  const int32_t kind = trapKindOf(exceptionCode);
  if (kind == 0) return kPassOn;
  if (InScavenge || GsInGlobalGc) return kPassOn;
  if (inLispCode(faultAddress, thread) && vxm_trap_check(kind, faultAddress))
    return syncsig1(kind, record, context) ? kResume : kPassOn;
  if (pass_on_unhandled_exceptions) return kPassOn;
  if (as_exception_filter) {
    auto startupFilter = reinterpret_cast<int32_t (*)(uint32_t, ExceptionRecord*)>(
        reinterpret_cast<uintptr_t>(as_exception_filter));
    if (startupFilter(exceptionCode, record) == 0) return kPassOn;
  }
  return syncsig1(kTrapGeneralSignal, record, context) ? kResume : kPassOn;
}

}  // namespace

void setTrapDelivery(TrapDelivery given) {
  const TrapDelivery own = runtimeDelivery();
  delivery.syncsig1x = given.syncsig1x ? given.syncsig1x : own.syncsig1x;
  delivery.gotsig = given.gotsig ? given.gotsig : own.gotsig;
}

const TrapDelivery& trapDelivery() {
  return delivery;
}

void setExtraLispCode(uint32_t begin, uint32_t end) {
  extraBegin = begin;
  extraEnd = end;
}

bool inLispCode(uint32_t address, const uint32_t* threadRecord) {
  if (GsOldAreas && within(address, gc::areaAddress(GsOldAreas), GsNewTop)) return true;
  if (within(address, addressOf(start_of_fi_runtime), addressOf(end_of_fi_runtime))) return true;
  if (within(address, addressOf(start_of_gc_runtime), addressOf(end_of_gc_runtime))) return true;
  if (vxm_lso && vxm_lsoend && within(address, vxm_lso, vxm_lsoend)) return true;
  if (threadRecord) {
    const auto record = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(threadRecord));
    if (within(address, record - kRecordStubReach, record + kRecordStubReach)) return true;
  }
  return within(address, extraBegin, extraEnd);
}

bool inCompiledLispCode(uint32_t address) {
  if (GsOldAreas && within(address, gc::areaAddress(GsOldAreas), GsNewTop)) return true;
  if (vxm_lso && vxm_lsoend && within(address, vxm_lso, vxm_lsoend)) return true;
  return within(address, extraBegin, extraEnd);
}

bool urgentInterruptMayLandAt(uint32_t eip) {
  return !InScavenge && !GsInGlobalGc && inCompiledLispCode(eip);
}

}  // namespace lisp::os

extern "C" {

int32_t vxm_trap_check(int32_t kind, uint32_t address) {
  for (const lisp::os::TrapInstruction& row : lisp::os::kTrapInstructions) {
    if (row.kind != kind) continue;
    if (row.always) return 1;
    uint8_t first = 0;
    if (!platform::readCodeBytes(address, &first, 1)) return 0;
    return first == row.firstByte || first == row.otherFirstByte ? 1 : 0;
  }
  return 0;
}

uint32_t syncsig1(int32_t kind, platform::ExceptionRecord* record,
                  platform::ProcessorContext* context) {
  mp_log_event(lisp::mp_event::kTrapDelivered, static_cast<uint32_t>(kind));
  if (kind != lisp::os::kTrapInterrupt) vxm_acquire_heap_for_syncsig();
  const uint32_t handler = lisp::os::trapDelivery().syncsig1x(kind, record, context);
  inhibitprof = 0;
  return handler;
}

int32_t vxm_analyze_exception(uint32_t code, platform::ProcessorContext* context,
                              platform::ExceptionRecord* record, platform::ExceptionRecord*,
                              uint32_t faultAddress) {
  const uint32_t savedInhibit = inhibitprof;
  const uint32_t* thread = my_pthreadctl(nullptr);
  mp_log_event(lisp::mp_event::kExceptionAnalysed, code);
  inhibitprof = 1;
  const int32_t answer = lisp::os::decide(code, context, record, faultAddress, thread);
  inhibitprof = savedInhibit;
  return answer;
}

int32_t lisp_exception_filter(uint32_t code, platform::ExceptionPointers* pointers) {
  return vxm_analyze_exception(code, pointers->context, pointers->record, pointers->record,
                               pointers->context->eip);
}

}  // extern "C"
