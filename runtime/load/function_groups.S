/* Function groups: after a group of functions is loaded, each function of
   the group gets the name form it was defined under as its name, constants
   that stand for a sibling function are replaced by that function, and the
   group's wrap data go to the Lisp side.

   The routines follow the Lisp register conventions (edi nil, ebx thread,
   eax argument 1, carry clear for one value). They call Lisp functions
   through the stub at nil, and the collector may run inside those calls:
   every Lisp value kept across a call lies in a frame slot below ebp-0x20
   (visited by the stack walk), every raw count there is a fixnum.

   A malformed group is walked without faults: anything that is not a cons
   where a cons is expected ends that list or skips that element; a sibling
   reference without a second element, or whose second element is not a
   symbol, is left alone. */
#include "runtime/rs/runtime_frame.inc"

#define HEADER (-0x12)
#define HEADER_FLAGS (-0x11)
#define TYPE_FUNCTION 8
#define TYPE_CLOSURE 9
#define CLOSURE_KIND_TEMPLATE_NAMED 0x20
#define CLOSURE_TEMPLATE (-0xa)
#define FUNCTION_NAME (-6)
#define FUNCTION_CONSTANTS 0x12
#define COUNT_SHIFT 16
#define CAR (-0x11)
#define CDR (-0xd)
#define SYMBOL_FUNCTION (-0xb)
#define TAG_MASK 7
#define TAG_CONS 1
#define TAG_OTHER 2
#define TAG_SYMBOL 7

#define NIL_UNBOUND_MARKER (-0x29)
#define NIL_SPEC_CONVERTER_SYMBOL (-0xc5)     /* runtime global 44 */
#define NIL_FUNCTION_GROUP_SWITCH (-0x281)    /* runtime global 155 */
#define NIL_SIBLING_MARKER (-0x289)           /* runtime global 157 */
#define NIL_NOTIFIER_SYMBOL (-0x295)          /* runtime global 160 */
#define NIL_SECOND_NOTIFY_SYMBOL (-0x321)     /* runtime global 195 */
#define NIL_ENCAPSULATION_COUNT (-0x439)      /* runtime global 265 */
#define NIL_UNENCAPSULATED_LOOKUP (-0x43d)    /* runtime global 266 */
#define NIL_WRAP_REGISTRAR (-0x469)           /* runtime global 277 */
#define NIL_INITIAL_FUNCTION (-0x4dd)         /* runtime global 306 */

/* Slots of the routines' frames (below the word at ebp-0x20). */
#define SLOT_LIST (-0x24)
#define SLOT_FUNCTION (-0x28)
#define SLOT_ELEMENT (-0x2c)
#define SLOT_ENCAPSULATED (-0x30)
#define FRAME_LOW (-0x30)

        .intel_syntax noprefix
        .text

/* IS_TAG reg, tag, scratch, not: jumps to `not` unless reg has the tag. */
.macro IS_TAG reg, tag, scratch, not
        mov \scratch, \reg
        and \scratch, TAG_MASK
        cmp \scratch, \tag
        jne \not
.endm

/* SLOTS_FRAME: RUNTIME_FRAME, the word at ebp-0x20 and the four slots, all
   holding nil or 0. */
.macro SLOTS_FRAME
        RUNTIME_FRAME
        push 0
        push edi
        push edi
        push edi
        push 0
.endm

/* CALL_GLOBAL_SYMBOL global, count: calls the function of the symbol in the
   global word through the stub, arguments in eax and edx, home slots
   reserved; then esp back to the frame's slots and ebx the thread. */
.macro CALL_GLOBAL_SYMBOL global, count
        sub esp, 8
        mov ecx, \count
        mov ebx, [edi + \global]
        call edi
        lea esp, [ebp + FRAME_LOW]
        mov ebx, [ebp - 0x1c]
.endm

/* fix_sibling_constants: local routine. In: eax = a function object. Each
   constant (marker symbol . (s ...)) with s a symbol is replaced by s's
   function cell, through the write barrier. Out: ecx = nonzero when a
   constant is a list headed by the symbol of global 160 or 195. Clobbers
   eax, edx, esi; no Lisp call, no allocation. */
        .type fix_sibling_constants, @function
fix_sibling_constants:
        push ebp
        mov ebp, esp
        push 0                                  /* the notify flag, raw */
        push eax
        mov esi, [eax + HEADER]
        shr esi, COUNT_SHIFT
        lea esi, [eax + FUNCTION_CONSTANTS + 4 * esi]   /* past the last constant */
        lea edx, [eax + FUNCTION_CONSTANTS]
1:      cmp edx, esi
        jae 9f
        mov eax, [edx]
        IS_TAG eax, TAG_CONS, ecx, 8f
        mov ecx, [eax + CAR]
        cmp ecx, [edi + NIL_NOTIFIER_SYMBOL]
        je 6f
        cmp ecx, [edi + NIL_SECOND_NOTIFY_SYMBOL]
        je 6f
        cmp ecx, [edi + NIL_SIBLING_MARKER]
        jne 8f
        mov eax, [eax + CDR]                    /* (s ...) */
        IS_TAG eax, TAG_CONS, ecx, 8f
        mov eax, [eax + CAR]
        IS_TAG eax, TAG_SYMBOL, ecx, 8f
        mov eax, [eax + SYMBOL_FUNCTION]
        push edx
        push esi
        call gc_setf_protect                    /* [edx] := eax */
        pop esi
        pop edx
        jmp 8f
6:      mov dword ptr [ebp - 4], 1
8:      add edx, 4
        jmp 1b
9:      mov ecx, [ebp - 4]
        leave
        ret
        .size fix_sibling_constants, . - fix_sibling_constants

/* fixup_function_specs (nil+0x303): runtime routine. In: eax = a list of
   pairs (symbol . name form). For each pair: the function (the
   unencapsulated definition when *encapsulation-count* is neither unbound
   nor 0, else the symbol's function cell unless it is the initial
   undefined function; a closure marked 0x20 gives its template) gets the
   name form (converted by global 44's function unless in boot mode)
   as its name, and its sibling references replaced. Out: eax = nil. */
        .globl fixup_function_specs
        .hidden fixup_function_specs
        .type fixup_function_specs, @function
fixup_function_specs:
        SLOTS_FRAME
        mov [ebp + SLOT_LIST], eax
        mov eax, [edi + NIL_ENCAPSULATION_COUNT]
        IS_TAG eax, TAG_SYMBOL, ecx, 1f
        call qsymeval
        cmp eax, [edi + NIL_UNBOUND_MARKER]
        je 1f
        test eax, eax                           /* fixnum 0 */
        jz 1f
        mov dword ptr [ebp + SLOT_ENCAPSULATED], FIXNUM(1)
1:      mov eax, [ebp + SLOT_LIST]
        IS_TAG eax, TAG_CONS, ecx, 9f
        mov edx, [eax + CDR]
        mov [ebp + SLOT_LIST], edx
        mov eax, [eax + CAR]                    /* the element */
        IS_TAG eax, TAG_CONS, ecx, 1b           /* nil and malformed elements skipped */
        mov [ebp + SLOT_ELEMENT], eax
        mov eax, [eax + CAR]                    /* the symbol */
        IS_TAG eax, TAG_SYMBOL, ecx, 1b
        cmp dword ptr [ebp + SLOT_ENCAPSULATED], 0
        je 2f
        mov edx, edi
        CALL_GLOBAL_SYMBOL NIL_UNENCAPSULATED_LOOKUP, 2
        jmp 3f
2:      mov eax, [eax + SYMBOL_FUNCTION]
        cmp eax, [edi + NIL_INITIAL_FUNCTION]
        je 1b
3:      IS_TAG eax, TAG_OTHER, ecx, 1b           /* nil and non-objects skipped */
        cmp byte ptr [eax + HEADER], TYPE_CLOSURE
        jne 4f
        test byte ptr [eax + HEADER_FLAGS], CLOSURE_KIND_TEMPLATE_NAMED
        jz 4f
        mov eax, [eax + CLOSURE_TEMPLATE]
        IS_TAG eax, TAG_OTHER, ecx, 1b
4:      cmp byte ptr [eax + HEADER], TYPE_FUNCTION
        jne 1b
        mov [ebp + SLOT_FUNCTION], eax
        mov eax, [ebp + SLOT_ELEMENT]
        mov eax, [eax + CDR]                    /* the name form */
        LOAD_GOT_ECX
        mov ecx, DWORD PTR bootmode@GOT[ecx]
        cmp dword ptr [ecx], 0
        jne 5f
        CALL_GLOBAL_SYMBOL NIL_SPEC_CONVERTER_SYMBOL, 1
5:      mov edx, [ebp + SLOT_FUNCTION]
        add edx, FUNCTION_NAME
        call gc_setf_protect
        mov eax, [ebp + SLOT_FUNCTION]
        call fix_sibling_constants
        jmp 1b
9:      mov eax, edi
        RUNTIME_RETURN
        .size fixup_function_specs, . - fixup_function_specs

/* fixup_function_specs_partial: runtime routine. In: eax = a function.
   Replaces its sibling references; when a constant is a list headed by the
   symbol of global 160 or 195, calls global 160's function once with the
   function, after the loop. Anything but a function object is left alone.
   Out: eax = nil. */
        .globl fixup_function_specs_partial
        .hidden fixup_function_specs_partial
        .type fixup_function_specs_partial, @function
fixup_function_specs_partial:
        SLOTS_FRAME
        IS_TAG eax, TAG_OTHER, ecx, 9f
        cmp byte ptr [eax + HEADER], TYPE_FUNCTION
        jne 9f
        mov [ebp + SLOT_FUNCTION], eax
        call fix_sibling_constants
        test ecx, ecx
        jz 9f
        mov eax, [ebp + SLOT_FUNCTION]
        CALL_GLOBAL_SYMBOL NIL_NOTIFIER_SYMBOL, 1
9:      mov eax, edi
        RUNTIME_RETURN
        .size fixup_function_specs_partial, . - fixup_function_specs_partial

/* newfgroup: runtime routine. In: eax = a function group. Runs
   fixup_function_specs on it, then fixup_function_specs_partial on the
   function cell of the symbol heading its first element. Out: eax = nil. */
        .globl newfgroup
        .hidden newfgroup
        .type newfgroup, @function
newfgroup:
        SLOTS_FRAME
        mov [ebp + SLOT_LIST], eax
        push edi                                /* home slots: Lisp values */
        push edi
        call fixup_function_specs
        lea esp, [ebp + FRAME_LOW]
        mov eax, [ebp + SLOT_LIST]
        IS_TAG eax, TAG_CONS, ecx, 9f
        mov eax, [eax + CAR]
        IS_TAG eax, TAG_CONS, ecx, 9f
        mov eax, [eax + CAR]
        IS_TAG eax, TAG_SYMBOL, ecx, 9f
        mov eax, [eax + SYMBOL_FUNCTION]
        push edi
        push edi
        call fixup_function_specs_partial
9:      mov eax, edi
        RUNTIME_RETURN
        .size newfgroup, . - newfgroup

/* fix_fwrap_func: runtime routine. In: eax = a list whose elements after
   the first are pairs (symbol . wrap data). For each pair, while the
   symbol of global 277 has a defined function, calls it with (wrap data,
   the pair symbol's function cell). Out: eax = nil. */
        .globl fix_fwrap_func
        .hidden fix_fwrap_func
        .type fix_fwrap_func, @function
fix_fwrap_func:
        SLOTS_FRAME
        IS_TAG eax, TAG_CONS, ecx, 9f
        mov eax, [eax + CDR]
        mov [ebp + SLOT_LIST], eax
1:      mov eax, [ebp + SLOT_LIST]
        IS_TAG eax, TAG_CONS, ecx, 9f
        mov edx, [eax + CDR]
        mov [ebp + SLOT_LIST], edx
        mov eax, [eax + CAR]                    /* the pair */
        IS_TAG eax, TAG_CONS, ecx, 1b
        mov edx, [eax + CAR]
        IS_TAG edx, TAG_SYMBOL, ecx, 1b
        mov ecx, [edi + NIL_WRAP_REGISTRAR]
        IS_TAG ecx, TAG_SYMBOL, esi, 1b
        mov esi, [ecx + SYMBOL_FUNCTION]
        cmp esi, [edi + NIL_INITIAL_FUNCTION]
        je 1b
        mov edx, [edx + SYMBOL_FUNCTION]
        mov eax, [eax + CDR]
        CALL_GLOBAL_SYMBOL NIL_WRAP_REGISTRAR, 2
        jmp 1b
9:      mov eax, edi
        RUNTIME_RETURN
        .size fix_fwrap_func, . - fix_fwrap_func

/* nfgroup(group), fix_fwrap(list): native entries, cdecl. Load nil and the
   calling thread's record, call newfgroup or fix_fwrap_func, and return
   its value. */
.macro GROUP_ENTRY name, routine
        .globl \name
        .hidden \name
        .type \name, @function
\name:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        push edi                                /* home slots: Lisp values */
        push edi
        mov eax, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT]
        call \routine
        NATIVE_ENTRY_RETURN
        .size \name, . - \name
.endm

        GROUP_ENTRY nfgroup, newfgroup
        GROUP_ENTRY fix_fwrap, fix_fwrap_func

        .section .note.GNU-stack, "", @progbits
