/* A stand-in Lisp function that notes what a native entry left in the
   thread's newest foreign-call record before the recorder logs the call. */
#include "runtime/rs/clink_layout.h"

        .intel_syntax noprefix
        .text

/* clink_probe_entry: the start code of a stand-in Lisp function. In: the
   state of a Lisp call (ebx = thread, ebp = the caller's frame). Stores
   the newest record's address, its word 1 (when there is a record) and
   ebp into clink_probe_seen, then goes on into lisp_recorder_entry. */
        .globl clink_probe_entry
        .type clink_probe_entry, @function
clink_probe_entry:
        push eax
        mov eax, [ebx + THREAD_CLINK_HEAD]
        mov [clink_probe_seen], eax
        cmp eax, -1
        je 1f
        mov eax, [eax + CLINK_NATIVE_FRAME]
        mov [clink_probe_seen + 4], eax
1:      mov [clink_probe_seen + 8], ebp
        pop eax
        jmp lisp_recorder_entry
        .size clink_probe_entry, . - clink_probe_entry

        .bss
        .globl clink_probe_seen
        .type clink_probe_seen, @object
        .balign 4
clink_probe_seen:                               /* record, its word 1, ebp */
        .zero 12
        .size clink_probe_seen, . - clink_probe_seen

        .section .note.GNU-stack, "", @progbits
