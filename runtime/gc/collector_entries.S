/* The collector's routines in the runtime entry table.

   Common register contract: edi = nil, ebx = thread, eax and edx the first
   two arguments, ecx the argument count; one value comes back in eax with
   carry clear unless stated. Routines that run native collector code do it
   through CALL_NATIVE, so the collector finds the Lisp frames through the
   foreign-call record. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_SLOT_QCONS 0x2b
#define NIL_DUMMY_MCONS_FUNCTION (-0x51) /* global word -17 */
#define FUNCTION_START (-0xe)
#define FUNCTION_CODE_SLOT (-2)

        .intel_syntax noprefix
        .text

/* ONE_ARGUMENT_ROUTINE name, native: a runtime routine that hands its first
   argument to a native half and returns that half's Lisp value. */
.macro ONE_ARGUMENT_ROUTINE name, native
        .globl \name
        .hidden \name
        .type \name, @function
\name:
        RUNTIME_FRAME
        CALL_NATIVE \native, eax
        RUNTIME_RETURN
        .size \name, . - \name
.endm

/* gsgc_control (nil+0xbb): eax = flag. nil reads the parameters into the
   raw vector held in global word -46, anything else applies them. Out: eax
   = that vector, or nil when the word holds no vector long enough. */
        ONE_ARGUMENT_ROUTINE gsgc_control, gsgc_control_native

/* panify (nil+0x20b): eax = object. Out: the value of global word -2 after
   marking an object of the allocation semispace keep-new, else nil. */
        ONE_ARGUMENT_ROUTINE panify, GsgcPanify

/* pointer_storage_type (nil+0x2f3): eax = value. Out: its storage code as
   a fixnum. */
        ONE_ARGUMENT_ROUTINE pointer_storage_type, pointer_storage_type_native

/* user_verify (nil+0x283): eax = value. Out: t when it verifies as an
   immediate or a valid reference (code 4 or more), else nil. */
        ONE_ARGUMENT_ROUTINE user_verify, user_verify_native

/* gsgc_totalloc (nil+0x2d7): eax = raw 32-bit vector, edx = flag. Writes
   conses, 0, other bytes and native bytes allocated into its data, since
   start-up when the flag is not nil. Out: eax = the vector, or nil when it
   is not one of at least four words. */
        .globl gsgc_totalloc
        .hidden gsgc_totalloc
        .type gsgc_totalloc, @function
gsgc_totalloc:
        RUNTIME_FRAME
        CALL_NATIVE gsgc_totalloc_native, eax, edx
        RUNTIME_RETURN
        .size gsgc_totalloc, . - gsgc_totalloc

/* gsgc_build_map (nil+0xbf): eax = mode, edx = vector when ecx is 2.
   Mode fixnum 0: out eax = free new space in twentieths (fixnum).
   Otherwise out eax = the vector (or a new one when it is too short)
   filled with the heap map, full figures unless the mode is nil. */
        .globl gsgc_build_map
        .hidden gsgc_build_map
        .type gsgc_build_map, @function
gsgc_build_map:
        RUNTIME_FRAME
        CALL_NATIVE gsgc_build_map_native, eax, edx, ecx
        RUNTIME_RETURN
        .size gsgc_build_map, . - gsgc_build_map

/* gc (nil+0x13b): eax = flag. nil runs a scavenge; any other flag runs
   the global collection. Out: no values (eax nil, ecx 0, carry set). */
        .globl gc
        .hidden gc
        .type gc, @function
gc:
        RUNTIME_FRAME
        cmp eax, edi
        jne 1f
        CALL_NATIVE scavenge, 0
        RUNTIME_RETURN_NO_VALUES
1:
        CALL_NATIVE global_gc, 0
        RUNTIME_RETURN_NO_VALUES
        .size gc, . - gc

/* pack_heap (nil+0x31b): eax = mode, edx = a, b on the stack (third
   argument) when ecx is 3 or more. Mode 0 packs the heap keeping a free
   bytes, mode 1 sifts, mode 2 resizes with a and b (see packing.h). Out:
   eax = the packing's result as a fixnum (mode 0), t (modes 1 and 2), or
   nil for any other mode or arguments that are no integers. */
        .globl pack_heap
        .hidden pack_heap
        .type pack_heap, @function
pack_heap:
        RUNTIME_FRAME
        mov esi, edi                            /* b: nil unless given */
        cmp ecx, 3
        jb 1f
        mov esi, [ebp + 16]
1:
        CALL_NATIVE pack_heap_native, eax, edx, esi
        RUNTIME_RETURN
        .size pack_heap, . - pack_heap

/* gsgc_type_counts (nil+0x323): eax = count vector, edx = size vector,
   third argument = mode (fixnum). Both vectors are raw 32-bit vectors of at
   least 256 words. Out: eax = fixnum 0, or -1 (nothing written) for a bad
   vector or mode. */
        .globl gsgc_type_counts
        .hidden gsgc_type_counts
        .type gsgc_type_counts, @function
gsgc_type_counts:
        RUNTIME_FRAME
        mov esi, edi                            /* mode: nil unless given */
        cmp ecx, 3
        jb 1f
        mov esi, [ebp + 16]
1:
        CALL_NATIVE gsgc_type_counts_native, eax, edx, esi
        RUNTIME_RETURN
        .size gsgc_type_counts, . - gsgc_type_counts

/* set_fn_code (nil+0xb3): eax = function, edx = code vector. Stores the
   code vector into the function's code slot and marks the slot's page when
   an old function receives a new-space code vector. Out: eax = the code
   vector, edx = the function. */
        .globl set_fn_code
        .hidden set_fn_code
        .type set_fn_code, @function
set_fn_code:
        mov [eax + FUNCTION_CODE_SLOT], edx
        push eax
        lea eax, [eax + FUNCTION_CODE_SLOT]
        xchg eax, edx                           /* eax = value, edx = slot */
        call gsgc_setf_protect_1
        pop edx
        clc
        ret
        .size set_fn_code, . - set_fn_code

/* dummy_mcons: eax = car, edx = cdr. Calls the entry at nil+0x2b without
   arguments, then the function in global word -17 with car, cdr and that
   result. Out: what that function returns (values and carry as it left
   them). car and cdr wait in the frame's closure and symbol slots, which
   the collector visits. */
        .globl dummy_mcons
        .hidden dummy_mcons
        .type dummy_mcons, @function
dummy_mcons:
        RUNTIME_FRAME
        mov [ebp - 0x14], eax
        mov [ebp - 0x18], edx
        sub esp, 12                             /* two home slots, argument 3 */
        xor ecx, ecx
        call dword ptr [edi + NIL_SLOT_QCONS]
        mov [esp + 8], eax
        mov eax, [ebp - 0x14]
        mov edx, [ebp - 0x18]
        mov ebx, [ebp - 0x1c]
        mov esi, [edi + NIL_DUMMY_MCONS_FUNCTION]
        mov ecx, 3
        call dword ptr [esi + FUNCTION_START]
        leave
        mov esi, [ebp - 4]
        ret
        .size dummy_mcons, . - dummy_mcons

        .section .note.GNU-stack, "", @progbits
