/* A caller of an entry's call address for the urgent-landing sweep. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text

/* urgent_entry_call_probe: runtime routine, in the place of compiled code
   calling an entry. In: eax = entry-vec, edx = address of ecx argument
   words, [esp + 4] = the count. Links a clink whose callee word stays 0,
   pushes the words (last first), resets the x87 unit as the native-call
   sequence does and calls the entry's call address with ebx = the entry.
   Out: eax = the native result. */
        .globl urgent_entry_call_probe
        .type urgent_entry_call_probe, @function
urgent_entry_call_probe:
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
2:      fninit
        fldcw word ptr [edi + NIL_FLOAT_CONTROL_WORD]
        mov ecx, [ebp + 8]
        call dword ptr [ebx + ENTRY_VEC_CALL_ADDRESS]
        mov esp, esi
        mov ebx, [ebp - 0x1c]
        pop dword ptr [ebx + THREAD_CLINK_HEAD]
        add esp, CLINK_BYTES - 4
        RUNTIME_RETURN
        .size urgent_entry_call_probe, . - urgent_entry_call_probe

        .section .note.GNU-stack, "", @progbits
