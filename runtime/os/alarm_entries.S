/* The alarm and descriptor-event entries that compiled Lisp code calls:
   each untags its fixnum arguments and calls the native half in
   alarm_timer.cpp, returning the native result word (fixnum-shaped: 0, or
   4 from a set-up that worked) as the one value.

   Common register contract: edi = nil, ebx = thread, eax and edx the first
   two arguments; eax the value with carry clear and esi reloaded from the
   caller's frame on return; ecx and edx clobbered. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text

/* mpsetupalarm (nil+0x1eb): no arguments. Sets the alarm timer up once per
   process. Out: eax = fixnum 1, or 0 when the timer device could not be
   queried. */
        .globl mpsetupalarm
        .hidden mpsetupalarm
        .type mpsetupalarm, @function
mpsetupalarm:
        RUNTIME_FRAME
        LEAF_NATIVE_CALL c_mpsetupalarm
        RUNTIME_RETURN
        .size mpsetupalarm, . - mpsetupalarm

/* mpalarmon (nil+0x1ef): eax = seconds, edx = microseconds (fixnums). Arms
   the alarm. Out: eax = fixnum 0. */
        .globl mpalarmon
        .hidden mpalarmon
        .type mpalarmon, @function
mpalarmon:
        RUNTIME_FRAME
        sar eax, 2
        sar edx, 2
        LEAF_NATIVE_CALL c_mpalarmon, eax, edx
        RUNTIME_RETURN
        .size mpalarmon, . - mpalarmon

/* mpwatchfor (nil+0x1f3): eax = descriptor, or its complement for writing
   (fixnum). Registers it on the calling thread's watch lists through the
   host record, with the thread record as second argument. Out: eax =
   fixnum 0. */
        .globl mpwatchfor
        .hidden mpwatchfor
        .type mpwatchfor, @function
mpwatchfor:
        RUNTIME_FRAME
        sar eax, 2
        LEAF_NATIVE_CALL c_mpwatchfor, eax, ebx
        RUNTIME_RETURN
        .size mpwatchfor, . - mpwatchfor

/* mpwaitsigio (nil+0x1e7): eax = mode, passed on as it is, with the thread
   record. Waits for an event through the host record; the wait may block,
   so the call runs inside a foreign-call record that a throw can pass.
   Out: eax = fixnum 0. */
        .globl mpwaitsigio
        .hidden mpwaitsigio
        .type mpwaitsigio, @function
mpwaitsigio:
        RUNTIME_FRAME
        CALL_NATIVE c_mpwaitsigio, eax, ebx
        RUNTIME_RETURN
        .size mpwaitsigio, . - mpwaitsigio

        .section .note.GNU-stack, "", @progbits
