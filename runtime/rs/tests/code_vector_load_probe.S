/* code_vector_load_probe: a runtime routine that loads one code vector as
   the native fasl loader does (eax = a fixnum naming which one), through
   code_vector_load_native. Answers the vector, or nil for a short file. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text
        .globl code_vector_load_probe
        .type code_vector_load_probe, @function
code_vector_load_probe:
        RUNTIME_FRAME
        CALL_NATIVE code_vector_load_native, eax
        RUNTIME_RETURN
        .size code_vector_load_probe, . - code_vector_load_probe

        .section .note.GNU-stack, "", @progbits
