/* Probes for tests that run a scavenge inside the routine they call. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix

#define HOSTILE_CALL_BYTES 32           /* target, eax, edx, ecx, stacked 3 .. 6 */

/* hostile_hook_start: the start word of a stand-in Lisp function that
   makes the calls of hostile_hook_calls (the first hostile_hook_count) in
   order from a runtime frame of its own, each with its registers, the
   thread in ebx, nil home slots
   and four stacked words, and returns what the last one returned, in the
   open form (ecx = the count, carry set unless it is 1). As an
   after-collection function it makes whatever Lisp code may do there:
   allocate, return several values, make system calls, bind specials. */
        .text
        .globl hostile_hook_start
        .type hostile_hook_start, @function
hostile_hook_start:
        push ebp
        mov ebp, esp
        push 6                                  /* a runtime frame: walked without a function */
        sub esp, 0x18
        mov [ebp - 0x1c], ebx
        mov [ebp - 0x10], edi
        mov dword ptr [ebp - 0x14], 0
        mov dword ptr [ebp - 0x18], 0
        push 0                                  /* ebp-0x20: offset of the next call, raw */
        mov eax, edi
        xor ecx, ecx
1:      mov esi, [ebp - 0x20]
        mov ebx, [hostile_hook_count]
        shl ebx, 5
        cmp esi, ebx
        jae 2f
        add dword ptr [ebp - 0x20], HOSTILE_CALL_BYTES
        push dword ptr [hostile_hook_calls + esi + 28]
        push dword ptr [hostile_hook_calls + esi + 24]
        push dword ptr [hostile_hook_calls + esi + 20]
        push dword ptr [hostile_hook_calls + esi + 16]
        push edi                                /* the home slots */
        push edi
        mov ebx, [ebp - 0x1c]
        mov eax, [hostile_hook_calls + esi + 4]
        mov edx, [hostile_hook_calls + esi + 8]
        mov ecx, [hostile_hook_calls + esi + 12]
        call dword ptr [hostile_hook_calls + esi]
        lea esp, [ebp - 0x20]
        jmp 1b
2:      mov ebx, [ebp - 0x1c]
        leave
        cmp ecx, 1
        clc
        je 3f
        stc
3:      ret
        .size hostile_hook_start, . - hostile_hook_start

        .bss
        .balign 4
        .globl hostile_hook_calls, hostile_hook_count
hostile_hook_calls: .zero 8 * HOSTILE_CALL_BYTES
hostile_hook_count: .zero 4

/* hostile_append_probe: a runtime routine for the hostile hook's calls:
   append_values of the open form it gets to the closed values vector at
   hostile_append_vector (one that never moves), from a frame that holds it
   at ebp-0x18 as append_values wants. Answers the vector append_values
   answers, as one value. */
        .text
        .globl hostile_append_probe
        .type hostile_append_probe, @function
hostile_append_probe:
        RUNTIME_FRAME
        push eax
        mov eax, [hostile_append_vector]
        mov [ebp - 0x18], eax
        pop eax
        push edi                                /* the home slots */
        push edi
        call append_values
        mov ecx, 1
        mov ebx, [ebp - 0x1c]
        RUNTIME_RETURN
        .size hostile_append_probe, . - hostile_append_probe

        .bss
        .balign 4
        .globl hostile_append_vector
hostile_append_vector: .zero 4

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
