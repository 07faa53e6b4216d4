/* The landing of a forced jump, and the bare return the executable-stack
   probe resumes in. */
#include "runtime/rs/trap_record.inc"

        .intel_syntax noprefix
        .text

/* get_frameptr: a bare return. The probe's refused call resumes here, with
   the call's return address on the stack. */
        .globl get_frameptr
        .hidden get_frameptr
        .type get_frameptr, @function
get_frameptr:
        ret
        .size get_frameptr, . - get_frameptr

/* fake_a_segv: where force_heap_owner_to_jump sends the heap owner. In: the
   interrupted registers and flags; no return address (the interrupted eip
   is lost, the context names this routine instead). Builds a processor
   context of them on the stack below a 0x28-byte gap, hands it to
   fake_segv_delivery (trap kind 11, no exception record) and resumes as the
   context then says, as the trap entries do: with R = the context's esp,
   eip and the registers are staged below R (in the gap), popped, and a ret
   leaves esp at R. Preserves the x87/SSE state across the delivery. */
        .globl fake_a_segv
        .hidden fake_a_segv
        .type fake_a_segv, @function
fake_a_segv:
        lea esp, [esp - RESERVED_BYTES]         /* lea, push, mov: flags intact */
        push ebp
        mov ebp, esp
        push eax                                /* [ebp-4]: eax */
        push ss
        lea eax, [ebp + RESERVED_BYTES + 4]
        push eax                                /* esp at the landing */
        pushfd
        push cs
        call .Lfake_a_segv_here
.Lfake_a_segv_here:
        pop eax
        lea eax, [eax - (.Lfake_a_segv_here - fake_a_segv)]
        push eax                                /* eip: this routine */
        push dword ptr [ebp]                    /* ebp */
        push dword ptr [ebp - 4]                /* eax */
        push ecx
        push edx
        push ebx
        push esi
        push edi
        push ds
        push es
        push fs
        push gs
        sub esp, RECORD_UNFILLED
        mov esi, esp                            /* the context */
        sub esp, FP_IMAGE_BYTES + 16
        and esp, -16
        fxsave [esp]
        mov edi, esp
        sub esp, 12
        cld
        push esi
        call fake_segv_delivery
        fxrstor [edi]

        RESUME_FROM_RECORD
        .size fake_a_segv, . - fake_a_segv

        .section .note.GNU-stack, "", @progbits
