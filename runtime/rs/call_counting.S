/* count_call: the start-word routine of functions whose calls are
   counted, and message sending to instances (flav_send).

   count_call looks at the global word nil-0x1a5: nil counts nothing; a
   symbol becomes its function cell (counting starts with the next call); a
   function or closure is a one-shot hook that receives this call instead
   (the global becomes nil); anything else is the call-count table, where
   call_count_record (call_tables.cpp) counts the function. Then the
   function is entered: its own code (its code vector's first byte; for a
   closure its template's, with the closure in frame word -0x14) is called
   from count_call's frame with the same arguments, the caller's frame
   words -0x14 and -0x18 copied, and its values are returned unchanged. A
   function without a code vector cannot be entered that way: runtime error
   24 with it.

   Frame words of both routines: ebp-0x20 a raw code address (never
   visited by the collector), then Lisp values or fixnum-shaped words. */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/argument_area.inc"

#define NIL_INTERPRETER (-0x69)
#define NIL_CALL_COUNT_TABLE (-0x1a5)
#define NIL_EMPTY_KEY_SYMBOL (-0x1ad)
#define SLOT_CALL_FUNCTION 0x23        /* stub entry nil+6: esi already loaded */
#define SLOT_CALL_SYMBOL_UNMASKED 0x11f /* stub entry nil+3: ebx = symbol */

#define TAG_MASK 7
#define TAG_CONS 1
#define TAG_OTHER 2
#define TAG_SYMBOL 7
#define HEADER (-0x12)
#define SYMBOL_FUNCTION (-0xb)
#define FUNCTION_CODE_VECTOR (-2)
#define FUNCTION_NAME (-6)
#define CLOSURE_TEMPLATE (-0xa)
#define CODE_VECTOR_CODE (-0xe)
#define TYPE_FUNCTION 8
#define TYPE_CLOSURE 9
#define TYPE_CODE_VECTOR 108
#define TYPE_INSTANCE 128
#define TYPE_INSTANCE_ALTERNATE 129

#define ERROR_NOT_A_FUNCTION 24
#define ERROR_NO_RECEIVER 50

#define CODE_ADDRESS (-0x20)
#define FUNCTION (-0x24)
#define COUNT (-0x28)                  /* 4 * the argument count */
#define HELD (-0x2c)                   /* count_call: the hook's list; flav_send: the datum */
#define FRAME_EXTRA 16

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_call_counting, "ax", @progbits

/* count_call: start-word routine. In: a Lisp call in progress, esi = the
   function. Out: the function's values (or the hook's). */
        .globl count_call
        .hidden count_call
        .type count_call, @function
count_call:
        mov [esp + 4], eax
        mov [esp + 8], edx
        RUNTIME_FRAME
        sub esp, FRAME_EXTRA
        mov dword ptr [ebp + CODE_ADDRESS], 0
        mov [ebp + FUNCTION], esi
        lea eax, [4 * ecx]
        mov [ebp + COUNT], eax
        mov [ebp + HELD], edi
        mov eax, [ebp]
        mov edx, [eax - 0x14]
        mov [ebp - 0x14], edx
        mov edx, [eax - 0x18]
        mov [ebp - 0x18], edx
        mov eax, [edi + NIL_CALL_COUNT_TABLE]
        cmp eax, edi
        je .Lenter
        mov edx, eax
        and edx, TAG_MASK
        cmp edx, TAG_SYMBOL
        je .Lcount_symbol
        cmp edx, TAG_OTHER
        jne .Lenter
        movzx edx, byte ptr [eax + HEADER]
        cmp edx, TYPE_FUNCTION
        je .Lcount_hook
        cmp edx, TYPE_CLOSURE
        je .Lcount_hook
        /* the table; its empty slots hold the thread's value of a symbol */
        mov eax, [edi + NIL_EMPTY_KEY_SYMBOL]
        mov edx, eax
        and edx, TAG_MASK
        cmp edx, TAG_SYMBOL
        jne 1f
        call qsymeval
1:      mov ecx, [edi + NIL_CALL_COUNT_TABLE]
        mov edx, [ebp + FUNCTION]
        CALL_NATIVE call_count_record, ecx, edx, eax
        jmp .Lenter
.Lcount_symbol:
        mov eax, [eax + SYMBOL_FUNCTION]
        mov [edi + NIL_CALL_COUNT_TABLE], eax
        jmp .Lenter

        /* the hook gets (name or function, list of the arguments) */
.Lcount_hook:
        lea eax, [ebp + 8]
        mov ecx, [ebp + COUNT]
        shr ecx, 2
        call restify2
        mov [ebp + HELD], eax
        mov esi, [ebp + FUNCTION]
        mov edx, [ebp]
        mov edx, [edx - 0x18]
        mov eax, edx
        and eax, TAG_MASK
        cmp eax, TAG_SYMBOL
        jne 2f
        cmp [edx + SYMBOL_FUNCTION], esi
        je 3f
2:      mov edx, esi
3:      mov eax, edx
        mov esi, [edi + NIL_CALL_COUNT_TABLE]
        mov [edi + NIL_CALL_COUNT_TABLE], edi
        mov edx, [ebp + HELD]
        mov ecx, 2
        mov ebx, edi
        call dword ptr [edi + SLOT_CALL_FUNCTION]
        leave
        mov esi, [ebp - 4]
        ret

        /* the function's own code, called with the arguments received */
.Lenter:
        mov esi, [ebp + FUNCTION]
        mov eax, esi
        and eax, TAG_MASK
        cmp eax, TAG_OTHER
        jne .Lnot_enterable
        cmp byte ptr [esi + HEADER], TYPE_CLOSURE
        jne 4f
        mov [ebp - 0x14], esi
        mov esi, [esi + CLOSURE_TEMPLATE]
        mov eax, esi
        and eax, TAG_MASK
        cmp eax, TAG_OTHER
        jne .Lnot_enterable
4:      cmp byte ptr [esi + HEADER], TYPE_FUNCTION
        jne .Lnot_enterable
        mov eax, [esi + FUNCTION_CODE_VECTOR]
        lea edx, [eax - TAG_OTHER]
        test dl, TAG_MASK
        jnz .Lnot_enterable
        cmp byte ptr [eax + HEADER], TYPE_CODE_VECTOR
        jne .Lnot_enterable
        add eax, CODE_VECTOR_CODE
        mov [ebp + CODE_ADDRESS], eax
        mov [ebp + FUNCTION], esi
        mov ecx, [ebp + COUNT]
        shr ecx, 2
        AT_LEAST_TWO ecx
        RESERVE_AREA .Lcount_too_large
        mov ecx, [ebp + COUNT]
        shr ecx, 2
        lea eax, [ebp + 8]
        mov edx, esp
        call copy_words
        mov ecx, [ebp + COUNT]
        shr ecx, 2
        mov [ebp - 0x10], ecx
        mov esi, [ebp + FUNCTION]
        CALL_SPREAD [ebp + CODE_ADDRESS]
.Lnot_enterable:
        mov edx, [ebp + FUNCTION]
        mov eax, FIXNUM(ERROR_NOT_A_FUNCTION)
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
        RUNTIME_RETURN
.Lcount_too_large:
        mov ebx, [ebp - 0x1c]
        call stack_overflow_report
        RUNTIME_RETURN
        .size count_call, . - count_call

/* flav_send: runtime routine. In: ecx = n, eax = the receiver X, edx =
   the message M, further arguments on the stack. The caller's frame word
   -0x14 is copied into this frame first.
   - n below 1: runtime error 50, whose value is returned.
   - X a cons: the interpreter (nil-0x69) with (X, fixnum n-1, this frame
     pointer, fixnum 1).
   - X an instance (type 128 or 129): the method flavor_method finds is
     called with (X, datum, the further arguments), count n.
   - Anything else: X itself with (M, the further arguments), count n-1.
   The object called must be a symbol (its function cell is called, the
   symbol in ebx) or a function or closure (its word -6 in ebx); anything
   else is runtime error 24 with it, whose value is returned.
   Out: the values of what was called. */
        .globl flav_send
        .hidden flav_send
        .type flav_send, @function
flav_send:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        sub esp, FRAME_EXTRA
        mov dword ptr [ebp + CODE_ADDRESS], 0
        mov [ebp + FUNCTION], edi
        lea edx, [4 * ecx]
        mov [ebp + COUNT], edx
        mov [ebp + HELD], edi
        COPY_CALLER_CLOSURE
        cmp ecx, 1
        jl .Lsend_no_receiver
        mov eax, [ebp + 8]
        mov edx, eax
        and edx, TAG_MASK
        cmp edx, TAG_CONS
        je .Lsend_list
        cmp edx, TAG_OTHER
        jne .Lsend_to_receiver
        movzx edx, byte ptr [eax + HEADER]
        cmp edx, TYPE_INSTANCE
        je .Lsend_instance
        cmp edx, TYPE_INSTANCE_ALTERNATE
        je .Lsend_instance
.Lsend_to_receiver:
        mov [ebp + FUNCTION], eax
        sub dword ptr [ebp + COUNT], 4
        lea eax, [ebp + 12]
        jmp .Lsend_call
.Lsend_instance:
        mov edx, [ebp + 12]
        CALL_NATIVE flavor_method, eax, edx
        mov [ebp + FUNCTION], eax
        mov [ebp + HELD], edx
        lea eax, [ebp + 8]

        /* eax = the first argument word; the callee and count in the frame */
.Lsend_call:
        mov [ebp + CODE_ADDRESS], eax           /* a stack address: fixnum-shaped */
        mov eax, [ebp + FUNCTION]
        mov edx, eax
        and edx, TAG_MASK
        cmp edx, TAG_SYMBOL
        je 1f
        cmp edx, TAG_OTHER
        jne .Lsend_not_a_function
        movzx edx, byte ptr [eax + HEADER]
        cmp edx, TYPE_FUNCTION
        je 1f
        cmp edx, TYPE_CLOSURE
        jne .Lsend_not_a_function
1:      mov ecx, [ebp + COUNT]
        shr ecx, 2
        AT_LEAST_TWO ecx
        RESERVE_AREA .Lsend_too_large
        mov ecx, [ebp + COUNT]
        shr ecx, 2
        mov eax, [ebp + CODE_ADDRESS]
        mov edx, esp
        call copy_words
        lea eax, [ebp + 8]
        cmp [ebp + CODE_ADDRESS], eax
        jne 2f
        mov eax, [ebp + HELD]
        mov [esp + 4], eax                      /* an instance's datum replaces the message */
2:      mov ecx, [ebp + COUNT]
        shr ecx, 2
        mov esi, [ebp + FUNCTION]
        mov eax, [esp]
        mov edx, [esp + 4]
        mov ebx, esi
        and ebx, TAG_MASK
        cmp ebx, TAG_SYMBOL
        jne 3f
        mov ebx, esi
        call dword ptr [edi + SLOT_CALL_SYMBOL_UNMASKED]
        leave
        mov esi, [ebp - 4]
        ret
3:      mov ebx, [esi + FUNCTION_NAME]
        call dword ptr [edi + SLOT_CALL_FUNCTION]
        leave
        mov esi, [ebp - 4]
        ret

.Lsend_list:
        sub esp, 16
        mov [esp + 8], ebp
        mov dword ptr [esp + 12], FIXNUM(1)
        mov edx, [ebp + COUNT]
        sub edx, 4
        mov ebx, [edi + NIL_INTERPRETER]
        mov ecx, 4
        call edi
        leave
        mov esi, [ebp - 4]
        ret
.Lsend_no_receiver:
        mov eax, FIXNUM(ERROR_NO_RECEIVER)
        mov ebx, [ebp - 0x1c]
        call rs_error
        RUNTIME_RETURN
.Lsend_not_a_function:
        mov edx, eax
        mov eax, FIXNUM(ERROR_NOT_A_FUNCTION)
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
        RUNTIME_RETURN
.Lsend_too_large:
        mov ebx, [ebp - 0x1c]
        call stack_overflow_report
        RUNTIME_RETURN
        .size flav_send, . - flav_send

        .section .note.GNU-stack, "", @progbits
