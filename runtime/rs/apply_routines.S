/* apply in its three forms: lisp_apply spreads a list after the fixed
   arguments, applyn spreads words of its caller's own incoming arguments,
   fwrap_apply calls a wrapped function's own code with spread arguments.

   Each copies the arguments of the call it makes into a fresh outgoing
   area of its runtime frame, 8-byte aligned, at least two words (the home
   slots), nothing allocated. A spread that would take the stack below the
   thread's limit (thread word +0x1a; 0 means none) is reported as a stack
   overflow: the condition function (nil-0xe5) with (fixnum 1000, t), the
   stack-overflow trap's report, and its value is returned without the
   call. Every error that returns hands back its value; nothing is called
   after it.

   Frame words below ebp-0x20 are Lisp values or fixnum-shaped (counts are
   kept as 4 * count), so the collector's walk may run in every call. */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/argument_area.inc"

#define NIL_T (-0x3e)               /* t is the word nil - 0x3e itself */
#define NIL_CONDITION_SYMBOL (-0xe5)
#define NIL_CLOSURE_ENTRY (-0x1b9)
#define NIL_COMP_TO_INTERP (-0x1f1)
#define NIL_COMP_TO_BYTE (-0x285)
#define NIL_ILLEG_MACRO_OR_SPEC_CALL (-0x1ed)

#define TAG_MASK 7
#define TAG_CONS 1
#define TAG_OTHER 2
#define TAG_SYMBOL 7
#define CONS_CAR (-0x11)
#define CONS_CDR (-0xd)
#define HEADER (-0x12)
#define HEADER_KIND (-0x11)
#define FUNCTION_CODE_VECTOR (-2)
#define SYMBOL_FUNCTION (-0xb)
#define CODE_VECTOR_CODE (-0xe)
#define TYPE_FUNCTION 8
#define TYPE_CLOSURE 9
#define TYPE_CODE_VECTOR 108
#define KIND_INTERPRETED 0x40
#define KIND_BYTE_COMPILED 0x80
#define KIND_MACRO 0x20
#define KIND_SPECIAL_OPERATOR 0x10

#define ERROR_NOT_A_FUNCTION 24
#define ERROR_BAD_APPLY_LIST 33
#define ERROR_TOO_FEW_APPLY_ARGUMENTS 49
#define CONDITION_STACK_OVERFLOW 1000

#define COUNT_N (-0x24)         /* 4 * the routine's own argument count */
#define SPREAD_WORDS (-0x28)    /* 4 * the words taken from the list or area */
#define FRAME_EXTRA 0xc         /* ebp-0x20 .. ebp-0x28 */

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_apply_routines, "ax", @progbits

/* proper_list_length: local subroutine. In: eax = a list. Out: ecx = its
   number of conses, carry clear; carry set when the list is dotted or
   circular (two-pointer walk). Clobbers eax, edx, esi. */
        .type proper_list_length, @function
proper_list_length:
        xor ecx, ecx
        mov edx, eax
        mov esi, eax
1:      cmp edx, edi
        je 3f
        lea eax, [edx - TAG_CONS]
        test al, TAG_MASK
        jnz 2f
        mov edx, [edx + CONS_CDR]
        inc ecx
        test ecx, 1
        jnz 1b
        mov esi, [esi + CONS_CDR]
        cmp esi, edx
        jne 1b
2:      stc
        ret
3:      clc
        ret
        .size proper_list_length, . - proper_list_length

/* copy_list_cars: subroutine of the argument-spreading routines. In: eax = a list of at least ecx
   conses, edx = destination. Copies the first ecx cars. Clobbers eax,
   ebx, ecx, edx. */
        .globl copy_list_cars
        .hidden copy_list_cars
        .type copy_list_cars, @function
copy_list_cars:
1:      dec ecx
        js 2f
        mov ebx, [eax + CONS_CAR]
        mov [edx], ebx
        mov eax, [eax + CONS_CDR]
        add edx, 4
        jmp 1b
2:      ret
        .size copy_list_cars, . - copy_list_cars

/* copy_words: subroutine of the argument-spreading routines. In: eax = source address, ecx = words,
   edx = destination. Clobbers eax, ebx, ecx, edx. */
        .globl copy_words
        .hidden copy_words
        .type copy_words, @function
copy_words:
1:      dec ecx
        js 2f
        mov ebx, [eax]
        mov [edx], ebx
        add eax, 4
        add edx, 4
        jmp 1b
2:      ret
        .size copy_words, . - copy_words

/* lisp_apply: runtime routine. In: ecx = n, eax = the function, arguments
   2..n-1, argument n = a list. Calls the function (through funcall_check)
   with arguments 2..n-1 and then the list's elements; frame word -0x10
   holds the total and word -0x14 the caller's closure word.
   Out: the function's values, unchanged. Fewer than 2 arguments: error 49
   with the fixnum count; a dotted or circular list: error 33 with it. */
        .globl lisp_apply
        .hidden lisp_apply
        .type lisp_apply, @function
lisp_apply:
        RUNTIME_FRAME
        sub esp, FRAME_EXTRA
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea eax, [4 * ecx]
        mov [ebp + COUNT_N], eax
        mov dword ptr [ebp + SPREAD_WORDS], 0
        cmp ecx, 2
        jl .Lapply_too_few
        mov eax, [ebp + 4 + 4 * ecx]
        call proper_list_length
        jc .Lapply_bad_list
        lea eax, [4 * ecx]
        mov [ebp + SPREAD_WORDS], eax
        mov eax, [ebp + COUNT_N]
        lea ecx, [eax + 4 * ecx - 8]
        shr ecx, 2                              /* n - 2 + length */
        AT_LEAST_TWO ecx
        RESERVE_AREA .Lapply_too_large
        mov ecx, [ebp + COUNT_N]
        shr ecx, 2
        lea eax, [ebp + 12]                     /* argument 2 */
        sub ecx, 2
        push ecx
        mov edx, esp
        add edx, 4
        call copy_words                         /* arguments 2..n-1 */
        pop ecx
        lea edx, [esp + 4 * ecx]
        mov ecx, [ebp + COUNT_N]
        mov eax, [ebp + 4 + ecx]                /* the list */
        mov ecx, [ebp + SPREAD_WORDS]
        shr ecx, 2
        call copy_list_cars
        COPY_CALLER_CLOSURE
        mov ecx, [ebp + COUNT_N]
        add ecx, [ebp + SPREAD_WORDS]
        shr ecx, 2
        sub ecx, 2
        mov [ebp - 0x10], ecx
        mov esi, [ebp + 8]
        CALL_SPREAD funcall_check
.Lapply_too_few:
        mov edx, eax
        mov eax, FIXNUM(ERROR_TOO_FEW_APPLY_ARGUMENTS)
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
        RUNTIME_RETURN
.Lapply_bad_list:
        mov ecx, [ebp + COUNT_N]
        mov edx, [ebp + 4 + ecx]
        mov eax, FIXNUM(ERROR_BAD_APPLY_LIST)
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
        RUNTIME_RETURN
.Lapply_too_large:
        mov ebx, [ebp - 0x1c]
        call stack_overflow_report
        RUNTIME_RETURN
        .size lisp_apply, . - lisp_apply

/* applyn: runtime routine. In: ecx = n, eax = the function, arguments
   2..n-2, then two byte offsets from and to (raw, multiples of 4) into the
   caller's incoming argument area. Calls the function (funcall_check) with
   arguments 2..n-2 followed by the caller's words at its frame +8+from up
   to +8+to (none when to is not above from). Out: the function's values.
   Fewer than 3 arguments (function, from, to): error 49 with the count. */
        .globl applyn
        .hidden applyn
        .type applyn, @function
applyn:
        RUNTIME_FRAME
        sub esp, FRAME_EXTRA
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea eax, [4 * ecx]
        mov [ebp + COUNT_N], eax
        mov dword ptr [ebp + SPREAD_WORDS], 0
        cmp ecx, 3
        jl .Lapply_too_few
        mov eax, [ebp + 4 + 4 * ecx]            /* to */
        sub eax, [ebp + 4 * ecx]                /* - from */
        jle 1f
        and eax, -4
        mov [ebp + SPREAD_WORDS], eax
1:      mov ecx, [ebp + COUNT_N]
        add ecx, [ebp + SPREAD_WORDS]
        shr ecx, 2
        sub ecx, 3                              /* n - 3 + spread */
        AT_LEAST_TWO ecx
        RESERVE_AREA .Lapply_too_large
        mov ecx, [ebp + COUNT_N]
        shr ecx, 2
        sub ecx, 3
        push ecx
        lea eax, [ebp + 12]                     /* argument 2 */
        lea edx, [esp + 4]
        call copy_words                         /* arguments 2..n-2 */
        pop ecx
        lea edx, [esp + 4 * ecx]
        mov ecx, [ebp + COUNT_N]
        mov eax, [ebp + ecx]                    /* from */
        add eax, [ebp]
        add eax, 8                              /* the caller's frame + 8 + from */
        mov ecx, [ebp + SPREAD_WORDS]
        shr ecx, 2
        call copy_words
        COPY_CALLER_CLOSURE
        mov ecx, [ebp + COUNT_N]
        add ecx, [ebp + SPREAD_WORDS]
        shr ecx, 2
        sub ecx, 3
        mov [ebp - 0x10], ecx
        mov esi, [ebp + 8]
        CALL_SPREAD funcall_check
        .size applyn, . - applyn

/* fwrap_apply: runtime routine. In: ecx = 5; argument 1 = a closure word,
   2 = a function or symbol, 3 = the argument source (a list, nil
   included, or a word address), 4 unused, 5 = the fixnum count. Spreads
   the count words and calls the function's own code, bypassing its start
   word: a function whose code-vector word holds a code vector at the
   code's first byte; one without at comp_to_byte (kind bits 0x40 and
   0x80) or comp_to_interp (0x40 alone); a closure at
   illeg_macro_or_spec_call (kind bit 0x20 or 0x10) or else the closure
   entry (nil-0x1b9). A symbol gives its function cell and is kept for
   frame word -0x18 (nil otherwise); frame word -0x14 := argument 1.
   Out: the callee's values. Anything else to call (nil's function
   included): error 24 with it. Decision: nil is refused, not taken as a
   symbol: the word at nil-0xb, where its function cell would lie, is half
   of nil's cdr word and holds no function. A list shorter than the count, or dotted
   before it: error 33 with the list. A negative count spreads nothing. */
        .globl fwrap_apply
        .hidden fwrap_apply
        .type fwrap_apply, @function
fwrap_apply:
        RUNTIME_FRAME
        sub esp, FRAME_EXTRA
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        mov eax, [ebp + 0x18]
        test eax, eax
        jns 1f
        xor eax, eax
1:      and eax, -4
        mov [ebp + SPREAD_WORDS], eax
        mov dword ptr [ebp + COUNT_N], FIXNUM(5)
        /* a list source must hold the count conses */
        mov eax, [ebp + 0x10]
        mov ecx, eax
        and ecx, 3
        cmp ecx, 1
        jne 3f
        mov ecx, [ebp + SPREAD_WORDS]
        shr ecx, 2
2:      dec ecx
        js 3f
        lea edx, [eax - TAG_CONS]
        test dl, TAG_MASK
        jnz .Lwrap_bad_list
        mov eax, [eax + CONS_CDR]
        jmp 2b
        /* the function to call: ebp-0x18 := the symbol or nil */
3:      mov [ebp - 0x18], edi
        mov esi, [ebp + 12]
        cmp esi, edi
        je .Lwrap_not_a_function
        mov eax, esi
        and eax, TAG_MASK
        cmp eax, TAG_SYMBOL
        jne 4f
        mov [ebp - 0x18], esi
        mov esi, [esi + SYMBOL_FUNCTION]
        mov eax, esi
        and eax, TAG_MASK
4:      cmp eax, TAG_OTHER
        jne .Lwrap_not_a_function
        mov ecx, [ebp + SPREAD_WORDS]
        shr ecx, 2
        AT_LEAST_TWO ecx
        RESERVE_AREA .Lwrap_too_large
        mov ecx, [ebp + SPREAD_WORDS]
        shr ecx, 2
        mov edx, esp
        mov eax, [ebp + 0x10]
        mov ebx, eax
        and ebx, 3
        cmp ebx, 1
        je 5f
        call copy_words
        jmp 6f
5:      call copy_list_cars
6:      mov eax, [ebp + 8]
        mov [ebp - 0x14], eax
        mov ecx, [ebp + SPREAD_WORDS]
        shr ecx, 2
        mov [ebp - 0x10], ecx
        /* choose the entry; esi = the function or closure */
        movzx eax, byte ptr [esi + HEADER]
        movzx edx, byte ptr [esi + HEADER_KIND]
        cmp eax, TYPE_CLOSURE
        je .Lwrap_closure
        cmp eax, TYPE_FUNCTION
        jne .Lwrap_not_a_function_spread
        mov eax, [esi + FUNCTION_CODE_VECTOR]
        lea ebx, [eax - TAG_OTHER]
        test bl, TAG_MASK
        jnz 7f
        cmp byte ptr [eax + HEADER], TYPE_CODE_VECTOR
        jne 7f
        add eax, CODE_VECTOR_CODE
        mov [ebp - 0x20], eax                   /* a raw address: the word the collector never visits */
        CALL_SPREAD [ebp - 0x20]
7:      and edx, KIND_INTERPRETED | KIND_BYTE_COMPILED
        cmp edx, KIND_INTERPRETED | KIND_BYTE_COMPILED
        jne 8f
        CALL_SPREAD [edi + NIL_COMP_TO_BYTE]
8:      cmp edx, KIND_INTERPRETED
        jne .Lwrap_not_a_function_spread
        CALL_SPREAD [edi + NIL_COMP_TO_INTERP]
.Lwrap_closure:
        test edx, KIND_MACRO | KIND_SPECIAL_OPERATOR
        jz 9f
        CALL_SPREAD [edi + NIL_ILLEG_MACRO_OR_SPEC_CALL]
9:      CALL_SPREAD [edi + NIL_CLOSURE_ENTRY]
.Lwrap_not_a_function_spread:
        lea esp, [ebp - 0x1c - FRAME_EXTRA]
.Lwrap_not_a_function:
        mov edx, esi
        mov eax, FIXNUM(ERROR_NOT_A_FUNCTION)
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
        RUNTIME_RETURN
.Lwrap_bad_list:
        mov edx, [ebp + 0x10]
        mov eax, FIXNUM(ERROR_BAD_APPLY_LIST)
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
        RUNTIME_RETURN
.Lwrap_too_large:
        mov ebx, [ebp - 0x1c]
        call stack_overflow_report
        RUNTIME_RETURN
        .size fwrap_apply, . - fwrap_apply

/* stack_overflow_report: runtime routine. Calls the condition function
   (the symbol at nil-0xe5) with (fixnum 1000, t). Out: its value, one
   value, carry clear. While that word holds no symbol (during start-up)
   the process ends instead (stack_overflow_before_lisp). */
        .globl stack_overflow_report
        .hidden stack_overflow_report
        .type stack_overflow_report, @function
stack_overflow_report:
        RUNTIME_FRAME
        sub esp, 8
        mov eax, [edi + NIL_CONDITION_SYMBOL]
        and eax, TAG_MASK
        cmp eax, TAG_SYMBOL
        jne 1f
        mov eax, FIXNUM(CONDITION_STACK_OVERFLOW)
        lea edx, [edi + NIL_T]
        mov ebx, [edi + NIL_CONDITION_SYMBOL]
        call dword ptr [edi + NIL_SLOT_CALL_TWO_ARGS]
        RUNTIME_RETURN
1:      CALL_NATIVE stack_overflow_before_lisp
        .size stack_overflow_report, . - stack_overflow_report

        .section .note.GNU-stack, "", @progbits
