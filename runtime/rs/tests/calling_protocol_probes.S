/* Probes for the calling-protocol tests: a Lisp function that calls applyn
   over its own incoming arguments, and a code vector whose code enters the
   recorder. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text

/* applyn_probe: a Lisp function (marker 6 in its frame). Homes its
   arguments, stores applyn_probe_closure at ebp-0x14, then calls applyn
   (nil+0x177) with (applyn_probe_function, fixnum 100, applyn_probe_from,
   applyn_probe_to) and returns what applyn returns. */
        .globl applyn_probe
        .type applyn_probe, @function
applyn_probe:
        push ebp
        mov ebp, esp
        push 6
        sub esp, 0x18
        mov [ebp - 0x1c], ebx
        mov [ebp - 0x10], edi
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        mov eax, [applyn_probe_closure]
        mov [ebp - 0x14], eax
        mov dword ptr [ebp - 0x18], 0
        sub esp, 20
        mov eax, [applyn_probe_from]
        mov [esp + 8], eax
        mov eax, [applyn_probe_to]
        mov [esp + 12], eax
        mov eax, [applyn_probe_function]
        mov edx, FIXNUM(100)
        mov ecx, 4
        call dword ptr [edi + 0x177]
        leave
        mov esi, [ebp - 4]
        ret
        .size applyn_probe, . - applyn_probe

/* wrong_entry_probe: stands in an entry a test must not reach; signals
   the one-argument error with fixnum 99. */
        .globl wrong_entry_probe
        .type wrong_entry_probe, @function
wrong_entry_probe:
        mov eax, FIXNUM(99)
        jmp rs_error
        .size wrong_entry_probe, . - wrong_entry_probe

/* probe_code_vector_block: a code vector (type 108) whose code jumps to
   the recorder; its tagged word is the block's address + 0x12. */
        .balign 8
        .globl probe_code_vector_block
probe_code_vector_block:
        .long 108 | (8 << 8)
        jmp lisp_recorder_entry
        .balign 8
        .size probe_code_vector_block, . - probe_code_vector_block


/* walking_start: the start word of a stand-in Lisp function that first
   has walk_probe_native (the test's) walk the stack as the collector
   would, from a foreign-call record of its own frame (marker 6), and then
   records its call as lisp_recorder_entry does, with the registers it was
   called with. */
        .text
        .globl walking_start
        .type walking_start, @function
walking_start:
        push ebp
        mov ebp, esp
        push 6
        sub esp, 0x18
        mov [ebp - 0x1c], ebx
        mov [ebp - 0x10], edi
        mov [ebp - 0x14], esi
        mov dword ptr [ebp - 0x18], 0
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea eax, [4 * ecx]
        push eax
        CALL_NATIVE walk_probe_native
        mov ecx, [ebp - 0x20]
        shr ecx, 2
        mov eax, [ebp + 8]
        mov edx, [ebp + 12]
        mov esi, [ebp - 0x14]
        mov ebx, [ebp - 0x1c]
        leave
        jmp lisp_recorder_entry
        .size walking_start, . - walking_start


/* probe_code_vector_block_2: a code vector whose code traps (ud2) for its
   first 6 bytes and enters the recorder from byte 6 on. */
        .text
        .balign 8
        .globl probe_code_vector_block_2
probe_code_vector_block_2:
        .long 108 | (8 << 8)
        ud2
        ud2
        ud2
        jmp lisp_recorder_entry
        .balign 8
        .size probe_code_vector_block_2, . - probe_code_vector_block_2

        .data
        .balign 4
        .globl applyn_probe_function, applyn_probe_from, applyn_probe_to, applyn_probe_closure
applyn_probe_function: .long 0
applyn_probe_from: .long 0
applyn_probe_to: .long 0
applyn_probe_closure: .long 0


/* ---- argerr, entered as the trap dispatcher enters it ----

   argerr_probe_owned: a Lisp function with a frame of its own (marker 6)
   that traps with a call of argerr, thread word +0x13e = t.
   argerr_probe_unowned: a Lisp function (frame slot -0x18 =
   argerr_probe_symbol) that calls a function which traps before building
   its frame: esp unchanged, +0x13e = nil.
   Both load eax, ecx, edx, esi and eflags from argerr_probe_in and the
   x87, SSE and MXCSR state from argerr_probe_fp_in, then record the
   registers and an fxsave image just before the trap (argerr_probe_before,
   argerr_probe_fp_before) and just after the resumption (..._after).
   Register records: eax, ecx, edx, esi, ebx, edi, ebp, esp, eflags. */
.macro SNAPSHOT area, fparea
        mov [\area + 0], eax
        mov [\area + 4], ecx
        mov [\area + 8], edx
        mov [\area + 12], esi
        mov [\area + 16], ebx
        mov [\area + 20], edi
        mov [\area + 24], ebp
        mov [\area + 28], esp
        pushfd
        pop dword ptr [\area + 32]
        fxsave [\fparea]
.endm

/* LOAD_TRAP_STATE: the state the probes trap with. */
.macro LOAD_TRAP_STATE
        fxrstor [argerr_probe_fp_in]
        mov eax, [argerr_probe_in + 0]
        mov ecx, [argerr_probe_in + 4]
        mov edx, [argerr_probe_in + 8]
        mov esi, [argerr_probe_in + 12]
        push dword ptr [argerr_probe_in + 16]
        popfd
.endm

.macro PROBE_FRAME
        push ebp
        mov ebp, esp
        push 6
        sub esp, 0x18
        mov [ebp - 0x1c], ebx
        mov [ebp - 0x10], edi
        mov dword ptr [ebp - 0x14], 0
        mov dword ptr [ebp - 0x18], 0
.endm

        .text
        .globl argerr_probe_owned
        .type argerr_probe_owned, @function
argerr_probe_owned:
        PROBE_FRAME
        lea eax, [edi - 0x3e]
        mov [ebx + 0x13e], eax
        mov dword ptr [ebx + 0x142], offset .Lowned_resume
        mov dword ptr [ebx + 0x146], 0
        LOAD_TRAP_STATE
        SNAPSHOT argerr_probe_before, argerr_probe_fp_before
        call argerr
.Lowned_resume:
        SNAPSHOT argerr_probe_after, argerr_probe_fp_after
        leave
        mov esi, [ebp - 4]
        clc
        ret
        .size argerr_probe_owned, . - argerr_probe_owned

        .globl argerr_probe_unowned
        .type argerr_probe_unowned, @function
argerr_probe_unowned:
        PROBE_FRAME
        mov eax, [argerr_probe_symbol]
        mov [ebp - 0x18], eax
        sub esp, 8
        mov [ebx + 0x13e], edi
        mov dword ptr [ebx + 0x142], offset .Lunowned_resume
        mov dword ptr [ebx + 0x146], 0
        LOAD_TRAP_STATE
        SNAPSHOT argerr_probe_before, argerr_probe_fp_before
        call .Lunowned_trapping
        SNAPSHOT argerr_probe_after, argerr_probe_fp_after
        leave
        mov esi, [ebp - 4]
        clc
        ret
.Lunowned_trapping:
        jmp argerr
.Lunowned_resume:
        ret
        .size argerr_probe_unowned, . - argerr_probe_unowned

/* fp_clobbering_start: the start word of a stand-in Lisp function that
   changes the x87 stack and control word, xmm0-7, MXCSR and the flags,
   then records its call as lisp_recorder_entry does. */
        .globl fp_clobbering_start
        .type fp_clobbering_start, @function
fp_clobbering_start:
        fninit
        fld1
        fldpi
        pxor xmm0, xmm0
        pcmpeqd xmm1, xmm1
        movdqa xmm2, xmm1
        movdqa xmm7, xmm1
        ldmxcsr [fp_clobber_mxcsr]
        jmp lisp_recorder_entry
        .size fp_clobbering_start, . - fp_clobbering_start

        .data
        .balign 4
fp_clobber_mxcsr: .long 0x1f80
        .globl argerr_probe_in, argerr_probe_before, argerr_probe_after, argerr_probe_symbol
argerr_probe_in: .zero 20
argerr_probe_before: .zero 36
argerr_probe_after: .zero 36
argerr_probe_symbol: .long 0

        .bss
        .balign 16
        .globl argerr_probe_fp_in, argerr_probe_fp_before, argerr_probe_fp_after
argerr_probe_fp_in: .zero 512
argerr_probe_fp_before: .zero 512
argerr_probe_fp_after: .zero 512

/* argerr_probe_prepare_fp(): cdecl. Fills argerr_probe_fp_in with an
   fxsave image of a state no fresh thread has: two x87 values, an x87
   control word rounding toward zero, patterned xmm0-7 and an MXCSR
   rounding down with every exception masked; then gives the caller a
   clean state back. */
        .text
        .globl argerr_probe_prepare_fp
        .type argerr_probe_prepare_fp, @function
argerr_probe_prepare_fp:
        sub esp, 4
        fninit
        mov word ptr [esp], 0xf7f
        fldcw word ptr [esp]
        fldl2t
        fldlg2
        movdqu xmm0, [fp_patterns]
        movdqu xmm1, [fp_patterns + 16]
        movdqa xmm2, xmm0
        paddd xmm2, xmm1
        movdqa xmm3, xmm2
        paddd xmm3, xmm1
        movdqa xmm4, xmm3
        paddd xmm4, xmm1
        movdqa xmm5, xmm4
        paddd xmm5, xmm1
        movdqa xmm6, xmm5
        paddd xmm6, xmm1
        movdqa xmm7, xmm6
        paddd xmm7, xmm1
        mov dword ptr [esp], 0x3f80
        ldmxcsr [esp]
        fxsave [argerr_probe_fp_in]
        fninit
        mov dword ptr [esp], 0x1f80
        ldmxcsr [esp]
        add esp, 4
        ret
        .size argerr_probe_prepare_fp, . - argerr_probe_prepare_fp

        .data
        .balign 16
fp_patterns:
        .long 0x11111111, 0x22222222, 0x33333333, 0x44444444
        .long 0x01010101, 0x02020202, 0x03030303, 0x04040404

        .section .note.GNU-stack, "", @progbits
