// The trap record: the machine state a trap entry or the fault filter hands
// to the trap dispatcher, which decides where the trapping code resumes by
// rewriting it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/faults.h"
#include "runtime/rs/lisp_value.h"

namespace lisp {

struct TrapRecord {
  platform::ProcessorContext context;
  uint32_t eaxAgain;
  int32_t code;  // the negative trap code
};
static_assert(offsetof(TrapRecord, context.eip) == 0xb8);
static_assert(offsetof(TrapRecord, context.ebp) == 0xb4);
static_assert(offsetof(TrapRecord, context.eax) == 0xb0);
static_assert(offsetof(TrapRecord, context.ecx) == 0xac);
static_assert(offsetof(TrapRecord, context.edx) == 0xa8);
static_assert(offsetof(TrapRecord, context.ebx) == 0xa4);
static_assert(offsetof(TrapRecord, context.esi) == 0xa0);
static_assert(offsetof(TrapRecord, context.esp) == 0xc4);
static_assert(offsetof(TrapRecord, eaxAgain) == 0xcc);
static_assert(offsetof(TrapRecord, code) == 0xd0);

}  // namespace lisp

extern "C" {
// The dispatcher: signal is a negative trap code, or 1 (int N), 2
// (breakpoint), 11 (access violation, with the exception record) or another
// number. Writes the handler into the record's eip and returns it; 0 when
// the calling thread has no record (the fault is not the runtime's).
uint32_t syncsig1x(int32_t signal, platform::ExceptionRecord* exception,
                   platform::ProcessorContext* record);
// t when `object` is a heap function whose code holds `address`, else nil.
lisp::lispval func_subsumes_pc_of(lisp::lispval object, uint32_t address);
// A place for a debugger to stop: returns the thread word +0x13e.
uint32_t segv_bpt(int32_t signal, platform::ProcessorContext* record);
}
