/* Destructive list reversal. */
#include "runtime/rs/runtime_frame.inc"

#define CONS_CDR (-0xd)
#define TAG_MASK 7
#define TAG_CONS 1

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_list_reversal, "ax", @progbits

/* list_nreverse (nil+0x5f): runtime routine. In: eax = list. Reverses the
   list in place, every cdr store through gc_setf_protect, and returns the
   former last cons; nil for nil. The walk stops at the first word that is
   not a cons, so a dotted list loses its final atom and anything but a
   list gives nil. Out: eax = the reversed list. */
        .globl list_nreverse
        .hidden list_nreverse
        .type list_nreverse, @function
list_nreverse:
        RUNTIME_FRAME
        mov ecx, eax                            /* the rest still to turn */
        mov eax, edi                            /* the turned part */
1:      mov edx, ecx
        and edx, TAG_MASK
        cmp edx, TAG_CONS
        jne 2f
        lea edx, [ecx + CONS_CDR]
        mov esi, [edx]
        call gc_setf_protect                    /* cdr := the turned part */
        mov eax, ecx
        mov ecx, esi
        jmp 1b
2:      RUNTIME_RETURN
        .size list_nreverse, . - list_nreverse

        .section .note.GNU-stack, "", @progbits
