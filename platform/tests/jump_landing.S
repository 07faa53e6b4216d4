/* Where the context test redirects a suspended thread. */
        .intel_syntax noprefix
        .text

/* jump_landing_sets_flag: entered in place of the thread's next instruction,
   with that instruction's address pushed as return address. Sets
   jump_landing_flag to 1 and returns there; preserves every register and
   the flags. */
        .globl jump_landing_sets_flag
        .type jump_landing_sets_flag, @function
jump_landing_sets_flag:
        pushfd
        mov dword ptr [jump_landing_flag], 1
        popfd
        ret
        .size jump_landing_sets_flag, .-jump_landing_sets_flag

        .data
        .globl jump_landing_flag
        .align 4
jump_landing_flag:
        .long 0

        .section .note.GNU-stack,"",@progbits
