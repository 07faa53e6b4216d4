/* A runtime routine around one native call, to watch the fixed native-call
   sequence from the native side. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text

/* call_native_probe: runtime routine. In: eax, edx. Calls
   native_call_probe(eax, edx) with CALL_NATIVE. Out: eax = its result. */
        .globl call_native_probe
        .type call_native_probe, @function
call_native_probe:
        RUNTIME_FRAME
        CALL_NATIVE native_call_probe, eax, edx
        RUNTIME_RETURN
        .size call_native_probe, . - call_native_probe

/* probe_throw_continuation: what a throw that passed over the native call
   resumes at: the record is at esp and still linked. Unlinks it and
   returns fixnum -1 from call_native_probe. */
        .globl probe_throw_continuation
        .type probe_throw_continuation, @function
probe_throw_continuation:
        pop dword ptr [ebx + THREAD_CLINK_HEAD]
        mov eax, FIXNUM(-1)
        RUNTIME_RETURN
        .size probe_throw_continuation, . - probe_throw_continuation

        .section .note.GNU-stack, "", @progbits
