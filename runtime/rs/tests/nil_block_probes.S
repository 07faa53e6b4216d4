/* A native entry that only reports the thread register it loaded, to check
   the native-entry frame against the thread slot. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text
        .globl probe_native_entry_thread
probe_native_entry_thread:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        mov eax, ebx
        NATIVE_ENTRY_RETURN

        .section .note.GNU-stack, "", @progbits
