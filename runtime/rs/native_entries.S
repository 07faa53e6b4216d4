/* Native entries that build and re-link the nil block. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_native_entries, "ax", @progbits

/* rs_pc_thunk_ecx: ecx := the return address (for LOAD_GOT_ECX). */
        .globl rs_pc_thunk_ecx
        .hidden rs_pc_thunk_ecx
        .type rs_pc_thunk_ecx, @function
rs_pc_thunk_ecx:
        mov ecx, [esp]
        ret
        .size rs_pc_thunk_ecx, . - rs_pc_thunk_ecx

/* setupglobs(block start, stamp + 1): native entry, cdecl.
   Builds a fresh nil block and returns the first free 8-aligned address
   after it. nil is computed and published first; only then are the nil and
   thread registers loaded from it. */
        .globl setupglobs
        .hidden setupglobs
        .type setupglobs, @function
setupglobs:
        NATIVE_ENTRY_FRAME
        push dword ptr [ebp + 0x1c]
        push dword ptr [ebp + 0x18]
        call nil_block_prepare
        add esp, 8
        mov [ebp - 8], eax
        NATIVE_ENTRY_REGISTERS
        call link_runtime_entries
        push dword ptr [ebp - 8]
        call nil_block_finish
        NATIVE_ENTRY_RETURN
        .size setupglobs, . - setupglobs

/* restoreglobs(): native entry, cdecl. After an image restore: re-links the
   entry table and trampolines into this library and stores the address of
   globs at nil-0x17d; returns that address. */
        .globl restoreglobs
        .hidden restoreglobs
        .type restoreglobs, @function
restoreglobs:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        call link_runtime_entries
        call nil_block_after_restore
        NATIVE_ENTRY_RETURN
        .size restoreglobs, . - restoreglobs

/* link_runtime_entries: runtime routine, no arguments. In: edi = nil, ebx =
   thread. Writes every entry slot, the trampoline copies and their globals,
   resets the consing-mode counter. Out: eax = 0, carry clear. */
        .globl link_runtime_entries
        .hidden link_runtime_entries
        .type link_runtime_entries, @function
link_runtime_entries:
        RUNTIME_FRAME
        push edi
        call link_runtime_entries_at
        xor eax, eax
        RUNTIME_RETURN
        .size link_runtime_entries, . - link_runtime_entries

        .section .note.GNU-stack, "", @progbits
