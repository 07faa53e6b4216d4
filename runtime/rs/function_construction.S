/* The objects of the calling machinery: symbols with their value vectors,
   locatives (binding cells), function objects of every kind, closures and
   the special-form and macro markers.

   A function takes the next value of the 24-bit serial counter at
   nil-0x4ed (wrapping from 16777215 to 0) as its hash word, shifted left
   by 8. Object words stored into a new object go through gc_setf_protect;
   nil, fixnums and raw words are stored plainly. Counts of constants and
   extra slots live in 16 header bits: a count above 65535 is runtime error
   56 with the count, a negative or non-fixnum count error 13, and nothing
   is allocated then. */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/new_space.inc"

#define ERROR_BAD_LENGTH 13
#define ERROR_TOO_LONG 56
#define FIXNUM_LENGTH_BAD 0x80000003
#define MAX_COUNT 0xffff

#define NIL_UNBOUND_MARKER (-0x29)
#define NIL_INITIAL_FUNCTION (-0x4dd)
#define NIL_FUNCTION_SERIAL (-0x4ed)
#define NIL_BYTE_CODE_START (-0x4c9)     /* gt_comp_to_byte's copy */
#define NIL_UNDEFINED_START (-0x1cd)     /* gt_undeffunc's copy */
#define NIL_INTERPRETED_START (-0x1d9)   /* gt_comp_to_interp's copy */
#define NIL_CLOSURE_ENTRY (-0x1b9)
#define NIL_SPECIAL_FORM_START (-0x1d5)  /* gt_illeg_macro_or_spec_call's copy */
#define SERIAL_MASK 0xffffff

#define SYMBOL_BYTES 32
#define SYMBOL_FROM_PREFIX 0x1f          /* prefix + 8 + 0x17 */
#define SYMBOL_TYPE_WORD (-0x17)
#define SYMBOL_FLAGS (-0x16)
#define SYMBOL_ZERO16 (-0x15)
#define SYMBOL_VALUE (-0x13)
#define SYMBOL_HASH (-0xf)
#define SYMBOL_FUNCTION (-0xb)
#define SYMBOL_NAME (-7)
#define SYMBOL_PLIST (-3)
#define SYMBOL_VALUE_VECTOR 1
#define SYMBOL_LISP_SLOT 5
#define SYMBOL_TYPE 7
#define LOCATIVE_TYPE 0x87
#define SVECTOR_DATA (-0xa)

#define TYPE_FUNCTION 8
#define TYPE_CLOSURE 9
#define HEADER_TYPE (-0x12)
#define HEADER_FLAGS (-0x11)
#define FUNCTION_FIXED_BYTES 36
#define FUNCTION_START (-0xe)
#define FUNCTION_HASH (-0xa)
#define FUNCTION_LISP_SLOT_1 (-6)
#define FUNCTION_CODE (-2)
#define FUNCTION_LISP_SLOT_2 2
#define FUNCTION_RAW 6                   /* three raw words */
#define FUNCTION_CONSTANTS 0x12
#define CODE_VECTOR_CODE (-0xe)          /* first byte of machine code */
#define FLAGS_COMPILED 0x80
#define FLAGS_BYTE_COMPILED 0xc8
#define FLAGS_INTERPRETED 0x48
#define FLAGS_SPECIAL_FORM 0x10
#define FLAGS_MACRO 0x20
#define MACRO_EXPANDER_BIT 4             /* in the low byte of the hash word */

#define CLOSURE_FIXED_BYTES 16
#define CLOSURE_START (-0xe)
#define CLOSURE_TEMPLATE (-0xa)
#define CLOSURE_ENVIRONMENT (-6)
#define CLOSURE_EXTRA (-2)
#define TEMPLATE_FLAGS_KEPT 0xc0
#define FLAG_NAMED_TEMPLATE 2            /* template's p-6 word is nil or a symbol */
#define NIL_OR_SYMBOL_BITS 5             /* bits 1 and 4 of such a word */

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_function_construction, "ax", @progbits

/* COUNT_CHECKS bad, long: eax = a count (fixnum) for 16 header bits;
   jumps to the routine's error exits. */
.macro COUNT_CHECKS bad, long
        test eax, FIXNUM_LENGTH_BAD
        jnz \bad
        cmp eax, FIXNUM(MAX_COUNT)
        ja \long
.endm

/* COUNT_ERRORS bad, long: the two error exits of COUNT_CHECKS; the count is
   in eax at the jump. */
.macro COUNT_ERRORS bad, long
\bad:
        mov eax, FIXNUM(ERROR_BAD_LENGTH)
        call rs_error
        RUNTIME_RETURN
\long:
        mov edx, eax
        mov eax, FIXNUM(ERROR_TOO_LONG)
        call rs_error_with_datum
        RUNTIME_RETURN
.endm

/* STORE_PROTECTED value, slot: the value (a register or a memory operand)
   into the slot through gc_setf_protect; eax and edx clobbered. Operands
   are written without spaces: a space separates macro arguments. */
.macro STORE_PROTECTED value, slot
        mov eax, \value
        lea edx, \slot
        call gc_setf_protect
.endm

/* new_symbol: runtime routine. In: eax = name (a string or nil), edx = hash
   code (fixnum). Makes the value vector (a simple vector of one element)
   first, then the 32-byte symbol: element 0 of the vector := the symbol,
   name, the unbound marker as global value, the value vector, the initial
   function object (nil-0x4dd) in the function cell, nil in the property
   list and the Lisp slot, flags 0. The hash word is (hash untagged) << 8
   with 7 in its low byte; a symbol without a name gets the word 7 (no
   code). Out: eax = the symbol (tag 7). The vector waits at ebp-0x14. */
        .globl new_symbol
        .hidden new_symbol
        .type new_symbol, @function
new_symbol:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push edi
        sub esp, 8
        mov eax, FIXNUM(1)
        xor edx, edx
        mov ecx, 2
        call new_simple_vector
        mov [ebp - 0x14], eax
        mov edx, SYMBOL_BYTES + 8
        NEW_OBJECT
        lea esi, [eax + SYMBOL_FROM_PREFIX]
        mov ecx, [ebp - 0x14]
        STORE_PROTECTED esi, [ecx+SVECTOR_DATA]
        STORE_PROTECTED [ebp+8], [esi+SYMBOL_NAME]
        mov eax, [edi + NIL_UNBOUND_MARKER]
        mov [esi + SYMBOL_VALUE], eax
        mov eax, [ebp - 0x14]
        mov [esi + SYMBOL_VALUE_VECTOR], eax
        mov word ptr [esi + SYMBOL_ZERO16], 0
        STORE_PROTECTED [edi+NIL_INITIAL_FUNCTION], [esi+SYMBOL_FUNCTION]
        mov [esi + SYMBOL_PLIST], edi
        xor eax, eax
        cmp [ebp + 8], edi
        je 1f
        mov eax, [ebp + 12]
        sar eax, 2
        shl eax, 8
1:      mov al, SYMBOL_TYPE
        mov [esi + SYMBOL_HASH], eax
        mov byte ptr [esi + SYMBOL_FLAGS], 0
        mov byte ptr [esi + SYMBOL_TYPE_WORD], SYMBOL_TYPE
        mov [esi + SYMBOL_LISP_SLOT], edi
        mov eax, esi
        RUNTIME_RETURN
        .size new_symbol, . - new_symbol

/* new_locative: runtime routine. In: eax = symbol, edx = value. Out: eax =
   a binding cell (type byte 0x87, tag 7): the value where a symbol keeps
   its global value, the symbol in the name word, the initial function
   object in the function cell, nil in the hash word and the last three
   words. Plain stores: the cell is new. */
        .globl new_locative
        .hidden new_locative
        .type new_locative, @function
new_locative:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        mov edx, SYMBOL_BYTES + 8
        NEW_OBJECT
        lea esi, [eax + SYMBOL_FROM_PREFIX]
        mov dword ptr [esi + SYMBOL_TYPE_WORD], LOCATIVE_TYPE
        mov eax, [ebp + 12]
        mov [esi + SYMBOL_VALUE], eax
        mov [esi + SYMBOL_HASH], edi
        mov eax, [edi + NIL_INITIAL_FUNCTION]
        mov [esi + SYMBOL_FUNCTION], eax
        mov eax, [ebp + 8]
        mov [esi + SYMBOL_NAME], eax
        mov [esi + SYMBOL_PLIST], edi
        mov [esi + SYMBOL_VALUE_VECTOR], edi
        mov [esi + SYMBOL_LISP_SLOT], edi
        mov eax, esi
        RUNTIME_RETURN
        .size new_locative, . - new_locative

/* new_function: runtime routine. In: eax = constant count N (fixnum), edx =
   flags word F. Out: eax = a function object (type 8) of N constants:
   flags byte the low byte of F; start the byte-code trampoline (nil-0x4c9)
   when F is the word 0xc8, else the undefined-function trampoline
   (nil-0x1cd); the next serial number; nil in the Lisp slots, the code
   vector word and the constants; 0 in the three raw words. */
        .globl new_function
        .hidden new_function
        .type new_function, @function
new_function:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        COUNT_CHECKS .Lfunction_bad, .Lfunction_long
        lea edx, [eax + FUNCTION_FIXED_BYTES + 15]
        and edx, -8
        NEW_OBJECT
        lea esi, [eax + PREFIX_TO_WORD]
        mov ecx, [ebp + 8]
        shl ecx, 14
        or ecx, TYPE_FUNCTION
        mov [esi + HEADER_TYPE], ecx
        mov ecx, [ebp + 12]
        mov [esi + HEADER_FLAGS], cl
        mov eax, [edi + NIL_UNDEFINED_START]
        cmp ecx, FLAGS_BYTE_COMPILED
        jne 1f
        mov eax, [edi + NIL_BYTE_CODE_START]
1:      mov [esi + FUNCTION_START], eax
        mov eax, [edi + NIL_FUNCTION_SERIAL]
        inc eax
        and eax, SERIAL_MASK
        mov [edi + NIL_FUNCTION_SERIAL], eax
        shl eax, 8
        mov [esi + FUNCTION_HASH], eax
        mov [esi + FUNCTION_LISP_SLOT_1], edi
        mov [esi + FUNCTION_CODE], edi
        mov [esi + FUNCTION_LISP_SLOT_2], edi
        mov dword ptr [esi + FUNCTION_RAW], 0
        mov dword ptr [esi + FUNCTION_RAW + 4], 0
        mov dword ptr [esi + FUNCTION_RAW + 8], 0
        mov ecx, [ebp + 8]
        shr ecx, 2
        lea edx, [esi + FUNCTION_CONSTANTS]
        jecxz 3f
2:      mov [edx], edi
        add edx, 4
        dec ecx
        jnz 2b
3:      mov eax, esi
        RUNTIME_RETURN
        COUNT_ERRORS .Lfunction_bad, .Lfunction_long
        .size new_function, . - new_function

/* FUNCTION_WITH_CODE flags: the body of new_compiled_function and
   new_byte_compiled_function. In: eax = code, edx = list of constants,
   stacked: constant count N. new_function (N, flags); code-vector word :=
   code; the constants from the list in order, until the list ends or N
   are stored. A bad N is new_function's error, returned as it is. Leaves
   esi = the function (or the error's value) and jumps to 9f when the
   error was signalled. The end of the constants waits at ebp-0x20. */
.macro FUNCTION_WITH_CODE flags
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push 0
        sub esp, 8
        mov eax, [ebp + 16]
        mov edx, \flags
        mov ecx, 2
        call new_function
        mov esi, eax
        mov ecx, [ebp + 16]
        test ecx, FIXNUM_LENGTH_BAD
        jnz 9f
        cmp ecx, FIXNUM(MAX_COUNT)
        ja 9f
        lea ecx, [esi + FUNCTION_CONSTANTS + ecx]
        mov [ebp - 0x20], ecx
        STORE_PROTECTED [ebp+8], [esi+FUNCTION_CODE]
        mov ecx, [ebp + 12]
        lea edx, [esi + FUNCTION_CONSTANTS]
1:      cmp edx, [ebp - 0x20]
        jae 2f
        mov eax, ecx
        and eax, 7
        cmp eax, 1
        jne 2f                                  /* the list ends */
        mov eax, [ecx - 0x11]
        call gc_setf_protect
        mov ecx, [ecx - 0xd]
        add edx, 4
        jmp 1b
2:
.endm

/* new_compiled_function: runtime routine. In: eax = code vector, edx =
   list of constants, stacked: constant count N (fixnum). Out: eax = a
   function (flags 0x80) whose start word is the first byte of the code
   vector's machine code (the code vector's word - 0xe). */
        .globl new_compiled_function
        .hidden new_compiled_function
        .type new_compiled_function, @function
new_compiled_function:
        FUNCTION_WITH_CODE FLAGS_COMPILED
        mov eax, [ebp + 8]
        add eax, CODE_VECTOR_CODE
        mov [esi + FUNCTION_START], eax
9:      mov eax, esi
        RUNTIME_RETURN
        .size new_compiled_function, . - new_compiled_function

/* new_byte_compiled_function: runtime routine. In: eax = code object, edx =
   list of constants, stacked: N. Out: eax = a function (flags 0xc8) that
   starts at the byte-code trampoline. */
        .globl new_byte_compiled_function
        .hidden new_byte_compiled_function
        .type new_byte_compiled_function, @function
new_byte_compiled_function:
        FUNCTION_WITH_CODE FLAGS_BYTE_COMPILED
9:      mov eax, esi
        RUNTIME_RETURN
        .size new_byte_compiled_function, . - new_byte_compiled_function

/* make_interp_function_obj: runtime routine. In: eax = the interpreted
   definition. Out: eax = a function (flags 0x48, no constants) holding the
   definition in its code-vector word and starting at the interpreted-call
   trampoline (nil-0x1d9). */
        .globl make_interp_function_obj
        .hidden make_interp_function_obj
        .type make_interp_function_obj, @function
make_interp_function_obj:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        sub esp, 8
        xor eax, eax
        mov edx, FLAGS_INTERPRETED
        mov ecx, 2
        call new_function
        mov esi, eax
        STORE_PROTECTED [ebp+8], [esi+FUNCTION_CODE]
        mov eax, [edi + NIL_INTERPRETED_START]
        mov [esi + FUNCTION_START], eax
        mov eax, esi
        RUNTIME_RETURN
        .size make_interp_function_obj, . - make_interp_function_obj

/* new_closure: runtime routine. In: eax = template function, edx =
   environment. Out: eax = a closure (type 9, no extra slots) starting at
   the closure entry (nil-0x1b9). Flags byte: the template's flags byte
   masked with 0xc0, | 2 when the template is a function whose word at
   p-6 is nil or a symbol; 0 for a template that is no other object. */
        .globl new_closure
        .hidden new_closure
        .type new_closure, @function
new_closure:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        mov edx, CLOSURE_FIXED_BYTES + 8
        NEW_OBJECT
        lea esi, [eax + PREFIX_TO_WORD]
        mov dword ptr [esi + HEADER_TYPE], TYPE_CLOSURE
        mov eax, [ebp + 8]
        mov ecx, eax
        and ecx, 7
        cmp ecx, 2
        jne 2f
        movzx ecx, byte ptr [eax + HEADER_FLAGS]
        and ecx, TEMPLATE_FLAGS_KEPT
        cmp byte ptr [eax + HEADER_TYPE], TYPE_FUNCTION
        jne 1f
        mov edx, [eax + FUNCTION_LISP_SLOT_1]
        and edx, NIL_OR_SYMBOL_BITS
        cmp edx, NIL_OR_SYMBOL_BITS
        jne 1f
        or ecx, FLAG_NAMED_TEMPLATE
1:      mov [esi + HEADER_FLAGS], cl
2:      mov eax, [edi + NIL_CLOSURE_ENTRY]
        mov [esi + CLOSURE_START], eax
        STORE_PROTECTED [ebp+8], [esi+CLOSURE_TEMPLATE]
        STORE_PROTECTED [ebp+12], [esi+CLOSURE_ENVIRONMENT]
        mov eax, esi
        RUNTIME_RETURN
        .size new_closure, . - new_closure

/* new_special_closure: runtime routine. In: eax = template, edx =
   environment, stacked: extra slot count N (fixnum). Out: eax = a closure
   with N extra slots, each nil, flags 0, starting at the closure entry. */
        .globl new_special_closure
        .hidden new_special_closure
        .type new_special_closure, @function
new_special_closure:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        mov eax, [ebp + 16]
        COUNT_CHECKS .Lspecial_bad, .Lspecial_long
        lea edx, [eax + CLOSURE_FIXED_BYTES + 15]
        and edx, -8
        NEW_OBJECT
        lea esi, [eax + PREFIX_TO_WORD]
        mov ecx, [ebp + 16]
        shl ecx, 14
        or ecx, TYPE_CLOSURE
        mov [esi + HEADER_TYPE], ecx
        mov eax, [edi + NIL_CLOSURE_ENTRY]
        mov [esi + CLOSURE_START], eax
        STORE_PROTECTED [ebp+8], [esi+CLOSURE_TEMPLATE]
        STORE_PROTECTED [ebp+12], [esi+CLOSURE_ENVIRONMENT]
        mov ecx, [ebp + 16]
        shr ecx, 2
        lea edx, [esi + CLOSURE_EXTRA]
        jecxz 2f
1:      mov [edx], edi
        add edx, 4
        dec ecx
        jnz 1b
2:      mov eax, esi
        RUNTIME_RETURN
        COUNT_ERRORS .Lspecial_bad, .Lspecial_long
        .size new_special_closure, . - new_special_closure

/* MARKER_CLOSURE flags: new_special_closure (eax, nil, 0) started at the
   trampoline for calls of special forms and macros (nil-0x1d5) with the
   given flags byte. Leaves esi = the closure. */
.macro MARKER_CLOSURE flags
        RUNTIME_FRAME
        mov [ebp + 8], eax
        sub esp, 12
        mov dword ptr [esp + 8], 0
        mov edx, edi
        mov ecx, 3
        call new_special_closure
        mov esi, eax
        mov eax, [edi + NIL_SPECIAL_FORM_START]
        mov [esi + CLOSURE_START], eax
        mov byte ptr [esi + HEADER_FLAGS], \flags
.endm

/* make_spec_function_obj: runtime routine. In: eax = the special operator's
   object. Out: eax = a closure over it marking a special form (flags
   0x10). */
        .globl make_spec_function_obj
        .hidden make_spec_function_obj
        .type make_spec_function_obj, @function
make_spec_function_obj:
        MARKER_CLOSURE FLAGS_SPECIAL_FORM
        mov eax, esi
        RUNTIME_RETURN
        .size make_spec_function_obj, . - make_spec_function_obj

/* make_macro_function_obj: runtime routine. In: eax = the expander f.
   Out: eax = a closure over f marking a macro (flags 0x20). f is followed
   through closures to their templates; when that reaches a function
   object, bit 4 of its hash word's low byte is set. A chain that reaches
   anything else (a closure made without a template) marks nothing. */
        .globl make_macro_function_obj
        .hidden make_macro_function_obj
        .type make_macro_function_obj, @function
make_macro_function_obj:
        MARKER_CLOSURE FLAGS_MACRO
        mov ecx, [ebp + 8]
1:      mov edx, ecx
        and edx, 7
        cmp edx, 2
        jne 3f
        movzx edx, byte ptr [ecx + HEADER_TYPE]
        cmp edx, TYPE_CLOSURE
        jne 2f
        mov ecx, [ecx + CLOSURE_TEMPLATE]
        jmp 1b
2:      cmp edx, TYPE_FUNCTION
        jne 3f
        or byte ptr [ecx + FUNCTION_HASH], MACRO_EXPANDER_BIT
3:      mov eax, esi
        RUNTIME_RETURN
        .size make_macro_function_obj, . - make_macro_function_obj

/* mkmacro(f): native entry, cdecl. Returns make_macro_function_obj (f). */
        .globl mkmacro
        .hidden mkmacro
        .type mkmacro, @function
mkmacro:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        push edi                                /* home slots: Lisp values */
        push edi
        mov eax, [ebp + 0x18]
        mov ecx, 1
        call make_macro_function_obj
        NATIVE_ENTRY_RETURN
        .size mkmacro, . - mkmacro

        .section .note.GNU-stack, "", @progbits
