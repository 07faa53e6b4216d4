/* Signal routines Lisp calls: taking a posted signal, posting, and the
   interrupt-check word. Runtime routines (edi nil, ebx thread). */
#include "runtime/rs/runtime_frame.inc"

#define NIL_SIGNAL_PENDING (-0x35)
#define THREAD_SIGNAL_WORD_ADDRESS 0x166
#define SIGNAL_WORD_TAKEN 100000

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_signal_routines, "ax", @progbits

/* get_signal: clears the pending word, sets the word +0x166 points to (when
   there is one) to 100000, and takes the first posted signal. Out: eax =
   its fixnum, 0 when none; carry clear. */
        .globl get_signal
        .hidden get_signal
        .type get_signal, @function
get_signal:
        RUNTIME_FRAME
        mov dword ptr [edi + NIL_SIGNAL_PENDING], 0
        mov eax, [ebx + THREAD_SIGNAL_WORD_ADDRESS]
        test eax, eax
        jz 1f
        mov dword ptr [eax], SIGNAL_WORD_TAKEN
1:      CALL_NATIVE take_posted_signal
        shl eax, 2
        RUNTIME_RETURN
        .size get_signal, . - get_signal

/* post_sig: leaves the pending word 0. Out: eax nil. */
        .globl post_sig
        .hidden post_sig
        .type post_sig, @function
post_sig:
        RUNTIME_FRAME
        CALL_NATIVE post_pending_word
        mov eax, edi
        RUNTIME_RETURN
        .size post_sig, . - post_sig

/* gintchk: the interrupt-check word (sy_gintchk, a leaf native call) as
   an unsigned integer. */
        .globl gintchk
        .hidden gintchk
        .type gintchk, @function
gintchk:
        RUNTIME_FRAME
        LEAF_NATIVE_CALL sy_gintchk
        call unsigned_fixnum_or_bignum
        RUNTIME_RETURN
        .size gintchk, . - gintchk

/* sintchk: In: eax = a fixnum or bignum. Its value (a bignum's low word,
   negated when negative) goes to sy_sintchk; its result comes back
   unconverted. */
        .globl sintchk
        .hidden sintchk
        .type sintchk, @function
sintchk:
        RUNTIME_FRAME
        test al, 3
        jnz 1f
        sar eax, 2
        jmp 3f
1:      mov edx, [eax - 0x12]                  /* the bignum's header */
        mov eax, [eax - 0xe]                    /* its two low digits */
        test edx, 0x8000                        /* sign */
        jz 3f
        neg eax
3:      LEAF_NATIVE_CALL sy_sintchk, eax
        RUNTIME_RETURN
        .size sintchk, . - sintchk

        .section .note.GNU-stack, "", @progbits
