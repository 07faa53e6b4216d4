/* Whole-word boolean operations and comparison on bit vectors. The
   reading and writing of bits is the native half's (bit_vector_operations.cpp);
   the assembly keeps the arguments where the collector updates them and
   makes a result vector when none is given. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_T (-0x3e)
#define BITOP_REFUSED 0                 /* lisp::bitop::kBitopRefused */
#define BITOP_RESULT_GIVEN 1            /* lisp::bitop::kBitopResultGiven */
#define TAG_MASK 7
#define TAG_OTHER 2

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_bit_vector_operations, "ax", @progbits

/* rs_bitop (nil+0x11b): runtime routine. In: eax = bit vector a, edx = bit
   vector b or nil, argument 3 = result vector or nil, argument 4 = fixnum
   operation. bitop_plan checks the lengths first (nil, with nothing made
   or written, when b or a given result does not fit a); without a result
   vector, one of a's length and layout is made, zero-filled, through
   make_svector, with a and b waiting in their home slots; bitop_apply then
   stores the operation's words. Out: eax = the result vector (what the
   error function returned, should make_svector refuse). */
        .globl rs_bitop
        .hidden rs_bitop
        .type rs_bitop, @function
rs_bitop:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push 0
        lea ecx, [ebp + 8]
        CALL_NATIVE bitop_plan, ecx, edi
        cmp eax, BITOP_REFUSED
        je 8f
        mov ecx, [ebp + 0x10]
        cmp eax, BITOP_RESULT_GIVEN
        je 2f
        push edi                                /* S: from new space */
        lea ecx, [edi + NIL_T]
        push ecx                                /* F: filled */
        shl eax, 2
        push eax                                /* T: the type code */
        sub esp, 8
        mov eax, edx                            /* L: the length */
        xor edx, edx                            /* X: 0 */
        mov ecx, 5
        call make_svector
        add esp, 20
        mov ebx, [ebp - 0x1c]
        mov ecx, eax
        and ecx, TAG_MASK
        cmp ecx, TAG_OTHER
        jne 9f
        mov ecx, eax
2:      lea eax, [ebp + 8]
        CALL_NATIVE bitop_apply, eax, ecx, edi
9:      RUNTIME_RETURN
8:      mov eax, edi
        RUNTIME_RETURN
        .size rs_bitop, . - rs_bitop

/* rs_bit_equal (nil+0xd3): runtime routine. In: eax, edx = two bit
   vectors. Out: eax = t when both have the same length and the same bits
   (whatever follows the last bit in its word), else nil. */
        .globl rs_bit_equal
        .hidden rs_bit_equal
        .type rs_bit_equal, @function
rs_bit_equal:
        RUNTIME_FRAME
        push 0
        CALL_NATIVE bit_vectors_equal, eax, edx
        test eax, eax
        mov eax, edi
        jz 1f
        lea eax, [edi + NIL_T]
1:      RUNTIME_RETURN
        .size rs_bit_equal, . - rs_bit_equal

        .section .note.GNU-stack, "", @progbits
