/* The debugger's frame routines in the runtime entry table. Each reads the
   caller's thread register and its own frame pointer and hands them, with
   its arguments, to its native half in debugger_frames.cpp, which does the
   walk within the stack's bounds.

   Common register contract: edi = nil, ebx = thread, eax and edx the first
   two arguments (a thread argument: nil or the current thread for the
   running thread); eax the value, carry clear, esi reloaded from the
   caller's frame on return unless stated; ecx and edx clobbered. */
#include "runtime/rs/runtime_frame.inc"

        .intel_syntax noprefix
        .text

/* newest_frame (nil+0x16b): eax = thread. Out: eax = the frame to start a
   walk with (the caller of the routine that called newest_frame, for the
   running thread), or nil. */
        .globl newest_frame
        .hidden newest_frame
        .type newest_frame, @function
newest_frame:
        RUNTIME_FRAME
        CALL_NATIVE debugger_newest_frame, eax, ebx, ebp
        RUNTIME_RETURN
        .size newest_frame, . - newest_frame

/* fd_next_frame (nil+0x10b): eax = frame, edx = thread. Out: eax = the
   next older frame of Lisp or the runtime system, or nil. */
        .globl fd_next_frame
        .hidden fd_next_frame
        .type fd_next_frame, @function
fd_next_frame:
        RUNTIME_FRAME
        CALL_NATIVE debugger_next_frame, eax, edx, ebx, ebp
        RUNTIME_RETURN
        .size fd_next_frame, . - fd_next_frame

/* fd_arg_count (nil+0x2c3): eax = frame, edx = thread. Out: eax = the
   fixnum argument count of the frame's call, or nil. */
        .globl fd_arg_count
        .hidden fd_arg_count
        .type fd_arg_count, @function
fd_arg_count:
        RUNTIME_FRAME
        CALL_NATIVE debugger_arg_count, eax, edx, ebx, ebp
        RUNTIME_RETURN
        .size fd_arg_count, . - fd_arg_count

/* break_on_exit_control (nil+0x2ef): eax = action, edx = thread, stacked:
   frame, throw flag. Action 0 plants the exit trap on the frame, 1 removes
   it, 2 reports it. Out: a report gives two values (eax, edx: t or nil
   each; ecx = 2, carry set); the other actions one value in eax (t when
   done, nil when refused or unknown). The arguments go to the native half
   as one array in their home slots and stacked words; the values wait at
   ebp-0x24 (first) and ebp-0x20 (second), nil until written. */
        .globl break_on_exit_control
        .hidden break_on_exit_control
        .type break_on_exit_control, @function
break_on_exit_control:
        RUNTIME_FRAME
        mov [ebp + 8], eax                      /* the arguments in order from ebp+8 */
        mov [ebp + 12], edx
        push edi                                /* ebp-0x20: second value */
        push edi                                /* ebp-0x24: first value */
        mov ecx, esp
        lea eax, [ebp + 8]
        CALL_NATIVE debugger_exit_trap, eax, ebx, ebp, ecx
        mov ecx, eax
        mov eax, [ebp - 0x24]
        mov edx, [ebp - 0x20]
        cmp ecx, 2
        je 1f
        RUNTIME_RETURN
1:      leave
        mov esi, [ebp - 4]
        stc
        ret
        .size break_on_exit_control, . - break_on_exit_control

        .section .note.GNU-stack, "", @progbits
