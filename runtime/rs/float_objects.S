/* intfloat_to_float: a float object from an integer's bit pattern. Which
   bits is the native half's (float_objects.cpp); the assembly makes the
   object and stores them, so no bit pattern passes through the x87 unit
   (a signalling NaN would come out quieted). */
#include "runtime/rs/runtime_frame.inc"

#define RAW_LOW (-0x24)                 /* the bits, raw, below ebp-0x20 */
#define RAW_HIGH (-0x20)
#define WANTS_DOUBLE (-0x28)            /* 1 for a double-float, raw */
#define SINGLE_VALUE (-0xe)             /* from the float's tagged word */
#define DOUBLE_LOW (-0xa)
#define DOUBLE_HIGH (-0x6)

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_float_objects, "ax", @progbits

/* intfloat_to_float: runtime routine, frame marker 0x206. In: eax = an
   integer i (fixnum or bignum), edx = selector s. Out: eax = a new
   single-float (s = fixnum 0) or double-float (any other s) whose bits
   are i's as intfloat_bits takes them; carry clear. */
        .globl intfloat_to_float
        .hidden intfloat_to_float
        .type intfloat_to_float, @function
intfloat_to_float:
        RUNTIME_FRAME MARKER_FLOAT_BOXING
        sub esp, 12                             /* ebp-0x20 .. ebp-0x28, raw */
        xor ecx, ecx
        cmp edx, FIXNUM(0)
        setne cl
        mov [ebp + WANTS_DOUBLE], ecx
        CALL_NATIVE intfloat_bits, eax
        mov [ebp + RAW_LOW], eax
        mov [ebp + RAW_HIGH], edx
        mov ecx, 1                              /* allocate with the value 0 */
        cmp dword ptr [ebp + WANTS_DOUBLE], 0
        jne 1f
        call new_single_float
        mov ecx, [ebp + RAW_LOW]
        mov [eax + SINGLE_VALUE], ecx
        RUNTIME_RETURN
1:      call new_double_float
        mov ecx, [ebp + RAW_LOW]
        mov [eax + DOUBLE_LOW], ecx
        mov ecx, [ebp + RAW_HIGH]
        mov [eax + DOUBLE_HIGH], ecx
        RUNTIME_RETURN
        .size intfloat_to_float, . - intfloat_to_float

        .section .note.GNU-stack, "", @progbits
