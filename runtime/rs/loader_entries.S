/* Native entries through which the loaders' native code asks Lisp to
   evaluate a form, define a function, clear a function's documentation,
   fix a function's name, convert a word and call a symbol's function; the
   runtime routine fix_func_name behind _fix_symdef.

   Each entry calls the function of a symbol kept in a global word through
   the stub at nil. While that Lisp code runs, word 1 of the thread's
   newest foreign-call record holds the entry's frame pointer, so that the
   collector's stack walk passes over the native code above the entry and
   goes on at the Lisp frame that called it; the word is 0 again before the
   entry returns. With no record on the chain there is no word to set.

   A native entry's frame (marker 0x506) keeps 40 raw bytes under its
   fixed 32-byte block, which the stack walk does not visit; the arguments
   of the Lisp call therefore lie below them. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_EVAL_SYMBOL (-0x65)
#define NIL_NAME_FIXER_SYMBOL (-0xc5)
#define NIL_SET_FUNCTION_SYMBOL (-0xe9)
#define NIL_CLEAR_DOC_SYMBOL (-0x311)
#define NIL_WORD_CONVERTER_SYMBOL (-0x39d)
#define NIL_INITIAL_FUNCTION (-0x4dd)
#define NIL_SYMBOL_MAKER_SYMBOL (-0xbd)          /* runtime global 42 */
#define NIL_PACKAGE_INDEPENDENCE_SYMBOL (-0x431) /* runtime global 263 */
#define NIL_PATCH_SYMBOL (-0x4bd)                /* runtime global 298 */
#define TAG_SYMBOL 7
#define SYMBOL_FUNCTION (-0xb)
#define FUNCTION_NAME (-6)
#define NATIVE_ENTRY_RAW_END 0x48       /* fixed block and the marker's 40 raw bytes */
#define EMPTY_CLINK_CHAIN (-1)

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_loader_entries, "ax", @progbits

/* LISP_CALL_AREA: esp := 8-aligned, at or below ebp-0x48, where the stack
   walk visits the words pushed from here on as Lisp values; the word at
   the new esp is cleared (when alignment moved esp below ebp-0x48 that
   word is visited and must not look like a pointer). */
.macro LISP_CALL_AREA
        lea esp, [ebp - NATIVE_ENTRY_RAW_END]
        and esp, -8
        mov dword ptr [esp], 0
.endm

/* NATIVE_FRAME_INTO_CLINK value: word 1 of the thread's newest foreign-call
   record := value (a register or 0), unless the chain is empty (all ones or
   0). In: ebx = thread. Clobbers ecx. */
.macro NATIVE_FRAME_INTO_CLINK value
        mov ecx, [ebx + THREAD_CLINK_HEAD]
        cmp ecx, EMPTY_CLINK_CHAIN
        je .Lno_clink\@
        test ecx, ecx
        jz .Lno_clink\@
        mov dword ptr [ecx + CLINK_NATIVE_FRAME], \value
.Lno_clink\@:
.endm

/* CALL_SYMBOL_FUNCTION symbol, count: calls the function of the symbol in
   global word nil+symbol through the stub, with the arguments already in
   eax, edx (a Lisp value even for one argument: the stub homes it where
   the stack walk reads it) and on the stack above two home slots (which
   this reserves).
   In: edi = nil, ebx = thread, the frame's ebp. Out: eax = the first
   value; ebx = thread again; ecx, edx, esi clobbered. */
.macro CALL_SYMBOL_FUNCTION symbol, count
        sub esp, 8
        mov ecx, \count
        mov ebx, [edi + \symbol]
        call edi
        mov ebx, [ebp - 0x1c]
.endm

/* The frame and registers of every entry here, then the Lisp call area and
   the entry's frame in the newest foreign-call record. */
.macro LISP_REQUEST_FRAME
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        LISP_CALL_AREA
        NATIVE_FRAME_INTO_CLINK ebp
.endm

/* The foreign-call record's word 1 back to 0, then the return; eax kept. */
.macro LISP_REQUEST_RETURN
        NATIVE_FRAME_INTO_CLINK 0
        NATIVE_ENTRY_RETURN
.endm

/* _lispeval(form): native entry, cdecl. When the function cell of the
   symbol in global nil-0x65 holds anything but the initial function, that
   function applied to the form; otherwise a symbol or nil (tag 7 or 5)
   gives its value through qsymeval, and any other form is handed to that
   symbol all the same. Returns the first value. */
        .globl _lispeval
        .hidden _lispeval
        .type _lispeval, @function
_lispeval:
        LISP_REQUEST_FRAME
        mov eax, [ebp + 0x18]
        mov ecx, [edi + NIL_EVAL_SYMBOL]
        mov ecx, [ecx + SYMBOL_FUNCTION]
        cmp ecx, [edi + NIL_INITIAL_FUNCTION]
        jne 1f
        lea ecx, [eax - 5]
        test cl, 5                              /* tags 5 and 7 */
        jnz 1f
        call qsymeval
        jmp 2f
1:      mov edx, edi
        CALL_SYMBOL_FUNCTION NIL_EVAL_SYMBOL, 1
2:      LISP_REQUEST_RETURN
        .size _lispeval, . - _lispeval

/* _setfunction(a, b, c): native entry, cdecl. The function of the symbol
   in global nil-0xe9 called with (a, b, c); returns its first value. */
        .globl _setfunction
        .hidden _setfunction
        .type _setfunction, @function
_setfunction:
        LISP_REQUEST_FRAME
        push dword ptr [ebp + 0x20]
        mov eax, [ebp + 0x18]
        mov edx, [ebp + 0x1c]
        CALL_SYMBOL_FUNCTION NIL_SET_FUNCTION_SYMBOL, 3
        LISP_REQUEST_RETURN
        .size _setfunction, . - _setfunction

/* JUMP_UNLESS_DEFINED symbol, label: to label unless global nil+symbol
   holds a symbol whose function cell is not the initial undefined
   function. In: edi = nil. Clobbers ecx, edx. */
.macro JUMP_UNLESS_DEFINED symbol, label
        mov ecx, [edi + \symbol]
        mov edx, ecx
        and edx, 7
        cmp edx, TAG_SYMBOL
        jne \label
        mov ecx, [ecx + SYMBOL_FUNCTION]
        cmp ecx, [edi + NIL_INITIAL_FUNCTION]
        je \label
.endm

/* _fasl_make_symbol(name, length, package): native entry, cdecl. The
   function of the symbol in global nil-0xbd called with (name, length,
   package); returns its first value, or 0 when that symbol has no
   function. */
        .globl _fasl_make_symbol
        .hidden _fasl_make_symbol
        .type _fasl_make_symbol, @function
_fasl_make_symbol:
        LISP_REQUEST_FRAME
        xor eax, eax
        JUMP_UNLESS_DEFINED NIL_SYMBOL_MAKER_SYMBOL, 1f
        push dword ptr [ebp + 0x20]
        mov eax, [ebp + 0x18]
        mov edx, [ebp + 0x1c]
        CALL_SYMBOL_FUNCTION NIL_SYMBOL_MAKER_SYMBOL, 3
1:      LISP_REQUEST_RETURN
        .size _fasl_make_symbol, . - _fasl_make_symbol

/* _fasl_package_independent(package): native entry, cdecl. The function
   of the symbol in global nil-0x431 called with the package; returns its
   first value, or nil when that symbol has no function. */
        .globl _fasl_package_independent
        .hidden _fasl_package_independent
        .type _fasl_package_independent, @function
_fasl_package_independent:
        LISP_REQUEST_FRAME
        mov eax, edi
        JUMP_UNLESS_DEFINED NIL_PACKAGE_INDEPENDENCE_SYMBOL, 1f
        mov eax, [ebp + 0x18]
        mov edx, edi
        CALL_SYMBOL_FUNCTION NIL_PACKAGE_INDEPENDENCE_SYMBOL, 1
1:      LISP_REQUEST_RETURN
        .size _fasl_package_independent, . - _fasl_package_independent

/* _fasl_call_patch(blob): native entry, cdecl. The function of the
   symbol in global nil-0x4bd called with the byte vector; returns its
   first value, or nil when that symbol has no function. */
        .globl _fasl_call_patch
        .hidden _fasl_call_patch
        .type _fasl_call_patch, @function
_fasl_call_patch:
        LISP_REQUEST_FRAME
        mov eax, edi
        JUMP_UNLESS_DEFINED NIL_PATCH_SYMBOL, 1f
        mov eax, [ebp + 0x18]
        mov edx, edi
        CALL_SYMBOL_FUNCTION NIL_PATCH_SYMBOL, 1
1:      LISP_REQUEST_RETURN
        .size _fasl_call_patch, . - _fasl_call_patch

/* _call_symbol_function(symbol, count, first, second): native entry,
   cdecl. Calls the function of the symbol through the stub at nil with
   count (0 to 2) arguments, first and second (Lisp values, nil when not
   passed: the stub homes both where the stack walk reads them); returns
   its first value. The caller makes sure the symbol is a symbol. */
        .globl _call_symbol_function
        .hidden _call_symbol_function
        .type _call_symbol_function, @function
_call_symbol_function:
        LISP_REQUEST_FRAME
        mov eax, [ebp + 0x20]
        mov edx, [ebp + 0x24]
        sub esp, 8                              /* home slots */
        mov ecx, [ebp + 0x1c]
        mov ebx, [ebp + 0x18]
        call edi
        mov ebx, [ebp - 0x1c]
        LISP_REQUEST_RETURN
        .size _call_symbol_function, . - _call_symbol_function

/* _clearfundoc(x): native entry, cdecl. The function of the symbol in
   global nil-0x311 called with x; returns its first value. */
        .globl _clearfundoc
        .hidden _clearfundoc
        .type _clearfundoc, @function
_clearfundoc:
        LISP_REQUEST_FRAME
        mov eax, [ebp + 0x18]
        mov edx, edi
        CALL_SYMBOL_FUNCTION NIL_CLEAR_DOC_SYMBOL, 1
        LISP_REQUEST_RETURN
        .size _clearfundoc, . - _clearfundoc

/* rfun(function): native entry, cdecl. Calls the function with no
   arguments (lisp_apply of the function to the empty list); returns its
   first value. */
        .globl rfun
        .hidden rfun
        .type rfun, @function
rfun:
        LISP_REQUEST_FRAME
        mov eax, [ebp + 0x18]
        mov edx, edi
        sub esp, 8                              /* home slots */
        mov ecx, 2
        call lisp_apply
        mov ebx, [ebp - 0x1c]
        LISP_REQUEST_RETURN
        .size rfun, . - rfun

/* _fix_symdef(function): native entry, cdecl. Returns fix_func_name of
   the function. */
        .globl _fix_symdef
        .hidden _fix_symdef
        .type _fix_symdef, @function
_fix_symdef:
        LISP_REQUEST_FRAME
        mov eax, [ebp + 0x18]
        push edi                                /* the two home slots */
        push eax
        mov ecx, 1
        call fix_func_name
        mov ebx, [ebp - 0x1c]
        LISP_REQUEST_RETURN
        .size _fix_symdef, . - _fix_symdef

/* _shift_word_and_add(x, y): native entry, cdecl. r := the first value of
   the function of the symbol in global nil-0x39d called with (x, fixnum
   16); returns the raw word r + 4 * y, which is the integer r + y only when
   r is a fixnum. */
        .globl _shift_word_and_add
        .hidden _shift_word_and_add
        .type _shift_word_and_add, @function
_shift_word_and_add:
        LISP_REQUEST_FRAME
        mov eax, [ebp + 0x18]
        mov edx, FIXNUM(16)
        CALL_SYMBOL_FUNCTION NIL_WORD_CONVERTER_SYMBOL, 2
        mov edx, [ebp + 0x1c]
        lea eax, [eax + 4 * edx]
        LISP_REQUEST_RETURN
        .size _shift_word_and_add, . - _shift_word_and_add

/* _negate_result(x): native entry, cdecl. Returns 0 - x as a raw word. */
        .globl _negate_result
        .hidden _negate_result
        .type _negate_result, @function
_negate_result:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        mov eax, [ebp + 0x18]
        neg eax
        NATIVE_ENTRY_RETURN
        .size _negate_result, . - _negate_result

/* fix_func_name: runtime routine. In: eax = function object. Calls the
   function of the symbol in global nil-0xc5 with the function's name word
   (byte offset -6) and stores the first value back there through
   gc_setf_protect. Anything but a function object (type code 8) is left
   alone: nothing is called and nil is returned. The function waits in its
   home slot across the call. Out: eax = the stored name. */
        .globl fix_func_name
        .hidden fix_func_name
        .type fix_func_name, @function
fix_func_name:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov ecx, eax
        and ecx, 7
        cmp ecx, 2                              /* other-object tag */
        jne 1f
        cmp byte ptr [eax - 0x12], 8            /* function object */
        jne 1f
        mov eax, [eax + FUNCTION_NAME]
        mov edx, edi
        sub esp, 4                              /* below the word at ebp-0x20 */
        CALL_SYMBOL_FUNCTION NIL_NAME_FIXER_SYMBOL, 1
        mov edx, [ebp + 8]
        add edx, FUNCTION_NAME
        call gc_setf_protect
        RUNTIME_RETURN
1:      mov eax, edi
        RUNTIME_RETURN
        .size fix_func_name, . - fix_func_name

        .section .note.GNU-stack, "", @progbits
