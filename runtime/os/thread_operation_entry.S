/* thread_operation and the two thread routines that return at once.

   thread_operation (nil+0x37f): runtime routine. In: eax = argument 1,
   edx = operation code (fixnum), argument 3 on the stack, edi = nil,
   ebx = the calling thread's record. Calls c_thread_operation (record,
   argument 1, code, argument 3) inside a foreign-call record, with the x87
   stack cleared and the control word reloaded. Out: eax = the operation's
   value, carry clear; when the native side names a runtime error (edx not
   0) that error is signalled instead and its function's value returned.
   ecx and edx clobbered. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text

        .globl thread_operation
        .hidden thread_operation
        .type thread_operation, @function
thread_operation:
        RUNTIME_FRAME
        mov ecx, [ebp + 0x10]
        CALL_NATIVE c_thread_operation, ebx, eax, edx, ecx
        test edx, edx
        jz 1f
        mov eax, edx
        call rs_error
1:      RUNTIME_RETURN
        .size thread_operation, . - thread_operation

/* thread_test (nil+0x377), thread_kill (nil+0x37b): eax = nil. */
        .globl thread_test
        .hidden thread_test
        .type thread_test, @function
thread_test:
        mov eax, edi
        clc
        ret
        .size thread_test, . - thread_test

        .globl thread_kill
        .hidden thread_kill
        .type thread_kill, @function
thread_kill:
        mov eax, edi
        clc
        ret
        .size thread_kill, . - thread_kill

        .section .note.GNU-stack, "", @progbits
