/* Where a throw over a system call's native frames resumes, for the tests. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text

/* system_call_throw_landing: jumped to with the foreign-call record at esp,
   still linked, inside the dispatcher's frame. Unlinks it and returns
   fixnum -2 from the dispatcher. */
        .globl system_call_throw_landing
        .type system_call_throw_landing, @function
system_call_throw_landing:
        pop dword ptr [ebx + THREAD_CLINK_HEAD]
        mov eax, FIXNUM(-2)
        RUNTIME_RETURN
        .size system_call_throw_landing, . - system_call_throw_landing

        .section .note.GNU-stack, "", @progbits
