/* Where the forced-jump test sends a thread. */
        .intel_syntax noprefix
        .text

/* forced_jump_target: entered by a rewritten instruction pointer, with no
   return address. Sets forced_jump_flag to 1 and ends the thread at once
   through the exit system call (no unwinding over the interrupted stack). */
        .globl forced_jump_target
        .type forced_jump_target, @function
forced_jump_target:
        mov dword ptr [forced_jump_flag], 1
        mov eax, 1              /* exit of the calling thread */
        xor ebx, ebx
        int 0x80
        .size forced_jump_target, .-forced_jump_target

        .data
        .globl forced_jump_flag
        .align 4
forced_jump_flag:
        .long 0

        .section .note.GNU-stack,"",@progbits
