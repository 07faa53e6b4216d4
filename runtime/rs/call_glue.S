/* Call glue: the small fixed routines that compiled code calls instead of
   inlining a type dispatch. funcall_check calls any object; qcar and qcdr
   take the car or cdr of a list; the wrapper readers answer the wrapper of
   an instance; st_restify and st2_restify build a rest list of stack
   conses; short_vector makes a vector of its arguments; functionfault and
   its second entry lead to the function-fault routines.

   The fast paths (funcall_check's first three cases, qcar and qcdr of a
   list, the wrapper readers) build no frame and make no call. */
#include "runtime/rs/runtime_frame.inc"

#define TAG_MASK 7
#define TAG_CONS 1
#define TAG_OTHER 2
#define TAG_SYMBOL 7
#define HEADER (-0x12)                 /* header word of an other object */
#define HEADER_FLAGS (-0x11)           /* header byte 1 */
#define DATA_WORD(k) (-0xe + 4 * (k))  /* data word k of an other object */
#define CONS_CAR (-0x11)
#define CONS_CDR (-0xd)
#define TYPE_FUNCTION 8
#define TYPE_CLOSURE 9
#define TYPE_STANDARD_INSTANCE 12
#define TYPE_STRUCTURE 15
#define TYPE_LISP_VECTOR 96
#define FUNCALLABLE_INSTANCE_BIT 1     /* header byte 1 of a function */
#define STRUCT_WRAPPER_WORD 0x12       /* word 8 of the structure's class object */

#define SLOT_CALL_FUNCTION 0x23        /* stub entry nil+6: esi already loaded */
#define SLOT_CALL_SYMBOL_UNMASKED 0x11f /* stub entry nil+3: ebx = symbol */
#define SLOT_FLAV_SEND 0xdb
#define SLOT_FUNCTION_FAULT_1 0x1f7
#define SLOT_FUNCTION_FAULT_2 0x1fb
#define NIL_COMP_TO_INTERP (-0x1f1)
#define NIL_WRAPPER_FALLBACK (-0x189)  /* symbol: q_wrapper's other objects */

#define FRAME_COUNT (-0x10)            /* -1 marks the frame of a qcar/qcdr trap */
#define FRAME_CLOSURE (-0x14)
#define FRAME_SYMBOL (-0x18)
#define FRAME_THREAD (-0x1c)
#define THREAD_TRAP_ERROR_DATUM 0x13a  /* the error function's value after a trap */

#define ERROR_TOO_LONG 56              /* with the length, as make_svector */
#define MAX_HEADER_LENGTH 0xffffff

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_call_glue, "ax", @progbits

/* funcall_check: runtime routine, jumped to or called in place of a call.
   In: esi = F, the object to call; a Lisp call in progress (ecx count, eax
   and edx arguments 1 and 2, home slots and further arguments at esp+4).
   - F a function or closure: ebx := nil, on into the stub at nil+6, which
     jumps through F's start word.
   - F a symbol: ebx := F, on into the stub at nil+3 (its function cell).
   - F a cons: ebx := the thread from frame word -0x1c, on through
     comp_to_interp (nil-0x1f1), which runs the list as a function.
   - Anything else: flav_send with F inserted as argument 1, count + 1.
   Out: what the called object returns.

   The last case copies the arguments into an outgoing area of its own,
   one word longer, inside a runtime frame, calls flav_send and returns its
   values: the caller owns exactly its count of argument words, so neither
   shifting them up nor moving the return address down would leave its
   frame and stack pointer intact. */
        .globl funcall_check
        .hidden funcall_check
        .type funcall_check, @function
funcall_check:
        mov ebx, esi
        and ebx, TAG_MASK
        cmp ebx, TAG_OTHER
        je .Lfuncall_other
        cmp ebx, TAG_SYMBOL
        je .Lfuncall_symbol
        cmp ebx, TAG_CONS
        je .Lfuncall_cons
        jmp .Lfuncall_send
.Lfuncall_other:
        movzx ebx, byte ptr [esi + HEADER]
        cmp ebx, TYPE_FUNCTION
        je 1f
        cmp ebx, TYPE_CLOSURE
        jne .Lfuncall_send
1:      mov ebx, edi
        jmp dword ptr [edi + SLOT_CALL_FUNCTION]
.Lfuncall_symbol:
        mov ebx, esi
        jmp dword ptr [edi + SLOT_CALL_SYMBOL_UNMASKED]
.Lfuncall_cons:
        mov ebx, [ebp + FRAME_THREAD]
        jmp dword ptr [edi + NIL_COMP_TO_INTERP]
.Lfuncall_send:
        mov [esp + 4], eax
        mov [esp + 8], edx
        mov ebx, [ebp + FRAME_THREAD]
        RUNTIME_FRAME
        mov eax, [ebp]
        mov eax, [eax + FRAME_CLOSURE]
        mov [ebp + FRAME_CLOSURE], eax          /* flav_send copies it on */
        mov [ebp + FRAME_SYMBOL], edi
        mov eax, ecx
        cmp eax, 2
        jae 2f
        mov eax, 2                              /* both home slots at least */
2:      lea edx, [4 * eax + 4]                  /* F, then the caller's words */
        sub esp, edx
        mov [esp], esi
3:      mov edx, [ebp + 4 + 4 * eax]
        mov [esp + 4 * eax], edx
        dec eax
        jnz 3b
        mov eax, esi
        mov edx, [esp + 4]
        inc ecx
        call dword ptr [edi + SLOT_FLAV_SEND]
        leave                                   /* keeps eax, edx, ecx and the carry */
        mov esi, [ebp - 4]
        ret
        .size funcall_check, . - funcall_check

/* qcar, qcdr: runtime routines. In: eax = a list. Out: eax = its car or
   cdr, one value, carry clear; no other register changes (the trap path
   below: ebx := the thread, esi := the caller's frame word -4).
   A non-list: the caller's frame word -0x10 := -1, a runtime frame, and
   trap_cons with eax = the object - 1. The instruction after that call
   only encodes the field for the trap handler (a lea, which reads no
   memory through the object); then the frame goes and the answer is what
   the error function returned (the handler leaves it in the thread's
   error-datum word, as for qsymeval's trap), one value. */
.macro LIST_FIELD name, displacement
        .globl \name
        .hidden \name
        .type \name, @function
\name:
        dec eax
        test al, 3                              /* clears the carry */
        jnz 1f
        mov eax, [eax + \displacement]
        ret
1:      mov dword ptr [ebp + FRAME_COUNT], -1
        mov ebx, [ebp + FRAME_THREAD]
        RUNTIME_FRAME
        call trap_cons
        lea eax, [eax + \displacement]          /* ModRM 0x40, the field's displacement */
        leave
        mov esi, [ebp - 4]
        mov eax, [ebx + THREAD_TRAP_ERROR_DATUM]
        clc
        ret
        .size \name, . - \name
.endm

        LIST_FIELD qcar, -0x10
        LIST_FIELD qcdr, -0xc

/* q_wrapper: runtime routine. In: eax = X; ecx and the other arguments
   are passed on to the fallback. Out: eax = X's wrapper word, carry clear,
   esi := the caller's frame word -4:
   - a standard-instance (type 12): its data word 0;
   - a function (type 8) with bit 0 of header byte 1 set (a funcallable
     instance): its data word 9;
   - a structure (type 15) whose data word 0 is a cons: word 8 of the
     object that is data word 1 of that cons's cdr (both other objects;
     any other shape is left to the fallback, so nothing is read through a
     non-object).
   Anything else: a tail call of the function of the symbol at nil-0x189
   with the same arguments. */
        .globl q_wrapper
        .hidden q_wrapper
        .type q_wrapper, @function
q_wrapper:
        mov esi, eax
        and esi, TAG_MASK
        cmp esi, TAG_OTHER
        jne .Lwrapper_fallback
        movzx esi, byte ptr [eax + HEADER]
        cmp esi, TYPE_STANDARD_INSTANCE
        je .Lwrapper_instance
        cmp esi, TYPE_FUNCTION
        je .Lwrapper_function
        cmp esi, TYPE_STRUCTURE
        jne .Lwrapper_fallback
        mov esi, [eax + DATA_WORD(0)]
        mov ebx, esi
        and ebx, TAG_MASK
        cmp ebx, TAG_CONS
        jne .Lwrapper_fallback
        mov esi, [esi + CONS_CDR]
        mov ebx, esi
        and ebx, TAG_MASK
        cmp ebx, TAG_OTHER
        jne .Lwrapper_fallback
        mov esi, [esi + DATA_WORD(1)]
        mov ebx, esi
        and ebx, TAG_MASK
        cmp ebx, TAG_OTHER
        jne .Lwrapper_fallback
        mov eax, [esi + STRUCT_WRAPPER_WORD]
        mov ebx, [ebp + FRAME_THREAD]
        jmp .Lwrapper_done
.Lwrapper_function:
        test byte ptr [eax + HEADER_FLAGS], FUNCALLABLE_INSTANCE_BIT
        jz .Lwrapper_fallback
        mov eax, [eax + DATA_WORD(9)]
        jmp .Lwrapper_done
.Lwrapper_instance:
        mov eax, [eax + DATA_WORD(0)]
.Lwrapper_done:
        mov esi, [ebp - 4]
        clc
        ret
.Lwrapper_fallback:
        mov ebx, [edi + NIL_WRAPPER_FALLBACK]
        jmp dword ptr [edi + SLOT_CALL_SYMBOL_UNMASKED]
        .size q_wrapper, . - q_wrapper

/* The two cases every wrapper reader shares. In: eax = X. Jumps to
   `instance` or `funcallable` with esi clobbered, else falls through. */
.macro WRAPPER_CASES instance, funcallable
        mov esi, eax
        and esi, TAG_MASK
        cmp esi, TAG_OTHER
        jne 8f
        movzx esi, byte ptr [eax + HEADER]
        cmp esi, TYPE_STANDARD_INSTANCE
        je \instance
        cmp esi, TYPE_FUNCTION
        jne 8f
        test byte ptr [eax + HEADER_FLAGS], FUNCALLABLE_INSTANCE_BIT
        jnz \funcallable
8:
.endm

/* q_wrapper_std: runtime routine. In: eax = X. Out: eax = the wrapper word
   of a standard-instance or funcallable instance (as q_wrapper), else the
   fixnum 0; one value, esi := the caller's frame word -4. */
        .globl q_wrapper_std
        .hidden q_wrapper_std
        .type q_wrapper_std, @function
q_wrapper_std:
        WRAPPER_CASES 1f, 2f
        xor eax, eax
        jmp 3f
1:      mov eax, [eax + DATA_WORD(0)]
        jmp 3f
2:      mov eax, [eax + DATA_WORD(9)]
3:      mov esi, [ebp - 4]
        clc
        ret
        .size q_wrapper_std, . - q_wrapper_std

/* q_wrapper_slots_std: runtime routine. In: eax = X. Out: eax = wrapper
   word and edx = slots word: data words 0 and 1 of a standard-instance,
   data words 9 and 10 of a funcallable instance; otherwise eax = 0 and
   edx unchanged. Carry clear, esi := the caller's frame word -4. */
        .globl q_wrapper_slots_std
        .hidden q_wrapper_slots_std
        .type q_wrapper_slots_std, @function
q_wrapper_slots_std:
        WRAPPER_CASES 1f, 2f
        xor eax, eax
        jmp 3f
1:      mov edx, [eax + DATA_WORD(1)]
        mov eax, [eax + DATA_WORD(0)]
        jmp 3f
2:      mov edx, [eax + DATA_WORD(10)]
        mov eax, [eax + DATA_WORD(9)]
3:      mov esi, [ebp - 4]
        clc
        ret
        .size q_wrapper_slots_std, . - q_wrapper_slots_std

/* st_restify, st2_restify: runtime routines. In: eax = address of the
   first of k rest argument words, ecx = 8 * (k + 1), edx = the tagged word
   (tag 1, or 5 with bit 2 set) of the highest cons cell of a stack area.
   Out: eax = the list of the k words in order, nil for ecx <= 8; one
   value, esi := the caller's frame word -4, ebx := its thread word; ecx
   and edx clobbered. The cells are used from edx downward, the last
   argument's cell first, so the first element lies lowest.
   st_restify carves each cell by pushing two words (nil, so the cell is
   a list cell before it is filled): it takes its return address off the
   stack first and returns by an indirect jump, leaving the caller's esp 8k
   bytes lower, its cells between the new esp and the old one; edx is then
   the old esp - 8 + 0x11 (or + 0x15). st2_restify fills cells the caller
   reserved and returns normally. Nothing is allocated in the heap. */
.macro STACK_RESTIFY push_cells
        cmp ecx, 8
        jle 3f
        .if \push_cells
        pop esi                                 /* the return address */
        .endif
        shr ecx, 1
        lea ecx, [eax + ecx - 8]                /* p: the last rest argument */
        and edx, -5                             /* tag 1 */
        mov ebx, edi                            /* tail */
1:      .if \push_cells
        push edi
        push edi
        .endif
        mov [edx + CONS_CDR], ebx
        push dword ptr [ecx]
        pop dword ptr [edx + CONS_CAR]
        mov ebx, edx
        sub edx, 8
        sub ecx, 4
        cmp ecx, eax
        jae 1b
        mov eax, ebx
        mov ebx, [ebp + FRAME_THREAD]
        .if \push_cells
        mov ecx, esi
        mov esi, [ebp - 4]
        clc
        jmp ecx
        .else
        mov esi, [ebp - 4]
        clc
        ret
        .endif
3:      mov eax, edi
        mov esi, [ebp - 4]
        clc
        ret
.endm

        .globl st_restify
        .hidden st_restify
        .type st_restify, @function
st_restify:
        STACK_RESTIFY 1
        .size st_restify, . - st_restify

        .globl st2_restify
        .hidden st2_restify
        .type st2_restify, @function
st2_restify:
        STACK_RESTIFY 0
        .size st2_restify, . - st2_restify

/* short_vector: runtime routine. In: ecx = n, eax, edx and the stacked
   arguments = the elements. Out: eax = a vector of type 96 (length in the
   header) holding the n arguments in order, made by new_other from
   4n + 4 bytes. n above 16777215 (the header's 24 bits): runtime error 56
   with n as a fixnum, nothing allocated. The arguments wait in the
   caller's home slots and argument area, n at ebp-0x20 as a fixnum. */
        .globl short_vector
        .hidden short_vector
        .type short_vector, @function
short_vector:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea edx, [4 * ecx]
        push edx                                /* ebp-0x20: n as a fixnum */
        cmp ecx, MAX_HEADER_LENGTH
        ja .Lshort_vector_long
        lea eax, [edx + 4]
        call new_other
        mov ecx, [ebp - 0x20]
        shl ecx, 6
        or ecx, TYPE_LISP_VECTOR
        mov [eax + HEADER], ecx
        shr ecx, 8
        jecxz 2f
1:      mov edx, [ebp + 4 + 4 * ecx]
        mov [eax + DATA_WORD(0) - 4 + 4 * ecx], edx
        dec ecx
        jnz 1b
2:      RUNTIME_RETURN
.Lshort_vector_long:
        mov eax, FIXNUM(ERROR_TOO_LONG)
        call rs_error_with_datum
        RUNTIME_RETURN
        .size short_vector, . - short_vector

/* functionfault, functionfault_2: the start words of functions whose code
   is not present. In: any Lisp call state. Jump through the slots of the
   function-fault routines (nil+0x1f7 and nil+0x1fb), registers unchanged. */
        .globl functionfault, functionfault_2
        .hidden functionfault, functionfault_2
        .type functionfault, @function
        .type functionfault_2, @function
functionfault:
        jmp dword ptr [edi + SLOT_FUNCTION_FAULT_1]
        .size functionfault, . - functionfault
functionfault_2:
        jmp dword ptr [edi + SLOT_FUNCTION_FAULT_2]
        .size functionfault_2, . - functionfault_2

/* set_tramp_from_tls: runtime routine. In: edi = nil. Out: ebx := the
   calling thread's record from its thread-local slot (byte index at
   nil-0x15), also stored in frame word -0x1c; other registers kept. */
        .globl set_tramp_from_tls
        .hidden set_tramp_from_tls
        .type set_tramp_from_tls, @function
set_tramp_from_tls:
        push eax
        THREAD_FROM_SLOT
        pop eax
        mov [ebp + FRAME_THREAD], ebx
        ret
        .size set_tramp_from_tls, . - set_tramp_from_tls

        .section .note.GNU-stack, "", @progbits
