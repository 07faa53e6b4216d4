/* Boxing of machine integers: a fixnum when the value fits, else a new
   two-digit bignum (digits of the magnitude, least significant first; sign
   byte 0x80 for a negative value). */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/new_space.inc"

#define TWO_DIGIT_BIGNUM 0x00020012    /* 2 << 16 | 18 */
#define NEGATIVE_SIGN 0x8000           /* sign byte 0x80, in header bits 8-15 */
#define BIGNUM_BYTES 16                /* header, two digits, padding, prefix */
#define MOST_POSITIVE_UNSIGNED_FIXNUM 0x1fffffff

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_bignum_boxing, "ax", @progbits

/* mi_in_new_bignum, box_to_new_bignum (one routine): runtime routine.
   In: eax = a signed 32-bit integer v. A two-digit bignum is allocated
   first; v in the fixnum range returns v's fixnum (the bignum stays behind
   as a whole object with a valid header), else the bignum holds |v| (0 - v
   for a negative v, so -2^31 gives 2^31) with sign 0x80 when v < 0.
   Out: eax, carry clear. The halves of v wait in the frame as fixnums
   (ebp-0x20 low, ebp-0x24 high). */
        .globl mi_in_new_bignum, box_to_new_bignum
        .hidden mi_in_new_bignum, box_to_new_bignum
        .type mi_in_new_bignum, @function
        .type box_to_new_bignum, @function
box_to_new_bignum:
mi_in_new_bignum:
        RUNTIME_FRAME
        movzx edx, ax
        shl edx, 2
        push edx
        mov edx, eax
        sar edx, 16
        shl edx, 2
        push edx
        mov edx, BIGNUM_BYTES
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], TWO_DIGIT_BIGNUM
        mov ecx, [ebp - 0x24]
        shl ecx, 14
        mov edx, [ebp - 0x20]
        shr edx, 2
        or ecx, edx                             /* v */
        lea edx, [ecx + 0x20000000]
        cmp edx, 0x3fffffff
        ja 1f
        lea eax, [4 * ecx]
        RUNTIME_RETURN
1:      test ecx, ecx
        jns 2f
        neg ecx
        or dword ptr [eax + PREFIX_HEADER], NEGATIVE_SIGN
2:      mov [eax + PREFIX_HEADER + 4], ecx
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size mi_in_new_bignum, . - mi_in_new_bignum
        .size box_to_new_bignum, . - box_to_new_bignum

/* unsigned_fixnum_or_bignum: runtime routine. In: eax = an unsigned 32-bit
   integer u. Out: eax = u's fixnum when u <= 0x1fffffff (nothing
   allocated), else a two-digit bignum of u; carry clear. */
        .globl unsigned_fixnum_or_bignum
        .hidden unsigned_fixnum_or_bignum
        .type unsigned_fixnum_or_bignum, @function
unsigned_fixnum_or_bignum:
        cmp eax, MOST_POSITIVE_UNSIGNED_FIXNUM
        ja 1f
        shl eax, 2
        clc
        ret
1:      RUNTIME_FRAME
        movzx edx, ax
        shl edx, 2
        push edx
        mov edx, eax
        shr edx, 16
        shl edx, 2
        push edx
        mov edx, BIGNUM_BYTES
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], TWO_DIGIT_BIGNUM
        mov ecx, [ebp - 0x24]
        shl ecx, 14
        mov edx, [ebp - 0x20]
        shr edx, 2
        or ecx, edx
        mov [eax + PREFIX_HEADER + 4], ecx
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size unsigned_fixnum_or_bignum, . - unsigned_fixnum_or_bignum

        .section .note.GNU-stack, "", @progbits
