/* Entries of the integer and bignum routines. Each entry names its operation
   and goes to integer_operation, which lays the arguments out in a frame
   record (where the collector updates them) and runs the operation's C++
   inside a foreign-call record. Two fixnums meet in add and subtract without
   leaving the entry unless the sum overflows. */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/integer_frame_layout.h"

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_integer_entries, "ax", @progbits

/* integer_operation: runtime routine body shared by the entries.
   In: esi = operation number, eax/edx arguments 1 and 2, a third at
   [esp+12] when ecx >= 3, ecx = argument count, edi = nil, ebx = thread.
   Out: one value in eax with carry clear, or two (eax, edx) with carry set
   and ecx = 2; esi reloaded from the caller's frame. Clobbers edx, ecx. */
        .globl integer_operation
        .hidden integer_operation
        .type integer_operation, @function
integer_operation:
        RUNTIME_FRAME
        sub esp, IF_BYTES + 4                   /* ebp-0x20 is not visited: keep the record below it */
        mov [esp + IF_ARGUMENTS], eax
        mov [esp + IF_ARGUMENTS + 4], edx
        lea eax, [4 * ecx]
        mov [esp + IF_COUNT], eax
        mov eax, edi
        cmp ecx, 3
        jb 1f
        mov eax, [ebp + 16]
1:      mov [esp + IF_ARGUMENTS + 8], eax
        cmp ecx, 2                              /* arguments not passed hold nil */
        jae 2f
        mov [esp + IF_ARGUMENTS + 4], edi
        test ecx, ecx
        jnz 2f
        mov [esp + IF_ARGUMENTS], edi
2:      lea edx, [esp + IF_VALUES]
        mov ecx, 2 + IF_ROOT_WORDS
3:      mov [edx], edi
        add edx, 4
        dec ecx
        jnz 3b
        mov eax, esp
        CALL_NATIVE integer_operation_native, esi, eax, edi, ebx
        mov ecx, eax
        mov eax, [esp + IF_VALUES]
        mov edx, [esp + IF_VALUES + 4]
        cmp ecx, 2
        je 4f
        RUNTIME_RETURN
4:      leave
        mov esi, [ebp - 4]
        stc
        ret
        .size integer_operation, . - integer_operation

/* integer_add, integer_subtract: runtime routines. In: eax = a, edx = b.
   Out: eax = a + b (a - b), carry clear. Two fixnums whose raw sum does
   not overflow return at once. */
        .globl integer_add
        .hidden integer_add
        .type integer_add, @function
integer_add:
        mov esi, eax
        or esi, edx
        test esi, 3
        jnz 1f
        mov esi, eax
        add esi, edx
        jo 1f
        mov eax, esi
        mov esi, [ebp - 4]
        clc
        ret
1:      mov esi, INTOP_INTEGER_ADD
        jmp integer_operation
        .size integer_add, . - integer_add

        .globl integer_subtract
        .hidden integer_subtract
        .type integer_subtract, @function
integer_subtract:
        mov esi, eax
        or esi, edx
        test esi, 3
        jnz 1f
        mov esi, eax
        sub esi, edx
        jo 1f
        mov eax, esi
        mov esi, [ebp - 4]
        clc
        ret
1:      mov esi, INTOP_INTEGER_SUBTRACT
        jmp integer_operation
        .size integer_subtract, . - integer_subtract

/* The other entries: runtime routines with the arguments and results of
   their operation (see integer_routines.h and bignum_routines.h);
   mi_in_bignum takes a raw machine integer in edx. */
.macro INTEGER_ENTRY name, operation
        .globl \name
        .hidden \name
        .type \name, @function
\name:
        mov esi, \operation
        jmp integer_operation
        .size \name, . - \name
.endm

        INTEGER_ENTRY integer_multiply, INTOP_INTEGER_MULTIPLY
        INTEGER_ENTRY integer_divide, INTOP_INTEGER_DIVIDE
        INTEGER_ENTRY integer_compare, INTOP_INTEGER_COMPARE
        INTEGER_ENTRY shift_left, INTOP_SHIFT_LEFT
        INTEGER_ENTRY shift_right, INTOP_SHIFT_RIGHT
        INTEGER_ENTRY integer_length, INTOP_INTEGER_LENGTH
        INTEGER_ENTRY ldb, INTOP_LDB
        INTEGER_ENTRY logical_and, INTOP_LOGICAL_AND
        INTEGER_ENTRY logical_or, INTOP_LOGICAL_OR
        INTEGER_ENTRY logical_xor, INTOP_LOGICAL_XOR
        INTEGER_ENTRY logical_not, INTOP_LOGICAL_NOT
        INTEGER_ENTRY integer_truncate, INTOP_INTEGER_TRUNCATE
        INTEGER_ENTRY integer_rem, INTOP_INTEGER_REM
        INTEGER_ENTRY big_extract, INTOP_BIG_EXTRACT
        INTEGER_ENTRY new_bignum, INTOP_NEW_BIGNUM
        INTEGER_ENTRY mi_in_bignum, INTOP_MI_IN_BIGNUM
        INTEGER_ENTRY copybig, INTOP_COPYBIG
        INTEGER_ENTRY big_fix_prod, INTOP_BIG_FIX_PROD
        INTEGER_ENTRY prunebig, INTOP_PRUNEBIG
        INTEGER_ENTRY bignum_rem, INTOP_BIGNUM_REM
        INTEGER_ENTRY one_bigit_div_in_place, INTOP_ONE_BIGIT_DIV_IN_PLACE

/* integer_call_runtime(nil, thread, routine, eax, edx, count): native
   entry (cdecl) for the C++ side. Calls the runtime routine with edi = nil,
   ebx = thread and the given eax, edx and ecx, from a native-entry frame.
   Returns the routine's eax. */
        .globl integer_call_runtime
        .hidden integer_call_runtime
        .type integer_call_runtime, @function
integer_call_runtime:
        NATIVE_ENTRY_FRAME
        mov edi, [ebp + 0x18]
        mov ebx, [ebp + 0x1c]
        mov [ebp - 0x1c], ebx
        mov [ebp - 0x10], edi
        NATIVE_ENTRY_LINK
        mov eax, [ebp + 0x24]
        mov edx, [ebp + 0x28]
        mov ecx, [ebp + 0x2c]
        call dword ptr [ebp + 0x20]
        NATIVE_ENTRY_RETURN
        .size integer_call_runtime, . - integer_call_runtime

        .section .note.GNU-stack, "", @progbits
