/* The trap handlers: the trap dispatcher makes the trapping code resume in
   one of them; each reports the condition to Lisp in the shared handler
   frame (trap_handler_frame.inc) and, when Lisp returns, resumes the
   trapping code with everything as it was, apart from what the handler
   patches.

   Decisions:
   - unbound and ffunbound store a value into the saved eax, ecx, edx, ebx,
     ebp or esi; a compare naming esp or edi is left alone.
   - unbound takes the trapping ecx as the symbol (tag 0: plus 7). */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/trap_handler_frame.inc"

#define NIL_T (-0x3e)
#define NIL_CONDITION_SYMBOL (-0xe5)
#define NIL_BREAKPOINT_SYMBOL (-0xe1)
#define NIL_CONTINUABLE_ERROR_SYMBOL (-0x2a5)
#define NIL_SIGNAL_PENDING (-0x35)
#define NIL_INTERRUPT_COUNTER (-0x409)
#define NIL_FOREIGN_RESOLVER (-0x1b5)
#define NIL_FOREIGN_ADDRESS_ERROR (-0xf1)
#define NIL_UNRESOLVED_MARKER (-0x21)
#define KIND_CONDITION 0
#define KIND_ERROR 4
#define KIND_LIBRARY_ADDRESS 8
#define ERROR_UNBOUND 5
#define ERROR_UNDEFINED_FUNCTION 25
#define ERROR_LIBRARY_ADDRESS 19
#define ERROR_URGENT_INTERRUPT 20
#define URGENT_INTERRUPT_DATUM 5
#define CONDITION_STACK_OVERFLOW 1000
#define TAG_MASK 7
#define TAG_SYMBOL 7
#define THREAD_STACK_LIMIT 0x1a
#define SAVED_STACK_LIMIT (-0x38)     /* a raw word of the handler frame */
#define LOCATIVE_TYPE 0x87
#define LOCATIVE_TYPE_BYTE (-0x17)
#define LOCATIVE_SYMBOL (-7)            /* the bound symbol, in the name word */
#define COMPARE_OPCODE 0x3b
#define COMPARE_UNBOUND_DISPLACEMENT 0xd7
#define COMPARE_UNRESOLVED_DISPLACEMENT 0xdf

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_trap_handlers, "ax", @progbits

/* trap_handlers_begin, trap_handlers_end: bound this file's code. */
        .globl trap_handlers_begin
        .hidden trap_handlers_begin
trap_handlers_begin:

/* handle_saving_context: trap handler. By the kind in +0x132 (fixnum): 0
   calls the condition function with (+0x136, the datum +0x13a as an
   unsigned integer); 4 the two-argument error function with (+0x136,
   +0x13a), and what it returns replaces the datum in +0x13a, for a runtime
   routine that trapped to answer with (qsymeval's trap does; for an
   undefined function, 25, the trapping ecx is kept as a Lisp value
   meanwhile); 8 runtime error 19 with the address in +0x136 as an
   unsigned integer; any other kind nothing. Then resumes. */
        .globl handle_saving_context
        .hidden handle_saving_context
        .type handle_saving_context, @function
handle_saving_context:
        TRAP_HANDLER_ENTER MARKER_TRAP_HANDLER
        mov eax, [ebx + THREAD_TRAP_HANDLER_KIND]
        cmp eax, FIXNUM(KIND_CONDITION)
        je 1f
        cmp eax, FIXNUM(KIND_ERROR)
        je 2f
        cmp eax, FIXNUM(KIND_LIBRARY_ADDRESS)
        je 3f
        jmp 9f
1:      mov eax, [ebx + THREAD_TRAP_ERROR_DATUM]
        call unsigned_fixnum_or_bignum
        mov edx, eax
        mov eax, [ebx + THREAD_TRAP_ERROR_CODE]
        CALL_SYMBOL_2 NIL_CONDITION_SYMBOL
        jmp 9f
2:      cmp dword ptr [ebx + THREAD_TRAP_ERROR_CODE], FIXNUM(ERROR_UNDEFINED_FUNCTION)
        jne 4f
        KEEP_ECX_SYMBOL
4:      mov eax, [ebx + THREAD_TRAP_ERROR_CODE]
        mov edx, [ebx + THREAD_TRAP_ERROR_DATUM]
        call rs_error_with_datum
        mov ebx, [ebp - 0x1c]
        mov [ebx + THREAD_TRAP_ERROR_DATUM], eax
        RESUME_ECX_SYMBOL
        jmp 9f
3:      mov eax, [ebx + THREAD_TRAP_ERROR_CODE]
        call unsigned_fixnum_or_bignum
        mov edx, eax
        mov eax, FIXNUM(ERROR_LIBRARY_ADDRESS)
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
9:      mov ebx, [ebp - 0x1c]
        TRAP_HANDLER_RESUME 1
        .size handle_saving_context, . - handle_saving_context

/* stack_ov: trap handler. Calls the condition function with (fixnum 1000,
   t); when it returns, the stack limit the trap lowered (the dispatcher
   left the old one in +0x13a) is put back. Then resumes. Decision: the
   limit goes back when the condition returns, since a limit left lowered
   would give away 0xa000 more of the stack at every such overflow, down
   to the last reserve above the stack's end. A condition that throws never
   reaches the restore (the lowered limit stays, as the trap set it); after
   one that returns, the next limit check of code still that deep traps
   again, so the overflow is reported once more rather than passed over.
   While that word holds no symbol (during start-up) the process ends
   instead (stack_overflow_before_lisp), as the argument area's report
   does. */
        .globl stack_ov
        .hidden stack_ov
        .type stack_ov, @function
stack_ov:
        TRAP_HANDLER_ENTER MARKER_TRAP_HANDLER
        mov eax, [edi + NIL_CONDITION_SYMBOL]
        and eax, TAG_MASK
        cmp eax, TAG_SYMBOL
        jne 1f
        mov eax, [ebx + THREAD_TRAP_ERROR_DATUM]
        mov [ebp + SAVED_STACK_LIMIT], eax
        mov eax, FIXNUM(CONDITION_STACK_OVERFLOW)
        lea edx, [edi + NIL_T]
        CALL_SYMBOL_2 NIL_CONDITION_SYMBOL
        mov eax, [ebp + SAVED_STACK_LIMIT]
        mov [ebx + THREAD_STACK_LIMIT], eax
        TRAP_HANDLER_RESUME 1
1:      CALL_NATIVE stack_overflow_before_lisp
        .size stack_ov, . - stack_ov

/* saved_register_slot: frameless leaf. In: eax = a register number (0
   eax, 1 ecx, 2 edx, 3 ebx, 5 ebp, 6 esi; 4 esp and 7 edi are never
   stored). Out: eax = its slot's offset from the handler frame, or 0. */
        .type saved_register_slot, @function
saved_register_slot:
        cmp eax, 0
        je 0f
        cmp eax, 1
        je 1f
        cmp eax, 2
        je 2f
        cmp eax, 3
        je 3f
        cmp eax, 5
        je 5f
        cmp eax, 6
        je 6f
        jmp 7f
0:      mov eax, SAVED_EAX
        ret
1:      mov eax, SAVED_ECX
        ret
2:      mov eax, SAVED_EDX
        ret
3:      mov eax, SAVED_EBX
        ret
5:      mov eax, SAVED_EBP
        ret
6:      mov eax, SAVED_ESI
        ret
7:      xor eax, eax
        ret
        .size saved_register_slot, . - saved_register_slot
.macro SAVED_REGISTER_SLOT
        call saved_register_slot
.endm

/* STORE_INTO_COMPARED value, marker_displacement, distance: when the bytes
   `distance` (call form) or 5 (int form) before the resume address are a
   compare 3B, 47+8r, marker_displacement, stores value into the saved
   register r. Clobbers eax, ecx. */
.macro STORE_INTO_COMPARED value, marker_displacement, distance
        mov ecx, [ebp + 4]
        sub ecx, \distance
        cmp dword ptr [ebp + SAVED_RESUME_SKIP], 0
        je .Lat\@
        lea ecx, [ecx + \distance - 5]
.Lat\@:
        cmp byte ptr [ecx], COMPARE_OPCODE
        jne .Ldone\@
        cmp byte ptr [ecx + 2], \marker_displacement
        jne .Ldone\@
        movzx eax, byte ptr [ecx + 1]
        sub eax, 0x47
        jb .Ldone\@
        test eax, 0xc7
        jnz .Ldone\@
        shr eax, 3
        SAVED_REGISTER_SLOT
        test eax, eax
        jz .Ldone\@
        mov ecx, \value
        mov [ebp + eax], ecx
.Ldone\@:
.endm

/* unbound: trap handler. Calls the continuable-error function with
   (fixnum 5, the trapping ecx as a symbol; a locative, type byte 0x87,
   stands for the symbol it binds, its word at -7) and stores its value
   into the register the compare before the trap names; resumes past the
   trap. */
        .globl unbound
        .hidden unbound
        .type unbound, @function
unbound:
        TRAP_HANDLER_ENTER MARKER_TRAP_HANDLER
        KEEP_ECX_SYMBOL
        mov edx, [ebp + SAVED_ECX]
        test dl, 7
        jnz 1f
        add edx, 7
1:      mov eax, edx
        and eax, 7
        cmp eax, 7
        jne 2f
        cmp byte ptr [edx + LOCATIVE_TYPE_BYTE], LOCATIVE_TYPE
        jne 2f
        mov edx, [edx + LOCATIVE_SYMBOL]
2:      mov eax, FIXNUM(ERROR_UNBOUND)
        CALL_SYMBOL_2 NIL_CONTINUABLE_ERROR_SYMBOL
        mov edx, eax
        RESUME_ECX_SYMBOL
        STORE_INTO_COMPARED edx, COMPARE_UNBOUND_DISPLACEMENT, 8
        TRAP_HANDLER_RESUME 1
        .size unbound, . - unbound

/* ffunbound: trap handler. Calls the foreign-address resolver with the
   trapping ecx; a result whose word +2 is still the unresolved marker goes
   to the foreign-address error function with (its word -0xe, t). The
   result goes into the saved ecx (a raw word) once that function has
   returned: while it runs, the result waits in the frame's word -0x14,
   which the collector updates. Its word +2 goes into the register the
   compare before the trap names. Resumes past the trap. */
        .globl ffunbound
        .hidden ffunbound
        .type ffunbound, @function
ffunbound:
        TRAP_HANDLER_ENTER MARKER_TRAP_HANDLER
        mov eax, [ebp + SAVED_ECX]
        mov edx, edi
        mov ebx, [edi + NIL_FOREIGN_RESOLVER]
        mov ecx, 1
        call edi
        mov ebx, [ebp - 0x1c]
        mov edx, [eax + 2]
        cmp edx, [edi + NIL_UNRESOLVED_MARKER]
        jne 1f
        mov [ebp + KEPT_VALUE], eax
        mov eax, [eax - 0xe]
        lea edx, [edi + NIL_T]
        CALL_SYMBOL_2 NIL_FOREIGN_ADDRESS_ERROR
        mov eax, [ebp + KEPT_VALUE]
        mov dword ptr [ebp + KEPT_VALUE], 0
        mov edx, [eax + 2]
1:      mov [ebp + SAVED_ECX], eax
        STORE_INTO_COMPARED edx, COMPARE_UNRESOLVED_DISPLACEMENT, 11
        TRAP_HANDLER_RESUME 1
        .size ffunbound, . - ffunbound

/* lisp_breakpoint: trap handler (marker 0xe46). F = the interrupted
   frame's function word, a = the resume address. F a function containing
   a: the breakpoint function gets (F, fixnum (a - F's start)); otherwise
   (the interrupted frame pointer, fixnum (a & 0xffff), fixnum (a >> 16)).
   Resumes. */
        .globl lisp_breakpoint
        .hidden lisp_breakpoint
        .type lisp_breakpoint, @function
lisp_breakpoint:
        TRAP_HANDLER_ENTER MARKER_BREAKPOINT_HANDLER
        mov eax, [ebp + SAVED_EBP]
        mov eax, [eax - 4]
        mov edx, [ebp + 4]
        call func_subsumes_pc
        cmp eax, edi
        je 1f
        mov eax, [ebp + SAVED_EBP]
        mov eax, [eax - 4]
        mov edx, [ebp + 4]
        sub edx, [eax - 0xe]
        shl edx, 2
        CALL_SYMBOL_2 NIL_BREAKPOINT_SYMBOL
        jmp 9f
1:      mov eax, [ebp + 4]
        shr eax, 16
        shl eax, 2
        mov [esp + 8], eax
        movzx edx, word ptr [ebp + 4]
        shl edx, 2
        mov eax, [ebp + SAVED_EBP]
        mov ebx, [edi + NIL_BREAKPOINT_SYMBOL]
        mov ecx, 3
        call edi
        mov ebx, [ebp - 0x1c]
9:      TRAP_HANDLER_RESUME 1
        .size lisp_breakpoint, . - lisp_breakpoint

/* process_sig1: trap handler for a pending interrupt seen at a safe point.
   Calls process_sig, then resumes past the trap. */
        .globl process_sig1
        .hidden process_sig1
        .type process_sig1, @function
process_sig1:
        TRAP_HANDLER_ENTER MARKER_TRAP_HANDLER
        call process_sig
        mov ebx, [ebp - 0x1c]
        TRAP_HANDLER_RESUME 1
        .size process_sig1, . - process_sig1

/* process_sig: runtime routine. When the thread value of the deferral
   symbol is nil: process_sig_2. Out: eax nil. */
        .globl process_sig
        .hidden process_sig
        .type process_sig, @function
process_sig:
        RUNTIME_FRAME
        and esp, -16
        sub esp, 12
        push ebx
        cld
        call interrupt_deferral_value
        mov ebx, [ebp - 0x1c]
        cmp eax, edi
        jne 1f
        call process_sig_2
1:      mov eax, edi
        RUNTIME_RETURN
        .size process_sig, . - process_sig

/* process_sig_2: runtime routine. Clears the pending-interrupt word and
   the interrupt-request counter (so that only unanswered interrupts count
   towards the urgent one), logs the event, then calls the condition function with
   (nil, t). Out: what it returned. */
        .globl process_sig_2
        .hidden process_sig_2
        .type process_sig_2, @function
process_sig_2:
        RUNTIME_FRAME
        sub esp, 8
        mov dword ptr [edi + NIL_SIGNAL_PENDING], 0
        mov dword ptr [edi + NIL_INTERRUPT_COUNTER], 0
        CALL_NATIVE note_signal_processed
        mov eax, edi
        lea edx, [edi + NIL_T]
        mov ebx, [edi + NIL_CONDITION_SYMBOL]
        call dword ptr [edi + NIL_SLOT_CALL_TWO_ARGS]
        RUNTIME_RETURN
        .size process_sig_2, . - process_sig_2

/* func_subsumes_pc: frameless leaf. In: eax = an object, edx = an
   address. Out: eax = t when the object is a heap function whose code
   holds the address, else nil; other registers kept. */
        .globl func_subsumes_pc
        .hidden func_subsumes_pc
        .type func_subsumes_pc, @function
func_subsumes_pc:
        push ebp
        mov ebp, esp
        push ecx
        push edx
        and esp, -16
        sub esp, 8
        push edx
        push eax
        cld
        call func_subsumes_pc_of
        lea esp, [ebp - 8]
        pop edx
        pop ecx
        pop ebp
        ret
        .size func_subsumes_pc, . - func_subsumes_pc

/* urgent_interrupt: the fifth unanswered interrupt while Lisp runs; the
   context was redirected here with the interrupted eip pushed. Raises
   runtime error 20 with fixnum 5 in the handler frame (as from an owned
   frame, resuming at that eip), then resumes. The interrupted ecx waits in
   the frame's closure slot meanwhile: compiled code may hold a Lisp value
   there, and a count or fixnum is left alone by the collector. */
        .globl urgent_interrupt
        .hidden urgent_interrupt
        .type urgent_interrupt, @function
urgent_interrupt:
        pushfd
        push eax
        push ebx
        THREAD_FROM_SLOT
        mov eax, [esp + 12]
        mov [ebx + THREAD_TRAP_ADDRESS], eax
        mov dword ptr [ebx + THREAD_TRAP_RESUME_SKIP], 0
        lea eax, [edi + NIL_T]
        mov [ebx + THREAD_TRAP_FRAME_OWNED], eax
        pop ebx
        pop eax
        popfd
        TRAP_HANDLER_ENTER MARKER_TRAP_HANDLER
        mov eax, [ebp + SAVED_ECX]
        mov [ebp + KEPT_VALUE], eax
        mov eax, FIXNUM(ERROR_URGENT_INTERRUPT)
        mov edx, FIXNUM(URGENT_INTERRUPT_DATUM)
        call rs_error_with_datum
        mov ebx, [ebp - 0x1c]
        mov eax, [ebp + KEPT_VALUE]
        mov [ebp + SAVED_ECX], eax
        mov dword ptr [ebp + KEPT_VALUE], 0
        TRAP_HANDLER_RESUME 1
        .size urgent_interrupt, . - urgent_interrupt

/* unordered: trap handler for a floating-point compare that found a NaN.
   Forges an ordered result into the saved flags (unordered_flags reads the
   compare and the saved registers); resumes past the trap. */
        .globl unordered
        .hidden unordered
        .type unordered, @function
unordered:
        TRAP_HANDLER_ENTER MARKER_TRAP_HANDLER
        FP_IMAGE_TO_SCRATCH
        mov eax, esp
        mov edx, [ebp + 4]
        sub edx, 0x11
        sub esp, 4
        push dword ptr [ebp + SAVED_FLAGS]
        push edx
        push eax
        cld
        call unordered_flags
        mov [ebp + SAVED_FLAGS], eax
        TRAP_HANDLER_RESUME 1
        .size unordered, . - unordered

        .globl trap_handlers_end
        .hidden trap_handlers_end
trap_handlers_end:

        .section .note.GNU-stack, "", @progbits
