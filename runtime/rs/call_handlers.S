/* The routines that stand in a function's start word when the function
   cannot run its own code: undefined functions, macros and special
   operators called as functions, objects that cannot be called, interpreted
   and byte-compiled functions, wrapped functions. Each is entered the way
   any start word is: a Lisp call in progress (return address at esp, home
   slots above it, ecx the count, eax and edx arguments 1 and 2, esi the
   function, ebx the thread, ebp the caller's frame). Each hands the call to
   a handler written in Lisp, found as the function of a symbol held in a
   global word, and returns that handler's values unchanged.

   Every routine homes eax and edx first, so the caller's argument area
   holds the whole call while Lisp runs (the collector's walk updates it as
   the caller's). */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/argument_area.inc"

#define NIL_INTERPRETER (-0x69)
#define NIL_BYTE_CODE_ENGINE (-0x109)
#define NIL_UNDEFINED_FUNCTION_HANDLER (-0x2a5)
#define NIL_INVALID_FUNCTION_HANDLER (-0x435)
#define NIL_WRAPPER_DISPATCHER (-0x471)
#define SLOT_CALL_FUNCTION 0x23        /* stub entry nil+6: esi already loaded */

#define TAG_MASK 7
#define TAG_OTHER 2
#define TAG_SYMBOL 7
#define HEADER (-0x12)
#define HEADER_KIND (-0x11)
#define SYMBOL_FUNCTION (-0xb)
#define FUNCTION_NAME (-6)
#define TYPE_CLOSURE 9
#define KIND_PLACEHOLDER 0x08
#define KIND_MACRO 0x20
#define KIND_SPECIAL_OPERATOR 0x10

#define ERROR_UNDEFINED_FUNCTION 23
#define ERROR_NOT_A_FUNCTION 24
#define ERROR_MACRO_CALLED 27
#define ERROR_SPECIAL_OPERATOR_CALLED 28

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_call_handlers, "ax", @progbits

/* HOME_AND_FRAME extra: homes eax and edx in the caller's area, builds a
   runtime frame and reserves `extra` bytes of frame words (cleared). */
.macro HOME_AND_FRAME extra
        mov [esp + 4], eax
        mov [esp + 8], edx
        RUNTIME_FRAME
        .if \extra
        sub esp, \extra
        .set cleared, 0
        .rept \extra / 4
        mov dword ptr [esp + cleared], 0
        .set cleared, cleared + 4
        .endr
        .endif
.endm

/* RETURN_VALUES: drop the frame keeping eax, edx, ecx and the carry. */
.macro RETURN_VALUES
        leave
        mov esi, [ebp - 4]
        ret
.endm

/* CALL_SYMBOL global, count: ebx := the symbol in the global word, ecx :=
   count, and a call through the stub at nil. */
.macro CALL_SYMBOL global, count
        mov ebx, [edi + \global]
        mov ecx, \count
        call edi
.endm

/* CALLED_NAME reg: reg := the caller's frame word -0x18 when it is a symbol
   whose function cell holds esi, else esi. Clobbers eax. */
.macro CALLED_NAME reg
        mov \reg, [ebp]
        mov \reg, [\reg - 0x18]
        mov eax, \reg
        and eax, TAG_MASK
        cmp eax, TAG_SYMBOL
        jne .Lnot_the_name\@
        cmp [\reg + SYMBOL_FUNCTION], esi
        je .Lcalled_name\@
.Lnot_the_name\@:
        mov \reg, esi
.Lcalled_name\@:
.endm

/* undeffunc: start-word routine of undefined functions. S = the caller's
   frame word -0x18. Makes a placeholder function (kind bit 0x08, name S)
   the frame's function, so a backtrace names what was called, and calls
   the undefined-function handler (nil-0x2a5) with (fixnum 23, S). Its
   answer R must be a symbol: the received arguments are passed again,
   with the received count and the caller's closure word, to R's function
   (stub entry nil+6, ebx = R), whose values are returned. Any other R is
   runtime error 24 with R, whose value is returned.
   Frame words: ebp-0x20 4 * count; ebp-0x24 S. */
        .globl undeffunc
        .hidden undeffunc
        .type undeffunc, @function
undeffunc:
        HOME_AND_FRAME 16
        lea eax, [4 * ecx]
        mov [ebp - 0x20], eax
        mov eax, [ebp]
        mov eax, [eax - 0x18]
        mov [ebp - 0x24], eax
        xor eax, eax
        mov edx, KIND_PLACEHOLDER
        call new_function
        mov edx, [ebp - 0x24]
        mov [eax + FUNCTION_NAME], edx          /* a new object: no barrier needed */
        mov [ebp - 4], eax
        mov eax, FIXNUM(ERROR_UNDEFINED_FUNCTION)
        mov edx, [ebp - 0x24]
        mov ebx, [edi + NIL_UNDEFINED_FUNCTION_HANDLER]
        call dword ptr [edi + NIL_SLOT_CALL_TWO_ARGS]
        mov edx, eax
        and edx, TAG_MASK
        cmp edx, TAG_SYMBOL
        jne .Lundefined_not_a_symbol
        mov [ebp - 0x24], eax                   /* R */
        mov ecx, [ebp - 0x20]
        shr ecx, 2
        AT_LEAST_TWO ecx
        RESERVE_AREA .Lundefined_too_large
        mov ecx, [ebp - 0x20]
        shr ecx, 2
        lea eax, [ebp + 8]
        mov edx, esp
        call copy_words
        COPY_CALLER_CLOSURE
        mov ecx, [ebp - 0x20]
        shr ecx, 2
        mov eax, [esp]
        mov edx, [esp + 4]
        mov ebx, [ebp - 0x24]
        mov esi, [ebx + SYMBOL_FUNCTION]
        call dword ptr [edi + SLOT_CALL_FUNCTION]
        RETURN_VALUES
.Lundefined_not_a_symbol:
        mov edx, eax
        mov eax, FIXNUM(ERROR_NOT_A_FUNCTION)
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
        RUNTIME_RETURN
.Lundefined_too_large:
        mov ebx, [ebp - 0x1c]
        call stack_overflow_report
        RUNTIME_RETURN
        .size undeffunc, . - undeffunc

/* illeg_macro_or_spec_call: start-word routine of macro and
   special-operator function cells. S = the caller's frame word -0x18 and G
   = S's function cell; when S is not a symbol (the object was called
   directly, not through a name) G = the function register. G not a
   closure: nil. Kind bit 0x20: runtime error 27 with S; else bit 0x10:
   runtime error 28 with S. Then (and for neither bit) the invalid-function
   handler (nil-0x435) with G; its values are returned.
   Frame words: ebp-0x20 S (read only before any call), ebp-0x24 G. */
        .globl illeg_macro_or_spec_call
        .hidden illeg_macro_or_spec_call
        .type illeg_macro_or_spec_call, @function
illeg_macro_or_spec_call:
        HOME_AND_FRAME 16
        mov eax, [ebp]
        mov eax, [eax - 0x18]
        mov [ebp - 0x20], eax
        mov [ebp - 0x24], esi
        mov edx, eax
        and edx, TAG_MASK
        cmp edx, TAG_SYMBOL
        jne 1f
        mov eax, [eax + SYMBOL_FUNCTION]
        mov [ebp - 0x24], eax
1:      mov eax, [ebp - 0x24]
        mov edx, eax
        and edx, TAG_MASK
        cmp edx, TAG_OTHER
        jne 4f
        cmp byte ptr [eax + HEADER], TYPE_CLOSURE
        jne 4f
        movzx ecx, byte ptr [eax + HEADER_KIND]
        mov eax, FIXNUM(ERROR_MACRO_CALLED)
        test ecx, KIND_MACRO
        jnz 2f
        mov eax, FIXNUM(ERROR_SPECIAL_OPERATOR_CALLED)
        test ecx, KIND_SPECIAL_OPERATOR
        jz 3f
2:      mov edx, [ebp - 0x20]
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
3:      mov eax, [ebp - 0x24]
        CALL_SYMBOL NIL_INVALID_FUNCTION_HANDLER, 1
        RETURN_VALUES
4:      mov eax, edi
        RUNTIME_RETURN
        .size illeg_macro_or_spec_call, . - illeg_macro_or_spec_call

/* invalid_fun: start-word routine of objects that cannot be called. Calls
   the invalid-function handler (nil-0x435) with the function register and
   returns its values. */
        .globl invalid_fun
        .hidden invalid_fun
        .type invalid_fun, @function
invalid_fun:
        HOME_AND_FRAME 8
        mov eax, esi
        CALL_SYMBOL NIL_INVALID_FUNCTION_HANDLER, 1
        RETURN_VALUES
        .size invalid_fun, . - invalid_fun

/* comp_to_interp: start-word routine of interpreted functions (and of a
   list called through funcall_check). Calls the interpreter (the function
   of the symbol at nil-0x69) with (the function, the fixnum count, this
   frame's pointer, 0): the arguments lie at that frame pointer + 8 on. */
        .globl comp_to_interp
        .hidden comp_to_interp
        .type comp_to_interp, @function
comp_to_interp:
        HOME_AND_FRAME 0
        sub esp, 20
        mov [esp + 8], ebp
        mov dword ptr [esp + 12], 0
        lea edx, [4 * ecx]
        mov eax, esi
        CALL_SYMBOL NIL_INTERPRETER, 4
        RETURN_VALUES
        .size comp_to_interp, . - comp_to_interp

/* comp_to_byte: start-word routine of byte-compiled functions. Calls the
   byte-code engine (the function of the symbol at nil-0x109) with (the
   function, the fixnum count, this frame's pointer, 0, closure): closure
   is the caller's frame word -0x14 when that is a closure inside the heap
   (above GsOldAreas, below GsNewTop, the end of new space), else nil. */
        .globl comp_to_byte
        .hidden comp_to_byte
        .type comp_to_byte, @function
comp_to_byte:
        HOME_AND_FRAME 0
        sub esp, 24
        mov [esp + 8], ebp
        mov dword ptr [esp + 12], 0
        mov [esp + 16], edi
        lea edx, [4 * ecx]
        mov eax, [ebp]
        mov eax, [eax - 0x14]
        mov ecx, eax
        and ecx, TAG_MASK
        cmp ecx, TAG_OTHER
        jne 1f
        LOAD_GOT_ECX
        cmp eax, [ecx + GsOldAreas@GOTOFF]
        jbe 1f
        cmp eax, [ecx + GsNewTop@GOTOFF]
        jae 1f
        cmp byte ptr [eax + HEADER], TYPE_CLOSURE
        jne 1f
        mov [esp + 16], eax
1:      mov eax, esi
        CALL_SYMBOL NIL_BYTE_CODE_ENGINE, 5
        RETURN_VALUES
        .size comp_to_byte, . - comp_to_byte

/* fwrap_start: start-word routine of wrapped functions. Calls the wrapper
   dispatcher (the function of the symbol at nil-0x471) with (the caller's
   frame word -0x14, the name: the caller's word -0x18 when it is a symbol
   whose function cell is this function, else the function; the address
   of the first argument word, nil when there are none; the fixnum
   count). */
        .globl fwrap_start
        .hidden fwrap_start
        .type fwrap_start, @function
fwrap_start:
        HOME_AND_FRAME 0
        sub esp, 20
        lea eax, [4 * ecx]
        mov [esp + 12], eax
        mov [esp + 8], edi
        test ecx, ecx
        jz 1f
        lea eax, [ebp + 8]
        mov [esp + 8], eax
1:      CALLED_NAME edx
        mov eax, [ebp]
        mov eax, [eax - 0x14]
        CALL_SYMBOL NIL_WRAPPER_DISPATCHER, 4
        RETURN_VALUES
        .size fwrap_start, . - fwrap_start

        .section .note.GNU-stack, "", @progbits
