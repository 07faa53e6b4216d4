/* Semi-direct calls into native code: the heap may be released for the
   call and the error number captured on its return. Also the entry points
   that resolve an entry on its first call and the missing-function stub. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_RELEASE_FORBIDDEN_SYMBOL (-0xa9) /* value not nil: no heap release */
#define NIL_MISSING_FUNCTION_SYMBOL (-0xf1)  /* called with an entry not found */
#define NIL_RELEASE_ERROR_SYMBOL (-0x195)    /* called with an entry whose release was refused */
#define FRAME_PARKED_RETURN (-0xc)           /* calling frame: the redirected return */

#define FLAG_RELEASE_OR_REPORT 0x4
#define FLAGS_RELEASE 0xc
#define CALL_KIND_SHIFT 4
#define CALL_KIND_MASK 7
#define LAST_CALL_KIND 4
#define CAPTURE_SHIFT 12
#define CAPTURE_MASK 3
#define CAPTURE_ERRNO 1

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_semidirect_calls, "ax", @progbits

/* The end of a routine that saved edi, esi, eax, edx, ecx (in that order)
   and then a slot that now holds the address to go on at, under a frame
   built with push ebp: every saved register comes back and control jumps to
   that address with the stack as it was before the saves. */
.macro RESTORE_AND_JUMP
        leave
        mov ecx, [esp + 4]
        mov edx, [esp + 8]
        mov eax, [esp + 12]
        mov esi, [esp + 16]
        mov edi, [esp + 20]
        ret 20
.endm

/* call_semidirect (also call_semidirect_old): no Lisp frame. In: ebx =
   entry-vec, ecx = native argument words, the native arguments and the
   return address on the stack, ebp = the calling frame (thread at
   ebp-0x1c). Asks the heap to be released when the flags want it and the
   symbol at nil-0xa9 allows it (bit 0x4 reports a refused release through
   heap_release_error), redirects the return into a tail when the heap must
   be retaken or an error number captured (the real return address parked
   in the calling frame's word -0xc), then restores every register and
   reaches the target by the call kind, with ebx = the entry. A target that
   is the missing stub, or a call kind above 4, goes to
   lisp_missing_stub_x with the entry in the head clink's callee word.
   Frame: ebp+4 the return-address copy, then the jump address; ebp-4 the
   entry; ebp-8 1 when releasing. The frame is native code to the
   collector: across heap_release_error, which runs Lisp, the entry lives in
   that routine's frame and comes back through its argument word. */
        .globl call_semidirect, call_semidirect_old
        .hidden call_semidirect, call_semidirect_old
        .type call_semidirect, @function
        .type call_semidirect_old, @function
call_semidirect_old:
call_semidirect:
        push edi
        push esi
        push eax
        push edx
        push ecx
        push dword ptr [esp + 20]               /* copy of the return address */
        push ebp
        mov ebp, esp
        push ebx                                /* ebp-4: the entry */
        push 0                                  /* ebp-8: release */
        LOAD_GOT_ECX
        mov ecx, DWORD PTR nilval@GOT[ecx]
        mov edi, [ecx]
        mov eax, [ebp]
        mov ebx, [eax - 0x1c]                   /* the thread */
        mov edx, [ebp - 4]
        test dword ptr [edx + ENTRY_VEC_FLAGS], FLAGS_RELEASE
        jz .Lsemidirect_target
        mov eax, [edi + NIL_RELEASE_FORBIDDEN_SYMBOL]
        call qsymeval
        cmp eax, edi
        jne 1f
        mov dword ptr [ebp - 8], 1
        jmp .Lsemidirect_target
1:      mov edx, [ebp - 4]
        test dword ptr [edx + ENTRY_VEC_FLAGS], FLAG_RELEASE_OR_REPORT
        jz .Lsemidirect_target
        push edx
        call heap_release_error
        pop dword ptr [ebp - 4]                 /* the entry where the handler left it */
.Lsemidirect_target:
        LOAD_GOT_ECX
        mov ebx, [ebp - 4]
        lea eax, [ecx + lisp_missing_stub@GOTOFF]
        cmp [ebx + ENTRY_VEC_TARGET], eax
        je .Lsemidirect_missing
        mov edx, [ebx + ENTRY_VEC_FLAGS]
        shr edx, CALL_KIND_SHIFT
        and edx, CALL_KIND_MASK
        cmp edx, LAST_CALL_KIND
        ja .Lsemidirect_missing
        mov eax, [ebx + ENTRY_VEC_TARGET]       /* kind 0: the function itself */
        cmp edx, 1
        jb 2f
        lea eax, [ecx + method_tramp1@GOTOFF]
        je 2f
        lea eax, [ecx + method_tramp2@GOTOFF]
        cmp edx, 3
        jb 2f
        lea eax, [ecx + method_tramp3@GOTOFF]
        je 2f
        lea eax, [ecx + method_tramp4@GOTOFF]
2:      mov [ebp + 4], eax                      /* where step 8 goes */

        /* The tail, by capture and release. */
        mov edx, [ebx + ENTRY_VEC_FLAGS]
        shr edx, CAPTURE_SHIFT
        and edx, CAPTURE_MASK
        mov esi, [ebp - 8]
        test edx, edx
        jnz 3f
        test esi, esi
        jz .Lsemidirect_release                 /* no tail */
        lea eax, [ecx + semidirect_tail@GOTOFF]
        jmp 5f
3:      cmp edx, CAPTURE_ERRNO
        jne 4f
        lea eax, [ecx + semidirect_tail_errno@GOTOFF]
        lea edx, [ecx + semidirect_tail_errno_nr@GOTOFF]
        test esi, esi
        cmovz eax, edx
        jmp 5f
4:      lea eax, [ecx + semidirect_tail_lasterr@GOTOFF]
        lea edx, [ecx + semidirect_tail_lasterr_nr@GOTOFF]
        test esi, esi
        cmovz eax, edx
5:      mov edx, [ebp]
        mov ecx, [ebp + 0x1c]
        mov [edx + FRAME_PARKED_RETURN], ecx
        mov [ebp + 0x1c], eax
.Lsemidirect_release:
        test esi, esi
        jz .Lsemidirect_go
        push 1
        call vxm_wrap_release_heap
        add esp, 4
.Lsemidirect_go:
        mov ebx, [ebp - 4]
        RESTORE_AND_JUMP

.Lsemidirect_missing:
        mov edx, [ebp]
        mov edx, [edx - 0x1c]
        mov edx, [edx + THREAD_CLINK_HEAD]
        mov [edx + CLINK_CALLEE], ebx
        lea eax, [ecx + lisp_missing_stub_x@GOTOFF]
        mov [ebp + 4], eax
        RESTORE_AND_JUMP
        .size call_semidirect, . - call_semidirect
        .size call_semidirect_old, . - call_semidirect_old

/* The tails: entered by the return of a native function that call_semidirect
   redirected, ebp = the calling frame, its word -0xc the real return
   address. Build a frame under that address, keep the flags, the eight
   registers and the whole x87 state (fnsave, 108 bytes at ebp-0x84), read
   the error number first (capture 1: errno_value, 2: last_error_value),
   then retake the heap (reacquire 1), store the number in lisp_errno, put
   everything back as the native function left it and return to the real
   address. The number waits at ebp-4, above the x87 image. */
.macro SEMIDIRECT_TAIL capture, reacquire
        push dword ptr [ebp + FRAME_PARKED_RETURN]
        push ebp
        mov ebp, esp
        lea esp, [esp - 0x84]                   /* lea: the flags are still the callee's */
        pushfd
        pushad
        fwait
        fnsave [ebp - 0x84]
        cld
        .if \capture == 1
        call errno_value
        mov [ebp - 4], eax
        .elseif \capture == 2
        call last_error_value
        mov [ebp - 4], eax
        .endif
        .if \reacquire
        call vxm_wrap_reacquire_heap
        .endif
        .if \capture
        LOAD_GOT_ECX
        mov ecx, DWORD PTR lisp_errno@GOT[ecx]
        mov eax, [ebp - 4]
        mov [ecx], eax
        .endif
        frstor [ebp - 0x84]
        popad
        popfd
        leave
        ret
.endm

        .globl semidirect_tail, semidirect_tail_old
        .hidden semidirect_tail, semidirect_tail_old
        .type semidirect_tail, @function
        .type semidirect_tail_old, @function
semidirect_tail_old:
semidirect_tail:
        SEMIDIRECT_TAIL 0, 1
        .size semidirect_tail, . - semidirect_tail
        .size semidirect_tail_old, . - semidirect_tail_old

        .globl semidirect_tail_errno, semidirect_tail_errno_old
        .hidden semidirect_tail_errno, semidirect_tail_errno_old
        .type semidirect_tail_errno, @function
        .type semidirect_tail_errno_old, @function
semidirect_tail_errno_old:
semidirect_tail_errno:
        SEMIDIRECT_TAIL 1, 1
        .size semidirect_tail_errno, . - semidirect_tail_errno
        .size semidirect_tail_errno_old, . - semidirect_tail_errno_old

        .globl semidirect_tail_errno_nr, semidirect_tail_errno_nr_old
        .hidden semidirect_tail_errno_nr, semidirect_tail_errno_nr_old
        .type semidirect_tail_errno_nr, @function
        .type semidirect_tail_errno_nr_old, @function
semidirect_tail_errno_nr_old:
semidirect_tail_errno_nr:
        SEMIDIRECT_TAIL 1, 0
        .size semidirect_tail_errno_nr, . - semidirect_tail_errno_nr
        .size semidirect_tail_errno_nr_old, . - semidirect_tail_errno_nr_old

        .globl semidirect_tail_lasterr
        .hidden semidirect_tail_lasterr
        .type semidirect_tail_lasterr, @function
semidirect_tail_lasterr:
        SEMIDIRECT_TAIL 2, 1
        .size semidirect_tail_lasterr, . - semidirect_tail_lasterr

        .globl semidirect_tail_lasterr_nr
        .hidden semidirect_tail_lasterr_nr
        .type semidirect_tail_lasterr_nr, @function
semidirect_tail_lasterr_nr:
        SEMIDIRECT_TAIL 2, 0
        .size semidirect_tail_lasterr_nr, . - semidirect_tail_lasterr_nr

/* heap_release_error(entry): native entry, cdecl. Calls the function of
   the symbol at nil-0x195 with the entry-vec whose heap release was
   refused; returns its value. The entry waits at ebp-0x14, where a
   collection inside the function updates it, and is stored back into the
   argument word, from which the caller reads it again. */
        .globl heap_release_error
        .hidden heap_release_error
        .type heap_release_error, @function
heap_release_error:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        push edi                                /* home slots: Lisp values */
        push edi
        mov eax, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT]
        mov [ebp - 0x14], eax
        mov edx, edi                            /* the stub homes edx too */
        mov ebx, [edi + NIL_RELEASE_ERROR_SYMBOL]
        mov ecx, 1
        call edi
        mov ecx, [ebp - 0x14]
        mov [ebp + NATIVE_ENTRY_FIRST_ARGUMENT], ecx
        NATIVE_ENTRY_RETURN
        .size heap_release_error, . - heap_release_error

/* lisp_missing_stub: no frame. The call address (or target) of an entry
   whose name no library has. In: ebx = entry-vec, ebp = the calling frame
   (thread at ebp-0x1c), the native return address on the stack. Records
   the entry in the head clink's callee word and goes on in
   lisp_missing_stub_x. eax clobbered. */
        .globl lisp_missing_stub
        .hidden lisp_missing_stub
        .type lisp_missing_stub, @function
lisp_missing_stub:
        mov eax, [ebp - 0x1c]
        mov eax, [eax + THREAD_CLINK_HEAD]
        mov [eax + CLINK_CALLEE], ebx
        jmp lisp_missing_stub_x
        .size lisp_missing_stub, . - lisp_missing_stub

/* lisp_missing_stub_x: native entry, cdecl, in place of the missing
   function. Calls the function of the symbol at nil-0xf1 with the entry-vec
   from the head clink's callee word and returns its value in eax to the
   native caller. */
        .globl lisp_missing_stub_x
        .hidden lisp_missing_stub_x
        .type lisp_missing_stub_x, @function
lisp_missing_stub_x:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        push edi                                /* home slots: Lisp values */
        push edi
        mov eax, [ebx + THREAD_CLINK_HEAD]
        mov eax, [eax + CLINK_CALLEE]
        mov edx, edi                            /* the stub homes edx too */
        mov ebx, [edi + NIL_MISSING_FUNCTION_SYMBOL]
        mov ecx, 1
        call edi
        NATIVE_ENTRY_RETURN
        .size lisp_missing_stub_x, . - lisp_missing_stub_x

/* update_entry_vec(entry): native entry, cdecl. Runs rs_update_entry_vec
   on the entry-vec and returns it. */
        .globl update_entry_vec
        .hidden update_entry_vec
        .type update_entry_vec, @function
update_entry_vec:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        push edi                                /* home slots: Lisp values */
        push edi
        mov eax, [ebp + 0x18]
        mov ecx, 1
        call rs_update_entry_vec
        NATIVE_ENTRY_RETURN
        .size update_entry_vec, . - update_entry_vec

/* bind_and_call: no Lisp frame; the call address of an entry not yet
   resolved. In: ebx = entry-vec, every register as the native function
   expects it, the native arguments and the return address on the stack.
   With a library handle in word 2 the name is looked up in that module
   alone (sy_quicksym) and a found address becomes word 1; otherwise
   update_entry_vec resolves the entry from scratch. Then every register
   comes back (ebx = the entry) and control goes on at word 1. */
        .globl bind_and_call
        .hidden bind_and_call
        .type bind_and_call, @function
bind_and_call:
        push edi
        push esi
        push eax
        push edx
        push ecx
        push 0                                  /* the jump address */
        push ebp
        mov ebp, esp
        push ebx                                /* ebp-4: the entry */
        mov eax, [ebx + ENTRY_VEC_HANDLE]
        test eax, eax
        jz 1f
        push dword ptr [ebx + ENTRY_VEC_NAME]
        push eax
        call sy_quicksym
        add esp, 8
        mov ebx, [ebp - 4]
        test eax, eax
        jz 1f
        mov [ebx + ENTRY_VEC_CALL_ADDRESS], eax
        jmp 2f
1:      push dword ptr [ebp - 4]
        call update_entry_vec
        add esp, 4
        mov ebx, [ebp - 4]
2:      mov eax, [ebx + ENTRY_VEC_CALL_ADDRESS]
        mov [ebp + 4], eax
        RESTORE_AND_JUMP
        .size bind_and_call, . - bind_and_call

        .section .note.GNU-stack, "", @progbits
