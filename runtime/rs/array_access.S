/* Element access for every vector type and for arrays of any rank through
   their array headers (aref, inv_s_aref), and the array-header constructor
   (make_array_header and its native entry narheader).

   The checks, the row-major index and the displacement walk are the native
   halves' (array_access.cpp); the assembly boxes what an element read
   needs boxed. A routine that signals a runtime error returns what the
   error function returned and has read or written no element. */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/new_space.inc"

#define AREF_VALUE 0                    /* the ArefAction codes */
#define AREF_SIGNED32 1
#define AREF_UNSIGNED32 2
#define AREF_SINGLE_FLOAT 3
#define AREF_DOUBLE_FLOAT 4
#define AREF_COMPLEX_SINGLE 5
#define AREF_COMPLEX_DOUBLE 6
#define AREF_ERROR 7
#define AREF_ERROR_WITH_DATUM 8
#define ERROR_WITH_DATUM 0x100          /* lisp::array_error::kWithDatum */
#define TYPE_COMPLEX 20
#define COMPLEX_BYTES 12
#define COMPLEX_REAL (-0xe)
#define COMPLEX_IMAGINARY (-0xa)
#define ARRAY_HEADER_BYTES 24
#define DATUM (-0x24)                   /* aref's error datum */
#define REAL_PART (-0x14)               /* frame slots every walk visits */
#define IMAGINARY_PART (-0x18)

/* STORE_PROTECTED value, slot: the value (a register or a memory operand,
   written without spaces) into the slot through gc_setf_protect; eax and
   edx clobbered. */
.macro STORE_PROTECTED value, slot
        mov eax, \value
        lea edx, \slot
        call gc_setf_protect
.endm

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_array_access, "ax", @progbits

/* aref: runtime routine. In: ecx = count, eax = array or vector a, edx and
   the stacked arguments = the subscripts. Out: eax = the element as a Lisp
   value: boxed words as they are, narrow integers and characters as
   immediates, 32-bit integers through fixnum_or_bignum or
   unsigned_fixnum_or_bignum, floats as new floats, complexes as a new
   complex of two new floats (the floats made first). Errors: 55 with nil
   (no arguments), 14 with the object, 16 with the subscript, 18, 13.
   Across an allocation no Lisp value is kept in this frame but in the
   slots every frame walk visits: the floats of a complex at ebp-0x14 and
   ebp-0x18 (nil otherwise); the element itself is found again from the
   arguments once the floats exist. Frame: ebp-0x20 the count (fixnum),
   ebp-0x24 an error's datum. */
        .globl aref
        .hidden aref
        .type aref, @function
aref:
        RUNTIME_FRAME
        mov [ebp - 0x14], edi
        mov [ebp - 0x18], edi
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea edx, [4 * ecx]
        push edx                                /* ebp-0x20 */
        push edi                                /* ebp-0x24: datum */
        lea eax, [ebp + 8]
        lea edx, [ebp + DATUM]
        CALL_NATIVE aref_locate, eax, ecx, edi, edx
        cmp eax, AREF_VALUE
        jne 1f
        mov eax, edx
        RUNTIME_RETURN
1:      cmp eax, AREF_SIGNED32
        jne 2f
        mov eax, edx
        call fixnum_or_bignum
        RUNTIME_RETURN
2:      cmp eax, AREF_UNSIGNED32
        jne 3f
        mov eax, edx
        call unsigned_fixnum_or_bignum
        RUNTIME_RETURN
3:      cmp eax, AREF_ERROR
        jne 4f
        mov eax, edx
        call rs_error
        RUNTIME_RETURN
4:      cmp eax, AREF_ERROR_WITH_DATUM
        jne 5f
        mov eax, edx
        mov edx, [ebp + DATUM]
        call rs_error_with_datum
        RUNTIME_RETURN
5:      cmp eax, AREF_SINGLE_FLOAT
        je .Laref_single
        cmp eax, AREF_DOUBLE_FLOAT
        je .Laref_double
        cmp eax, AREF_COMPLEX_SINGLE
        je .Laref_complex_single
        /* AREF_COMPLEX_DOUBLE */
        mov ecx, 1
        call new_double_float
        mov [ebp + REAL_PART], eax
        mov ecx, 1
        call new_double_float
        jmp .Laref_complex
.Laref_complex_single:
        mov ecx, 1
        call new_single_float
        mov [ebp + REAL_PART], eax
        mov ecx, 1
        call new_single_float
.Laref_complex:
        mov [ebp + IMAGINARY_PART], eax
        mov eax, COMPLEX_BYTES
        call new_other
        mov dword ptr [eax - 0x12], TYPE_COMPLEX
        mov esi, eax                            /* kept by the native calls */
        STORE_PROTECTED [ebp+REAL_PART], [esi+COMPLEX_REAL]
        STORE_PROTECTED [ebp+IMAGINARY_PART], [esi+COMPLEX_IMAGINARY]
        mov edx, [ebp - 0x20]
        shr edx, 2
        lea eax, [ebp + 8]
        mov ecx, [esi + COMPLEX_REAL]
        CALL_NATIVE aref_fill, eax, edx, ecx, 0
        mov edx, [ebp - 0x20]
        shr edx, 2
        lea eax, [ebp + 8]
        mov ecx, [esi + COMPLEX_IMAGINARY]
        CALL_NATIVE aref_fill, eax, edx, ecx, 1
        mov eax, esi
        RUNTIME_RETURN
.Laref_single:
        mov ecx, 1
        call new_single_float
        jmp 6f
.Laref_double:
        mov ecx, 1
        call new_double_float
6:      mov edx, [ebp - 0x20]
        shr edx, 2
        lea ecx, [ebp + 8]
        CALL_NATIVE aref_fill, ecx, edx, eax, 0
        RUNTIME_RETURN
        .size aref, . - aref

/* inv_s_aref: runtime routine. In: ecx = count, eax = the new value v,
   edx = array or vector a, stacked = the subscripts. Stores v into the
   element (Lisp values through the write barrier, others converted after
   kind and range checks). Out: eax = v. Errors: 18, 14 with the object, 16
   with the subscript, 13, 21; nothing is stored then. The error's datum
   waits at ebp-0x20. */
        .globl inv_s_aref
        .hidden inv_s_aref
        .type inv_s_aref, @function
inv_s_aref:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push edi                                /* ebp-0x20: datum */
        lea eax, [ebp + 8]
        lea edx, [ebp - 0x20]
        CALL_NATIVE inv_s_aref_store, eax, ecx, edi, edx
        test eax, eax
        jnz 1f
        mov eax, [ebp + 8]
        RUNTIME_RETURN
1:      test eax, ERROR_WITH_DATUM
        jnz 2f
        shl eax, 2
        call rs_error
        RUNTIME_RETURN
2:      and eax, ERROR_WITH_DATUM - 1
        shl eax, 2
        mov edx, [ebp - 0x20]
        call rs_error_with_datum
        RUNTIME_RETURN
        .size inv_s_aref, . - inv_s_aref

/* make_array_header: runtime routine. In: eax = rank (fixnum), edx = word
   1, stacked: data or type code (fixnum), displacement, dimensions, sixth,
   seventh. Out: eax = a 24-byte array header (array_header_initialise:
   type byte, flags, rank, words 1-4, the next serial number). A type
   byte that would be no array-header code (a fixnum code, or the data's
   vector type less 32) is refused first: error 14 with the data. */
        .globl make_array_header
        .hidden make_array_header
        .type make_array_header, @function
make_array_header:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea ecx, [ebp + 8]
        CALL_NATIVE array_header_check, ecx
        test eax, eax
        jnz 1f
        mov edx, ARRAY_HEADER_BYTES + 8
        NEW_OBJECT
        add eax, PREFIX_HEADER
        lea ecx, [ebp + 8]
        CALL_NATIVE array_header_initialise, eax, ecx, edi
        RUNTIME_RETURN
1:      shl eax, 2
        mov edx, [ebp + 16]
        call rs_error_with_datum
        RUNTIME_RETURN
        .size make_array_header, . - make_array_header

/* narheader(rank, w1, data, displacement, dims, sixth, seventh): native
   entry, cdecl, over make_array_header with the same seven words. */
        .globl narheader
        .hidden narheader
        .type narheader, @function
narheader:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_REGISTERS
        sub esp, 28
        mov eax, [ebp + 0x18]
        mov [esp], eax
        mov edx, [ebp + 0x1c]
        mov [esp + 4], edx
        mov ecx, [ebp + 0x20]
        mov [esp + 8], ecx
        mov ecx, [ebp + 0x24]
        mov [esp + 12], ecx
        mov ecx, [ebp + 0x28]
        mov [esp + 16], ecx
        mov ecx, [ebp + 0x2c]
        mov [esp + 20], ecx
        mov ecx, [ebp + 0x30]
        mov [esp + 24], ecx
        mov ecx, 7
        call make_array_header
        NATIVE_ENTRY_RETURN
        .size narheader, . - narheader

        .section .note.GNU-stack, "", @progbits
