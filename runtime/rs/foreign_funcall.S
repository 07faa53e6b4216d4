/* The general foreign call: Lisp arguments converted by their descriptions
   into a native argument area, a call through the entry-vec's call address,
   and the native result boxed by the result description (the form is
   described in foreign_funcall.h). */
#include "runtime/rs/runtime_frame.inc"

#define NIL_SIGNED_TYPE (-0x241)
#define NIL_UNSIGNED_TYPE (-0x245)
#define NIL_SINGLE_TYPE (-0x249)
#define NIL_DOUBLE_TYPE (-0x24d)
#define NIL_WORD_CONVERSION (-0x239)
#define NIL_SINGLE_CONVERSION (-0x28d)
#define NIL_DOUBLE_CONVERSION (-0x31d)
#define NIL_HOOK_TEST (-0x32d)
#define NIL_HOOK_CONVERT (-0x489)

#define CAR (-0x11)
#define CDR (-0xd)
#define HEADER_TYPE (-0x12)
#define ENTRY_VEC_TYPE 111
#define FLAG_CONVERSION_HOOK 0x200
#define FLAGS_CAPTURE 0x3000
#define MOST_ARGUMENT_BYTES 0x10000  /* foreign_funcall::kMostArgumentBytes */
#define MOST_APPLY_PAIRS 1024        /* foreign_funcall::kMostApplyPairs */
#define REFUSED_ARGUMENT 54

/* ff_result_kind's answers (foreign_funcall::ResultKind) */
#define RESULT_SIGNED 1
#define RESULT_UNSIGNED 2
#define RESULT_SINGLE 3
#define RESULT_DOUBLE 4

/* ff_funcall frame words */
#define FF_INDEX (-8)         /* raw: pair index, then the result kind */
#define FF_WORDS (-0x20)      /* raw: native argument words, then the captured errno */
#define FF_COUNT (-0x24)      /* the argument count as a fixnum */
#define FF_FIRST_PAIR (-0x28) /* checked pairs from here down: description, value */

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_foreign_funcall, "ax", @progbits

/* dst := the first element of the list in src (nil when src is no cons);
   scratch is clobbered; dst, src and scratch are three registers. */
.macro LIST_FIRST dst, src, scratch
        mov \scratch, \src
        and \scratch, 7
        cmp \scratch, 1
        mov \dst, edi
        jne .Llist_first\@
        mov \dst, [\src + CAR]
.Llist_first\@:
.endm

/* dst := the rest of the list in src (nil when src is no cons). */
.macro LIST_REST dst, src, scratch
        mov \scratch, \src
        and \scratch, 7
        cmp \scratch, 1
        mov \dst, edi
        jne .Llist_rest\@
        mov \dst, [\src + CDR]
.Llist_rest\@:
.endm

/* ff_funcall: runtime routine. In: eax = entry-vec, then k (description,
   value) pairs, then the result description; ecx = 2k + 2.
   Pass 1 turns every pair into a checked (description, value) pair pushed
   below the frame as Lisp values: conversion lists call their function,
   entry flag 0x200 offers plain values to the hooks at nil-0x32d and
   nil-0x489, and ff_argument_words checks that the value can be passed.
   Only then (nothing calls Lisp any more) is the errno cleared when the
   entry captures none, the clink pushed with the entry as callee, the
   native area made below it (word 5's bytes, at least the pairs' words, 8-
   aligned) and filled by ff_store_arguments, and the entry's call address
   called with ebx = the entry, ecx = the argument words and esi keeping the
   stack. The result is boxed by the result kind; with capture bits the
   errno data word follows as a second value.
   Errors: 54 through rs_error_with_datum with the offending object (a bad
   count as a fixnum, an argument that is no entry-vec, a description
   naming no form, a value that cannot be passed); the call is not made and
   the error function's value is returned. */
        .globl ff_funcall
        .hidden ff_funcall
        .type ff_funcall, @function
ff_funcall:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 0xc], edx
        sub esp, 4
        mov dword ptr [ebp + FF_WORDS], 0
        lea edx, [4 * ecx]
        push edx                                /* FF_COUNT */
        cmp ecx, 2
        jb .Lff_bad_count
        test ecx, 1
        jnz .Lff_bad_count
        mov edx, eax
        and edx, 7
        cmp edx, 2
        jne .Lff_bad_entry
        cmp byte ptr [eax + HEADER_TYPE], ENTRY_VEC_TYPE
        jne .Lff_bad_entry
        mov dword ptr [ebp + FF_INDEX], 0

.Lff_pair:
        mov ecx, [ebp + FF_INDEX]
        lea edx, [8 * ecx + 8]
        cmp edx, [ebp + FF_COUNT]
        jae .Lff_pairs_done
        mov edx, [ebp + 8 * ecx + 12]           /* description: argument 2i+2 */
        mov eax, [ebp + 8 * ecx + 16]           /* value: argument 2i+3 */
        mov esi, edx
        and esi, 7
        cmp esi, 1
        je .Lff_conversion
        mov esi, [ebp + 8]
        test dword ptr [esi + ENTRY_VEC_FLAGS], FLAG_CONVERSION_HOOK
        jz .Lff_checked
        mov [ebp - 0x10], edi
        sub esp, 8
        mov ebx, [edi + NIL_HOOK_TEST]
        mov ecx, 1
        call edi
        add esp, 8
        mov ecx, [ebp + FF_INDEX]
        mov edx, [ebp + 8 * ecx + 12]
        cmp eax, edi
        mov eax, [ebp + 8 * ecx + 16]
        je .Lff_checked
        mov [ebp - 0x10], edi
        sub esp, 8
        mov ebx, [edi + NIL_HOOK_CONVERT]
        mov ecx, 1
        call edi
        add esp, 8
        mov edx, edi                            /* converted: description nil */
        jmp .Lff_checked

        /* (F TYPE EXTRA): F's function gets (operation, TYPE, EXTRA, value). */
.Lff_conversion:
        mov esi, [edx + CAR]
        lea ecx, [esi - 7]
        test cl, 3
        jnz .Lff_refuse                         /* F is no symbol: edx = description */
        push eax                                /* argument 4: the value */
        mov eax, [edx + CDR]
        LIST_REST ecx, eax, ebx
        LIST_FIRST edx, ecx, ebx
        push edx                                /* argument 3: EXTRA */
        LIST_FIRST edx, eax, ebx                /* argument 2: TYPE */
        mov eax, [edi + NIL_WORD_CONVERSION]
        cmp edx, [edi + NIL_SINGLE_TYPE]
        jne 1f
        mov eax, [edi + NIL_SINGLE_CONVERSION]
1:      cmp edx, [edi + NIL_DOUBLE_TYPE]
        jne 2f
        mov eax, [edi + NIL_DOUBLE_CONVERSION]
2:      sub esp, 8
        mov ebx, esi
        mov ecx, 4
        mov [ebp - 0x10], edi
        call edi
        add esp, 16
        mov ecx, [ebp + FF_INDEX]
        mov edx, [ebp + 8 * ecx + 12]
        mov edx, [edx + CDR]
        LIST_FIRST esi, edx, ecx
        mov edx, esi                            /* the description is TYPE now */

        /* edx = description, eax = value: keep them and check them. */
.Lff_checked:
        push edx
        push eax
        mov ebx, [ebp - 0x1c]
        mov [ebp - 0x10], edi
        CALL_NATIVE ff_argument_words, edx, eax
        test eax, eax
        jg 3f
        mov edx, [esp]                          /* the value */
        je .Lff_refuse
        mov edx, [esp + 4]                      /* the description */
        jmp .Lff_refuse
3:      add [ebp + FF_WORDS], eax
        inc dword ptr [ebp + FF_INDEX]
        jmp .Lff_pair

.Lff_pairs_done:
        mov ebx, [ebp - 0x1c]
        mov ecx, [ebp + FF_COUNT]
        mov eax, [ebp + ecx + 4]                /* the last argument */
        CALL_NATIVE ff_result_kind, eax
        mov [ebp + FF_INDEX], eax
        mov eax, [ebp + 8]
        test dword ptr [eax + ENTRY_VEC_FLAGS], FLAGS_CAPTURE
        jnz 4f
        CALL_NATIVE clear_errno_value
4:      mov eax, [ebp + 8]
        mov eax, [eax + ENTRY_VEC_ARGUMENT_BYTES]
        cmp eax, MOST_ARGUMENT_BYTES
        jbe 5f
        xor eax, eax
5:      mov edx, [ebp + FF_WORDS]
        shl edx, 2
        cmp eax, edx
        jae 6f
        mov eax, edx
6:      add eax, 7
        and eax, -8                             /* the area's bytes */

        /* The call: a clink directly above the area, the stack 8-aligned
           (a gap word is 0, as it is scanned with the pairs afterwards). */
        mov dword ptr [esp - 4], 0
        and esp, -8
        push 0                                  /* word 5: a throw's values */
        push dword ptr [ebp + 8]                /* word 4: callee, the entry */
        push edi                                /* word 3: throw continuation */
        push ebp                                /* word 2: the calling frame */
        push 0                                  /* word 1: native frame */
        push dword ptr [ebx + THREAD_CLINK_HEAD] /* word 0: previous record */
        mov [ebx + THREAD_CLINK_HEAD], esp
        sub esp, eax
        mov edx, esp
        mov ecx, [ebp + FF_COUNT]
        shr ecx, 3
        dec ecx                                 /* k pairs */
        lea eax, [ebp + FF_FIRST_PAIR]
        push ecx
        push eax
        push edx
        call ff_store_arguments
        add esp, 12
        ffree st(0)
        ffree st(1)
        ffree st(2)
        ffree st(3)
        ffree st(4)
        ffree st(5)
        fwait
        fnclex
        fldcw word ptr [edi + NIL_FLOAT_CONTROL_WORD]
        mov ebx, [ebp + 8]
        mov ecx, [ebp + FF_WORDS]
        mov [ebp - 0x10], edi
        mov esi, esp
        call dword ptr [ebx + ENTRY_VEC_CALL_ADDRESS]
        mov esp, esi
        mov ebx, [ebp - 0x1c]
        mov esp, [ebx + THREAD_CLINK_HEAD]      /* our record */
        cmp [esp + CLINK_CONTINUATION], edi
        je 7f
        jmp dword ptr [esp + CLINK_CONTINUATION]
7:      pop dword ptr [ebx + THREAD_CLINK_HEAD]
        add esp, CLINK_BYTES - 4

        /* The errno word of a capturing entry, read before the boxing:
           a collection there may run Lisp code whose own calls set it. */
        mov [ebp - 0x10], edi
        mov edx, [ebp + 8]
        test dword ptr [edx + ENTRY_VEC_FLAGS], FLAGS_CAPTURE
        jz 0f
        mov edx, eax
        LOAD_GOT_ECX
        mov ecx, DWORD PTR lisp_errno@GOT[ecx]
        mov ecx, [ecx]
        mov [ebp + FF_WORDS], ecx
        mov eax, edx

        /* The result, by kind: eax or st(0). */
0:      mov ecx, [ebp + FF_INDEX]
        cmp ecx, RESULT_SIGNED
        jne 1f
        call fixnum_or_bignum
        jmp 8f
1:      cmp ecx, RESULT_UNSIGNED
        jne 2f
        call unsigned_fixnum_or_bignum
        jmp 8f
2:      cmp ecx, RESULT_SINGLE
        jne 3f
        xor ecx, ecx
        call new_single_float
        jmp 8f
3:      cmp ecx, RESULT_DOUBLE
        jne 4f
        xor ecx, ecx
        call new_double_float
        jmp 8f
4:      mov eax, edi
8:      mov edx, [ebp + 8]
        test dword ptr [edx + ENTRY_VEC_FLAGS], FLAGS_CAPTURE
        jnz 9f
        RUNTIME_RETURN
9:      mov edx, [ebp + FF_WORDS]               /* the errno read above */
        shl edx, 2                              /* as a fixnum */
        mov ecx, 2
        leave
        mov esi, [ebp - 4]
        stc
        ret

.Lff_bad_count:
        mov edx, [ebp + FF_COUNT]
        jmp .Lff_refuse
.Lff_bad_entry:
        mov edx, eax
.Lff_refuse:
        mov eax, FIXNUM(REFUSED_ARGUMENT)
        mov ebx, [ebp - 0x1c]
        mov [ebp - 0x10], edi
        call rs_error_with_datum
        RUNTIME_RETURN
        .size ff_funcall, . - ff_funcall

/* ff_apply: runtime routine. In: eax = entry-vec, edx = result
   description, argument 3 = list of descriptions, argument 4 = list of
   values. Lays out ff_funcall's arguments below the frame: the entry, then
   for each of the k values the pair (element i of the descriptions, nil
   past their end; element i of the values), then the result description,
   and calls ff_funcall with ecx = 2k + 2; returns its values. A values list
   longer than 1024 elements is error 54 with the list. */
        .globl ff_apply
        .hidden ff_apply
        .type ff_apply, @function
ff_apply:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 0xc], edx
        mov eax, [ebp + 0x14]
        xor ecx, ecx
1:      mov edx, eax
        and edx, 7
        cmp edx, 1
        jne 2f
        inc ecx
        cmp ecx, MOST_APPLY_PAIRS
        ja .Lapply_too_long
        mov eax, [eax + CDR]
        jmp 1b
2:      mov dword ptr [ebp - 0x24], 0           /* a gap word, if there is one */
        lea eax, [8 * ecx + 8]
        lea esp, [ebp - 0x20]
        sub esp, eax
        and esp, -8
        mov ebx, ecx                            /* k */
        mov eax, [ebp + 8]
        mov [esp], eax
        mov esi, [ebp + 0x10]
        mov edx, [ebp + 0x14]
        xor ecx, ecx
3:      cmp ecx, ebx
        jae 6f
        mov eax, esi
        and eax, 7
        cmp eax, 1
        mov eax, edi
        jne 4f
        mov eax, [esi + CAR]
        mov esi, [esi + CDR]
        jmp 5f
4:      mov esi, edi
5:      mov [esp + 8 * ecx + 4], eax
        mov eax, [edx + CAR]
        mov [esp + 8 * ecx + 8], eax
        mov edx, [edx + CDR]
        inc ecx
        jmp 3b
6:      mov eax, [ebp + 0xc]
        mov [esp + 8 * ecx + 4], eax
        lea ecx, [2 * ebx + 2]
        mov eax, [esp]
        mov edx, [esp + 4]
        mov ebx, [ebp - 0x1c]
        mov [ebp - 0x10], edi
        call ff_funcall
        leave
        mov esi, [ebp - 4]
        ret

.Lapply_too_long:
        mov eax, FIXNUM(REFUSED_ARGUMENT)
        mov edx, [ebp + 0x14]
        call rs_error_with_datum
        RUNTIME_RETURN
        .size ff_apply, . - ff_apply

        .section .note.GNU-stack, "", @progbits
