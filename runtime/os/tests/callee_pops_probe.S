# Calls a callee-pops procedure of four word arguments and measures how many
# bytes of arguments it popped.
        .intel_syntax noprefix
        .text

# uint32_t call_callee_pops(procedure, a, b, c, d, int32_t* popped)
# C convention. Pushes d, c, b, a, calls the procedure and stores into
# *popped the bytes by which esp rose again during the call (16 when the
# procedure popped its arguments, 0 when it left them). Returns the
# procedure's eax. Keeps ebx, esi, edi, ebp.
        .globl call_callee_pops
        .type call_callee_pops, @function
call_callee_pops:
        push ebp
        mov ebp, esp
        push esi
        mov esi, esp                # esp before the arguments
        push dword ptr [ebp + 24]
        push dword ptr [ebp + 20]
        push dword ptr [ebp + 16]
        push dword ptr [ebp + 12]
        call dword ptr [ebp + 8]
        mov ecx, esp
        sub ecx, esi
        add ecx, 16                 # esp after the call - esp after the pushes
        mov edx, [ebp + 28]
        mov [edx], ecx
        mov esp, esi
        pop esi
        pop ebp
        ret
        .size call_callee_pops, . - call_callee_pops

        .section .note.GNU-stack, "", @progbits
