/* Vectors of every type and the vectors with a special role: make_svector,
   values vectors, code vectors (chained for the collector), closure
   vectors, weak and weak-key vectors, finalizations, and the shrinking of
   vectors in place.

   Every check comes before the allocation: a routine that signals a
   runtime error returns what the error function returned and has neither
   allocated nor written anything. Lengths that do not fit a header's 24
   bits are refused with error 56 and the length. */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/new_space.inc"

#define ERROR_BAD_LENGTH 13             /* the codes of lisp::svector_error */
#define ERROR_CANNOT_SHRINK 14           /* with the vector */
#define ERROR_LENGTH_NOT_FIXNUM 16       /* with the new length */
#define ERROR_BAD_INITIAL 21             /* with the initial element */
#define ERROR_STATIC_FAILED 31           /* with the byte count */
#define ERROR_TOO_LONG 56                /* with the length */
#define MAX_HEADER_LENGTH 0xffffff
#define FIXNUM_LENGTH_BAD 0x80000003     /* a negative or non-fixnum length word */
#define MOST_POSITIVE_FIXNUM 0x1fffffff
#define TYPE_LISP_VECTOR 96
#define TYPE_UNSIGNED16_VECTOR 99
#define TYPE_CODE_VECTOR 108
#define TYPE_VALUES_VECTOR 130
#define CODE_EXTRA_UNITS 4               /* 8 bytes after the machine code */
#define MAX_CODE_UNITS 0xfffffb          /* n + 4 fits the header's 24 bits */
#define PREFIX_KIND 6                    /* the stamp word's upper 16 bits */
#define KIND_VALUES_VECTOR 2
#define KIND_WEAK_VECTOR 6
#define KIND_WEAK_KEY_VECTOR_TWO 20      /* made with exactly two arguments */
#define KIND_WEAK_KEY_VECTOR 22
#define KIND_FINALIZATION 10
#define FINALIZATION_HEADER 0x360        /* 96 | 3 << 8 */
#define CLOSURE_VECTOR_FLAGS 0x84        /* + the kind, 0 or 2 */
#define NIL_INITIAL_FUNCTION (-0x4dd)
#define CLOSURE_TEMPLATE (-0xa)
#define CLOSURE_FLAGS (-0x11)
#define SVECTOR_DATA (-0xa)

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_vector_construction, "ax", @progbits

/* CHAIN_CODE_VECTOR: links the code vector whose prefix is at eax at the
   tail of the collector's code-vector chain: the prefix's address goes
   into the word the tail points to, the prefix becomes the tail, the count
   grows by one. eax kept; ecx, edx clobbered. */
.macro CHAIN_CODE_VECTOR
        LOAD_GOT_ECX
        mov edx, [ecx + GsCVC_tail@GOTOFF]
        mov [edx], eax
        mov [ecx + GsCVC_tail@GOTOFF], eax
        inc dword ptr [ecx + GsCVC_count@GOTOFF]
.endm

/* LENGTH_CHECKS most, bad, long: a length (fixnum) in eax that is negative
   or not a fixnum jumps to `bad`, one above `most` to `long`; both are the
   routine's own error exits. */
.macro LENGTH_CHECKS most, bad, long
        test eax, FIXNUM_LENGTH_BAD
        jnz \bad
        cmp eax, FIXNUM(\most)
        ja \long
.endm

/* make_svector: runtime routine. In: eax = length L (fixnum), edx = initial
   element X, stacked: type T (fixnum), fill flag F, static flag S.
   svector_plan checks everything first (errors 13, 22, 56 with L, 21 with
   X); then the object comes from new space when S is nil, else from the
   collector's static allocator with (bytes, S, 0) (a null result: error
   31 with the byte count, boxed as a bignum beyond the fixnums); svector_initialise writes header and elements.
   Out: eax = the vector. The object's byte count waits at ebp-0x20. */
        .globl make_svector
        .hidden make_svector
        .type make_svector, @function
make_svector:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push 0
        lea ecx, [ebp + 8]
        CALL_NATIVE svector_plan, ecx, edi
        test eax, eax
        jnz .Lsvector_refused
        mov [ebp - 0x20], edx
        mov eax, [ebp + 24]
        cmp eax, edi
        jne .Lsvector_static
        add edx, 8
        NEW_OBJECT
        add eax, PREFIX_HEADER
        jmp .Lsvector_initialise
.Lsvector_static:
        CALL_NATIVE other_from_static_xsmp, edx, eax, 0
        test eax, eax
        jz .Lsvector_static_failed
.Lsvector_initialise:
        lea ecx, [ebp + 8]
        CALL_NATIVE svector_initialise, eax, ecx, edi
        RUNTIME_RETURN
.Lsvector_refused:
        mov edx, [ebp + 8]
        cmp eax, ERROR_TOO_LONG
        je 1f
        mov edx, [ebp + 12]
        cmp eax, ERROR_BAD_INITIAL
        je 1f
        shl eax, 2
        call rs_error
        RUNTIME_RETURN
1:      shl eax, 2
        call rs_error_with_datum
        RUNTIME_RETURN
.Lsvector_static_failed:
        mov eax, [ebp - 0x20]
        call unsigned_fixnum_or_bignum
        mov edx, eax
        mov eax, FIXNUM(ERROR_STATIC_FAILED)
        call rs_error_with_datum
        RUNTIME_RETURN
        .size make_svector, . - make_svector

/* new_mv_vector: runtime routine for the multiple-values code. In: eax =
   element count n (fixnum). Out: eax = a values vector (type 130, kind
   number 2) of n elements, each nil. Errors 13 and 56 (with n). */
        .globl new_mv_vector
        .hidden new_mv_vector
        .type new_mv_vector, @function
new_mv_vector:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        LENGTH_CHECKS MAX_HEADER_LENGTH, .Lmv_bad, .Lmv_long
        lea edx, [eax + 19]                     /* header, 4n bytes, prefix */
        and edx, -8
        NEW_OBJECT
        mov ecx, [ebp + 8]
        shl ecx, 6
        or ecx, TYPE_VALUES_VECTOR
        mov [eax + PREFIX_HEADER], ecx
        mov word ptr [eax + PREFIX_KIND], KIND_VALUES_VECTOR
        shr ecx, 8
        lea edx, [eax + PREFIX_HEADER + 4]
        jecxz 2f
1:      mov [edx], edi
        add edx, 4
        dec ecx
        jnz 1b
2:      add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
.Lmv_bad:
        mov eax, FIXNUM(ERROR_BAD_LENGTH)
        call rs_error
        RUNTIME_RETURN
.Lmv_long:
        mov edx, eax
        mov eax, FIXNUM(ERROR_TOO_LONG)
        call rs_error_with_datum
        RUNTIME_RETURN
        .size new_mv_vector, . - new_mv_vector

/* new_code_vector: runtime routine. In: eax = n, the count of 16-bit units
   of machine code (fixnum); ecx = 1, or 2 with any second argument.
   Out: eax = a vector of 2(n + 4) + 4 bytes whose header counts n + 4
   units: a code vector (type 108) linked at the tail of the code-vector
   chain, or with two arguments an unchained type-99 vector. Errors 13 and
   56 (with n). The argument count waits at ebp-0x20 as a fixnum. */
        .globl new_code_vector
        .hidden new_code_vector
        .type new_code_vector, @function
new_code_vector:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        lea edx, [4 * ecx]
        push edx
        LENGTH_CHECKS MAX_CODE_UNITS, .Lcode_bad, .Lcode_long
        mov edx, eax
        shr edx, 1                              /* 2n bytes of code */
        add edx, 27                             /* extra units, header, prefix */
        and edx, -8
        NEW_OBJECT
        mov ecx, [ebp + 8]
        shl ecx, 6
        add ecx, CODE_EXTRA_UNITS << 8
        cmp dword ptr [ebp - 0x20], FIXNUM(2)
        jae 1f
        or ecx, TYPE_CODE_VECTOR
        mov [eax + PREFIX_HEADER], ecx
        CHAIN_CODE_VECTOR
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
1:      or ecx, TYPE_UNSIGNED16_VECTOR
        mov [eax + PREFIX_HEADER], ecx
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
.Lcode_bad:
        mov eax, FIXNUM(ERROR_BAD_LENGTH)
        call rs_error
        RUNTIME_RETURN
.Lcode_long:
        mov edx, eax
        mov eax, FIXNUM(ERROR_TOO_LONG)
        call rs_error_with_datum
        RUNTIME_RETURN
        .size new_code_vector, . - new_code_vector

/* new_old_code_vector: runtime routine for new_lisp_obj. In: eax = n
   (fixnum), as new_code_vector. The code vector comes from the collector's
   old-space allocator inside a foreign-call record. Below the new-space
   fence the word at header + 4 + ((2n + 10) & ~7) := -1; a vector that
   had to be placed in new space is chained like a new one.
   Out: eax = the code vector. Errors 13 and 56 (with n). */
        .globl new_old_code_vector
        .hidden new_old_code_vector
        .type new_old_code_vector, @function
new_old_code_vector:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        LENGTH_CHECKS MAX_CODE_UNITS, .Lold_code_bad, .Lold_code_long
        mov edx, eax
        shr edx, 1
        add edx, 12                             /* 2n + 2*4 + 4 bytes */
        CALL_NATIVE other_from_old_xsmp, edx
        mov ecx, [ebp + 8]
        shl ecx, 6
        add ecx, (CODE_EXTRA_UNITS << 8) | TYPE_CODE_VECTOR
        mov [eax], ecx
        cmp eax, [edi + NIL_NEW_SPACE_BOUNDARY]
        jae 1f
        mov ecx, [ebp + 8]
        shr ecx, 1
        add ecx, 10
        and ecx, -8
        mov dword ptr [eax + ecx + 4], -1
        jmp 2f
1:      sub eax, PREFIX_HEADER
        CHAIN_CODE_VECTOR
        add eax, PREFIX_HEADER
2:      add eax, PREFIX_TO_WORD - PREFIX_HEADER
        RUNTIME_RETURN
.Lold_code_bad:
        mov eax, FIXNUM(ERROR_BAD_LENGTH)
        call rs_error
        RUNTIME_RETURN
.Lold_code_long:
        mov edx, eax
        mov eax, FIXNUM(ERROR_TOO_LONG)
        call rs_error_with_datum
        RUNTIME_RETURN
        .size new_old_code_vector, . - new_old_code_vector

/* new_closure_vector: runtime routine. In: eax = size n (fixnum), edx =
   kind k. k the fixnum 0 or 2: a closure of n extra slots from
   new_special_closure (nil, nil, n) whose template is the initial function
   object (nil-0x4dd) and whose flags byte is 0x84 + k untagged. Any other
   k: a simple vector of n elements, nil, whose element 0 := k (a vector
   of no elements has none). Out: eax; a bad n is the callee's error. */
        .globl new_closure_vector
        .hidden new_closure_vector
        .type new_closure_vector, @function
new_closure_vector:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push 0                                  /* a third argument word */
        sub esp, 8                              /* home slots */
        cmp edx, FIXNUM(0)
        je 1f
        cmp edx, FIXNUM(2)
        je 1f
        xor edx, edx                            /* no kind number */
        mov ecx, 2
        call new_simple_vector
        mov ecx, [ebp + 8]
        test ecx, FIXNUM_LENGTH_BAD
        jnz 2f                                  /* the callee signalled */
        jecxz 2f
        mov ecx, [ebp + 12]
        mov [eax + SVECTOR_DATA], ecx
        jmp 2f
1:      mov [esp + 8], eax
        mov eax, edi
        mov edx, edi
        mov ecx, 3
        call new_special_closure
        mov ecx, [ebp + 8]
        test ecx, FIXNUM_LENGTH_BAD
        jnz 2f
        cmp ecx, FIXNUM(0xffff)
        ja 2f
        mov esi, eax
        mov eax, [edi + NIL_INITIAL_FUNCTION]
        lea edx, [esi + CLOSURE_TEMPLATE]
        call gc_setf_protect
        mov eax, [ebp + 12]
        shr eax, 2
        add eax, CLOSURE_VECTOR_FLAGS
        mov [esi + CLOSURE_FLAGS], al
        mov eax, esi
2:      RUNTIME_RETURN
        .size new_closure_vector, . - new_closure_vector

/* new_weak_vector: runtime routine. In: eax = length (fixnum). Out: eax =
   new_simple_vector (length, 6): a simple vector of nil with kind 6. */
        .globl new_weak_vector
        .hidden new_weak_vector
        .type new_weak_vector, @function
new_weak_vector:
        mov edx, FIXNUM(KIND_WEAK_VECTOR)
        mov ecx, 2
        jmp new_simple_vector
        .size new_weak_vector, . - new_weak_vector

/* new_weak_key_vector: runtime routine. In: eax = length (fixnum), ecx = the
   argument count. Out: eax = new_simple_vector (length, 20) when called with
   exactly two arguments, else new_simple_vector (length, 22). */
        .globl new_weak_key_vector
        .hidden new_weak_key_vector
        .type new_weak_key_vector, @function
new_weak_key_vector:
        cmp ecx, 2
        mov edx, FIXNUM(KIND_WEAK_KEY_VECTOR)
        jne 1f
        mov edx, FIXNUM(KIND_WEAK_KEY_VECTOR_TWO)
1:      mov ecx, 2
        jmp new_simple_vector
        .size new_weak_key_vector, . - new_weak_key_vector

/* nweakvec(n): native entry, cdecl. Returns new_weak_vector of the fixnum
   of n; an n beyond the fixnums is a bad length (runtime error 13). */
        .globl nweakvec
        .hidden nweakvec
        .type nweakvec, @function
nweakvec:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        mov eax, [ebp + 0x18]
        cmp eax, MOST_POSITIVE_FIXNUM
        jbe 1f
        mov eax, -1
1:      shl eax, 2
        push edi                                /* home slots: Lisp values */
        push edi
        mov ecx, 1
        call new_weak_vector
        NATIVE_ENTRY_RETURN
        .size nweakvec, . - nweakvec

/* new_finalization: runtime routine, no arguments. Out: eax = a type-96
   vector of three words, each nil, with kind number 10. */
        .globl new_finalization
        .hidden new_finalization
        .type new_finalization, @function
new_finalization:
        RUNTIME_FRAME
        mov edx, 24
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], FINALIZATION_HEADER
        mov word ptr [eax + PREFIX_KIND], KIND_FINALIZATION
        mov [eax + PREFIX_HEADER + 4], edi
        mov [eax + PREFIX_HEADER + 8], edi
        mov [eax + PREFIX_HEADER + 12], edi
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size new_finalization, . - new_finalization

/* SHRINK_ANSWER: eax = what svector_shrink or lvector_shrink returned. 0:
   return v; 16: error with L; 14: error with v; else (13) the
   one-argument error. */
.macro SHRINK_ANSWER
        test eax, eax
        jnz 1f
        mov eax, [ebp + 8]
        RUNTIME_RETURN
1:      mov edx, [ebp + 12]
        cmp eax, ERROR_LENGTH_NOT_FIXNUM
        je 2f
        mov edx, [ebp + 8]
        cmp eax, ERROR_CANNOT_SHRINK
        je 2f
        shl eax, 2
        call rs_error
        RUNTIME_RETURN
2:      shl eax, 2
        call rs_error_with_datum
        RUNTIME_RETURN
.endm

/* shrink_svector: runtime routine. In: eax = vector v, edx = new length L.
   Shortens v in place when L is smaller than its length (a vector with a
   fixnum length word goes as shrink_lvector) and marks the freed tail so
   that the heap still walks. Out: eax = v. Errors: 16 with L (not a
   fixnum), 14 with v (not a vector that can shrink), 13 (negative L);
   v is then unchanged. */
        .globl shrink_svector
        .hidden shrink_svector
        .type shrink_svector, @function
shrink_svector:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea ecx, [ebp + 8]
        CALL_NATIVE svector_shrink, ecx, edi
        SHRINK_ANSWER
        .size shrink_svector, . - shrink_svector

/* shrink_lvector: runtime routine, as shrink_svector for a vector with a
   fixnum length word (types 112-127 and 242); any other v is error 14. */
        .globl shrink_lvector
        .hidden shrink_lvector
        .type shrink_lvector, @function
shrink_lvector:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea ecx, [ebp + 8]
        CALL_NATIVE lvector_shrink, ecx, edi
        SHRINK_ANSWER
        .size shrink_lvector, . - shrink_lvector

        .section .note.GNU-stack, "", @progbits
