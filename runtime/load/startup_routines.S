/* The start-up module's runtime routines for Lisp code (dumplisp, lispexit,
   set_boot_mode and the pure-string routines) and its register-level
   helpers for hand-written runtime code.

   The Lisp-facing routines are thin bridges to their native halves in
   image_dump.cpp: arguments are kept in the caller's home slots, fixnums
   are shifted to integers, and the native call goes through CALL_NATIVE
   (a foreign-call record, the x87 stack freed and its control word reset,
   resuming at the record's throw continuation when a throw crossed it). */
#include "runtime/rs/runtime_frame.inc"

#define HOME_1 8                         /* the caller's home slots */
#define HOME_2 12
#define ARG_3 16                         /* the stacked argument above them */

        .intel_syntax noprefix
        .text

/* dumplisp (nil+0x14f): runtime routine. In: eax = the address of a
   zero-terminated file name as a Lisp integer (fixnum or bignum), edx and
   stacked argument 3 not used. Out: eax = the dump's result as a fixnum (0
   saved; 3, 4, 11 from the save; 4 for a bad name; 13 refused), carry
   clear. */
        .globl dumplisp
        .hidden dumplisp
        .type dumplisp, @function
dumplisp:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        mov [ebp + HOME_2], edx
        CALL_NATIVE dumplisp_native, eax
        shl eax, 2
        RUNTIME_RETURN
        .size dumplisp, . - dumplisp

/* lispexit (nil+0x167): runtime routine. In: eax = exit status (fixnum).
   Closes the string file when one is open and ends the process with the
   status; does not return. */
        .globl lispexit
        .hidden lispexit
        .type lispexit, @function
lispexit:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        sar eax, 2
        CALL_NATIVE lispexit_native, eax
        ud2                                     /* lispexit_native never returns */
        .size lispexit, . - lispexit

/* set_boot_mode (nil+0x183): runtime routine. In: eax = the new boot mode
   (fixnum). bootmode := its value; mode 0 also sets oblist and the
   symbol-table global to nil. Out: eax = the argument, carry clear. */
        .globl set_boot_mode
        .hidden set_boot_mode
        .type set_boot_mode, @function
set_boot_mode:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        sar eax, 2
        CALL_NATIVE set_boot_mode_native, eax
        mov eax, [ebp + HOME_1]
        RUNTIME_RETURN
        .size set_boot_mode, . - set_boot_mode

/* get_pure_string (nil+0x187): runtime routine. In: eax = a string, edx =
   the number of its characters to look up (fixnum). Out: eax = the pure
   library's equal string, or nil (also for a count beyond the string);
   carry clear. */
        .globl get_pure_string
        .hidden get_pure_string
        .type get_pure_string, @function
get_pure_string:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        mov [ebp + HOME_2], edx
        sar edx, 2
        CALL_NATIVE get_pure_string_native, eax, edx
        RUNTIME_RETURN
        .size get_pure_string, . - get_pure_string

/* write_pure_string (nil+0x19f): runtime routine. In: eax = a string, edx =
   the upper-case flag (nil or not), stacked argument 3 = the number of
   characters (fixnum). Out: eax = nil when no string file is open (or the
   count lies beyond the string), else t after the record is written; carry
   clear. */
        .globl write_pure_string
        .hidden write_pure_string
        .type write_pure_string, @function
write_pure_string:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        mov [ebp + HOME_2], edx
        mov ecx, [ebp + ARG_3]
        sar ecx, 2
        CALL_NATIVE write_pure_string_native, eax, edx, ecx
        RUNTIME_RETURN
        .size write_pure_string, . - write_pure_string

/* where_am_i (nil+0x77), where_am_i_2 (nil+0x7b), where_am_i_5: the address
   at which the caller continues (the return address), for position-
   independent runtime code. They differ only in the register receiving it:
   eax, edx and ecx respectively (our choice: the two argument registers
   first, then the count register). Nothing else changes but the carry,
   which is cleared. */
        .globl where_am_i, where_am_i_2, where_am_i_5
        .hidden where_am_i, where_am_i_2, where_am_i_5
        .type where_am_i, @function
where_am_i:
        mov eax, [esp]
        clc
        ret
        .size where_am_i, . - where_am_i

        .type where_am_i_2, @function
where_am_i_2:
        mov edx, [esp]
        clc
        ret
        .size where_am_i_2, . - where_am_i_2

        .type where_am_i_5, @function
where_am_i_5:
        mov ecx, [esp]
        clc
        ret
        .size where_am_i_5, . - where_am_i_5

/* save_fcw: In: edi = nil. Resets the x87 unit the way every native call
   does (st(0) to st(5) freed, pending exceptions cleared) and stores the
   control word in force into the saved-control-word global (nil-0x9).
   Clobbers nothing else. */
        .globl save_fcw
        .hidden save_fcw
        .type save_fcw, @function
save_fcw:
        ffree st(0)
        ffree st(1)
        ffree st(2)
        ffree st(3)
        ffree st(4)
        ffree st(5)
        fwait
        fnclex
        fnstcw word ptr [edi + NIL_FLOAT_CONTROL_WORD]
        ret
        .size save_fcw, . - save_fcw

/* trampsig, get_funobj, get_retaddr: bare returns; at their call sites the
   value asked for is already in the result register. (get_frameptr, the
   fourth of them, lives with the signal emulation, which resumes in it.) */
        .globl trampsig, get_funobj, get_retaddr
        .hidden trampsig, get_funobj, get_retaddr
        .type trampsig, @function
        .type get_funobj, @function
        .type get_retaddr, @function
trampsig:
get_funobj:
get_retaddr:
        ret
        .size trampsig, . - trampsig

        .section .note.GNU-stack, "", @progbits
