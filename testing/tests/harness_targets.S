/* Tiny targets that exercise the call harness. */
        .intel_syntax noprefix
        .text

/* Returns three values: eax = 0x44, ecx = 3, carry set. */
        .globl harness_target_three_values
harness_target_three_values:
        mov eax, 0x44
        mov ecx, 3
        stc
        ret

/* Pops st(0) into eax as a single-float's bits. */
        .globl harness_target_pops_x87
harness_target_pops_x87:
        push eax
        fstp dword ptr [esp]
        pop eax
        clc
        ret

/* Breaks the convention: clears the nil register. */
        .globl harness_target_clobbers_nil
harness_target_clobbers_nil:
        xor edi, edi
        clc
        ret

/* Breaks the convention: pops the caller's two home slots. */
        .globl harness_target_pops_home_slots
harness_target_pops_home_slots:
        clc
        ret 8

/* A runtime routine: marker 6 at ebp-4, thread saved at ebp-0x1c; returns
   argument 1 + argument 2 + argument 3 (the stacked one) in eax. */
        .globl harness_target_sum_three
harness_target_sum_three:
        push ebp
        mov ebp, esp
        push 6
        sub esp, 0x18
        mov [ebp - 0x1c], ebx
        add eax, edx
        add eax, [ebp + 16]
        leave
        mov esi, [ebp - 4]
        clc
        ret

/* Calls the function in esi the way compiled code does: jump through its start word. */
        .globl harness_target_enter_function
harness_target_enter_function:
        jmp dword ptr [esi - 0xe]

        .section .note.GNU-stack, "", @progbits
