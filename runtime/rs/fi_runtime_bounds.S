/* start_of_fi_runtime, end_of_fi_runtime: routines that only return; their
   addresses bound the stretch of hand-written runtime code that counts as
   Lisp code for the exception filter (besides the allocation stretch that
   start_of_gc_runtime and end_of_gc_runtime bound). The code between them
   lies in sections named .text.sorted.fi_runtime_5_*, which the linker
   places in name order. */
        .intel_syntax noprefix

        .section .text.sorted.fi_runtime_0_start, "ax", @progbits
        .globl start_of_fi_runtime
        .hidden start_of_fi_runtime
        .type start_of_fi_runtime, @function
start_of_fi_runtime:
        ret
        .size start_of_fi_runtime, . - start_of_fi_runtime

        .section .text.sorted.fi_runtime_9_end, "ax", @progbits
        .globl end_of_fi_runtime
        .hidden end_of_fi_runtime
        .type end_of_fi_runtime, @function
end_of_fi_runtime:
        ret
        .size end_of_fi_runtime, . - end_of_fi_runtime

        .section .note.GNU-stack, "", @progbits
