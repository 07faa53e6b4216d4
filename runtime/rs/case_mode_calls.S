/* Native entries through which the fasl loader's case-mode item reaches the
   Lisp world: switching it to a required case mode, and signalling that a
   file was written in the other case mode. */
#include "runtime/rs/runtime_frame.inc"

#define CASE_MODE_BASE_GLOBAL 28        /* globals 29 and 30 hold modes 1 and 2 */
#define CASE_MODE_SYMBOL (-0x531)       /* global 327: the current case-mode symbol */
#define SYMBOL_VALUE (-0x13)            /* global value cell from the symbol's word */
#define ERROR_CASE_MODE_MISMATCH 64     /* lisp::runtime_error::kFaslCaseModeMismatch */

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_case_mode_calls, "ax", @progbits

/* from_c_in_case_mode(which): native entry, cdecl; which is 1 or 2.
   Makes the mode held in global 28 + which the current one: stores it as
   the global value of the case-mode symbol (global 327) through the write
   barrier. The least form of the switch: the Lisp side's own reaction to a
   new mode replaces it once Lisp functions can be called from here. Any
   other which, or a global 327 that holds no symbol, changes nothing.
   Returns 0. */
        .globl from_c_in_case_mode
        .hidden from_c_in_case_mode
        .type from_c_in_case_mode, @function
from_c_in_case_mode:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        mov ecx, [ebp + 0x18]
        cmp ecx, 1
        jb 1f
        cmp ecx, 2
        ja 1f
        mov edx, [edi + CASE_MODE_SYMBOL]
        mov eax, edx
        and eax, 7
        cmp eax, 7                              /* symbol tag */
        jne 1f
        add ecx, CASE_MODE_BASE_GLOBAL
        shl ecx, 2
        neg ecx
        mov eax, [edi + ecx - 0x15]             /* global 28 + which */
        lea edx, [edx + SYMBOL_VALUE]
        call gc_setf_protect
1:      xor eax, eax
        NATIVE_ENTRY_RETURN
        .size from_c_in_case_mode, . - from_c_in_case_mode

/* from_c_fasl_casemode_mismatch_error(): native entry, cdecl. Signals
   runtime error 64 (a fasl file's names are in the other case mode) through
   the error function; returns what the error function returned. */
        .globl from_c_fasl_casemode_mismatch_error
        .hidden from_c_fasl_casemode_mismatch_error
        .type from_c_fasl_casemode_mismatch_error, @function
from_c_fasl_casemode_mismatch_error:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        push edi                                /* home slots: Lisp values */
        push edi
        mov eax, FIXNUM(ERROR_CASE_MODE_MISMATCH)
        call rs_error
        NATIVE_ENTRY_RETURN
        .size from_c_fasl_casemode_mismatch_error, . - from_c_fasl_casemode_mismatch_error

        .section .note.GNU-stack, "", @progbits
