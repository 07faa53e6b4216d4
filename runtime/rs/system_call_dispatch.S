/* lisp_syscall, lisp_syscall_aux, lisp_syscall_aux2: the system-call
   dispatchers of compiled code. The tables, the argument conversions and
   the calls of the operations are the native half's
   (system_call_dispatch.cpp); the assembly boxes or signals what the native
   half answers, builds several values, and passes codes it does not serve
   on to the next dispatcher. */
#include "runtime/rs/runtime_frame.inc"

#define CALL_VALUE 0                    /* the SystemCallAction codes */
#define CALL_SIGNED 1
#define CALL_UNSIGNED 2
#define CALL_VALUES 3
#define CALL_ERROR 4
#define CALL_FORWARD 5
#define CALL_TESTS_CL_ERROR 0x100
#define MARKER_RAW_RESULTS 0xd06        /* 104 raw bytes under the fixed block */
#define KEPT (-0x20)                    /* raw word, never visited by a frame walk */
#define COUNT (-0x24)                   /* 4 * the argument count (fixnum-shaped) */
#define RESULTS (-0x88)                 /* the call's pending results, raw */
#define RESULT_BYTES 0x60               /* 12 of 8 bytes: word, action */
#define CL_ERROR_SEEN (-0x28)           /* raw: cl_error as the service left it */
#define FORWARDED_COUNT 5

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_system_call_dispatch, "ax", @progbits

/* DISPATCH_FRAME: the runtime frame, whose marker keeps the collector's
   walk off the 104 bytes under its fixed block; code and A1 into the home
   slots, the count raw at ebp-0x20 and fixnum-shaped at ebp-0x24, room for
   the call's pending results from ebp-0x88 up. Leaves esp at ebp-0x88. */
.macro DISPATCH_FRAME
        RUNTIME_FRAME MARKER_RAW_RESULTS
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push ecx                                /* ebp-0x20 */
        shl ecx, 2
        push ecx                                /* ebp-0x24 */
        lea esp, [ebp + RESULTS]
.endm

/* SERVE dispatcher, forward: asks the native half for the service of the
   code; one value goes to .Ltested\dispatcher (eax), several values to
   .Lseveral_values, a code not served to `forward`. */
.macro SERVE dispatcher, forward
        lea eax, [ebp + 8]
        mov ecx, [ebp + KEPT]
        lea edx, [ebp + RESULTS]
        CALL_NATIVE system_call_operation, \dispatcher, eax, ecx, edi, ebx, edx
        mov [ebp + KEPT], eax
        LOAD_GOT_ECX
        mov ecx, DWORD PTR cl_error@GOT[ecx]
        mov ecx, [ecx]
        mov [ebp + CL_ERROR_SEEN], ecx
        movzx ecx, byte ptr [ebp + KEPT]
        cmp ecx, CALL_VALUE
        jne 1f
        mov eax, edx
        jmp .Ltested\dispatcher
1:      cmp ecx, CALL_SIGNED
        jne 2f
        mov eax, edx
        call fixnum_or_bignum
        jmp .Ltested\dispatcher
2:      cmp ecx, CALL_UNSIGNED
        jne 3f
        mov eax, edx
        call unsigned_fixnum_or_bignum
        jmp .Ltested\dispatcher
3:      cmp ecx, CALL_VALUES
        je .Lseveral_values
      cmp ecx, CALL_FORWARD
        je \forward
        mov eax, edx                            /* CALL_ERROR */
        call rs_error
.endm

/* RESTORE_CL_ERROR: cl_error := the word the service left (edx too), after
   the boxing, which may have run Lisp code whose own calls set it.
   Clobbers ecx. */
.macro RESTORE_CL_ERROR
        LOAD_GOT_ECX
        mov ecx, DWORD PTR cl_error@GOT[ecx]
        mov edx, [ebp + CL_ERROR_SEEN]
        mov [ecx], edx
.endm

/* TESTED dispatcher: one value in eax; nil and cl_error when the row looks
   at cl_error and the service set it. */
.macro TESTED dispatcher
.Ltested\dispatcher:
        RESTORE_CL_ERROR
        test dword ptr [ebp + KEPT], CALL_TESTS_CL_ERROR
        jz 5f
        test edx, edx
        jnz .Lnil_and_edx
5:      RUNTIME_RETURN
.endm

/* FORWARD next: calls `next` with count 5 and the words code, A1 .. A4 of
   this call (those past its count as nil). Leaves its answer in eax, edx,
   ecx and the carry, and esp at ebp-0x88. */
.macro FORWARD next
        mov ecx, [ebp + COUNT]
        .irp k, 4, 3, 2
        mov eax, edi
        cmp ecx, 4 * \k
        jbe 6f
        mov eax, [ebp + 8 + 4 * \k]
6:      push eax
        .endr
        push edi                                /* the home slots */
        push edi
        mov eax, [ebp + 8]
        mov edx, [ebp + 12]
        mov ecx, FORWARDED_COUNT
        call \next
        lea esp, [ebp + RESULTS]                /* keeps the flags */
.endm

/* lisp_syscall: runtime routine (entry slot nil+0x17b). In: eax = fixnum
   service code, edx = A1, ecx = count, stacked A2 .. A4 (code 100: up to
   A8). Clears errno (clear_errno_value, in a foreign-call record) and
   cl_error, then serves the code or passes it to lisp_syscall_aux. Out: the
   service's result; for a code passed on, nil and cl_error (carry set,
   ecx = 2) when cl_error is set afterwards, else its result as one value.
   ebp-0x20 keeps the count, then the answer's action, raw. Each dispatcher
   reads cl_error into its frame when the service returns and puts it back
   after boxing, so the word tested here is the service's own. */
        .globl lisp_syscall
        .hidden lisp_syscall
        .type lisp_syscall, @function
lisp_syscall:
        DISPATCH_FRAME
        CALL_NATIVE clear_errno_value
        LOAD_GOT_ECX
        mov ecx, DWORD PTR cl_error@GOT[ecx]
        mov dword ptr [ecx], 0
        SERVE 0, .Lforward0
        TESTED 0
.Lforward0:
        FORWARD lisp_syscall_aux
        LOAD_GOT_ECX
        mov ecx, DWORD PTR cl_error@GOT[ecx]
        mov edx, [ecx]
        test edx, edx
        jnz .Lnil_and_edx
        RUNTIME_RETURN
        .size lisp_syscall, . - lisp_syscall

/* lisp_syscall_aux: runtime routine, as lisp_syscall (no reset of errno or
   cl_error). Serves the code or passes it to lisp_syscall_aux2 and returns
   what that returns. */
        .globl lisp_syscall_aux
        .hidden lisp_syscall_aux
        .type lisp_syscall_aux, @function
lisp_syscall_aux:
        DISPATCH_FRAME
        SERVE 1, .Lforward1
        TESTED 1
.Lforward1:
        FORWARD lisp_syscall_aux2
        leave
        mov esi, [ebp - 4]
        ret
        .size lisp_syscall_aux, . - lisp_syscall_aux

/* lisp_syscall_aux2: runtime routine, as lisp_syscall_aux. A code it does
   not serve signals runtime error 22 (one-argument error function) and
   returns its value. */
        .globl lisp_syscall_aux2
        .hidden lisp_syscall_aux2
        .type lisp_syscall_aux2, @function
lisp_syscall_aux2:
        DISPATCH_FRAME
        SERVE 2, .Lforward2
        TESTED 2
.Lforward2:                                     /* never answered by the native half */
        RUNTIME_RETURN
        .size lisp_syscall_aux2, . - lisp_syscall_aux2

/* Tail of the three dispatchers: two values nil and edx. */
.Lnil_and_edx:
        mov eax, edi
        mov ecx, 2
        leave
        mov esi, [ebp - 4]
        stc
        ret

/* Tail of the three dispatchers: edx = n (2 .. 12) pending results of the
   native half in this frame, boxed and returned in the open form through
   values. The boxed values wait on the stack (Lisp values, so the collector
   sees them), as does 4 * the index of the next one to box (fixnum-shaped);
   n waits at ebp-0x24 as 4 * n. cl_error is put back as the service left
   it, for the forward tail of the dispatcher that passed the code on. */
.Lseveral_values:
        lea ecx, [4 * edx]
        mov [ebp + COUNT], ecx
1:      sub ecx, 4
        jb 3f
        push ecx
        mov eax, [ebp + RESULTS + 2 * ecx]      /* word */
        mov edx, [ebp + RESULTS + 2 * ecx + 4]  /* action */
        cmp edx, CALL_SIGNED
        jne 2f
        call fixnum_or_bignum
        jmp 4f
2:      cmp edx, CALL_UNSIGNED
        jne 4f
        call unsigned_fixnum_or_bignum
4:      pop ecx
        push eax
        jmp 1b
3:      pop eax                                 /* values 1 and 2 */
        pop edx
        push edi                                /* the home slots */
        push edi
        mov ecx, [ebp + COUNT]
        shr ecx, 2
        call values
        pushfd
        push ecx
        push edx
        RESTORE_CL_ERROR
        pop edx
        pop ecx
        popfd
        leave                                   /* keeps the flags */
        mov esi, [ebp - 4]
        ret

        .section .note.GNU-stack, "", @progbits
