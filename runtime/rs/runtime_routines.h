// Hand-written runtime routines (assembly) that native code names.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// Native entries (cdecl).
uint32_t setupglobs(uint32_t blockStart, uint32_t stampPlusOne);
uint32_t restoreglobs();

// Native entries (cdecl) through which the loaders reach Lisp: each calls
// the function of a symbol kept in a global word and returns its first
// value (loader_entries.S).
lisp::lispval _lispeval(lisp::lispval form);
lisp::lispval _setfunction(lisp::lispval a, lisp::lispval b, lisp::lispval c);
lisp::lispval _clearfundoc(lisp::lispval x);
lisp::lispval _fix_symdef(lisp::lispval function);
lisp::lispval rfun(lisp::lispval function);  // called with no arguments
uint32_t _shift_word_and_add(lisp::lispval x, int32_t y);  // raw r + 4 * y
uint32_t _negate_result(uint32_t x);                       // raw 0 - x

// Runtime routines: Lisp register conventions, called through the entry
// table or from other runtime routines.
void link_runtime_entries();
void rs_error();             // eax = fixnum code
void rs_error_with_datum();  // eax = fixnum code, edx = datum
void fix_func_name();  // eax = function object

// Frame words, list reversal and function constants (stack_word_access.S,
// list_reversal.S, function_constants.S).
void fd_stack_access();
void fd_stack_set();
void fd_stack_real();
void list_nreverse();
void function_constant();
void set_function_constant();

// The trampoline stretch that link_runtime_entries copies into the block.
extern const uint8_t gtrampstart[];
extern const uint8_t gtrampend[];
void closure_start();
void gt_undeffunc();
void gt_illeg_macro_or_spec_call();
void gt_comp_to_interp();
void gt_comp_to_byte();
void gt_fwrap_start();

// C++ halves of the native entries, called from their assembly.
uint32_t nil_block_prepare(uint32_t blockStart, uint32_t stampPlusOne);
uint32_t nil_block_finish(uint32_t freePosition);
void link_runtime_entries_at(lisp::lispval nil);
uint32_t nil_block_after_restore();
}

inline uint32_t routineAddress(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}
