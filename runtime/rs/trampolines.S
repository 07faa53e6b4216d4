/* The trampoline stretch: 53 bytes of position-independent code that
   link_runtime_entries copies into every nil block. Function objects and
   closures point at the copies. Offsets inside the stretch are fixed:
   closure_start at 3, the start trampolines at 15, 23, 31, 39 and 47. */
        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_trampolines, "ax", @progbits

        .globl gtrampstart, gtrampend, closure_start
        .globl gt_undeffunc, gt_illeg_macro_or_spec_call, gt_comp_to_interp
        .globl gt_comp_to_byte, gt_fwrap_start
        .hidden gtrampstart, gtrampend, closure_start
        .hidden gt_undeffunc, gt_illeg_macro_or_spec_call, gt_comp_to_interp
        .hidden gt_comp_to_byte, gt_fwrap_start

gtrampstart:
        nop
        nop
        nop
/* closure_start: In: esi = closure. Stores it at ebp-0x14, loads its
   template function into esi and jumps through the template's start word. */
closure_start:
        mov [ebp - 0x14], esi
        mov esi, [esi - 0xa]
        jmp dword ptr [esi - 0xe]
        nop
        nop
        nop
/* Start trampolines: jump through the global word of their routine, with the
   Lisp call state unchanged. */
gt_undeffunc:
        jmp dword ptr [edi - 0x1e5]
        nop
        nop
gt_illeg_macro_or_spec_call:
        jmp dword ptr [edi - 0x1ed]
        nop
        nop
gt_comp_to_interp:
        jmp dword ptr [edi - 0x1f1]
        nop
        nop
gt_comp_to_byte:
        jmp dword ptr [edi - 0x285]
        nop
        nop
gt_fwrap_start:
        jmp dword ptr [edi - 0x479]
gtrampend:
        /* the copy moves whole words: three bytes past the end */
        .byte 0x90, 0x90, 0x90

        .section .note.GNU-stack, "", @progbits
