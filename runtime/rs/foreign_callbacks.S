/* Callbacks from native code into Lisp: the stubs' common end, the native
   entries that run a registered callback, the conversions of its result,
   and the hooks through which Lisp code calls a foreign-callable function.

   Native entries use the native entry frame of runtime_frame.inc; the other
   routines are runtime routines. Raw words (a native argument block, a
   count) are kept at ebp-0x20, the one frame word the collector never
   reads, or below a frame whose marker declares them raw. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_CALLBACK_VECTOR_SYMBOL (-0x111)
#define NIL_EXPORTED_VALUES_SYMBOL (-0x10d)
#define NIL_MISSING_CALLBACK_SYMBOL (-0x19d)
#define NIL_STRING_TO_NATIVE_SYMBOL (-0x489)
#define NIL_STRING_TO_NATIVE_ARGUMENT (-0x48d)
#define NIL_SLOT_BREAKPOINT 0x8f

#define THREAD_SPARE_CLINK 0xf6       /* nil while linked in */
#define THREAD_SPARE_CLINK_FRAME 0xfa

#define ERROR_BAD_INDEX 41
#define ERROR_NOT_FOREIGN_CALLABLE 42

#define OBJECT_HEADER (-0x12)
#define OBJECT_HEADER_BYTE1 (-0x11)
#define OBJECT_DIGIT_COUNT (-0x10)      /* 16 bits of a bignum's header */
#define FUNCTION_START (-0xe)
#define FUNCTION_DESCRIPTOR 0xa
#define SYMBOL_FUNCTION (-0xb)
#define LIST_CAR (-0x11)
#define LIST_CDR (-0xd)
#define VECTOR_LENGTH (-0xe)
#define VECTOR_DATA (-0xa)
#define SINGLE_FLOAT_VALUE (-0xe)
#define DOUBLE_FLOAT_VALUE (-0xa)
#define BIGNUM_DIGITS (-0xe)

#define TYPE_FUNCTION 8
#define TYPE_SINGLE_FLOAT 16
#define TYPE_DOUBLE_FLOAT 17
#define TYPE_BIGNUM 18
#define TYPE_SIMPLE_VECTOR 112
#define FOREIGN_CALLABLE_BIT 0x10
#define PROLOGUE_BYTES 6
#define CONVENTION_COUNT 4

#define RESULT_LISP 0
#define RESULT_SINGLE_FLOAT 1
#define RESULT_DOUBLE_FLOAT 2

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_foreign_callbacks, "ax", @progbits

/* VECTOR_ELEMENT bad: eax = an object, edx = an index (raw, signed). When
   eax is a simple vector and 0 <= edx < its length, eax := the element;
   otherwise jumps to bad with eax kept. edx kept; clobbers ecx. */
.macro VECTOR_ELEMENT bad
        mov ecx, eax
        and ecx, 7
        cmp ecx, 2
        jne \bad
        cmp byte ptr [eax + OBJECT_HEADER], TYPE_SIMPLE_VECTOR
        jne \bad
        mov ecx, [eax + VECTOR_LENGTH]
        sar ecx, 2
        cmp edx, ecx
        jae \bad                                /* unsigned: a negative index too */
        mov eax, [eax + VECTOR_DATA + 4 * edx]
.endm

/* BAD_INDEX_ERROR: inside a frame whose home slots for the call are
   pushed; edx = the index (raw). Error 41 with the index as a Lisp integer
   through the second error function; eax := its value. */
.macro BAD_INDEX_ERROR
        mov eax, edx
        call fixnum_or_bignum
        mov edx, eax
        mov eax, FIXNUM(ERROR_BAD_INDEX)
        call rs_error_with_datum
.endm

/* The common end of the stubs. In: eax = callback index (raw), ecx = the
   argument block; the native caller's return address (or the stdcall
   stub's) at esp. Calls acquire_heap_around_lisp_call(block, index) and
   returns its eax (st(0)) with the native callee-saved registers kept. The
   stubs jump to the second copy, _callback_to_lisp. */
.macro CALLBACK_TO_LISP
        push eax
        push ecx
        call acquire_heap_around_lisp_call
        add esp, 8
        ret
.endm

        .globl callback_to_lisp
        .hidden callback_to_lisp
        .type callback_to_lisp, @function
callback_to_lisp:
        CALLBACK_TO_LISP
        .size callback_to_lisp, . - callback_to_lisp

        .globl _callback_to_lisp
        .hidden _callback_to_lisp
        .type _callback_to_lisp, @function
_callback_to_lisp:
        CALLBACK_TO_LISP
        .size _callback_to_lisp, . - _callback_to_lisp

/* CALL_INTERNAL: inside lisp_addr_call's frame: lisp_internal_call with
   eax = the index, edx = the block, count 2, nil home slots. */
.macro CALL_INTERNAL
        push edi
        push edi
        mov eax, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT + 4]
        mov edx, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT]
        mov ecx, 2
        call lisp_internal_call
.endm

/* lisp_addr_call(block, index): native entry, cdecl. Runs
   lisp_internal_call for the callback. When the thread's spare foreign-call
   record is free (+0xf6 not nil: the outermost callback from a leaf native
   call) it is linked in for the call, naming this frame and the frame at
   +0xfa, and given back afterwards; otherwise the head record names this
   frame while the callback runs. Returns eax (st(0)) as the callback left
   it. */
        .globl lisp_addr_call
        .hidden lisp_addr_call
        .type lisp_addr_call, @function
lisp_addr_call:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_THREAD
        mov eax, [ebx + THREAD_SPARE_CLINK]
        cmp eax, edi
        jne 1f
        NATIVE_ENTRY_LINK
        CALL_INTERNAL
        NATIVE_ENTRY_RETURN
1:      mov ecx, [ebx + THREAD_SPARE_CLINK_FRAME]
        mov [eax + CLINK_FRAME], ecx
        mov [eax + CLINK_CONTINUATION], edi
        mov ecx, [ebx + THREAD_CLINK_HEAD]
        mov [eax + CLINK_PREVIOUS], ecx
        mov [eax + CLINK_NATIVE_FRAME], ebp
        mov [ebx + THREAD_CLINK_HEAD], eax
        mov [ebx + THREAD_SPARE_CLINK], edi
        CALL_INTERNAL
        mov ebx, [ebp - 0x1c]
        mov ecx, [ebx + THREAD_CLINK_HEAD]
        mov dword ptr [ecx + CLINK_NATIVE_FRAME], 0
        push dword ptr [ecx + CLINK_PREVIOUS]
        pop dword ptr [ebx + THREAD_CLINK_HEAD]
        mov [ebx + THREAD_SPARE_CLINK], ecx
        NATIVE_ENTRY_LEAVE
        .size lisp_addr_call, . - lisp_addr_call

/* lisp_internal_call: runtime routine. In: eax = callback index (raw), edx
   = argument block (raw), ecx = 2. Entry [index] of the callback vector
   (the thread's value of the symbol at nil-0x111) is a designator, or a
   list (designator convert-flag). A symbol designates its function. The
   function must be foreign-callable (type 8, header byte 1 bit 0x10): its
   body, at its start + 6, is called with count 1 and eax = the block. With
   a convert flag the result goes back in native form (NATIVE_RESULT).
   Errors through the second error function: 41 with the index when it lies
   outside the vector, 42 with the designator (or a symbol's function) when
   it names no foreign-callable function; no body is entered and the error
   function's value is returned unconverted. */
        .globl lisp_internal_call
        .hidden lisp_internal_call
        .type lisp_internal_call, @function
lisp_internal_call:
        RUNTIME_FRAME
        push edx                                /* ebp-0x20: the block */
        push edi                                /* ebp-0x24: the convert flag */
        mov edx, eax
        mov eax, [edi + NIL_CALLBACK_VECTOR_SYMBOL]
        call qsymeval
        VECTOR_ELEMENT .Linternal_bad_index
        mov ecx, eax
        and ecx, 7
        cmp ecx, 1                              /* a cons */
        jne 1f
        mov ecx, [eax + LIST_CDR]
        mov eax, [eax + LIST_CAR]
        mov edx, ecx
        and edx, 3
        cmp edx, 1                              /* the rest is a list */
        jne 1f
        mov ecx, [ecx + LIST_CAR]
        mov [ebp - 0x24], ecx
1:      mov ecx, eax
        and ecx, 7
        cmp ecx, 7                              /* a symbol */
        jne 2f
        mov eax, [eax + SYMBOL_FUNCTION]
2:      mov ecx, eax
        and ecx, 7
        cmp ecx, 2
        jne .Linternal_not_callable
        cmp byte ptr [eax + OBJECT_HEADER], TYPE_FUNCTION
        jne .Linternal_not_callable
        test byte ptr [eax + OBJECT_HEADER_BYTE1], FOREIGN_CALLABLE_BIT
        jz .Linternal_not_callable
        mov esi, eax
        mov eax, [esi + FUNCTION_START]
        add eax, PROLOGUE_BYTES
        mov [ebp - 8], eax
        push edi                                /* home slots */
        push edi
        mov eax, [ebp - 0x20]
        mov ecx, 1
        mov ebx, [ebp - 0x1c]
        mov [ebp - 0x10], edi
        call dword ptr [ebp - 8]
        cmp [ebp - 0x24], edi
        je 9f
        call native_result
9:      RUNTIME_RETURN
.Linternal_bad_index:
        push edi
        push edi
        BAD_INDEX_ERROR
        RUNTIME_RETURN
.Linternal_not_callable:
        push edi
        push edi
        mov edx, eax
        mov eax, FIXNUM(ERROR_NOT_FOREIGN_CALLABLE)
        call rs_error_with_datum
        RUNTIME_RETURN
        .size lisp_internal_call, . - lisp_internal_call

/* native_result: frameless leaf. In: eax = a Lisp value. Out: its native
   form: a fixnum's value, a character's code's low 8 bits sign-extended, a
   bignum's low 32 bits with its sign applied, in eax; a single- or
   double-float's value pushed on the x87 stack (eax kept); any other
   object unchanged. Clobbers ecx and edx. */
        .type native_result, @function
native_result:
        test al, 3
        jnz 1f
        sar eax, 2
        ret
1:      mov ecx, eax
        and ecx, 7
        cmp ecx, 6                              /* a character */
        jne 2f
        shr eax, 3
        movsx eax, al
        ret
2:      cmp ecx, 2
        jne 9f
        movzx ecx, byte ptr [eax + OBJECT_HEADER]
        cmp ecx, TYPE_SINGLE_FLOAT
        jne 3f
        fld dword ptr [eax + SINGLE_FLOAT_VALUE]
        ret
3:      cmp ecx, TYPE_DOUBLE_FLOAT
        jne 4f
        fld qword ptr [eax + DOUBLE_FLOAT_VALUE]
        ret
4:      cmp ecx, TYPE_BIGNUM
        jne 9f
        movzx ecx, word ptr [eax + OBJECT_DIGIT_COUNT]
        movzx edx, byte ptr [eax + OBJECT_HEADER_BYTE1]
        cmp ecx, 1
        jb 5f
        je 6f
        mov eax, [eax + BIGNUM_DIGITS]
        jmp 7f
5:      xor eax, eax
        jmp 7f
6:      movzx eax, word ptr [eax + BIGNUM_DIGITS]
7:      test edx, edx
        jz 9f
        neg eax
9:      ret
        .size native_result, . - native_result

/* lisp_value(index): native entry, cdecl. Element [index] of the exported
   values vector (the thread's value of the symbol at nil-0x10d); outside
   it, what the second error function returns for error 41 with the
   index. */
        .globl lisp_value
        .type lisp_value, @function
lisp_value:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        mov edx, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT]
        mov eax, [edi + NIL_EXPORTED_VALUES_SYMBOL]
        call qsymeval
        VECTOR_ELEMENT 1f
        NATIVE_ENTRY_RETURN
1:      push edi
        push edi
        BAD_INDEX_ERROR
        NATIVE_ENTRY_RETURN
        .size lisp_value, . - lisp_value

/* lisp_missing_callback(): native entry, cdecl. Calls the function of the
   symbol at nil-0x19d with no argument and returns its value. */
        .globl lisp_missing_callback
        .hidden lisp_missing_callback
        .type lisp_missing_callback, @function
lisp_missing_callback:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        push edi
        push edi
        mov eax, edi                            /* the stub homes eax and edx */
        mov edx, edi
        mov ebx, [edi + NIL_MISSING_CALLBACK_SYMBOL]
        xor ecx, ecx
        call edi
        NATIVE_ENTRY_RETURN
        .size lisp_missing_callback, . - lisp_missing_callback

/* inlisp_string_to_native(string, buffer): native entry, cdecl. Runs
   in_lisp_s_to_n and returns its value. */
        .globl inlisp_string_to_native
        .hidden inlisp_string_to_native
        .type inlisp_string_to_native, @function
inlisp_string_to_native:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        push edi
        push edi
        mov eax, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT]
        mov edx, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT + 4]
        mov ecx, 2
        call in_lisp_s_to_n
        NATIVE_ENTRY_RETURN
        .size inlisp_string_to_native, . - inlisp_string_to_native

/* in_lisp_s_to_n: runtime routine. In: eax = a Lisp string, edx = a buffer
   address (raw). Calls the function of the symbol at nil-0x489 with the
   string, the global word nil-0x48d and the buffer address boxed by
   unsigned_fixnum_or_bignum; returns its value. The string waits at
   ebp-0x14 while the address is boxed. */
        .globl in_lisp_s_to_n
        .hidden in_lisp_s_to_n
        .type in_lisp_s_to_n, @function
in_lisp_s_to_n:
        RUNTIME_FRAME
        mov [ebp - 0x14], eax
        push edi                                /* ebp-0x20 */
        push edi                                /* home slots of the boxing */
        push edi
        mov eax, edx
        call unsigned_fixnum_or_bignum
        mov [esp + 4], eax                      /* argument 3 */
        mov eax, [ebp - 0x14]
        mov edx, [edi + NIL_STRING_TO_NATIVE_ARGUMENT]
        push edi                                /* home slots */
        mov ebx, [edi + NIL_STRING_TO_NATIVE_SYMBOL]
        mov ecx, 3
        call edi
        RUNTIME_RETURN
        .size in_lisp_s_to_n, . - in_lisp_s_to_n

/* throw_over_c_return1: In: ebx = the frame pointer of a native entry
   frame. Leaves that frame and returns to its native caller with eax (and
   the caller's edi, esi, ebx) as the frame holds them. */
        .globl throw_over_c_return1
        .hidden throw_over_c_return1
        .type throw_over_c_return1, @function
throw_over_c_return1:
        mov esp, ebx
        pop ebp
        add esp, 4
        pop ebx
        pop esi
        pop edi
        ret
        .size throw_over_c_return1, . - throw_over_c_return1

/* breakpoint: frameless leaf, a fixed place for a debugger to stop. Out:
   eax = nil; nothing else changes. */
        .globl breakpoint
        .hidden breakpoint
        .type breakpoint, @function
breakpoint:
        mov eax, edi
        ret
        .size breakpoint, . - breakpoint

/* NATIVE_AREA: inside a hook's frame with esp = ebp-0x20 and the Lisp
   argument count (raw) at ebp-0x20. Reserves 8 bytes per argument plus 8
   (room for double-floats and for the body's two home slots) and makes the
   frame's marker declare them raw, so the collector does not read native
   words as Lisp values while the body runs. Out: edx = esp = the area;
   ecx = the count; ebx = the thread. */
.macro NATIVE_AREA
        mov ecx, [ebp - 0x20]
        lea eax, [8 * ecx + 8]
        mov edx, eax
        add edx, edx
        neg edx
        or edx, 6                               /* a marker for eax raw bytes */
        mov [ebp - 4], edx
        sub esp, eax
        mov edx, esp
        mov ebx, [ebp - 0x1c]
.endm

/* CALL_BODY: calls the body (start + 6) of the function at ebp-0x18 with
   the registers already loaded but ebx and esi; then drops the area and
   restores the runtime-frame marker. */
.macro CALL_BODY
        mov esi, [ebp - 0x18]
        mov ebx, [esi + FUNCTION_START]
        add ebx, PROLOGUE_BYTES
        mov [ebp - 8], ebx
        mov ebx, [ebp - 0x1c]
        mov [ebp - 0x10], edi
        call dword ptr [ebp - 8]
        lea esp, [ebp - 0x20]
        mov dword ptr [ebp - 4], MARKER_RUNTIME
.endm

/* immed_arg_hook: reached from the prologue of a foreign-callable function,
   with the Lisp call's registers (esi = the function, ecx = count, eax and
   edx the first arguments, the rest above the home slots). The raw word at
   p+0xa is a fixnum descriptor: bits 0-1 the result kind (0 Lisp value, 1
   single-float, 2 double-float, 3 integer), then two bits per argument (0:
   the Lisp word, else its native form). A float result's box is made
   before the call, so nothing is allocated once the result is in st(0).
   The body gets the native words on the stack, their count in ecx and the
   first two also in eax and edx. */
        .globl immed_arg_hook
        .hidden immed_arg_hook
        .type immed_arg_hook, @function
immed_arg_hook:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 0xc], edx
        mov [ebp - 0x18], esi
        push ecx                                /* ebp-0x20: the count */
        mov eax, [esi + FUNCTION_DESCRIPTOR]
        sar eax, 2
        and eax, 3
        cmp eax, RESULT_SINGLE_FLOAT
        je 1f
        cmp eax, RESULT_DOUBLE_FLOAT
        jne 3f
        push edi
        push edi
        mov ecx, 1
        call new_double_float
        jmp 2f
1:      push edi
        push edi
        mov ecx, 1
        call new_single_float
2:      mov [ebp - 0x14], eax                   /* the result box */
        lea esp, [ebp - 0x20]
3:      NATIVE_AREA
        mov esi, [ebp - 0x18]
        mov eax, [esi + FUNCTION_DESCRIPTOR]
        lea esi, [ebp + 8]
        CALL_NATIVE foreign_callback_layout, esi, ecx, eax, edx
        mov ecx, eax
        mov eax, [esp]
        mov edx, [esp + 4]
        CALL_BODY
        mov esi, [ebp - 0x18]
        mov ecx, [esi + FUNCTION_DESCRIPTOR]
        sar ecx, 2
        and ecx, 3
        cmp ecx, RESULT_LISP
        je 9f
        cmp ecx, RESULT_SINGLE_FLOAT
        je 4f
        cmp ecx, RESULT_DOUBLE_FLOAT
        je 5f
        push edi
        push edi
        call fixnum_or_bignum
        jmp 9f
4:      mov eax, [ebp - 0x14]
        fstp dword ptr [eax + SINGLE_FLOAT_VALUE]
        jmp 9f
5:      mov eax, [ebp - 0x14]
        fstp qword ptr [eax + DOUBLE_FLOAT_VALUE]
9:      RUNTIME_RETURN
        .size immed_arg_hook, . - immed_arg_hook

/* foreign_callable_hook: reached from the prologue of a foreign-callable
   function, with the Lisp call's registers. Calls breakpoint (slot
   nil+0x8f) with the argument count, lays the arguments out as one native
   block (foreign_callable_layout) whose address also lies in the word in
   front of it, and calls the body with count 1 and eax = the block.
   Returns the body's eax, one value. */
        .globl foreign_callable_hook
        .hidden foreign_callable_hook
        .type foreign_callable_hook, @function
foreign_callable_hook:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 0xc], edx
        mov [ebp - 0x18], esi
        push ecx                                /* ebp-0x20: the count */
        push edi
        push edi
        lea eax, [4 * ecx]
        mov ecx, 1
        call dword ptr [edi + NIL_SLOT_BREAKPOINT]
        lea esp, [ebp - 0x20]
        NATIVE_AREA
        lea esi, [ebp + 8]
        CALL_NATIVE foreign_callable_layout, esi, ecx, edx
        lea eax, [esp + 4]
        mov ecx, 1
        CALL_BODY
        RUNTIME_RETURN
        .size foreign_callable_hook, . - foreign_callable_hook

/* new_foreign_callback: runtime routine. In: eax = callback index, edx =
   convention code 0-3 (cdecl, stdcall, thiscall, fastcall), argument 3 =
   the bytes of the arguments, all fixnums. Out: the address of a new stub
   in the native heap as a Lisp integer; nil for another code, an index or
   byte count that is no fixnum, a negative byte count, or no memory. */
        .globl new_foreign_callback
        .hidden new_foreign_callback
        .type new_foreign_callback, @function
new_foreign_callback:
        RUNTIME_FRAME
        push edi                                /* ebp-0x20 */
        push edi                                /* home slots of the boxing */
        push edi
        test dl, 3
        jnz 8f
        cmp edx, FIXNUM(CONVENTION_COUNT)
        jae 8f
        test al, 3
        jnz 8f
        mov ecx, [ebp + 0x10]
        test cl, 3
        jnz 8f
        test ecx, ecx
        js 8f
        sar eax, 2
        sar edx, 2
        sar ecx, 2
        CALL_NATIVE foreign_callback_new, edx, eax, ecx
        test eax, eax
        jz 8f
        call fixnum_or_bignum
        RUNTIME_RETURN
8:      mov eax, edi
        RUNTIME_RETURN
        .size new_foreign_callback, . - new_foreign_callback

/* relocate_foreign_callback: runtime routine. In: eax = a stub's address
   (fixnum or bignum), edx = its convention code (fixnum). Points the stub
   at this library's _callback_to_lisp (foreign_callback_relocate). Out:
   nil. */
        .globl relocate_foreign_callback
        .hidden relocate_foreign_callback
        .type relocate_foreign_callback, @function
relocate_foreign_callback:
        RUNTIME_FRAME
        CALL_NATIVE foreign_callback_relocate, eax, edx
        mov eax, edi
        RUNTIME_RETURN
        .size relocate_foreign_callback, . - relocate_foreign_callback

        .section .note.GNU-stack, "", @progbits
