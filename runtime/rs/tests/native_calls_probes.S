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

        .section .note.GNU-stack, "", @progbits
