/* Code for the exception-filter tests. */
        .intel_syntax noprefix
        .text

/* heap_owner_spin(): cdecl, no arguments. Keeps ebx, esi and edi at known
   values and spins until a forced jump sends it elsewhere; the test's
   delivery resumes it at heap_owner_spin_exit, which returns 1 when those
   registers and the stack pointer came back as they were, else 0. */
        .globl heap_owner_spin, heap_owner_spin_exit
        .type heap_owner_spin, @function
heap_owner_spin:
        push ebp
        mov ebp, esp
        push ebx
        push esi
        push edi
        mov ebx, 0x5eed0001
        mov esi, 0x5eed0002
        mov edi, 0x5eed0003
        mov [heap_owner_spin_esp], esp
        mov dword ptr [heap_owner_spinning], 1
1:      jmp 1b
heap_owner_spin_exit:
        xor eax, eax
        cmp ebx, 0x5eed0001
        jne 2f
        cmp esi, 0x5eed0002
        jne 2f
        cmp edi, 0x5eed0003
        jne 2f
        cmp esp, [heap_owner_spin_esp]
        jne 2f
        mov eax, 1
2:      pop edi
        pop esi
        pop ebx
        leave
        ret
        .size heap_owner_spin, . - heap_owner_spin

        .data
        .globl heap_owner_spin_esp, heap_owner_spinning
        .align 4
heap_owner_spin_esp: .long 0
heap_owner_spinning: .long 0

        .section .note.GNU-stack, "", @progbits
