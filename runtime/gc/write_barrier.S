/* The write barrier entries of compiled code.

   A store marks the root-set bit of the target's page when a location that
   is not in new space receives a pointer into new space, or a pointer into
   the lisp-static range while lisp-static objects exist; never for fixnums
   or characters, never for pages below the heap's first page or beyond the
   bitmap. The barrier never clears a bit and never calls the collector.

   Common register contract: edi = nil, eax = the value, edx = the target
   address (raw). Every register but eax is preserved, eax is returned
   unchanged unless stated, and the routines return with carry clear. */
#include "runtime/rs/runtime_frame.inc"

#define SYMBOL_VALUE (-0x13)         /* value cell of a symbol or binding (tag 7) */
#define SYMBOL_VALUE_VECTOR 1
#define SVECTOR_LENGTH (-0xe)        /* fixnum length of a simple vector */
#define SVECTOR_DATA (-0xa)
#define THREAD_BINDING_INDEX 0x62    /* fixnum byte offset into value vectors */
#define TAG_MASK 7
#define TAG_CHARACTER 6
#define FIXNUM_BITS 3

        .intel_syntax noprefix
        /* The head of the stretch of runtime code that start_of_gc_runtime
           and end_of_gc_runtime bound (see cons_allocation.S). */
        .section .text.sorted.gc_runtime_1_barrier, "ax", @progbits

/* barrier_mark: the marking step once the fast exits are passed. In: eax =
   value (a pointer above the new-space fence), edx = target. Marks when the
   value is a character-free pointer into new space or the lisp-static range. */
        .type barrier_mark, @function
barrier_mark:
        push ecx
        mov ecx, eax
        and ecx, TAG_MASK
        cmp ecx, TAG_CHARACTER
        je 8f
        LOAD_GOT_ECX
        cmp eax, [ecx + GsNewTopLV@GOTOFF]
        jbe 5f
        cmp dword ptr [ecx + Gslispstatic_count@GOTOFF], 0
        jle 8f
        cmp eax, [ecx + Gslispstatic_min@GOTOFF]
        jb 8f
        cmp eax, [ecx + Gslispstatic_max@GOTOFF]
        ja 8f
5:      push edx
        shr edx, 13
        sub edx, [edi + NIL_FIRST_HEAP_PAGE]
        jb 7f                                   /* below the heap's first page */
        push edx
        shr edx, 5
        cmp edx, [ecx + setf_protect_bmap_size@GOTOFF]
        pop edx
        jae 7f                                  /* beyond the bitmap */
        mov ecx, [ecx + setf_protect_bmap@GOTOFF]
        bts dword ptr [ecx], edx
7:      pop edx
8:      pop ecx
        clc
        ret
        .size barrier_mark, . - barrier_mark

/* gsgc_setf_protect_1: the marking test and mark alone; the caller stores. */
        .globl gsgc_setf_protect_1
        .hidden gsgc_setf_protect_1
        .type gsgc_setf_protect_1, @function
gsgc_setf_protect_1:
        cmp edx, [edi + NIL_NEW_SPACE_BOUNDARY]
        ja 1f                                   /* the target is in new space */
        cmp eax, [edi + NIL_NEW_SPACE_BOUNDARY]
        jbe 1f                                  /* not above the fence */
        test al, FIXNUM_BITS
        jz 1f                                   /* a fixnum */
        jmp barrier_mark
1:      clc
        ret
        .size gsgc_setf_protect_1, . - gsgc_setf_protect_1

/* gc_setf_protect: stores eax at [edx], then marks as above. */
        .globl gc_setf_protect
        .hidden gc_setf_protect
        .type gc_setf_protect, @function
gc_setf_protect:
        cmp edx, [edi + NIL_NEW_SPACE_BOUNDARY]
        ja 1f
        cmp eax, [edi + NIL_NEW_SPACE_BOUNDARY]
        jbe 1f
        test al, FIXNUM_BITS
        jz 1f
        mov [edx], eax
        jmp barrier_mark
1:      mov [edx], eax
        clc
        ret
        .size gc_setf_protect, . - gc_setf_protect

/* gc_setf_protect_x: a second entry with gc_setf_protect's behaviour. */
        .globl gc_setf_protect_x
        .hidden gc_setf_protect_x
        .type gc_setf_protect_x, @function
gc_setf_protect_x:
        jmp gc_setf_protect
        .size gc_setf_protect_x, . - gc_setf_protect_x

/* gc_setf_protect_y: stores, then marks through gsgc_setf_protect_1. */
        .globl gc_setf_protect_y
        .hidden gc_setf_protect_y
        .type gc_setf_protect_y, @function
gc_setf_protect_y:
        mov [edx], eax
        jmp gsgc_setf_protect_1
        .size gc_setf_protect_y, . - gc_setf_protect_y

/* gc_set_protect: In: eax = value, edx = symbol (tag 7), ebx = thread.
   Stores the value into the thread's binding when the symbol's value vector
   is longer than the thread's binding index, else into the symbol's global
   value cell; then marks as gc_setf_protect_y. */
        .globl gc_set_protect
        .hidden gc_set_protect
        .type gc_set_protect, @function
gc_set_protect:
        push ecx
        push edx
        mov ecx, [edx + SYMBOL_VALUE_VECTOR]
        mov edx, [ebx + THREAD_BINDING_INDEX]
        cmp edx, [ecx + SVECTOR_LENGTH]
        jae 2f                                  /* outside the vector: global value */
        mov edx, [ecx + edx + SVECTOR_DATA]     /* the thread's binding */
        jmp 3f
2:      mov edx, [esp]
3:      add edx, SYMBOL_VALUE
        mov [edx], eax
        call gsgc_setf_protect_1
        pop edx
        pop ecx
        clc
        ret
        .size gc_set_protect, . - gc_set_protect

/* gc_setf_protect_atomic: In: eax = expected old value, edx = target, third
   argument (at [esp+12] on entry) = new value. Marks the target's page as the
   new value requires, then swaps the target from the expected to the new
   value with a locked compare-and-swap. Out: ZF set when the swap happened;
   eax = the word found at the target (the expected value on success);
   carry clear. */
        .globl gc_setf_protect_atomic
        .hidden gc_setf_protect_atomic
        .type gc_setf_protect_atomic, @function
gc_setf_protect_atomic:
        push eax
        mov eax, [esp + 16]
        call gsgc_setf_protect_1
        push ecx
        mov ecx, eax
        mov eax, [esp + 4]
        lock cmpxchg [edx], ecx
        pop ecx
        lea esp, [esp + 4]
        clc
        ret
        .size gc_setf_protect_atomic, . - gc_setf_protect_atomic

        .section .note.GNU-stack, "", @progbits
