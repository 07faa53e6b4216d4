/* The pure Lisp library's runtime routine for compiled code. */
#include "runtime/rs/runtime_frame.inc"

#define POINTER_BIAS 16                 /* a pointer word is the address plus 16 plus the tag */

        .intel_syntax noprefix
        .text

/* purep: runtime routine. In: eax = a Lisp value, edi = nil.
   Out: eax = t when the value minus 16 lies strictly above vxm_lso and
   strictly below vxm_lsoend, else nil; carry clear. Every other register
   is kept. Without a library both bounds are 0 and the answer is nil. */
        .globl purep
        .hidden purep
        .type purep, @function
purep:
        push ecx
        LOAD_GOT_ECX
        sub eax, POINTER_BIAS
        cmp eax, [ecx + vxm_lso@GOTOFF]
        jbe 1f
        cmp eax, [ecx + vxm_lsoend@GOTOFF]
        jae 1f
        mov eax, DWORD PTR tval@GOT[ecx]
        mov eax, [eax]
        jmp 2f
1:      mov eax, edi
2:      pop ecx
        clc
        ret
        .size purep, . - purep

        .section .note.GNU-stack, "", @progbits
