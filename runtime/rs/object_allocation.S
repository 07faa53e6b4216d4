/* Objects with a header word in the other-object new space: new_other and
   the common constructors, each with the bump-pointer sequence inline (see
   new_space.inc), and the two out-of-line steps of that sequence.

   Sizes are computed so that they cannot wrap: a length that is negative
   (or not a fixnum) signals runtime error 13 and allocates nothing, and a
   size beyond 32 bits asks the collector for MAX_OBJECT_BYTES, which it
   reports as exhaustion.

   Part of the stretch of runtime code that start_of_gc_runtime and
   end_of_gc_runtime bound; `vector` is its last routine. */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/new_space.inc"

#define ERROR_BAD_LENGTH 13
#define ERROR_BIGNUM_TOO_LONG 35
#define NIL_SLOT_BREAKPOINT 0x8f
#define MAX_BIGNUM_DIGITS 65535
#define TYPE_STRUCTURE 15
#define TYPE_SINGLE_FLOAT 16
#define TYPE_DOUBLE_FLOAT 17
#define TYPE_BIGNUM 18
#define TYPE_SIMPLE_VECTOR 112
#define TYPE_SIMPLE_STRING 117
#define PREFIX_KIND 6                  /* the stamp word's upper 16 bits */
#define FIXNUM_LENGTH_BAD 0x80000003   /* a negative or non-fixnum length word */
#define NIL_STRUCT_TYPE_LOOKUP (-0x105)
#define NIL_STRUCT_TYPE_INDICATOR (-0x35d)
#define SYMBOL_PLIST (-3)
#define STRUCT_TYPE_FROM_PROPERTY 0x22

        .intel_syntax noprefix
        .section .text.sorted.gc_runtime_3_objects, "ax", @progbits

/* new_space_make_room: the exhausted case of NEW_OBJECT. In: edx = s.
   Runs the collector's scavenge(s) inside a foreign-call record; the
   collector returns only with room for s. Out: edx = s; eax, ecx
   clobbered, esi kept. */
        .globl new_space_make_room
        .hidden new_space_make_room
        .type new_space_make_room, @function
new_space_make_room:
        RUNTIME_FRAME
        push edx
        CALL_NATIVE scavenge, edx
        mov edx, [ebp - 0x20]
        leave
        ret
        .size new_space_make_room, . - new_space_make_room

/* new_space_crossed_page: NEW_OBJECT's step for an object that ends on a
   later page. In: eax = prefix address, edx = s. Calls
   new_space_page_crossed(prefix, prefix + s, s - 8) inside a foreign-call
   record (page hook, page map). Out: eax, edx kept; ecx clobbered, esi
   kept. */
        .globl new_space_crossed_page
        .hidden new_space_crossed_page
        .type new_space_crossed_page, @function
new_space_crossed_page:
        RUNTIME_FRAME
        push eax
        push edx
        lea ecx, [edx - 8]
        lea edx, [eax + edx]
        CALL_NATIVE new_space_page_crossed, eax, edx, ecx
        mov eax, [ebp - 0x20]
        mov edx, [ebp - 0x24]
        leave
        ret
        .size new_space_crossed_page, . - new_space_crossed_page

/* new_other: runtime routine. In: eax = byte size n of the object without
   its prefix (raw). Out: eax = tagged word (tag 2) of uninitialised
   storage whose header the caller writes; carry clear. */
        .globl new_other
        .hidden new_other
        .type new_other, @function
new_other:
        RUNTIME_FRAME
        mov edx, eax
        add edx, 15                             /* n + 8, brought up to 8 */
        jc 1f
        and edx, -8
        jmp 2f
1:      mov edx, MAX_OBJECT_BYTES
2:      NEW_OBJECT
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size new_other, . - new_other

/* new_simple_vector: runtime routine. In: eax = length L (fixnum), edx =
   kind number (fixnum; fixnum 0 for none), with ecx = 3 a third argument X.
   Out: eax = a simple vector (type 112) of L elements, each X (nil without
   a third argument); a non-zero fixnum kind goes into the prefix's upper
   16 bits. A negative or non-fixnum L: runtime error 13, nothing allocated,
   eax = the error function's value. X waits at ebp-0x14. */
        .globl new_simple_vector
        .hidden new_simple_vector
        .type new_simple_vector, @function
new_simple_vector:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        mov [ebp - 0x14], edi
        cmp ecx, 3
        jb 1f
        mov ecx, [ebp + 16]
        mov [ebp - 0x14], ecx
1:      test eax, FIXNUM_LENGTH_BAD
        jnz .Lvector_bad_length
        lea edx, [eax + 23]                     /* header, length, 4L bytes, prefix */
        and edx, -8
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], TYPE_SIMPLE_VECTOR
        mov ecx, [ebp + 8]
        mov [eax + PREFIX_HEADER + 4], ecx
        mov edx, [ebp + 12]
        test edx, 3
        jnz 2f                                  /* not a fixnum: no kind */
        test edx, edx
        jz 2f
        sar edx, 2
        mov [eax + PREFIX_KIND], dx
2:      shr ecx, 2
        mov edx, [ebp - 0x14]
        lea esi, [eax + PREFIX_HEADER + 8]
        jecxz 4f
3:      mov [esi], edx
        add esi, 4
        dec ecx
        jnz 3b
4:      add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
.Lvector_bad_length:
        mov eax, FIXNUM(ERROR_BAD_LENGTH)
        call rs_error
        RUNTIME_RETURN
        .size new_simple_vector, . - new_simple_vector

/* new_simple_string: runtime routine. In: eax = length L (fixnum), with
   ecx >= 2 edx = a character ch. Out: eax = a simple string (type 117) of
   L characters and a 16-bit zero unit after them; with ch every character
   is ch's code. A negative or non-fixnum L: runtime error 13 as above. */
        .globl new_simple_string
        .hidden new_simple_string
        .type new_simple_string, @function
new_simple_string:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push edi                                /* ebp-0x20: ch, or nil */
        cmp ecx, 2
        jb 1f
        mov [ebp - 0x20], edx
1:      test eax, FIXNUM_LENGTH_BAD
        jnz .Lstring_bad_length
        mov edx, eax
        shr edx, 1                              /* 2L bytes of characters */
        add edx, 25                             /* header, length, zero unit, prefix */
        and edx, -8
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], TYPE_SIMPLE_STRING
        mov ecx, [ebp + 8]
        mov [eax + PREFIX_HEADER + 4], ecx
        shr ecx, 2
        lea esi, [eax + PREFIX_HEADER + 8]
        mov word ptr [esi + 2 * ecx], 0
        mov edx, [ebp - 0x20]
        cmp edx, edi
        je 3f
        shr edx, 3
        jecxz 3f
2:      mov [esi], dx
        add esi, 2
        dec ecx
        jnz 2b
3:      add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
.Lstring_bad_length:
        mov eax, FIXNUM(ERROR_BAD_LENGTH)
        call rs_error
        RUNTIME_RETURN
        .size new_simple_string, . - new_simple_string

/* new_struct: runtime routine. In: ecx = n, eax = the structure's type
   symbol, edx and the stacked arguments = values 2 to n. Out: eax = a
   structure (type 15) of n words: word 0 the type, words 1 to n-1 the
   values. Word 0 is instead the word at +0x22 of the type's property when
   the global at nil-0x105 is not nil and the type symbol's property list
   holds the indicator at nil-0x35d with an other object as its value; the
   list is walked only through conses. */
        .globl new_struct
        .hidden new_struct
        .type new_struct, @function
new_struct:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea edx, [4 * ecx]
        push edx                                /* ebp-0x20: n as a fixnum */
        cmp ecx, 0x3ffffff0
        ja 1f
        add edx, 19                             /* header, n words, prefix */
        and edx, -8
        jmp 2f
1:      mov edx, MAX_OBJECT_BYTES
2:      NEW_OBJECT
        mov ecx, [ebp - 0x20]
        shl ecx, 6
        or ecx, TYPE_STRUCTURE
        mov [eax + PREFIX_HEADER], ecx
        mov ecx, [ebp - 0x20]
        shr ecx, 2
        jecxz .Lstruct_done
        xor edx, edx
3:      mov esi, [ebp + 8 + 4 * edx]
        mov [eax + PREFIX_HEADER + 4 + 4 * edx], esi
        inc edx
        cmp edx, ecx
        jb 3b
        /* word 0 from the type's property */
        cmp [edi + NIL_STRUCT_TYPE_LOOKUP], edi
        je .Lstruct_done
        mov ecx, [ebp + 8]
        mov edx, ecx
        and edx, 7
        cmp edx, 7
        jne .Lstruct_done                       /* not a symbol */
        mov edx, [edi + NIL_STRUCT_TYPE_INDICATOR]
        mov ecx, [ecx + SYMBOL_PLIST]
4:      mov esi, ecx
        and esi, 7
        cmp esi, 1
        jne .Lstruct_done                       /* the list ends */
        mov esi, [ecx - 0xd]                    /* the cell holding the value */
        cmp [ecx - 0x11], edx
        je 5f
        mov ecx, esi
        and esi, 7
        cmp esi, 1
        jne .Lstruct_done
        mov ecx, [ecx - 0xd]
        jmp 4b
5:      mov ecx, esi
        and esi, 7
        cmp esi, 1
        jne .Lstruct_done
        mov ecx, [ecx - 0x11]                   /* the property's value */
        mov esi, ecx
        and esi, 7
        cmp esi, 2
        jne .Lstruct_done                       /* not an other object */
        mov ecx, [ecx + STRUCT_TYPE_FROM_PROPERTY]
        mov [eax + PREFIX_HEADER + 4], ecx
.Lstruct_done:
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size new_struct, . - new_struct

/* new_double_float: runtime routine, frame marker 0x206. With ecx = 0 the
   double on top of the x87 stack is popped and boxed; with any other count
   the value is 0.0 and the x87 stack is not touched here. The raw value
   waits at ebp-0x24 (low word) and ebp-0x20.
   Out: eax = a double-float (type 17), the value 8-byte aligned at p-0xa. */
        .globl new_double_float
        .hidden new_double_float
        .type new_double_float, @function
new_double_float:
        RUNTIME_FRAME MARKER_FLOAT_BOXING
        sub esp, 8
        test ecx, ecx
        jnz 1f
        fstp qword ptr [ebp - 0x24]
        jmp 2f
1:      mov dword ptr [ebp - 0x24], 0
        mov dword ptr [ebp - 0x20], 0
2:      mov edx, 24
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], TYPE_DOUBLE_FLOAT
        mov dword ptr [eax + PREFIX_HEADER + 4], 0
        mov ecx, [ebp - 0x24]
        mov [eax + PREFIX_HEADER + 8], ecx
        mov ecx, [ebp - 0x20]
        mov [eax + PREFIX_HEADER + 12], ecx
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size new_double_float, . - new_double_float

/* new_single_float: as new_double_float with a 32-bit value (at ebp-0x20;
   ebp-0x24 holds 0). Out: eax = a single-float (type 16), value at p-0xe. */
        .globl new_single_float
        .hidden new_single_float
        .type new_single_float, @function
new_single_float:
        RUNTIME_FRAME MARKER_FLOAT_BOXING
        sub esp, 8
        mov dword ptr [ebp - 0x24], 0
        mov dword ptr [ebp - 0x20], 0
        test ecx, ecx
        jnz 1f
        fstp dword ptr [ebp - 0x20]
1:      mov edx, 16
        NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], TYPE_SINGLE_FLOAT
        mov ecx, [ebp - 0x20]
        mov [eax + PREFIX_HEADER + 4], ecx
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size new_single_float, . - new_single_float

/* newbignum: runtime routine for the runtime's bignum code and native
   constructors. In: eax = digit count (raw). Out: eax = a bignum (type 18)
   of that many digits, sign byte 0, digits not cleared. A count above
   65535 (unsigned) calls the breakpoint entry (nil+0x8f), then signals
   runtime error 35 and allocates nothing; eax is then the error function's
   value. Decision: no allocation after the error returns: the header holds
   only 16 bits of count, so no object could describe the digits its caller
   would then write past its end. The count waits at ebp-0x20 as a
   fixnum. */
        .globl newbignum
        .hidden newbignum
        .type newbignum, @function
newbignum:
        RUNTIME_FRAME
        cmp eax, MAX_BIGNUM_DIGITS
        ja 1f
        lea edx, [4 * eax]
        push edx
        lea edx, [2 * eax + 19]                 /* header, 2 bytes a digit, prefix */
        and edx, -8
        NEW_OBJECT
        mov ecx, [ebp - 0x20]
        shl ecx, 14
        or ecx, TYPE_BIGNUM
        mov [eax + PREFIX_HEADER], ecx
        add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
1:      call [edi + NIL_SLOT_BREAKPOINT]
        mov ebx, [ebp - 0x1c]
        mov eax, FIXNUM(ERROR_BIGNUM_TOO_LONG)
        call rs_error
        RUNTIME_RETURN
        .size newbignum, . - newbignum

/* fixnum_or_bignum: runtime routine. In: eax = a signed 32-bit integer.
   Out: eax = its fixnum when it fits (two shifts without signed overflow),
   else mi_in_new_bignum's bignum; carry clear; ecx clobbered. */
        .globl fixnum_or_bignum
        .hidden fixnum_or_bignum
        .type fixnum_or_bignum, @function
fixnum_or_bignum:
        mov ecx, eax
        shl eax, 1
        jo 1f
        shl eax, 1
        jo 1f
        clc
        ret
1:      mov eax, ecx
        jmp mi_in_new_bignum
        .size fixnum_or_bignum, . - fixnum_or_bignum

/* vector: runtime routine. In: ecx = n, eax, edx and the stacked arguments
   = the elements. Out: eax = a simple vector (type 112) of the n arguments
   in order, copied from the home slots (where eax and edx are stored
   first) and the stacked arguments. The last routine of the stretch. */
        .globl vector
        .hidden vector
        .type vector, @function
vector:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea edx, [4 * ecx]
        push edx                                /* ebp-0x20: n as a fixnum */
        cmp ecx, 0x3ffffff0
        ja 1f
        add edx, 23                             /* header, length, n words, prefix */
        and edx, -8
        jmp 2f
1:      mov edx, MAX_OBJECT_BYTES
2:      NEW_OBJECT
        mov dword ptr [eax + PREFIX_HEADER], TYPE_SIMPLE_VECTOR
        mov ecx, [ebp - 0x20]
        mov [eax + PREFIX_HEADER + 4], ecx
        shr ecx, 2
        jecxz 4f
        xor edx, edx
3:      mov esi, [ebp + 8 + 4 * edx]
        mov [eax + PREFIX_HEADER + 8 + 4 * edx], esi
        inc edx
        cmp edx, ecx
        jb 3b
4:      add eax, PREFIX_TO_WORD
        RUNTIME_RETURN
        .size vector, . - vector

        .section .note.GNU-stack, "", @progbits
