/* The runtime error path: runtime routines signal a Lisp error by calling
   the function of an error symbol held among the globals. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_runtime_errors, "ax", @progbits

/* rs_error: runtime routine. In: eax = fixnum error code, edi = nil,
   ebx = thread. Calls the one-argument error symbol (nil-0x4d5) through the
   stub at nil with count 1 (edx nil, since the stub stores it in a home
   slot the stack walk reads). Out: eax = what the error function returned,
   carry clear; clobbers ecx and edx. */
        .globl rs_error
        .hidden rs_error
        .type rs_error, @function
rs_error:
        RUNTIME_FRAME
        sub esp, 8
        mov edx, edi                            /* the stub homes edx too */
        mov ebx, [edi + NIL_ERROR_SYMBOL]
        mov ecx, 1
        call edi
        RUNTIME_RETURN
        .size rs_error, . - rs_error

/* rs_error_with_datum: runtime routine. In: eax = fixnum error code, edx =
   the offending datum. Calls the two-argument error symbol (nil-0x4d9)
   through entry slot nil+0x27. Out: as rs_error. */
        .globl rs_error_with_datum
        .hidden rs_error_with_datum
        .type rs_error_with_datum, @function
rs_error_with_datum:
        RUNTIME_FRAME
        sub esp, 8
        mov ebx, [edi + NIL_ERROR_SYMBOL_DATUM]
        call dword ptr [edi + NIL_SLOT_CALL_TWO_ARGS]
        RUNTIME_RETURN
        .size rs_error_with_datum, . - rs_error_with_datum

        .section .note.GNU-stack, "", @progbits
