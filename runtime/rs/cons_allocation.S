/* Cons allocation and the consing mode.

   Compiled code conses through the slots nil+0x2b (qcons) and nil+0x243
   (tcons). In normal mode they bump the shared cons area (nil-0x211 next
   free, nil-0x20d limit, both tagged cons words) and fall back to lisp_cons
   when it is used up. Annotating mode points both slots at mcons, which
   hands every new cons to a Lisp function; the slots are rewritten only on
   the transitions of the mode counter at nil-0x31 between 0 and -1.

   This file also holds the markers that bound the stretch of runtime code
   from the write barrier through the object constructors; each part of the
   stretch lives in a name-sorted section, so the linker keeps the order. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_CONS_NEXT (-0x211)
#define NIL_CONS_LIMIT (-0x20d)
#define NIL_CONSING_MODE (-0x31)
#define NIL_ANNOTATING_SYMBOL (-0x59)
#define SLOT_QCONS 0x2b
#define SLOT_TCONS 0x243
#define THREAD_ANNOTATING 0x8a
#define CONS_CAR (-0x11)
#define CONS_CDR (-0xd)

        .intel_syntax noprefix

/* start_of_gc_runtime, end_of_gc_runtime: routines that only return; their
   addresses bound the stretch. */
        .section .text.sorted.gc_runtime_0_start, "ax", @progbits
        .globl start_of_gc_runtime
        .hidden start_of_gc_runtime
        .type start_of_gc_runtime, @function
start_of_gc_runtime:
        ret
        .size start_of_gc_runtime, . - start_of_gc_runtime

        .section .text.sorted.gc_runtime_9_end, "ax", @progbits
        .globl end_of_gc_runtime
        .hidden end_of_gc_runtime
        .type end_of_gc_runtime, @function
end_of_gc_runtime:
        ret
        .size end_of_gc_runtime, . - end_of_gc_runtime

        .section .text.sorted.gc_runtime_2_conses, "ax", @progbits

/* qcons: runtime routine. In: eax = car, edx = cdr. Out: eax = a new cons,
   carry clear; edx kept, ecx clobbered. Seven instructions and no frame
   while the cons area has room; else a tail call of lisp_cons. */
        .globl qcons
        .hidden qcons
        .type qcons, @function
qcons:
        mov ecx, [edi + NIL_CONS_NEXT]
        cmp ecx, [edi + NIL_CONS_LIMIT]
        je lisp_cons
        mov [ecx + CONS_CAR], eax
        mov [ecx + CONS_CDR], edx
        add dword ptr [edi + NIL_CONS_NEXT], 8
        mov eax, ecx
        ret
        .size qcons, . - qcons

/* tcons: as qcons, and esi := the caller's ebp-4 on the way out (esi is
   the scratch register here, so ecx is kept). */
        .globl tcons
        .hidden tcons
        .type tcons, @function
tcons:
        mov esi, [edi + NIL_CONS_NEXT]
        cmp esi, [edi + NIL_CONS_LIMIT]
        je lisp_cons
        mov [esi + CONS_CAR], eax
        mov [esi + CONS_CDR], edx
        add dword ptr [edi + NIL_CONS_NEXT], 8
        mov eax, esi
        mov esi, [ebp - 4]
        ret
        .size tcons, . - tcons

/* lisp_cons: runtime routine. In: eax = car, edx = cdr. Takes a cell from
   the collector (cons_from_new_page, which makes room as needed) inside a
   foreign-call record. Car and cdr wait in their home slots meanwhile.
   Out: eax = the cons, edx = cdr, carry clear; ecx clobbered, esi := the
   caller's ebp-4. */
        .globl lisp_cons
        .hidden lisp_cons
        .type lisp_cons, @function
lisp_cons:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        CALL_NATIVE cons_from_new_page
        mov edx, [ebp + 8]
        mov [eax], edx
        mov edx, [ebp + 12]
        mov [eax + 4], edx
        add eax, 0x11
        RUNTIME_RETURN
        .size lisp_cons, . - lisp_cons

/* mcons: runtime routine, the cons slots' routine in annotating mode.
   In: eax = car, edx = cdr. Makes the cons as qcons does, then calls the
   function of the symbol at nil-0x59 with (car, cdr, cons).
   Out: whatever that function returns, with its carry and value count;
   esi := the caller's ebp-4. The word at ebp-0x20, which the collector
   never visits, stays unused: argument 3 and the home slots lie below it,
   nil until written, so a collection inside the function updates them. */
        .globl mcons
        .hidden mcons
        .type mcons, @function
mcons:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push edi                                /* ebp-0x20 */
        push edi                                /* argument 3 */
        push edi                                /* home slots */
        push edi
        call qcons
        mov [esp + 8], eax
        mov eax, [ebp + 8]
        mov edx, [ebp + 12]
        mov ebx, [edi + NIL_ANNOTATING_SYMBOL]
        mov ecx, 3
        call edi
        leave
        mov esi, [ebp - 4]
        ret
        .size mcons, . - mcons

/* lisp_list: runtime routine. In: ecx = count, eax, edx and the stacked
   arguments. Homes eax and edx and continues in restify2 with the address
   of the first home slot. Out: eax = a fresh list of the arguments. */
        .globl lisp_list
        .hidden lisp_list
        .type lisp_list, @function
lisp_list:
        mov [esp + 4], eax
        mov [esp + 8], edx
        lea eax, [esp + 4]
        jmp restify2
        .size lisp_list, . - lisp_list

/* restify2: runtime routine. In: eax = address of the first of ecx words
   (Lisp values in a frame the stack scan updates). Out: eax = a fresh list
   of those words in order, nil for a count of 0 or less; carry clear.
   Built from the last word back; the list so far is the cdr of each qcons
   call, whose slow path keeps it in this frame's outgoing home slot. The
   address and the remaining byte offset stay in the frame (fixnum-shaped). */
        .globl restify2
        .hidden restify2
        .type restify2, @function
restify2:
        RUNTIME_FRAME
        sub esp, 16                             /* ebp-0x20, ebp-0x24, home slots */
        mov [ebp - 0x20], eax
        lea ecx, [4 * ecx]
        mov edx, edi
1:      test ecx, ecx
        jle 2f
        sub ecx, 4
        mov [ebp - 0x24], ecx
        mov eax, [ebp - 0x20]
        mov eax, [eax + ecx]
        call qcons
        mov edx, eax
        mov ecx, [ebp - 0x24]
        jmp 1b
2:      mov eax, edx
        RUNTIME_RETURN
        .size restify2, . - restify2

/* set_annotating_consing: runtime routine, no arguments. Decrements the
   mode counter by compare-and-exchange; the request that takes it from 0
   points both cons slots at mcons and marks this thread (thread+0x8a :=
   fixnum 1). Out: eax = fixnum 1 for that request, else nil; carry clear;
   ecx, edx clobbered. */
        .globl set_annotating_consing
        .hidden set_annotating_consing
        .type set_annotating_consing, @function
set_annotating_consing:
        mov eax, [edi + NIL_CONSING_MODE]
1:      lea edx, [eax - 1]
        lock cmpxchg [edi + NIL_CONSING_MODE], edx
        jne 1b
        test eax, eax
        jne 2f
        LOAD_GOT_ECX
        lea edx, [ecx + mcons@GOTOFF]
        mov [edi + SLOT_QCONS], edx
        mov [edi + SLOT_TCONS], edx
        mov dword ptr [ebx + THREAD_ANNOTATING], FIXNUM(1)
        mov eax, FIXNUM(1)
        clc
        ret
2:      mov eax, edi
        clc
        ret
        .size set_annotating_consing, . - set_annotating_consing

/* set_normal_consing: runtime routine, no arguments. Increments the mode
   counter by compare-and-exchange; the request that brings it back to 0
   restores qcons and tcons and clears this thread's mark (nil).
   Out: eax = nil, carry clear; ecx, edx clobbered. */
        .globl set_normal_consing
        .hidden set_normal_consing
        .type set_normal_consing, @function
set_normal_consing:
        mov eax, [edi + NIL_CONSING_MODE]
1:      lea edx, [eax + 1]
        lock cmpxchg [edi + NIL_CONSING_MODE], edx
        jne 1b
        test edx, edx
        jne 2f
        LOAD_GOT_ECX
        lea edx, [ecx + qcons@GOTOFF]
        mov [edi + SLOT_QCONS], edx
        lea edx, [ecx + tcons@GOTOFF]
        mov [edi + SLOT_TCONS], edx
        mov [ebx + THREAD_ANNOTATING], edi
2:      mov eax, edi
        clc
        ret
        .size set_normal_consing, . - set_normal_consing

        .text

/* smp_conditional_update_nat(address, expected, new): native entry, cdecl.
   One locked compare-and-exchange. Returns 1 when the word held expected
   and received new, else 0 (the word unchanged). */
        .globl smp_conditional_update_nat
        .hidden smp_conditional_update_nat
        .type smp_conditional_update_nat, @function
smp_conditional_update_nat:
        mov edx, [esp + 4]
        mov eax, [esp + 8]
        mov ecx, [esp + 12]
        lock cmpxchg [edx], ecx
        sete al
        movzx eax, al
        ret
        .size smp_conditional_update_nat, . - smp_conditional_update_nat

        .section .note.GNU-stack, "", @progbits
