/* The state that native code saves around an entry into Lisp: the whole x87
   unit and edx, in a per-thread area (the thread record's words from
   +0x708). The area's address is brought up to a multiple of 8; from there
   the 108-byte fnsave image lies at +0, edx at +0x200, 0x204 bytes in all. */
        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_volatile_state, "ax", @progbits

#define SAVED_EDX 0x200

/* save_volatile(area): native entry, cdecl. Waits for the x87 unit, saves
   its state at the aligned area (fnsave also resets the unit) and edx at
   +0x200. Clobbers eax. */
        .globl save_volatile
        .hidden save_volatile
        .type save_volatile, @function
save_volatile:
        mov eax, [esp + 4]
        add eax, 7
        and eax, -8
        fwait
        fnsave [eax]
        mov [eax + SAVED_EDX], edx
        ret
        .size save_volatile, . - save_volatile

/* restore_volatile(area): native entry, cdecl. Reloads the x87 state from
   the aligned area and edx from +0x200. Clobbers eax. */
        .globl restore_volatile
        .hidden restore_volatile
        .type restore_volatile, @function
restore_volatile:
        mov eax, [esp + 4]
        add eax, 7
        and eax, -8
        frstor [eax]
        mov edx, [eax + SAVED_EDX]
        ret
        .size restore_volatile, . - restore_volatile

/* savefloat, restorefloat: native entries, cdecl, called around the
   collector. They return at once: no state is saved or restored. */
        .globl savefloat, restorefloat
        .hidden savefloat, restorefloat
        .type savefloat, @function
        .type restorefloat, @function
savefloat:
        ret
        .size savefloat, . - savefloat
restorefloat:
        ret
        .size restorefloat, . - restorefloat

        .section .note.GNU-stack, "", @progbits
