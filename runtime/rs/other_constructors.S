/* The native constructor dispatch (new_lisp_obj) and the constructors of
   the remaining object kinds: hash tables, ratios, complexes, readtables,
   the two trellon kinds, standard instances, remote objects, the
   conversion of a vector into an instance, sysvectors outside the moving
   heap and the growth of a thread's fasl stack; restructurify calls Lisp.

   Headers are written as whole words (type code, then zero or the serial
   number above it); a constructor that signals a runtime error returns
   what the error function returned and has made nothing. */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/new_space.inc"

#define ERROR_BAD_LENGTH 13
#define ERROR_NOT_SYSVECTOR 14           /* with the old sysvector */
#define ERROR_BAD_TYPE 22
#define ERROR_STATIC_FAILED 31           /* with the byte count */
#define ERROR_NOT_LISP_VECTOR 32         /* with the vector or the type */
#define ERROR_TOO_LONG 56                /* with the word count */
#define FIXNUM_LENGTH_BAD 0x80000003
#define MOST_POSITIVE_FIXNUM 0x1fffffff
#define TYPE_READTABLE 11
#define TYPE_HASH_TABLE 10
#define TYPE_STANDARD_INSTANCE 12
#define TYPE_SYSVECTOR 13
#define TYPE_REMOTE_OBJECT 14
#define TYPE_STRUCTURE 15
#define TYPE_RATIO 19
#define TYPE_COMPLEX 20
#define TYPE_LISP_VECTOR 96
#define TYPE_UNSIGNED16_VECTOR 99
#define TYPE_TRELLON_UPI 131
#define TYPE_TRELLON_TRIPLE 132
#define HEADER_TYPE (-0x12)
#define WORD_1 (-0xe)
#define WORD_2 (-0xa)
#define WORD_3 (-6)
#define NIL_FILL_FLAG (-0x1d)            /* new_lisp_obj's fill flag for boxed vectors */
#define NIL_HASH_TABLE_WORD_9 (-0x115)
#define NIL_INSTANCE_SERIAL (-0x1a1)
#define NIL_REMOTE_SERIAL (-0x305)
#define NIL_RESTRUCTURE_SYMBOL (-0x3a9)
#define THREAD_FASL_STACK 0x72
#define THREAD_FASL_STACK_WORDS 0xf2
#define SYSVECTOR_EXTRA_BYTES 16         /* header and three words */
#define SYSVECTOR_DIRECT FIXNUM(1)
#define SYSVECTOR_INDIRECT FIXNUM(3)
#define MAX_SYSVECTOR_WORDS 0x3ffffc     /* (4n + 12) fits the header's 24 bits */

#define ACTION_CONS 1                    /* lisp::new_lisp_obj_action */
#define ACTION_SYMBOL 2
#define ACTION_FUNCTION 3
#define ACTION_CLOSURE 4
#define ACTION_FILLED_VECTOR 5
#define ACTION_STRUCTURE 6
#define ACTION_SINGLE_FLOAT 7
#define ACTION_DOUBLE_FLOAT 8
#define ACTION_BIGNUM 9
#define ACTION_TWO_PART 10
#define ACTION_UNSIGNED16 11
#define ACTION_CODE_VECTOR 12
#define ACTION_VECTOR 13

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_other_constructors, "ax", @progbits

/* STORE_PROTECTED value, slot: as in function_construction.S; eax and edx
   clobbered. */
.macro STORE_PROTECTED value, slot
        mov eax, \value
        lea edx, \slot
        call gc_setf_protect
.endm

/* new_lisp_obj(type, a, b): native entry, cdecl. Makes an object of the
   type code through the runtime constructor new_lisp_obj_actions names
   for it, with a as a length or count (its fixnum, or fixnum -1 beyond
   the fixnums, a bad length) and b as that kind takes it; any other code
   signals runtime error 22. Ratios and complexes get nil in both words,
   so a scavenge before the caller fills them finds Lisp values. The home
   slots and three stacked words below the frame start as nil. */
        .globl new_lisp_obj
        .hidden new_lisp_obj
        .type new_lisp_obj, @function
new_lisp_obj:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        push edi
        push edi
        push edi
        push edi
        push edi
        mov eax, [ebp + 0x18]
        cmp eax, 0xff
        ja .Lobj_refused
        LOAD_GOT_ECX
        movzx edx, byte ptr [ecx + new_lisp_obj_actions@GOTOFF + eax]
        mov eax, [ebp + 0x1c]                   /* eax = fixnum of a from here */
        cmp eax, MOST_POSITIVE_FIXNUM
        jbe 1f
        mov eax, -1
1:      shl eax, 2
        cmp edx, ACTION_VECTOR
        je .Lobj_vector
        cmp edx, ACTION_FILLED_VECTOR
        je .Lobj_filled_vector
        cmp edx, ACTION_STRUCTURE
        je .Lobj_structure
        cmp edx, ACTION_CONS
        je .Lobj_cons
        cmp edx, ACTION_SYMBOL
        je .Lobj_symbol
        cmp edx, ACTION_FUNCTION
        je .Lobj_function
        cmp edx, ACTION_CLOSURE
        je .Lobj_closure
        cmp edx, ACTION_SINGLE_FLOAT
        je .Lobj_single
        cmp edx, ACTION_DOUBLE_FLOAT
        je .Lobj_double
        cmp edx, ACTION_BIGNUM
        je .Lobj_bignum
        cmp edx, ACTION_TWO_PART
        je .Lobj_two_part
        cmp edx, ACTION_UNSIGNED16
        je .Lobj_unsigned16
        cmp edx, ACTION_CODE_VECTOR
        je .Lobj_code_vector
.Lobj_refused:
        mov eax, FIXNUM(ERROR_BAD_TYPE)
        call rs_error
        NATIVE_ENTRY_RETURN
.Lobj_cons:
        xor eax, eax
        xor edx, edx
        mov ecx, 2
        call qcons
        NATIVE_ENTRY_RETURN
.Lobj_symbol:
        mov eax, [ebp + 0x1c]
        mov edx, [ebp + 0x20]
        shl edx, 2
        mov ecx, 2
        call new_symbol
        NATIVE_ENTRY_RETURN
.Lobj_function:
        mov edx, [ebp + 0x20]
        mov ecx, 2
        call new_function
        NATIVE_ENTRY_RETURN
.Lobj_closure:
        mov [esp + 8], eax
        xor eax, eax
        xor edx, edx
        mov ecx, 3
        call new_special_closure
        NATIVE_ENTRY_RETURN
.Lobj_single:
        mov ecx, 1
        call new_single_float
        NATIVE_ENTRY_RETURN
.Lobj_double:
        mov ecx, 1
        call new_double_float
        NATIVE_ENTRY_RETURN
.Lobj_bignum:
        mov eax, [ebp + 0x1c]
        call newbignum
        NATIVE_ENTRY_RETURN
.Lobj_two_part:
        mov eax, 12
        call new_other
        mov ecx, [ebp + 0x18]
        mov [eax + HEADER_TYPE], ecx
        mov [eax + WORD_1], edi
        mov [eax + WORD_2], edi
        NATIVE_ENTRY_RETURN
.Lobj_code_vector:
        mov ecx, 1
        cmp dword ptr [ebp + 0x20], 0
        jne 2f
        call new_code_vector
        NATIVE_ENTRY_RETURN
2:      call new_old_code_vector
        NATIVE_ENTRY_RETURN
.Lobj_unsigned16:
        cmp dword ptr [ebp + 0x20], 0
        je .Lobj_vector
        mov ecx, 2
        call new_code_vector
        NATIVE_ENTRY_RETURN
.Lobj_structure:
        mov dword ptr [esp + 8], FIXNUM(TYPE_STRUCTURE)
        jmp 3f
.Lobj_filled_vector:
        mov ecx, [ebp + 0x18]
        shl ecx, 2
        mov [esp + 8], ecx
3:      mov ecx, [edi + NIL_FILL_FLAG]
        mov [esp + 12], ecx
        jmp 4f
.Lobj_vector:
        mov ecx, [ebp + 0x18]
        shl ecx, 2
        mov [esp + 8], ecx
4:      mov edx, edi
        mov ecx, 5
        call make_svector
        NATIVE_ENTRY_RETURN
        .size new_lisp_obj, . - new_lisp_obj

/* new_hash_table: runtime routine, no arguments. Out: eax = a hash table
   (type 10, 48 bytes): words 1-6 nil, 7 zero, 8 nil, 9 the global at
   nil-0x115, 10 zero, 11 nil. */
        .globl new_hash_table
        .hidden new_hash_table
        .type new_hash_table, @function
new_hash_table:
        RUNTIME_FRAME
        mov edx, 56
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], TYPE_HASH_TABLE
        mov ecx, 6
        lea edx, [eax + PREFIX_HEADER + 4]
1:      mov [edx], edi
        add edx, 4
        dec ecx
        jnz 1b
        mov dword ptr [eax + PREFIX_HEADER + 28], 0
        mov [eax + PREFIX_HEADER + 32], edi
        mov ecx, [edi + NIL_HASH_TABLE_WORD_9]
        mov [eax + PREFIX_HEADER + 36], ecx
        mov dword ptr [eax + PREFIX_HEADER + 40], 0
        mov [eax + PREFIX_HEADER + 44], edi
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size new_hash_table, . - new_hash_table

/* TWO_PART_OBJECT type: body of new_ratio and make_complex. In: eax, edx =
   the two parts, kept in the home slots across the allocation. Out: eax =
   a 12-byte object of the type holding them (stored through the barrier). */
.macro TWO_PART_OBJECT type
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        mov edx, 24
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], \type
        lea esi, [eax + PREFIX_TO_WORD]
        STORE_PROTECTED [ebp+8], [esi+WORD_1]
        STORE_PROTECTED [ebp+12], [esi+WORD_2]
        mov eax, esi
        RUNTIME_RETURN
.endm

/* new_ratio: runtime routine. In: eax = numerator, edx = denominator.
   Out: eax = a ratio (type 19). */
        .globl new_ratio
        .hidden new_ratio
        .type new_ratio, @function
new_ratio:
        TWO_PART_OBJECT TYPE_RATIO
        .size new_ratio, . - new_ratio

/* make_complex: runtime routine. In: eax = real part, edx = imaginary
   part. Out: eax = a complex (type 20). */
        .globl make_complex
        .hidden make_complex
        .type make_complex, @function
make_complex:
        TWO_PART_OBJECT TYPE_COMPLEX
        .size make_complex, . - make_complex

/* make_readtable: runtime routine, no arguments. Out: eax = a readtable
   (type 11, flags 0) whose three words are nil. */
        .globl make_readtable
        .hidden make_readtable
        .type make_readtable, @function
make_readtable:
        RUNTIME_FRAME
        mov edx, 24
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], TYPE_READTABLE
        mov [eax + PREFIX_HEADER + 4], edi
        mov [eax + PREFIX_HEADER + 8], edi
        mov [eax + PREFIX_HEADER + 12], edi
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size make_readtable, . - make_readtable

/* make_trellon_upi, make_trellon_triple: runtime routines, no arguments.
   Out: eax = an object of type 131 (16 bytes) or 132 (60 bytes, 64 in the
   heap) of which only the header is written; Lisp code fills the rest. */
        .globl make_trellon_upi
        .hidden make_trellon_upi
        .type make_trellon_upi, @function
make_trellon_upi:
        RUNTIME_FRAME
        mov edx, 24
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], TYPE_TRELLON_UPI
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size make_trellon_upi, . - make_trellon_upi

        .globl make_trellon_triple
        .hidden make_trellon_triple
        .type make_trellon_triple, @function
make_trellon_triple:
        RUNTIME_FRAME
        mov edx, 72
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], TYPE_TRELLON_TRIPLE
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size make_trellon_triple, . - make_trellon_triple

/* SERIAL_HEADER global, type: ecx := (the counter at nil+global, plus 1,
   stored back) << 16 | type; the header keeps the low 16 bits. */
.macro SERIAL_HEADER global, type
        mov ecx, [edi + \global]
        inc ecx
        mov [edi + \global], ecx
        shl ecx, 16
        or ecx, \type
.endm

/* new_standard_instance: runtime routine. In: eax, edx = two values.
   Out: eax = a standard instance (type 12, flags 0, the next instance
   serial number's low 16 bits above) with word 1 = eax, word 2 = edx,
   word 3 nil. */
        .globl new_standard_instance
        .hidden new_standard_instance
        .type new_standard_instance, @function
new_standard_instance:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        mov edx, 24
        NEW_OBJECT
        SERIAL_HEADER NIL_INSTANCE_SERIAL, TYPE_STANDARD_INSTANCE
        mov [eax + PREFIX_HEADER], ecx
        mov [eax + PREFIX_HEADER + 12], edi
        lea esi, [eax + PREFIX_TO_WORD]
        STORE_PROTECTED [ebp+8], [esi+WORD_1]
        STORE_PROTECTED [ebp+12], [esi+WORD_2]
        mov eax, esi
        RUNTIME_RETURN
        .size new_standard_instance, . - new_standard_instance

/* new_remote_object: runtime routine. In: eax = a value, edx = a raw word.
   Out: eax = a remote object (type 14, flags 0, the next remote-object
   serial number's low 16 bits above): word 1 = the value (barrier), word
   2 nil, word 3 = the raw word, stored plainly. The raw word waits in the
   frame as two fixnum-shaped halves (ebp-0x20 low, ebp-0x24 high). */
        .globl new_remote_object
        .hidden new_remote_object
        .type new_remote_object, @function
new_remote_object:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        movzx ecx, dx
        shl ecx, 2
        push ecx
        shr edx, 16
        shl edx, 2
        push edx
        mov edx, 24
        NEW_OBJECT
        SERIAL_HEADER NIL_REMOTE_SERIAL, TYPE_REMOTE_OBJECT
        mov [eax + PREFIX_HEADER], ecx
        mov [eax + PREFIX_HEADER + 8], edi
        mov ecx, [ebp - 0x24]
        shl ecx, 14
        mov edx, [ebp - 0x20]
        shr edx, 2
        or ecx, edx
        mov [eax + PREFIX_HEADER + 12], ecx
        lea esi, [eax + PREFIX_TO_WORD]
        STORE_PROTECTED [ebp+8], [esi+WORD_1]
        mov eax, esi
        RUNTIME_RETURN
        .size new_remote_object, . - new_remote_object

/* cvt_vector_to_instance: runtime routine. In: eax = v, edx = the new type
   code t (fixnum). A vector of type 96 gets t as its type byte. Out: eax =
   v. Errors (two-argument, 32): v not a type-96 vector (with v); t not a
   fixnum code under which the collector sizes and scans v as before (with
   t), so that no header change leaves the heap unwalkable; v is then
   unchanged. */
        .globl cvt_vector_to_instance
        .hidden cvt_vector_to_instance
        .type cvt_vector_to_instance, @function
cvt_vector_to_instance:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        mov ecx, eax
        and ecx, 7
        cmp ecx, 2
        jne 1f
        cmp byte ptr [eax + HEADER_TYPE], TYPE_LISP_VECTOR
        jne 1f
        mov ecx, [eax + HEADER_TYPE]
        CALL_NATIVE instance_type_keeps_extent, ecx, edx
        test eax, eax
        jz 2f
        mov eax, [ebp + 8]
        mov edx, [ebp + 12]
        shr edx, 2
        mov [eax + HEADER_TYPE], dl
        RUNTIME_RETURN
1:      mov edx, [ebp + 8]
        jmp 3f
2:      mov edx, [ebp + 12]
3:      mov eax, FIXNUM(ERROR_NOT_LISP_VECTOR)
        call rs_error_with_datum
        RUNTIME_RETURN
        .size cvt_vector_to_instance, . - cvt_vector_to_instance

/* real_sysvector: runtime routine without a frame. In: eax = a sysvector
   or nil. Out: eax = the vector that holds the data: the word 2 of an
   indirection (a sysvector whose word 1 is fixnum 3), else eax itself;
   carry clear; ecx clobbered. */
        .globl real_sysvector
        .hidden real_sysvector
        .type real_sysvector, @function
real_sysvector:
        mov ecx, eax
        and ecx, 7
        cmp ecx, 2
        jne 1f
        cmp byte ptr [eax + HEADER_TYPE], TYPE_SYSVECTOR
        jne 1f
        cmp dword ptr [eax + WORD_1], SYSVECTOR_INDIRECT
        jne 1f
        mov eax, [eax + WORD_2]
1:      clc
        ret
        .size real_sysvector, . - real_sysvector

/* new_direct_sysvector_pvec: runtime routine for runtime and native
   callers. In: eax = n, the word count (fixnum); edx = the old sysvector
   or nil; stacked: w, a raw word. The collector's static allocator gives
   4n + 16 bytes outside the moving heap, taking over (and freeing) the
   old sysvector's storage with its contents. Header ((4n + 12) << 8) | 13,
   word 1 fixnum 1, word 2 zero, word 3 w.
   Out: eax = the sysvector and ecx = 0; after a runtime error eax = the
   error function's value and ecx = 1. Errors: 13 (n negative or not a
   fixnum), 56 with n (the byte count does not fit the header), 14 with
   old (not a sysvector), 31 with the byte count (no storage); nothing is
   made or freed then. The byte count waits at ebp-0x20. */
        .globl new_direct_sysvector_pvec
        .hidden new_direct_sysvector_pvec
        .type new_direct_sysvector_pvec, @function
new_direct_sysvector_pvec:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        test eax, FIXNUM_LENGTH_BAD
        jnz .Lsysvector_bad
        cmp eax, FIXNUM(MAX_SYSVECTOR_WORDS)
        ja .Lsysvector_long
        add eax, SYSVECTOR_EXTRA_BYTES
        push eax                                /* ebp-0x20: bytes */
        xor ecx, ecx
        cmp edx, edi
        je 1f
        mov ecx, edx
        and ecx, 7
        cmp ecx, 2
        jne .Lsysvector_not_one
        cmp byte ptr [edx + HEADER_TYPE], TYPE_SYSVECTOR
        jne .Lsysvector_not_one
        lea ecx, [edx + HEADER_TYPE]
1:      CALL_NATIVE other_from_static_xsmp, eax, 0, ecx
        test eax, eax
        jz .Lsysvector_failed
        mov ecx, [ebp - 0x20]
        sub ecx, 4
        shl ecx, 8
        or ecx, TYPE_SYSVECTOR
        mov [eax], ecx
        mov dword ptr [eax + 4], SYSVECTOR_DIRECT
        mov dword ptr [eax + 8], 0
        mov ecx, [ebp + 16]
        mov [eax + 12], ecx
        add eax, -HEADER_TYPE
        xor ecx, ecx
        RUNTIME_RETURN
.Lsysvector_bad:
        mov eax, FIXNUM(ERROR_BAD_LENGTH)
        call rs_error
        mov ecx, 1
        RUNTIME_RETURN
.Lsysvector_long:
        mov edx, eax
        mov eax, FIXNUM(ERROR_TOO_LONG)
        call rs_error_with_datum
        mov ecx, 1
        RUNTIME_RETURN
.Lsysvector_not_one:
        mov eax, FIXNUM(ERROR_NOT_SYSVECTOR)
        call rs_error_with_datum
        mov ecx, 1
        RUNTIME_RETURN
.Lsysvector_failed:
        mov eax, [ebp - 0x20]
        call unsigned_fixnum_or_bignum
        mov edx, eax
        mov eax, FIXNUM(ERROR_STATIC_FAILED)
        call rs_error_with_datum
        mov ecx, 1
        RUNTIME_RETURN
        .size new_direct_sysvector_pvec, . - new_direct_sysvector_pvec

/* grow_fasl_stack(k): native entry, cdecl. k is the fixnum count of the
   entries to add. The thread's fasl stack becomes a sysvector of (its
   size in words + k untagged) words that keeps the old contents
   (new_direct_sysvector_pvec with the old stack and word 3 = -1); the
   thread's size word (raw) and fasl-stack word are set to it, and it is
   returned. When the sysvector cannot be made the error function's value
   is returned and the thread record is left as it was. The new count
   waits as a fixnum at ebp-0x20; the call is made from inside the frame's
   raw words (esp moved up to ebp-0x20), which the stack walk does not
   read. */
        .globl grow_fasl_stack
        .hidden grow_fasl_stack
        .type grow_fasl_stack, @function
grow_fasl_stack:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        lea esp, [ebp - 0x20]
        mov eax, [ebx + THREAD_FASL_STACK_WORDS]
        cmp eax, MOST_POSITIVE_FIXNUM
        ja 1f
        shl eax, 2
        add eax, [ebp + 0x18]
        jno 2f
1:      mov eax, -4                             /* fixnum -1: a bad count */
2:      mov [ebp - 0x20], eax
        push -1                                 /* word 3 */
        sub esp, 8
        mov edx, [ebx + THREAD_FASL_STACK]
        mov ecx, 3
        call new_direct_sysvector_pvec
        test ecx, ecx
        jnz 3f
        mov ebx, [ebp - 0x1c]
        mov [ebx + THREAD_FASL_STACK], eax
        mov ecx, [ebp - 0x20]
        shr ecx, 2
        mov [ebx + THREAD_FASL_STACK_WORDS], ecx
3:      NATIVE_ENTRY_RETURN
        .size grow_fasl_stack, . - grow_fasl_stack

/* restructurify(x): native entry, cdecl. Calls the function of the symbol
   at nil-0x3a9 with x through the stub at nil and returns its first
   value. */
        .globl restructurify
        .hidden restructurify
        .type restructurify, @function
restructurify:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        push edi                                /* home slots: Lisp values */
        push edi
        mov eax, [ebp + 0x18]
        mov ebx, [edi + NIL_RESTRUCTURE_SYMBOL]
        mov ecx, 1
        call edi
        NATIVE_ENTRY_RETURN
        .size restructurify, . - restructurify

        .section .note.GNU-stack, "", @progbits
