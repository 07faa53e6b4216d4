/* A runtime routine that links the heap to the pure library, for tests
   whose Lisp frames must be found by the stack walk. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text

/* lso_link_probe: runtime routine. In: edi = nil, ebx = thread. Calls
   link_lso_file() with CALL_NATIVE. Out: no values. */
        .globl lso_link_probe
        .type lso_link_probe, @function
lso_link_probe:
        RUNTIME_FRAME
        CALL_NATIVE link_lso_file
        RUNTIME_RETURN_NO_VALUES
        .size lso_link_probe, . - lso_link_probe

        .section .note.GNU-stack, "", @progbits
