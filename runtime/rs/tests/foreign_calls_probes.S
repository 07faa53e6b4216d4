/* Test-side caller and callee for calls through entry-vec call addresses. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text

/* entry_call_probe: runtime routine, in the place of compiled code calling
   an entry. In: eax = entry-vec, edx = address of ecx argument words,
   [esp + 4] = the count the call gets in ecx. Links a clink whose callee
   word stays 0, pushes the words (last first), resets the x87 unit as the
   native-call sequence does and calls the entry's call address with ebx =
   the entry; esi keeps the stack. Right after the return it notes the
   flags and edx in entry_call_after. Out: eax = the native result. */
        .globl entry_call_probe
        .type entry_call_probe, @function
entry_call_probe:
        RUNTIME_FRAME
        push 0
        push 0
        push edi
        push ebp
        push 0
        push dword ptr [ebx + THREAD_CLINK_HEAD]
        mov [ebx + THREAD_CLINK_HEAD], esp
        mov esi, esp
        mov ebx, eax
1:      test ecx, ecx
        jz 2f
        push dword ptr [edx + 4 * ecx - 4]
        dec ecx
        jmp 1b
2:      ffree st(0)
        ffree st(1)
        ffree st(2)
        ffree st(3)
        ffree st(4)
        ffree st(5)
        fwait
        fnclex
        fldcw word ptr [edi + NIL_FLOAT_CONTROL_WORD]
        mov ecx, [ebp + 8]
        call dword ptr [ebx + ENTRY_VEC_CALL_ADDRESS]
        pushfd
        pop dword ptr [entry_call_after]
        mov [entry_call_after + 4], edx
        mov esp, esi
        mov ebx, [ebp - 0x1c]
        pop dword ptr [ebx + THREAD_CLINK_HEAD]
        add esp, CLINK_BYTES - 4
        RUNTIME_RETURN
        .size entry_call_probe, . - entry_call_probe

/* register_setting_callee: a native function (cdecl, no arguments) that
   sets errno through callee_sets_errno, then returns with eax = 0x1234,
   edx = 0x5678, st(0) = callee_double, and the carry and zero flags set. */
        .globl register_setting_callee
        .type register_setting_callee, @function
register_setting_callee:
        call callee_sets_errno
        fld qword ptr [callee_double]
        mov eax, 0x1234
        mov edx, 0x5678
        xor ecx, ecx
        stc
        ret
        .size register_setting_callee, . - register_setting_callee

        .section .note.GNU-stack, "", @progbits
