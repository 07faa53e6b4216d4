/* Reading and writing the constants of a function object and the values
   of a closure.

   A function object (type code 8) keeps its constants from the word after
   its three raw words, byte offset 0x12 from its tagged word; a closure
   (type code 9) keeps its values from byte offset -2. Both count them in
   header bits 16-31. Anything else has no constants: both routines give
   nil for it. */
#include "runtime/rs/runtime_frame.inc"

#define HEADER (-0x12)
#define COUNT_SHIFT 16
#define TYPE_FUNCTION 8
#define TYPE_CLOSURE 9
#define FUNCTION_CONSTANTS 0x12
#define CLOSURE_VALUES (-2)
#define TAG_MASK 7
#define TAG_OTHER 2
#define FIXNUM_BITS 3

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_function_constants, "ax", @progbits

/* CONSTANTS_OF none: eax = a function or closure; ecx := the address of
   its first constant, esi := the count as a fixnum. Anything else jumps to
   `none`. */
.macro CONSTANTS_OF none
        mov ecx, eax
        and ecx, TAG_MASK
        cmp ecx, TAG_OTHER
        jne \none
        lea ecx, [eax + FUNCTION_CONSTANTS]
        cmp byte ptr [eax + HEADER], TYPE_FUNCTION
        je .Lcounted\@
        lea ecx, [eax + CLOSURE_VALUES]
        cmp byte ptr [eax + HEADER], TYPE_CLOSURE
        jne \none
.Lcounted\@:
        mov esi, [eax + HEADER]
        shr esi, COUNT_SHIFT
        shl esi, 2
.endm

/* function_constant (nil+0x277): runtime routine. In: eax = function or
   closure, edx = fixnum index or nil. Out: eax = the constant count as a
   fixnum for a nil index, the constant at an index in 0..count-1, nil for
   any other index. */
        .globl function_constant
        .hidden function_constant
        .type function_constant, @function
function_constant:
        RUNTIME_FRAME
        CONSTANTS_OF 9f
        cmp edx, edi
        je 1f
        test dl, FIXNUM_BITS
        jnz 9f
        cmp edx, esi                            /* negative indices compare high */
        jae 9f
        mov eax, [ecx + edx]
        RUNTIME_RETURN
1:      mov eax, esi
        RUNTIME_RETURN
9:      mov eax, edi
        RUNTIME_RETURN
        .size function_constant, . - function_constant

/* set_function_constant (nil+0x27b): runtime routine. In: eax = function
   or closure, edx = fixnum index, argument 3 = value. Stores the value as
   that constant through gc_setf_protect when the index is in 0..count-1;
   stores nothing otherwise. Out: eax = nil. */
        .globl set_function_constant
        .hidden set_function_constant
        .type set_function_constant, @function
set_function_constant:
        RUNTIME_FRAME
        CONSTANTS_OF 9f
        test dl, FIXNUM_BITS
        jnz 9f
        cmp edx, esi
        jae 9f
        add edx, ecx
        mov eax, [ebp + 0x10]
        call gc_setf_protect
9:      mov eax, edi
        RUNTIME_RETURN
        .size set_function_constant, . - set_function_constant

        .section .note.GNU-stack, "", @progbits
