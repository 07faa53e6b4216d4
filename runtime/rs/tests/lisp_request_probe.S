/* A stand-in Lisp function that notes what a native entry left in the
   thread's newest foreign-call record before the recorder logs the call. */
#include "runtime/rs/clink_layout.h"

        .intel_syntax noprefix
        .text

/* clink_probe_entry: the start code of a stand-in Lisp function. In: the
   state of a Lisp call (ebx = thread, ebp = the caller's frame). Stores
   the newest record's address, its word 1 (when there is a record), ebp,
   the frame ebp links to, and the words at -4 of both frames (their
   markers) into clink_probe_seen, then goes on into lisp_recorder_entry.
   The frames are read during the call: once it returns they are gone. */
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
        mov eax, [ebp - 4]
        mov [clink_probe_seen + 16], eax
        mov eax, [ebp]
        mov [clink_probe_seen + 12], eax
        mov eax, [eax - 4]
        mov [clink_probe_seen + 20], eax
        pop eax
        jmp lisp_recorder_entry
        .size clink_probe_entry, . - clink_probe_entry

/* collecting_probe_entry: the start code of a stand-in Lisp function that
   runs a scavenge through the runtime routine gc (nil+0x13b) from a frame
   of its own (its function object at ebp-4, frame size 0), then copies its
   first three argument words (the two home slots and argument 3, as the
   collector left them) into collecting_probe_args and returns argument 3. */
        .globl collecting_probe_entry
        .type collecting_probe_entry, @function
collecting_probe_entry:
        push ebp
        mov ebp, esp
        push esi
        sub esp, 0x18
        mov [ebp + 8], eax                      /* home the register arguments */
        mov [ebp + 12], edx
        mov [ebp - 0x1c], ebx
        mov [ebp - 0x10], edi
        mov dword ptr [ebp - 0x14], 0
        mov dword ptr [ebp - 0x18], 0
        push edi                                /* gc's home slots */
        push edi
        mov eax, edi
        xor ecx, ecx
        call [edi + 0x13b]
        mov eax, [ebp + 8]
        mov [collecting_probe_args], eax
        mov eax, [ebp + 12]
        mov [collecting_probe_args + 4], eax
        mov eax, [ebp + 16]
        mov [collecting_probe_args + 8], eax
        mov ebx, [ebp - 0x1c]
        leave
        mov esi, [ebp - 4]
        clc
        ret
        .size collecting_probe_entry, . - collecting_probe_entry

        .bss
        .globl collecting_probe_args
        .type collecting_probe_args, @object
        .balign 4
collecting_probe_args:
        .zero 12
        .size collecting_probe_args, . - collecting_probe_args

        .globl clink_probe_seen
        .type clink_probe_seen, @object
        .balign 4
clink_probe_seen:           /* record, its word 1, ebp, [ebp], [ebp-4], [[ebp]-4] */
        .zero 24
        .size clink_probe_seen, . - clink_probe_seen

        .section .note.GNU-stack, "", @progbits
