/* Handlers a signal or fault reaches while native code runs, and the
   urgent interrupt: the context was redirected to them with the
   interrupted eip pushed on its stack, so each keeps every register,
   eflags and the x87/SSE state and returns to the interrupted instruction.

   The report itself runs in a native entry frame (runtime_frame.inc): its
   frame pointer goes into word 1 of the foreign-call head while Lisp runs,
   so the stack walk passes over the native code above it.

   Decision: a leaf handler turns the leaf native call into a regular one by
   building a foreign-call record at the saved leaf stack position (+0xf6)
   and linking it in; once the report returns it unlinks the record again
   and gives +0xf6 its position back, as every user of that spare record
   does, so the leaf call returns as it would have. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_T (-0x3e)
#define NIL_CONDITION_SYMBOL (-0xe5)
#define THREAD_HANDLER_KIND 0x132
#define ERROR_URGENT_INTERRUPT 20
#define URGENT_INTERRUPT_DATUM 5
#define FP_IMAGE_BYTES 512

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_native_signal_handlers, "ax", @progbits

/* KEEPING_EVERYTHING body: saves eflags, the general registers and the
   x87/SSE state, calls the native entry `body` (cdecl, no arguments),
   restores everything and returns to the interrupted instruction. */
.macro KEEPING_EVERYTHING body
        pushfd
        pushad
        mov esi, esp
        sub esp, FP_IMAGE_BYTES + 16
        and esp, -16
        fxsave [esp]
        cld
        call \body
        fxrstor [esp]
        mov esp, esi
        popad
        popfd
        ret
.endm

/* LINK_LEAF_CALL: with ebx = the thread: a foreign-call record at +0xf6
   (previous = the head, native frame = ebp, calling frame = +0xfa,
   continuation nil), made the head; +0xf6 := nil. Clobbers eax, ecx. */
.macro LINK_LEAF_CALL
        mov ecx, [ebx + THREAD_LEAF_STACK]
        mov eax, [ebx + THREAD_CLINK_HEAD]
        mov [ecx + CLINK_PREVIOUS], eax
        mov [ecx + CLINK_NATIVE_FRAME], ebp
        mov eax, [ebx + THREAD_LEAF_FRAME]
        mov [ecx + CLINK_FRAME], eax
        mov [ecx + CLINK_CONTINUATION], edi
        mov dword ptr [ecx + CLINK_CALLEE], 0
        mov dword ptr [ecx + CLINK_THROW_VALUES], 0
        mov [ebx + THREAD_CLINK_HEAD], ecx
        mov [ebx + THREAD_LEAF_STACK], edi
.endm

/* UNLINK_LEAF_CALL: the record LINK_LEAF_CALL made leaves the chain and
   goes back to +0xf6. Clobbers ecx, edx. */
.macro UNLINK_LEAF_CALL
        mov ebx, [ebp - 0x1c]
        mov ecx, [ebx + THREAD_CLINK_HEAD]
        mov edx, [ecx + CLINK_PREVIOUS]
        mov [ebx + THREAD_CLINK_HEAD], edx
        mov [ebx + THREAD_LEAF_STACK], ecx
.endm

/* REPORT_SIGNAL: the condition function with (+0x132, t). */
.macro REPORT_SIGNAL
        push edi
        push edi
        mov eax, [ebx + THREAD_HANDLER_KIND]
        lea edx, [edi + NIL_T]
        mov ebx, [edi + NIL_CONDITION_SYMBOL]
        call dword ptr [edi + NIL_SLOT_CALL_TWO_ARGS]
.endm

/* REPORT_URGENT: runtime error 20 with fixnum 5. */
.macro REPORT_URGENT
        push edi
        push edi
        LOAD_GOT_ECX
        mov dword ptr [ecx + inhibitprof@GOTOFF], 0
        mov eax, FIXNUM(ERROR_URGENT_INTERRUPT)
        mov edx, FIXNUM(URGENT_INTERRUPT_DATUM)
        call rs_error_with_datum
.endm

/* The reports, as native entries (cdecl, no arguments, nothing returned). */
        .type signal_from_native, @function
signal_from_native:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        REPORT_SIGNAL
        NATIVE_ENTRY_RETURN
        .size signal_from_native, . - signal_from_native

        .type signal_from_leaf, @function
signal_from_leaf:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_THREAD
        LINK_LEAF_CALL
        REPORT_SIGNAL
        UNLINK_LEAF_CALL
        NATIVE_ENTRY_LEAVE
        .size signal_from_leaf, . - signal_from_leaf

        .type urgent_from_native, @function
urgent_from_native:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        REPORT_URGENT
        NATIVE_ENTRY_RETURN
        .size urgent_from_native, . - urgent_from_native

        .type urgent_from_leaf, @function
urgent_from_leaf:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_THREAD
        LINK_LEAF_CALL
        REPORT_URGENT
        UNLINK_LEAF_CALL
        NATIVE_ENTRY_LEAVE
        .size urgent_from_leaf, . - urgent_from_leaf

/* handle_sig_from_c, handle_sig_from_c_leaf: a signal while native code
   runs (or a leaf native call is in progress): the condition function
   gets (+0x132, t); then the interrupted code goes on. */
        .globl handle_sig_from_c
        .hidden handle_sig_from_c
        .type handle_sig_from_c, @function
handle_sig_from_c:
        KEEPING_EVERYTHING signal_from_native
        .size handle_sig_from_c, . - handle_sig_from_c

        .globl handle_sig_from_c_leaf
        .hidden handle_sig_from_c_leaf
        .type handle_sig_from_c_leaf, @function
handle_sig_from_c_leaf:
        KEEPING_EVERYTHING signal_from_leaf
        .size handle_sig_from_c_leaf, . - handle_sig_from_c_leaf

/* urgent_interrupt_from_c, urgent_interrupt_from_c_leaf: the fifth
   unanswered interrupt while native code runs: runtime error 20 with
   fixnum 5; then the interrupted code goes on. */
        .globl urgent_interrupt_from_c
        .hidden urgent_interrupt_from_c
        .type urgent_interrupt_from_c, @function
urgent_interrupt_from_c:
        KEEPING_EVERYTHING urgent_from_native
        .size urgent_interrupt_from_c, . - urgent_interrupt_from_c

        .globl urgent_interrupt_from_c_leaf
        .hidden urgent_interrupt_from_c_leaf
        .type urgent_interrupt_from_c_leaf, @function
urgent_interrupt_from_c_leaf:
        KEEPING_EVERYTHING urgent_from_leaf
        .size urgent_interrupt_from_c_leaf, . - urgent_interrupt_from_c_leaf

        .section .note.GNU-stack, "", @progbits
