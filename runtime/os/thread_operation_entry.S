/* thread_operation and the two thread routines that return at once.

   thread_operation (nil+0x37f): runtime routine. In: eax = argument 1,
   edx = operation code (fixnum), argument 3 on the stack, edi = nil,
   ebx = the calling thread's record. Calls c_thread_operation (record,
   argument 1, code, argument 3) inside a foreign-call record, with the x87
   stack cleared and the control word reloaded. The native side returns the
   value in eax and in edx 0, or BOX_UNSIGNED when eax is a raw unsigned
   integer to box (fixnum or bignum), or the fixnum code of a runtime error
   to signal instead. Out: eax = the operation's value (or the error
   function's), carry clear; ecx and edx clobbered. */
#include "runtime/rs/runtime_frame.inc"

#define BOX_UNSIGNED 1 /* thread_ops::kBoxUnsigned */

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
        cmp edx, BOX_UNSIGNED
        je 2f
        mov eax, edx
        call rs_error
1:      RUNTIME_RETURN
2:      call unsigned_fixnum_or_bignum
        RUNTIME_RETURN
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

/* lisp_call_from_native(kind, first, second, saved, count): native entry,
   cdecl, for the thread operations' calls into Lisp from native code on
   the heap-owning thread. kind 0: apply the function `first` to the list
   `second` (lisp_apply); kind 1: call the function of the symbol `first`
   with the two arguments `second` and nil; kind 2: a fresh cons of `first`
   and `second` (qcons); kind 3: the runtime routine post_sig, which posts a
   signal to the Lisp side; kind 4: the runtime routine process_sig_2, which
   has the Lisp side process the signals that arrived (both arguments unused
   by kinds 3 and 4).
   The `count` Lisp values at `saved` are pushed onto this frame, where the
   collector's stack walk sees and updates them, and are copied back before
   the return, so the caller's copies stay valid across a collection.
   Out: eax = the first value (nil when there is none). */
        .globl lisp_call_from_native
        .hidden lisp_call_from_native
        .type lisp_call_from_native, @function
lisp_call_from_native:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        mov edx, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT + 12]
        mov ecx, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT + 16]
1:      test ecx, ecx
        jz 2f
        dec ecx
        push dword ptr [edx + 4 * ecx]
        jmp 1b
2:      push edi                                /* home slots: Lisp values */
        push edi
        mov eax, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT + 4]
        mov edx, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT + 8]
        mov ecx, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT]
        cmp ecx, 1
        je 4f
        cmp ecx, 3
        je 3f
        cmp ecx, 4
        je 10f
        ja 5f
        cmp ecx, 2
        je 5f
        mov ecx, 2
        call lisp_apply
        jmp 6f
4:      mov ebx, eax                            /* the symbol */
        mov eax, edx
        mov edx, edi
        mov ecx, 2
        call dword ptr [edi + NIL_SLOT_CALL_TWO_ARGS]
        jmp 6f
3:      call post_sig
        jmp 6f
10:     call process_sig_2
        jmp 6f
5:      call qcons
6:      jnc 7f
        test ecx, ecx
        jnz 7f
        mov eax, edi                            /* no values */
7:      mov edx, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT + 12]
        mov ecx, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT + 16]
8:      test ecx, ecx
        jz 9f
        dec ecx
        mov esi, [esp + 8 + 4 * ecx]
        mov [edx + 4 * ecx], esi
        jmp 8b
9:      NATIVE_ENTRY_RETURN
        .size lisp_call_from_native, . - lisp_call_from_native

        .section .note.GNU-stack, "", @progbits
