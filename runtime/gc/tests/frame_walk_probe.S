/* A Lisp function that calls a runtime routine that calls native code,
   to walk real frames built by the runtime's own frame code. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text

/* frame_walk_function_probe: start code of a Lisp function. In: esi = the
   function, ebx = thread, edi = nil, home slots above the return address.
   Builds its frame (function at ebp-4) and calls frame_walk_runtime_probe.
   Out: eax as that left it, carry clear, esi reloaded from the caller. */
        .globl frame_walk_function_probe
        .type frame_walk_function_probe, @function
frame_walk_function_probe:
        push ebp
        mov ebp, esp
        push esi
        sub esp, 0x18
        mov [ebp - 0x1c], ebx
        mov [ebp - 0x10], edi
        call frame_walk_runtime_probe
        leave
        mov esi, [ebp - 4]
        clc
        ret
        .size frame_walk_function_probe, . - frame_walk_function_probe

/* frame_walk_runtime_probe: runtime routine. Calls frame_walk_native_probe()
   with CALL_NATIVE. Out: eax = its result. */
        .globl frame_walk_runtime_probe
        .type frame_walk_runtime_probe, @function
frame_walk_runtime_probe:
        RUNTIME_FRAME
        CALL_NATIVE frame_walk_native_probe
        RUNTIME_RETURN
        .size frame_walk_runtime_probe, . - frame_walk_runtime_probe

        .section .note.GNU-stack, "", @progbits
