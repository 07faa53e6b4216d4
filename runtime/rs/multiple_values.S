/* Multiple values: producing, packing, extending, spreading and listing
   the values a compiled function returns.

   Open form (values in flight): eax = value 1, edx = value 2, ecx = the
   count n, carry set unless n = 1; values 3..n are elements 3..n of the
   head vector of the thread's values list (thread +0x82, nil when empty).
   Every routine here that takes values in the open form reads the count
   from ecx, so a caller passes ecx = 1 for one value.

   Closed form: a values vector taken off the list, element 0 the fixnum
   count, elements 1..n the values. On the list, element 1 of a vector is
   the link to the next one.

   Write barrier: a values vector may have been promoted out of new space,
   so after filling elements the routines mark them (values_protect); a
   vector in new space returns at once.

   Frames: the count waits at ebp-0x20 as 4 * n (fixnum-shaped), values 1
   and 2 in the home slots, vectors at ebp-0x14 and lists at ebp-0x18,
   words the collector's walk visits, so allocation may move them. Two nil
   words below ebp-0x20 are the home slots of the calls made from here. */
#include "runtime/rs/runtime_frame.inc"
#include "runtime/rs/argument_area.inc"

#define NIL_LENGTH_SYMBOL (-0x171)      /* its function gives a list's length */

#define THREAD_VALUES_LIST 0x82
#define TAG_MASK 7
#define TAG_CONS 1
#define CONS_CAR (-0x11)
#define CONS_CDR (-0xd)
#define HEADER (-0x12)                  /* element count in bits 8-31 */
#define ELEMENT(k) (-0xe + 4 * (k))

#define LEAST_VALUES_VECTOR 20          /* values, values_list: at least this */
#define PACKING_VECTOR 21               /* packing onto an empty list */
#define APPEND_SPARE 20                 /* append_values: n + m + this */
#define ERROR_WRONG_ARGUMENT_COUNT 55

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_multiple_values, "ax", @progbits

/* RETURN_VALUES: leaves the frame with eax, edx, ecx = n in the open form:
   function register reloaded, carry set unless n = 1. */
.macro RETURN_VALUES
        mov ebx, [ebp - 0x1c]
        leave
        mov esi, [ebp - 4]
        cmp ecx, 1
        clc
        je .Lone_value\@
        stc
.Lone_value\@:
        ret
.endm

/* VALUES_FRAME: a runtime frame for n = ecx values: values 1 and 2 into
   the home slots, 4n at ebp-0x20, then two nil home slots for calls. */
.macro VALUES_FRAME
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea eax, [4 * ecx]
        push eax
        push edi
        push edi
.endm

/* NEXT_ELEMENT list, element: a cons: element := its car, list := its
   cdr; anything else (the end): element := nil, list := nil. */
.macro NEXT_ELEMENT list, element
        lea \element, [\list - TAG_CONS]
        test \element, TAG_MASK
        jnz .Lend_of_list\@
        mov \element, [\list + CONS_CAR]
        mov \list, [\list + CONS_CDR]
        jmp .Lnext_done\@
.Lend_of_list\@:
        mov \element, edi
        mov \list, edi
.Lnext_done\@:
.endm

/* HEAD_FOR_COUNT extra: In: ecx = n (at least 3), ebx = thread, in a
   values frame. eax := the head vector when its element count exceeds n,
   else a new values vector made the head (the old head is dropped):
   max(n + 1, 20) elements, or with extra = 1 max(n, 20) + 1. Clobbers
   ecx, edx. */
.macro HEAD_FOR_COUNT extra=0
        mov eax, [ebx + THREAD_VALUES_LIST]
        cmp eax, edi
        je .Lhead_new\@
        mov edx, [eax + HEADER]
        shr edx, 8
        cmp edx, ecx
        ja .Lhead_ready\@
.Lhead_new\@:
        .if \extra == 0
        inc ecx
        .endif
        cmp ecx, LEAST_VALUES_VECTOR
        jae .Lhead_size\@
        mov ecx, LEAST_VALUES_VECTOR
.Lhead_size\@:
        .if \extra
        inc ecx
        .endif
        lea eax, [4 * ecx]
        call new_mv_vector
        mov ebx, [ebp - 0x1c]
        mov [ebx + THREAD_VALUES_LIST], eax
.Lhead_ready\@:
.endm

/* values_protect: subroutine of the values and throw routines. In: eax =
   a values vector, ecx = the first element k, edx = the last (raw; none
   when edx < ecx). When the vector lies outside new space, each of those
   elements goes through the write barrier's marking test
   (gsgc_setf_protect_1). Keeps every register and the carry clear. */
        .globl values_protect
        .hidden values_protect
        .type values_protect, @function
values_protect:
        cmp eax, [edi + NIL_NEW_SPACE_BOUNDARY]
        ja 9f
        push eax
        push ecx
        push edx
        push esi
        mov esi, eax
1:      cmp ecx, [esp + 4]
        jg 8f
        lea edx, [esi + ELEMENT(0) + 4 * ecx]
        mov eax, [edx]
        call gsgc_setf_protect_1
        inc ecx
        jmp 1b
8:      pop esi
        pop edx
        pop ecx
        pop eax
9:      clc
        ret
        .size values_protect, . - values_protect

/* PROTECT vector, first, last: values_protect of vector's elements first
   to last (registers or immediates; loaded in this order: edx, ecx, eax).
   Clobbers nothing. */
.macro PROTECT vector, first, last
        push eax
        push ecx
        push edx
        mov edx, \last
        mov ecx, \first
        mov eax, \vector
        call values_protect
        pop edx
        pop ecx
        pop eax
.endm

/* values: runtime routine. In: ecx = n (ecx = 1 for one value), eax and
   edx arguments 1 and 2, arguments 3..n stacked. Out: the same n values
   in the open form. Up to two values build no frame and allocate
   nothing. */
        .globl values
        .hidden values
        .type values, @function
values:
        cmp ecx, 2
        jg 1f
        cmp ecx, 1
        clc
        je 0f
        stc
0:      ret
1:      VALUES_FRAME
        HEAD_FOR_COUNT
        mov ecx, [ebp - 0x20]
        shr ecx, 2
        mov edx, 3
2:      mov esi, [ebp + 4 + 4 * edx]            /* argument k */
        mov [eax + ELEMENT(0) + 4 * edx], esi
        inc edx
        cmp edx, ecx
        jbe 2b
        PROTECT eax, 3, ecx
        mov eax, [ebp + 8]
        mov edx, [ebp + 12]
        RETURN_VALUES
        .size values, . - values

/* values_list: runtime routine. In: eax = a list X, ecx = 1 (another count
   signals error 55 with fixnum 1 first, then goes on). n = the length the
   function of the symbol at nil-0x171 gives for X. Out: X's first n
   elements in the open form (nil past its end). A length that is not a
   fixnum of at least 0 comes back as the one value, nothing made. */
        .globl values_list
        .hidden values_list
        .type values_list, @function
values_list:
        VALUES_FRAME
        cmp ecx, 1
        je 1f
        mov eax, FIXNUM(ERROR_WRONG_ARGUMENT_COUNT)
        mov edx, FIXNUM(1)
        call rs_error_with_datum
1:      mov eax, [ebp + 8]
        mov edx, edi
        mov ebx, [edi + NIL_LENGTH_SYMBOL]
        mov ecx, 1
        call edi
        test eax, 3
        jnz .Lvalues_list_bad_length
        test eax, eax
        js .Lvalues_list_bad_length
        mov [ebp - 0x20], eax
        mov ecx, [ebp + 8]
        NEXT_ELEMENT ecx, eax
        NEXT_ELEMENT ecx, edx
        mov [ebp - 0x14], eax                   /* value 1 */
        mov [ebp + 12], edx                     /* value 2 */
        mov [ebp + 8], ecx                      /* the rest */
        mov ecx, [ebp - 0x20]
        shr ecx, 2
        cmp ecx, 2
        jbe 3f
        mov ebx, [ebp - 0x1c]
        HEAD_FOR_COUNT 1
        mov ebx, [ebp - 0x20]
        shr ebx, 2
        mov ecx, [ebp + 8]
        mov edx, 3
2:      NEXT_ELEMENT ecx, esi
        mov [eax + ELEMENT(0) + 4 * edx], esi
        inc edx
        cmp edx, ebx
        jbe 2b
        PROTECT eax, 3, ebx
3:      mov eax, [ebp - 0x14]
        mov edx, [ebp + 12]
        mov ecx, [ebp - 0x20]
        shr ecx, 2
        RETURN_VALUES
.Lvalues_list_bad_length:
        mov ebx, [ebp - 0x1c]
        RUNTIME_RETURN
        .size values_list, . - values_list

/* close_values: runtime routine. In: n values in the open form (ecx = n).
   Out: eax = a closed values vector holding them, carry clear: the head
   vector taken off the list (its element 1 the new head), or a new one of
   21 elements when the list is empty (the list stays empty). */
        .globl close_values
        .hidden close_values
        .type close_values, @function
close_values:
        VALUES_FRAME
        mov eax, [ebx + THREAD_VALUES_LIST]
        cmp eax, edi
        je 1f
        mov edx, [eax + ELEMENT(1)]
        mov [ebx + THREAD_VALUES_LIST], edx
        jmp 2f
1:      mov eax, FIXNUM(PACKING_VECTOR)
        call new_mv_vector
2:      mov ecx, [ebp - 0x20]
        mov [eax + ELEMENT(0)], ecx
        mov edx, [ebp + 8]
        mov [eax + ELEMENT(1)], edx
        cmp ecx, FIXNUM(2)
        jl 3f
        mov edx, [ebp + 12]
        mov [eax + ELEMENT(2)], edx
3:      PROTECT eax, 1, 2
        mov ebx, [ebp - 0x1c]
        RUNTIME_RETURN
        .size close_values, . - close_values

/* append_values: runtime routine. In: n values in the open form (ecx =
   n); the caller's frame word -0x18 = a closed values vector V holding m
   values. Out: eax = V, or (when m + 1 + n exceeds its element count) a
   copy of n + m + 20 elements, holding the m values and then the n new
   ones; carry clear. Element m + 2 is written only when n is at least 2:
   with one value it may lie past V's last element. While the copy is
   allocated the head vector (values 3..n) is off the list, at ebp-0x18,
   as in m_v_list: the collection may run Lisp code whose own values would
   otherwise overwrite them. */
        .globl append_values
        .hidden append_values
        .type append_values, @function
append_values:
        VALUES_FRAME
        mov eax, [ebp]
        mov eax, [eax - 0x18]
        cmp dword ptr [ebp - 0x20], 0
        jle .Lappend_done
        mov [ebp - 0x14], eax
        mov edx, [eax + ELEMENT(0)]
        sar edx, 2                              /* m */
        mov ecx, [ebp - 0x20]
        sar ecx, 2                              /* n */
        mov esi, [eax + HEADER]
        shr esi, 8                              /* V's element count */
        sub esi, edx
        sub esi, ecx
        jg 2f                                   /* room for elements up to m + n */
        lea eax, [edx + ecx + APPEND_SPARE]
        shl eax, 2
        cmp ecx, 3
        jb 4f
        mov esi, [ebx + THREAD_VALUES_LIST]     /* values 3..n: off the list meanwhile */
        mov [ebp - 0x18], esi
        mov esi, [esi + ELEMENT(1)]
        mov [ebx + THREAD_VALUES_LIST], esi
4:      call new_mv_vector
        mov ebx, [ebp - 0x1c]
        mov esi, [ebp - 0x18]
        test esi, esi
        jz 5f
        mov edx, [ebx + THREAD_VALUES_LIST]     /* back at the head */
        mov [esi + ELEMENT(1)], edx
        mov [ebx + THREAD_VALUES_LIST], esi
        PROTECT esi, 1, 1
5:      mov edx, [ebp - 0x14]
        mov ecx, [edx + ELEMENT(0)]
        sar ecx, 2
1:      mov esi, [edx + ELEMENT(0) + 4 * ecx]   /* elements m .. 0 */
        mov [eax + ELEMENT(0) + 4 * ecx], esi
        dec ecx
        jns 1b
2:      mov ebx, [ebp - 0x1c]
        mov edx, [eax + ELEMENT(0)]
        sar edx, 2                              /* m */
        mov ecx, [ebp - 0x20]
        sar ecx, 2                              /* n */
        lea esi, [edx + ecx]
        shl esi, 2
        mov [eax + ELEMENT(0)], esi
        lea edx, [eax + ELEMENT(1) + 4 * edx]   /* element m + 1 */
        mov esi, [ebp + 8]
        mov [edx], esi
        sub ecx, 2
        jl .Lappend_protect
        mov esi, [ebp + 12]
        mov [edx + 4], esi
        add edx, 8                              /* element m + 3 */
        mov esi, [ebx + THREAD_VALUES_LIST]
        add esi, ELEMENT(3)
3:      dec ecx
        js .Lappend_protect
        mov ebx, [esi]
        mov [edx], ebx
        add esi, 4
        add edx, 4
        jmp 3b
.Lappend_protect:                               /* elements m+1 .. m+n */
        mov edx, [eax + ELEMENT(0)]
        sar edx, 2
        mov ecx, [ebp - 0x20]
        sar ecx, 2
        neg ecx
        lea ecx, [edx + ecx + 1]
        call values_protect
.Lappend_done:
        mov ebx, [ebp - 0x1c]
        RUNTIME_RETURN
        .size append_values, . - append_values

/* m_v_list: runtime routine. In: n values in the open form (ecx = n).
   Out: eax = a fresh list of them in order (nil for none), carry clear.
   Conses with qcons from the last value to the first; values n..3 come
   from the head vector, which is off the list (at ebp-0x14) meanwhile and
   is put back at its head afterwards. The list grows at ebp-0x18. */
        .globl m_v_list
        .hidden m_v_list
        .type m_v_list, @function
m_v_list:
        VALUES_FRAME
        mov [ebp - 0x18], edi
        cmp ecx, 3
        jl 2f
        mov eax, [ebx + THREAD_VALUES_LIST]
        mov [ebp - 0x14], eax
        mov edx, [eax + ELEMENT(1)]
        mov [ebx + THREAD_VALUES_LIST], edx
1:      mov eax, [ebp - 0x14]
        mov ecx, [ebp - 0x20]
        mov eax, [eax + ELEMENT(0) + ecx]       /* value k, 4k at ebp-0x20 */
        mov edx, [ebp - 0x18]
        call qcons
        mov [ebp - 0x18], eax
        sub dword ptr [ebp - 0x20], 4
        cmp dword ptr [ebp - 0x20], FIXNUM(3)
        jge 1b
        mov ebx, [ebp - 0x1c]
        mov eax, [ebp - 0x14]
        mov edx, [ebx + THREAD_VALUES_LIST]
        mov [eax + ELEMENT(1)], edx
        mov [ebx + THREAD_VALUES_LIST], eax
        PROTECT eax, 1, 1
        mov dword ptr [ebp - 0x14], 0
2:      cmp dword ptr [ebp - 0x20], FIXNUM(2)
        jl 3f
        mov eax, [ebp + 12]
        mov edx, [ebp - 0x18]
        call qcons
        mov [ebp - 0x18], eax
3:      cmp dword ptr [ebp - 0x20], FIXNUM(1)
        jl 4f
        mov eax, [ebp + 8]
        mov edx, [ebp - 0x18]
        call qcons
        mov [ebp - 0x18], eax
4:      mov eax, [ebp - 0x18]
        mov ebx, [ebp - 0x1c]
        RUNTIME_RETURN
        .size m_v_list, . - m_v_list

/* m_v_call: runtime routine. In: eax = a function F, edx = a closed values
   vector V holding n values. Spreads V's values into an outgoing area (8
   aligned, at least the two home slots), puts V back at the head of the
   values list, stores n at frame word -0x10 and calls F through
   funcall_check with ecx = n. Out: F's values, unchanged. An area that
   would pass the thread's stack limit is reported as a stack overflow and
   its value returned, F not called. */
        .globl m_v_call
        .hidden m_v_call
        .type m_v_call, @function
m_v_call:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        mov ecx, [edx + ELEMENT(0)]
        push ecx                                /* ebp-0x20: fixnum n */
        sar ecx, 2
        AT_LEAST_TWO ecx
        RESERVE_AREA .Lmvcall_too_large
        mov eax, [ebp + 12]
        add eax, ELEMENT(1)
        mov ecx, [ebp - 0x20]
        sar ecx, 2
        mov edx, esp
        call copy_words
        mov ebx, [ebp - 0x1c]
        mov eax, [ebp + 12]
        mov edx, [ebx + THREAD_VALUES_LIST]
        mov [eax + ELEMENT(1)], edx
        mov [ebx + THREAD_VALUES_LIST], eax
        PROTECT eax, 1, 1
        mov ecx, [ebp - 0x20]
        sar ecx, 2
        mov [ebp - 0x10], ecx
        mov esi, [ebp + 8]
        CALL_SPREAD funcall_check
.Lmvcall_too_large:
        call stack_overflow_report
        RUNTIME_RETURN
        .size m_v_call, . - m_v_call

        .section .note.GNU-stack, "", @progbits
