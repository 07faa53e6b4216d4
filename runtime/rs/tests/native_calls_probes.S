/* Test-side callers and call targets for calls into native code through
   entry-vec objects. */
#include "runtime/rs/runtime_frame.inc"

#define SLOT_CALL_DIRECT 0xeb

        .intel_syntax noprefix
        .text

/* call_direct_probe: runtime routine. In: eax = one native argument, edx =
   entry-vec. Links a clink, pushes eax and calls the entry through the
   slot nil+0xeb with ecx = the entry. Out: eax = the native result. */
        .globl call_direct_probe
        .type call_direct_probe, @function
call_direct_probe:
        RUNTIME_FRAME
        mov ecx, edx
        mov edx, [edi + SLOT_CALL_DIRECT]
        CALL_NATIVE edx, eax
        RUNTIME_RETURN
        .size call_direct_probe, . - call_direct_probe

/* direct_target_spy: an entry's call address. Notes ebx, esi and esp as
   call_direct left them in direct_target_registers, then goes on to the C
   function direct_callee. */
        .globl direct_target_spy
        .type direct_target_spy, @function
direct_target_spy:
        mov [direct_target_registers], ebx
        mov [direct_target_registers + 4], esi
        mov [direct_target_registers + 8], esp
        jmp direct_callee
        .size direct_target_spy, . - direct_target_spy

/* method_call_probe: runtime routine. In: eax = entry-vec, edx = address
   of ecx argument words, [esp + 4] = the count the call gets in ecx. Pushes
   the words (last first) and calls the entry's call address with ebx =
   the entry; esi keeps the stack. Out: eax = the native result. */
        .globl method_call_probe
        .type method_call_probe, @function
method_call_probe:
        RUNTIME_FRAME
        mov esi, esp
        mov ebx, eax
        mov eax, ecx
1:      test eax, eax
        jz 2f
        push dword ptr [edx + 4 * eax - 4]
        dec eax
        jmp 1b
2:      mov ecx, [ebp + 8]
        call dword ptr [ebx + ENTRY_VEC_CALL_ADDRESS]
        mov esp, esi
        mov ebx, [ebp - 0x1c]
        RUNTIME_RETURN
        .size method_call_probe, . - method_call_probe

        .section .note.GNU-stack, "", @progbits
