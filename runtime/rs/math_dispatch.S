/* mathlib: the double-float service dispatcher of compiled code. The table
   and the calls of the operations are the native half's (math_dispatch.cpp);
   the assembly boxes the raw result. */
#include "runtime/rs/runtime_frame.inc"

#define MARKER_RAW_DOUBLES 0x1406   /* 160 raw bytes under the fixed block */
#define MATH_CODE_LIMIT 29          /* codes 0 .. 29 have rows */
#define MATH_DOUBLE 0               /* the MathAnswer codes */
#define MATH_SINGLE 1
#define ERROR_NO_CASE 22
#define RAW_RESULT (-0x28)          /* 8 bytes, inside the raw stretch */

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_math_dispatch, "ax", @progbits

/* mathlib: runtime routine, frame marker 0x1406. In: eax = fixnum service
   code, edx = a1, [ebp+16] = a2 when ecx >= 3 (else nil is passed on).
   Out: eax = a new double-float of the operation's result (a single-float
   for code 7), carry clear. A code outside 0 .. 29 or without an operation
   signals runtime error 22 and returns what the error function returned.
   The raw result waits at ebp-0x28, where the collector's frame walk does
   not read Lisp values. */
        .globl mathlib
        .hidden mathlib
        .type mathlib, @function
mathlib:
        RUNTIME_FRAME MARKER_RAW_DOUBLES
        sub esp, 0xc                            /* ebp-0x20 .. ebp-0x28 */
        sar eax, 2
        cmp eax, MATH_CODE_LIMIT
        ja .Lmath_no_case
        mov esi, edi
        cmp ecx, 3
        jb 1f
        mov esi, [ebp + 16]
1:      lea ecx, [ebp + RAW_RESULT]
        CALL_NATIVE mathlib_operation, eax, edx, esi, ecx
        cmp eax, MATH_DOUBLE
        jne 2f
        fld qword ptr [ebp + RAW_RESULT]
        xor ecx, ecx
        call new_double_float
        RUNTIME_RETURN
2:      cmp eax, MATH_SINGLE
        jne .Lmath_no_case
        fld dword ptr [ebp + RAW_RESULT]
        xor ecx, ecx
        call new_single_float
        RUNTIME_RETURN
.Lmath_no_case:
        mov eax, FIXNUM(ERROR_NO_CASE)
        call rs_error
        RUNTIME_RETURN
        .size mathlib, . - mathlib

        .section .note.GNU-stack, "", @progbits
