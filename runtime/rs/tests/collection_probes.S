/* Probes for tests that run a scavenge inside the routine they call. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix

/* walk_base_probe: a target for the harness that makes the harness frame
   the bottom of the collector's walk: the head record of the harness
   frame's thread (ebp-0x1c; the last record of the chain the test links)
   names it as its native frame, so the walk visits that frame (the
   caller's arguments included) and ends there. Then jumps to
   walk_base_target with the call unchanged. */
        .text
        .globl walk_base_probe
        .type walk_base_probe, @function
walk_base_probe:
        push ecx
        mov ecx, [ebp - 0x1c]
        mov ecx, [ecx + THREAD_CLINK_HEAD]
        mov [ecx + CLINK_NATIVE_FRAME], ebp
        pop ecx
        jmp dword ptr [walk_base_target]
        .size walk_base_probe, . - walk_base_probe

        .data
        .balign 8
        .globl walk_base_record, walk_base_target
walk_base_record: .long -1, 0, 0, 0, 0, 0
walk_base_target: .long 0

/* scavenging_start: the start word of a stand-in Lisp function that runs
   a scavenge (the routine gc, entry slot nil+0x13b) from a frame of its
   own (marker 6) and then records its call as lisp_recorder_entry does,
   with its arguments as the collector left them. */
        .text
        .globl scavenging_start
        .type scavenging_start, @function
scavenging_start:
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
        push edi
        push edi
        mov eax, edi
        call dword ptr [edi + 0x13b]
        mov ecx, [ebp - 0x20]
        shr ecx, 2
        mov eax, [ebp + 8]
        mov edx, [ebp + 12]
        mov esi, [ebp - 0x14]
        mov ebx, [ebp - 0x1c]
        leave
        jmp lisp_recorder_entry
        .size scavenging_start, . - scavenging_start

/* stack_planting_probe: fills the 64 words below esp (below the two it
   saves eax and ecx in) with
   stack_planting_word, then jumps to stack_planting_target with the call
   unchanged: a routine that reserves stack words without writing them
   leaves that word there for the collector's walk to find. */
        .text
        .globl stack_planting_probe
        .type stack_planting_probe, @function
stack_planting_probe:
        push eax
        push ecx
        mov eax, [stack_planting_word]
        mov ecx, -64
1:      mov [esp + 4 * ecx], eax
        inc ecx
        jnz 1b
        pop ecx
        pop eax
        jmp dword ptr [stack_planting_target]
        .size stack_planting_probe, . - stack_planting_probe

        .data
        .balign 4
        .globl stack_planting_word, stack_planting_target
stack_planting_word: .long 0
stack_planting_target: .long 0

        .section .note.GNU-stack, "", @progbits
