/* Non-local exits: throws to a catch tag, their continuation after a
   cleanup frame, returns from a given frame, and throws that cross native
   frames.

   Compiled code links catch frames (catch_frame_layout.h) at thread +0xba,
   newest first. A throw never unlinks the frame it arrives at: it makes that
   frame the chain head, which drops every newer one, and the code at the
   frame's continuation unlinks it. A frame whose tag is the unwind marker
   (nil-0x4e9) is a cleanup frame: a throw passing it stops there first,
   with the thrown tag and values stored in the frame, and the cleanup code
   continues with closed_throw.

   Values arrive in the open form (multiple_values.S): one value in eax with
   ecx = 1 and the carry clear; several from a closed values vector, which
   goes back at the head of the thread's values list.

   Frame of the throwing routines, below the runtime frame: the value or
   vector at ebp-0x14, raw words at ebp-0x20 (1: one value to deliver, 0: a
   vector), then the chosen frame (ebp-0x24), a cleanup frame met (ebp-0x28,
   or a frame-return list), the tag (ebp-0x2c) and two nil home slots.
   Frame addresses are 4-aligned, so the collector's walk reads them as
   fixnums. */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/catch_frame_layout.h"

#define NIL_UNWIND_MARKER (-0x4e9)
#define NIL_FRAME_RETURN_TAG (-0x11d)
#define NIL_UNWIND_COUNTER (-0x35)

#define THREAD_VALUES_LIST 0x82
#define THREAD_BINDING_TOP 0xe6
#define EMPTY_CLINK_CHAIN (-1)

#define TAG_MASK 7
#define TAG_CONS 1
#define TAG_OTHER 2
#define CONS_CAR (-0x11)
#define CONS_CDR (-0xd)
#define HEADER (-0x12)
#define HEADER_BYTE1 (-0x11)            /* a bignum's sign: not 0 when negative */
#define BIGNUM_DIGIT_COUNT (-0x10)      /* 16 bits */
#define BIGNUM_DIGITS (-0xe)
#define TYPE_BIGNUM 18
#define ELEMENT(k) (-0xe + 4 * (k))

#define ERROR_NO_CATCHER 15

#define DELIVERY (-0x20)                /* 1: one value; 0: a values vector */
#define CHOSEN_FRAME (-0x24)
#define CLEANUP_MET (-0x28)             /* frame returns: the list L */
#define THROWN_TAG (-0x2c)

/* Frame-return list L, by position. */
#define RETURN_TARGET 0                 /* T: the saved-ebp word of the frame */
#define RETURN_BINDING_TOP 1            /* or nil */
#define RETURN_MODE 3                   /* fixnum 0: return; else apply */
#define RETURN_COUNT 4                  /* return mode: fixnum n */
#define RETURN_VALUE 5                  /* return mode: the value */
#define APPLY_FUNCTION 4
#define APPLY_ARGUMENTS 5               /* apply mode: the rest of L */

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_catch_frames, "ax", @progbits

/* THROW_FRAME: the runtime frame of the throwing routines; tag := the
   caller's frame word -0x18, delivery one value. */
.macro THROW_FRAME
        RUNTIME_FRAME
        push 1                                  /* DELIVERY */
        push 0                                  /* CHOSEN_FRAME */
        push 0                                  /* CLEANUP_MET */
        push edi                                /* THROWN_TAG */
        push edi                                /* home slots of calls */
        push edi
        mov [ebp - 0x14], eax
        mov esi, [ebp]
        mov esi, [esi - 0x18]
        mov [ebp + THROWN_TAG], esi
.endm

/* PACK_VALUES: the open form (eax, edx, ecx) closed into a values vector
   at ebp-0x14 (close_values: the head vector off the list, or a new one
   of 21 elements), delivery by vector. */
.macro PACK_VALUES
        call close_values
        mov [ebp - 0x14], eax
        mov dword ptr [ebp + DELIVERY], 0
.endm

/* throw: runtime routine, does not return. In: eax, edx, ecx = the values
   in the open form (ecx = 1 for one value); the caller's frame word -0x18
   = the tag. Several values are packed first. The catch chain is searched
   for the tag (word identity); the newest cleanup frame before it is
   chosen when there is one, else the frame with the tag. No frame with
   the tag: runtime error 15 with the tag, nothing unwound yet; if that
   error returns, the throw goes on to the newest cleanup frame met, and
   with none the process ends (throw_without_catcher). */
        .globl throw
        .hidden throw
        .type throw, @function
throw:
        THROW_FRAME
        cmp ecx, 1
        je .Lthrow_search
        PACK_VALUES
        jmp .Lthrow_search
        .size throw, . - throw

/* closed_throw: runtime routine, does not return. In: eax = a closed
   values vector; the caller's frame word -0x18 = the tag (ecx is not
   read). With the frame-return tag (nil-0x11d) a frame return; else as
   throw, and the values arrive from the vector even when it holds one. */
        .globl closed_throw
        .hidden closed_throw
        .type closed_throw, @function
closed_throw:
        THROW_FRAME
        mov dword ptr [ebp + DELIVERY], 0
        mov esi, [ebp + THROWN_TAG]
        cmp esi, [edi + NIL_FRAME_RETURN_TAG]
        je .Lframe_return
        jmp .Lthrow_search
        .size closed_throw, . - closed_throw

/* special_throw: runtime routine, does not return. In: eax, edx, ecx = the
   values in the open form, value 1 a frame-return list L; the caller's
   frame word -0x18 = the tag to leave in cleanup frames. Packs the values
   (one value too) and returns from the frame L names. */
        .globl special_throw
        .hidden special_throw
        .type special_throw, @function
special_throw:
        THROW_FRAME
        PACK_VALUES
        jmp .Lframe_return
        .size special_throw, . - special_throw

/* The search of throw and closed_throw: esi walks the chain, ecx the
   first cleanup frame met (0 while none). */
.Lthrow_search:
        mov ebx, [ebp - 0x1c]
        mov eax, [ebp + THROWN_TAG]
        mov edx, [edi + NIL_UNWIND_MARKER]
        mov esi, [ebx + THREAD_CATCH_CHAIN]
        xor ecx, ecx
1:      test esi, esi
        jz .Lno_catcher
        cmp [esi + CATCH_TAG], eax
        je 3f
        test ecx, ecx
        jnz 2f
        cmp [esi + CATCH_TAG], edx
        jne 2f
        mov ecx, esi
2:      mov esi, [esi + CATCH_NEXT]
        jmp 1b
3:      test ecx, ecx
        jz 4f
        mov esi, ecx
4:      mov [ebp + CHOSEN_FRAME], esi
        jmp .Lunwind_to_frame
.Lno_catcher:
        mov [ebp + CLEANUP_MET], ecx
        mov edx, eax
        mov eax, FIXNUM(ERROR_NO_CATCHER)
        call rs_error_with_datum
        mov ebx, [ebp - 0x1c]
        mov esi, [ebp + CLEANUP_MET]
        test esi, esi
        jz .Lnowhere_to_go
        mov [ebp + CHOSEN_FRAME], esi
        jmp .Lunwind_to_frame
.Lnowhere_to_go:
        CALL_NATIVE throw_without_catcher

/* Unwinding to the frame at CHOSEN_FRAME: the counter at nil-0x35 shifted,
   the bindings made since the frame undone, the frame the chain head, the
   foreign-call chain as the frame saved it, tag and value into the frame;
   then the frame's ebp, esp and function register, the values, and its
   continuation. The count, value 1 and value 2 are read from a vector
   before it is linked back onto the values list (linking overwrites its
   element 1). */
.Lunwind_to_frame:
        mov ebx, [ebp - 0x1c]
        sar dword ptr [edi + NIL_UNWIND_COUNTER], 8
        mov esi, [ebp + CHOSEN_FRAME]
        mov eax, [esi + CATCH_BINDING_TOP]
        cmp eax, [ebx + THREAD_BINDING_TOP]
        je 1f
        mov [ebp - 0x18], eax
        mov ecx, 1
        call unbind_to
        mov ebx, [ebp - 0x1c]
        mov esi, [ebp + CHOSEN_FRAME]
1:      mov [ebx + THREAD_CATCH_CHAIN], esi
        mov eax, [esi + CATCH_CLINK_HEAD]
        mov [ebx + THREAD_CLINK_HEAD], eax
        mov eax, [ebp + THROWN_TAG]
        mov [esi + CATCH_TAG], eax
        mov eax, [ebp - 0x14]
        mov [esi + CATCH_VALUE], eax
        mov ecx, 1
        cmp dword ptr [ebp + DELIVERY], 1
        je 2f
        call deliver_vector
2:      mov ebp, [esi + CATCH_FRAME_POINTER]
        mov esp, [esi + CATCH_STACK_POINTER]
        push dword ptr [esi + CATCH_CONTINUATION]
        mov esi, [ebp - 4]
        cmp ecx, 1
        clc
        je 3f
        stc
3:      ret                                     /* into the continuation */

/* deliver_vector: local subroutine. In: eax = a closed values vector, ebx
   = thread. Out: eax = value 1, edx = value 2, ecx = the count; the vector
   is the head of the values list again (its element 1 the link). */
        .type deliver_vector, @function
deliver_vector:
        mov ecx, [eax + ELEMENT(0)]
        sar ecx, 2
        mov edx, [eax + ELEMENT(2)]
        push dword ptr [eax + ELEMENT(1)]
        push dword ptr [ebx + THREAD_VALUES_LIST]
        pop dword ptr [eax + ELEMENT(1)]
        mov [ebx + THREAD_VALUES_LIST], eax
        push ecx
        push edx
        mov ecx, 1
        mov edx, 1
        call values_protect
        pop edx
        pop ecx
        pop eax
        ret
        .size deliver_vector, . - deliver_vector

/* list_tail: local subroutine. In: eax = a list, ecx = k. Out: eax = the
   list after k conses (nil once a non-cons is met). Clobbers ecx, edx. */
        .type list_tail, @function
list_tail:
1:      dec ecx
        js 3f
        mov edx, eax
        and edx, TAG_MASK
        cmp edx, TAG_CONS
        jne 2f
        mov eax, [eax + CONS_CDR]
        jmp 1b
2:      mov eax, edi
3:      ret
        .size list_tail, . - list_tail

/* list_element: local subroutine. In: eax = a list, ecx = k. Out: eax =
   its element k, nil past its end. Clobbers ecx, edx. */
        .type list_element, @function
list_element:
        call list_tail
        mov edx, eax
        and edx, TAG_MASK
        cmp edx, TAG_CONS
        jne 1f
        mov eax, [eax + CONS_CAR]
        ret
1:      mov eax, edi
        ret
        .size list_element, . - list_element

/* The frame return, with the packed vector at ebp-0x14: L := its element
   1, T := element 0 of L, S := the word at T.
   1. Catch frames at addresses not above T are dropped, but a cleanup
      frame among them is unwound to as a throw would, carrying the tag
      and the vector; its code comes back here through closed_throw.
   2. Foreign-call records not above S are popped.
   3. The vector goes back at the head of the values list; the binding
      stack is unwound to element 1 of L unless that is nil.
   4. Apply mode: lisp_apply of the function to the argument list with
      ebp = S, esp = T + 4, so its values return to the caller of T's
      frame. Return mode: eax = the value, ecx = n, or -n when n > 1, the
      carry set unless ecx = 1, returning through T + 4. */
.Lframe_return:
        mov ebx, [ebp - 0x1c]
        mov eax, [ebp - 0x14]
        mov eax, [eax + ELEMENT(1)]
        mov [ebp + CLEANUP_MET], eax            /* L */
        xor ecx, ecx
        call list_element
        mov edx, eax                            /* T */
        mov esi, [ebx + THREAD_CATCH_CHAIN]
1:      test esi, esi
        jz 2f
        cmp esi, edx
        ja 2f
        mov eax, [esi + CATCH_TAG]
        cmp eax, [edi + NIL_UNWIND_MARKER]
        je .Lreturn_through_cleanup
        mov esi, [esi + CATCH_NEXT]
        jmp 1b
2:      mov [ebx + THREAD_CATCH_CHAIN], esi
        mov esi, [edx]                          /* S */
3:      mov ecx, [ebx + THREAD_CLINK_HEAD]
        cmp ecx, EMPTY_CLINK_CHAIN
        je 4f
        test ecx, ecx
        jz 4f
        cmp ecx, esi
        ja 4f
        mov ecx, [ecx + CLINK_PREVIOUS]
        mov [ebx + THREAD_CLINK_HEAD], ecx
        jmp 3b
4:      mov eax, [ebp - 0x14]
        call deliver_vector
        mov eax, [ebp + CLEANUP_MET]
        mov ecx, RETURN_BINDING_TOP
        call list_element
        cmp eax, edi
        je 5f
        mov [ebp - 0x18], eax
        mov ecx, 1
        call unbind_to
        mov ebx, [ebp - 0x1c]
5:      mov eax, [ebp + CLEANUP_MET]
        mov ecx, RETURN_MODE
        call list_element
        cmp eax, FIXNUM(0)
        jne .Lreturn_by_apply
        mov eax, [ebp + CLEANUP_MET]
        mov ecx, RETURN_COUNT
        call list_element
        sar eax, 2
        cmp eax, 1
        jle 6f
        neg eax
6:      push eax                                /* the count, raw: ebp-0x38 */
        mov eax, [ebp + CLEANUP_MET]
        mov ecx, RETURN_VALUE
        call list_element
        push eax
        mov eax, [ebp + CLEANUP_MET]
        xor ecx, ecx
        call list_element
        mov edx, eax                            /* T */
        pop eax
        pop ecx
        mov ebp, [edx]
        lea esp, [edx + 4]
        mov esi, [ebp - 4]
        cmp ecx, 1
        clc
        je 7f
        stc
7:      ret                                     /* through T + 4 */
.Lreturn_by_apply:
        mov eax, [ebp + CLEANUP_MET]
        mov ecx, APPLY_ARGUMENTS
        call list_tail
        push eax
        mov eax, [ebp + CLEANUP_MET]
        mov ecx, APPLY_FUNCTION
        call list_element
        push eax
        mov eax, [ebp + CLEANUP_MET]
        xor ecx, ecx
        call list_element
        mov esi, eax                            /* T */
        pop eax                                 /* the function */
        pop edx                                 /* its arguments */
        mov ebp, [esi]
        lea esp, [esi + 4]
        mov [esp + 8], edx                      /* the third stack word */
        mov ecx, 2
        mov ebx, [ebp - 0x1c]
        mov esi, [ebp - 4]
        jmp lisp_apply
.Lreturn_through_cleanup:
        mov [ebp + CHOSEN_FRAME], esi
        jmp .Lunwind_to_frame

/* throw_over_c_by_returning: runtime routine, does not return here. In: eax
   = a Lisp integer for the native caller, edx = a closed values vector,
   stack argument 3 = the tag. In the head foreign-call record: the native
   entry's frame pointer (word 1) is taken and cleared, the throw
   continuation (word 3) := rethrow_after_cret, word 4 := the tag, word 5
   := the vector. Catch frames inside the callback (below the native entry
   frame) are dropped: the native code's stack reuses their memory. The
   native caller then sees the callback return the integer (a fixnum's
   value, a bignum's low 32 bits negated when it is negative, any other
   word as it is), through throw_over_c_return1. With no native entry
   under the head record the tag is thrown in Lisp at once (closed_throw
   from the caller's frame). */
        .globl throw_over_c_by_returning
        .hidden throw_over_c_by_returning
        .type throw_over_c_by_returning, @function
throw_over_c_by_returning:
        mov ecx, [ebx + THREAD_CLINK_HEAD]
        cmp ecx, EMPTY_CLINK_CHAIN
        je .Lno_native_entry
        test ecx, ecx
        jz .Lno_native_entry
        mov esi, [ecx + CLINK_NATIVE_FRAME]
        test esi, esi
        jz .Lno_native_entry
        mov dword ptr [ecx + CLINK_NATIVE_FRAME], 0
        mov [ecx + CLINK_THROW_VALUES], edx
        mov edx, [esp + 12]
        mov [ecx + CLINK_CALLEE], edx
        push ecx
        LOAD_GOT_ECX
        lea edx, [ecx + rethrow_after_cret@GOTOFF]
        pop ecx
        mov [ecx + CLINK_CONTINUATION], edx
        mov ecx, [ebx + THREAD_CATCH_CHAIN]
1:      test ecx, ecx
        jz 2f
        cmp ecx, esi
        jae 2f
        mov ecx, [ecx + CATCH_NEXT]
        jmp 1b
2:      mov [ebx + THREAD_CATCH_CHAIN], ecx
        test al, 3
        jnz 3f
        sar eax, 2
        jmp 7f
3:      mov ecx, eax
        and ecx, TAG_MASK
        cmp ecx, TAG_OTHER
        jne 7f
        cmp byte ptr [eax + HEADER], TYPE_BIGNUM
        jne 7f
        movzx ecx, word ptr [eax + BIGNUM_DIGIT_COUNT]
        movzx edx, byte ptr [eax + HEADER_BYTE1]
        cmp ecx, 1
        jb 4f
        je 5f
        mov eax, [eax + BIGNUM_DIGITS]
        jmp 6f
4:      xor eax, eax
        jmp 6f
5:      movzx eax, word ptr [eax + BIGNUM_DIGITS]
6:      test edx, edx
        jz 7f
        neg eax
7:      mov ebx, esi
        jmp throw_over_c_return1
.Lno_native_entry:
        mov ecx, [esp + 12]
        mov [ebp - 0x18], ecx
        mov eax, edx
        jmp closed_throw
        .size throw_over_c_by_returning, . - throw_over_c_by_returning

/* rethrow_after_cret: the throw continuation of a foreign-call record,
   jumped to by the native-call return path with ebp = the frame that made
   the call, ebx = thread and the record the chain head. Pops the record,
   puts its tag (word 4) in frame word -0x18 and calls closed_throw with
   its vector (word 5), ecx = -1. */
        .globl rethrow_after_cret
        .hidden rethrow_after_cret
        .type rethrow_after_cret, @function
rethrow_after_cret:
        mov ecx, [ebx + THREAD_CLINK_HEAD]
        mov eax, [ecx + CLINK_THROW_VALUES]
        mov edx, [ecx + CLINK_CALLEE]
        mov esi, [ecx + CLINK_PREVIOUS]
        mov [ebx + THREAD_CLINK_HEAD], esi
        lea esp, [ecx + CLINK_BYTES]
        mov [ebp - 0x18], edx
        mov ecx, -1
        call closed_throw
        .size rethrow_after_cret, . - rethrow_after_cret

        .section .note.GNU-stack, "", @progbits
