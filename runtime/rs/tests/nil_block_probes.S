/* A native entry that only reports the thread register it loaded, to check
   the native-entry frame against the thread slot. The thread words are
   stand-ins, so it touches no foreign-call record. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text
        .globl probe_native_entry_thread
probe_native_entry_thread:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_THREAD
        mov eax, ebx
        NATIVE_ENTRY_LEAVE

        .section .note.GNU-stack, "", @progbits
