/* The trap entries: compiled code that finds a rare condition calls one of
   them with its registers intact. Each entry reserves 0x28 bytes, builds a
   frame and pushes its code; the shared code lays out a trap record on the
   stack, lets the dispatcher rewrite it, and resumes as the record says.

   Shared frame (ebp = the entry's frame):
     ebp+0x30      the stack pointer after the trap call returns (E)
     ebp+0x2c      the trap call's return address
     ebp+4..+0x2b  reserved: where the resumption stages its registers
     ebp           the trapping ebp
     ebp-4         the trap code (the record's code word)
     ebp-8         eax (the record's second eax word)
     below         the trap record from ss down to gs, then the 0x8c
                   bytes the dispatcher leaves alone, then an fxsave image
                   (the dispatcher is C++ and may use the SSE registers)

   Resumption: the dispatcher leaves the record's esp at E (resume at its eip
   with the stack as before the call) or at E - 4 (the trap call's return
   address stays, so the handler runs as if called from the trapping
   point). With R = the record's esp, the record's eip goes to R - 4 and
   ebp, edi, esi, ebx, edx, ecx, eax and eflags below it; they are popped
   and a ret leaves esp at R. */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/trap_record.inc"

#define RETURN_ADDRESS 0x2c
#define AFTER_RETURN 0x30

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_trap_entries, "ax", @progbits

/* TRAP_ENTRY name, code: trap entry. In: the trapping registers and flags.
   Out: as the dispatcher left the record. */
.macro TRAP_ENTRY name, code
        .globl \name
        .hidden \name
        .type \name, @function
\name:
        lea esp, [esp - RESERVED_BYTES]         /* lea: the flags stay */
        push ebp
        mov ebp, esp
        push \code
        jmp trap_common
        .size \name, . - \name
.endm

        TRAP_ENTRY trap_wnaerr, -0x61
        TRAP_ENTRY trap_funbound, -0x62
        TRAP_ENTRY trap_unbound, -0x63
        TRAP_ENTRY trap_signal_hit, -0x64
        TRAP_ENTRY trap_stack_ovfl, -0x65
        TRAP_ENTRY trap_ffunbound, -0x66
        TRAP_ENTRY trap_sym_cons, -0x67
        TRAP_ENTRY trap_unordered, -0x68
        TRAP_ENTRY trap_cons, -0x69

/* trap_common: the shared code, jumped to with the entry's frame built and
   its code pushed. */
        .type trap_common, @function
trap_common:
        push eax                                /* eax again */
        push ss
        lea eax, [ebp + AFTER_RETURN]
        push eax                                /* esp */
        pushfd
        push cs
        push dword ptr [ebp + RETURN_ADDRESS]   /* eip */
        push dword ptr [ebp]                    /* ebp */
        push dword ptr [ebp - 8]                /* eax */
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
        mov esi, esp                            /* the record */
        sub esp, FP_IMAGE_BYTES + 16
        and esp, -16
        fxsave [esp]
        mov edi, esp
        sub esp, 4
        cld
        push esi
        push 0
        push dword ptr [ebp - 4]
        call syncsig1x
        fxrstor [edi]

        RESUME_FROM_RECORD
        .size trap_common, . - trap_common

/* trap_entries_end: the end of the entries' code (they start at
   trap_wnaerr). */
        .globl trap_entries_end
        .hidden trap_entries_end
trap_entries_end:

        .section .note.GNU-stack, "", @progbits
