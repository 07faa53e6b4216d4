/* Keyword-argument scanning: kwdscan and kwdscanb fill a function's result
   area of (supplied flag, value) pairs from its keyword arguments.

   The keyword descriptor lies at byte offset k (the fixnum value of the
   descriptor offset) from the tagged word of the function: word 0 its
   allow-other-keys flag, word 1 the fixnum n, words 2..n+1 the keyword
   symbols in parameter order. The result area holds n pairs, pair i for
   keyword i.

   The arguments come either as words on the stack (an address and a word
   count) or as a list. Only complete pairs are scanned: an odd word count,
   or a list whose key has no value after it or whose tail is neither a
   cons nor nil, is runtime error 45; the stack form then scans the pairs
   before the odd word, the list form ends the scan where the list went
   wrong. A key that is neither a keyword of the descriptor nor the
   allow-other-keys keyword is runtime error 46 with the last such key,
   unless the descriptor or the first allow-other-keys pair allows it; the
   value of that error, when it returns, is what the scan returns.

   Frame of both routines (a runtime frame): ebp-0x14 the allow value,
   ebp-0x18 the last stray key (both Lisp values), ebp-0x20 raw flags
   (never visited by the collector), then fixnum-shaped words: the pairs
   left or the list, the function, the descriptor offset and the result
   area. The function is read again after every call that can collect, so
   the descriptor is always found through its current address. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_T (-0x3e)               /* t is the word nil - 0x3e itself */
#define NIL_ALLOW_OTHER_KEYS (-0x219)

#define CONS_CAR (-0x11)
#define CONS_CDR (-0xd)

#define ERROR_ODD_KEYWORDS 45
#define ERROR_UNKNOWN_KEYWORD 46

#define ALLOW (-0x14)
#define STRAY (-0x18)
#define FLAGS (-0x20)
#define SOURCE (-0x24)          /* stack form: address of the next pair; list form: the rest */
#define PAIRS_LEFT (-0x28)      /* stack form: 4 * pairs still to scan */
#define FUNCTION (-0x2c)
#define DESCRIPTOR_OFFSET (-0x30)
#define RESULT_AREA (-0x34)
#define FRAME_EXTRA 0x18        /* ebp-0x20 .. ebp-0x34 */

#define SEEN_ALLOW 1
#define STRAY_SET 2

#define DESCRIPTOR_ALLOW 0
#define DESCRIPTOR_COUNT 4
#define DESCRIPTOR_KEYWORDS 8

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_keyword_scan, "ax", @progbits

/* DESCRIPTOR reg: reg := the descriptor's address, from the function and
   the descriptor offset in the frame. */
.macro DESCRIPTOR reg
        mov \reg, [ebp + DESCRIPTOR_OFFSET]
        sar \reg, 2
        add \reg, [ebp + FUNCTION]
.endm

/* kwdscan: runtime routine. In: eax = the keyword arguments (a
   fixnum-aligned stack address of key/value words, or a list), ecx = the
   number of words (stack form), edx = the result area, ebx = the
   descriptor offset (fixnum); the calling function in the caller's frame
   word -4. Out: eax = nil, or the value of error 46; carry clear, esi :=
   the caller's ebp-4, ebx := the thread. */
        .globl kwdscan
        .hidden kwdscan
        .type kwdscan, @function
kwdscan:
        mov esi, ebx
        mov ebx, [ebp - 0x1c]
        RUNTIME_FRAME
        sub esp, FRAME_EXTRA
        mov [ebp + DESCRIPTOR_OFFSET], esi
        mov esi, [ebp]
        mov esi, [esi - 4]
        mov [ebp + FUNCTION], esi
        jmp .Lscan_common
        .size kwdscan, . - kwdscan

/* kwdscanb: runtime routine. In: eax = the word count (fixnum), edx = the
   function; arguments 3, 4 and 5 on the stack: the descriptor offset
   (fixnum), the argument source (as kwdscan's eax) and the result area.
   Out: as kwdscan. */
        .globl kwdscanb
        .hidden kwdscanb
        .type kwdscanb, @function
kwdscanb:
        RUNTIME_FRAME
        sub esp, FRAME_EXTRA
        mov [ebp + FUNCTION], edx
        mov ecx, eax
        sar ecx, 2
        mov eax, [ebp + 0x10]
        mov [ebp + DESCRIPTOR_OFFSET], eax
        mov eax, [ebp + 0x14]
        mov edx, [ebp + 0x18]
        jmp .Lscan_common
        .size kwdscanb, . - kwdscanb

/* The scan. In: the frame's function and descriptor offset set; eax = the
   source, ecx = the word count (stack form), edx = the result area. */
        .type keyword_scan_common, @function
keyword_scan_common:
.Lscan_common:
        mov [ebp + RESULT_AREA], edx
        mov [ebp + SOURCE], eax
        mov dword ptr [ebp + FLAGS], 0
        mov dword ptr [ebp + STRAY], 0
        mov dword ptr [ebp + PAIRS_LEFT], 0
        DESCRIPTOR esi
        mov ebx, [esi + DESCRIPTOR_ALLOW]
        mov [ebp + ALLOW], ebx
        /* every pair unsupplied: nil, nil */
        mov ebx, [esi + DESCRIPTOR_COUNT]
        jmp 2f
1:      mov [edx + 2 * ebx], edi
        mov [edx + 2 * ebx + 4], edi
2:      sub ebx, 4
        jge 1b
        mov ebx, eax
        and ebx, 3
        cmp ebx, 1
        je .Llist_form

        /* stack form */
        test ecx, ecx
        jle .Lscan_done
        mov ebx, ecx
        shr ebx, 1
        shl ebx, 2
        mov [ebp + PAIRS_LEFT], ebx
        test ecx, 1
        jz .Lstack_pairs
        mov eax, FIXNUM(ERROR_ODD_KEYWORDS)
        mov ebx, [ebp - 0x1c]
        call rs_error
.Lstack_pairs:
        DESCRIPTOR esi
        mov edx, [ebp + RESULT_AREA]
3:      sub dword ptr [ebp + PAIRS_LEFT], 4
        jl .Lscan_done
        mov eax, [ebp + SOURCE]
        mov ebx, [eax]
        mov ecx, [eax + 4]
        add dword ptr [ebp + SOURCE], 8
        call keyword_pair
        jmp 3b

.Llist_form:
        DESCRIPTOR esi
        mov edx, [ebp + RESULT_AREA]
4:      mov eax, [ebp + SOURCE]
        cmp eax, edi
        je .Lscan_done
        lea ebx, [eax - 1]
        test bl, 7
        jnz .Llist_odd
        mov ecx, [eax + CONS_CDR]
        lea ebx, [ecx - 1]
        test bl, 7
        jnz .Llist_odd
        mov ebx, [ecx + CONS_CDR]
        mov [ebp + SOURCE], ebx
        mov ebx, [eax + CONS_CAR]
        mov ecx, [ecx + CONS_CAR]
        call keyword_pair
        jmp 4b
.Llist_odd:
        mov dword ptr [ebp + SOURCE], 0
        mov eax, FIXNUM(ERROR_ODD_KEYWORDS)
        mov ebx, [ebp - 0x1c]
        call rs_error

.Lscan_done:
        test dword ptr [ebp + FLAGS], STRAY_SET
        jz 5f
        cmp [ebp + ALLOW], edi
        jne 5f
        mov eax, FIXNUM(ERROR_UNKNOWN_KEYWORD)
        mov edx, [ebp + STRAY]
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
        jmp 6f
5:      mov eax, edi
6:      mov ebx, [ebp - 0x1c]
        RUNTIME_RETURN
        .size keyword_scan_common, . - keyword_scan_common

/* keyword_pair: local subroutine of the scan. In: ebx = key, ecx = value,
   esi = the descriptor, edx = the result area, the scan's frame at ebp.
   Records the pair; clobbers eax, ebx. */
        .type keyword_pair, @function
keyword_pair:
        cmp ebx, [edi + NIL_ALLOW_OTHER_KEYS]
        jne 1f
        test dword ptr [ebp + FLAGS], SEEN_ALLOW
        jnz 9f
        or dword ptr [ebp + FLAGS], SEEN_ALLOW
        cmp ecx, edi
        je 9f
        mov [ebp + ALLOW], ecx
        ret
1:      xor eax, eax
2:      cmp eax, [esi + DESCRIPTOR_COUNT]
        jge 3f
        cmp ebx, [esi + DESCRIPTOR_KEYWORDS + eax]
        je 4f
        add eax, 4
        jmp 2b
3:      mov [ebp + STRAY], ebx
        or dword ptr [ebp + FLAGS], STRAY_SET
        ret
4:      cmp [edx + 2 * eax], edi
        jne 9f
        lea ebx, [edi + NIL_T]
        mov [edx + 2 * eax], ebx
        mov [edx + 2 * eax + 4], ecx
9:      ret
        .size keyword_pair, . - keyword_pair

        .section .note.GNU-stack, "", @progbits
