/* Test harness for code that follows the Lisp register conventions. */
#include "testing/lisp_call_layout.h"

        .intel_syntax noprefix

#define FRAME_BYTES (4 * LCH_FRAME_WORDS)
#define STACK_BYTES (4 * LCH_STACK_WORDS)
#define ESP_AT_CALL (FRAME_BYTES + STACK_BYTES) /* below ebp */

        .text

/* lisp_harness_call(setup, result): cdecl; keeps the native callee-saved
   registers. Calls setup->target from a Lisp-convention frame.
   Its own frame starts with three zero words: the collector's stack walk
   reads ebp-4 (0: a native frame, where the walk ends) and ebp-12 (a
   return address) of the frame the Lisp frame links to, so nothing the
   caller left in its registers is taken for a frame marker or a return
   address into the heap. */
        .globl lisp_harness_call
        .type lisp_harness_call, @function
lisp_harness_call:
        push ebp
        mov ebp, esp
        push 0
        push 0
        push 0
        push ebx
        push esi
        push edi
        sub esp, 36                     /* x87 environment at ebp-56, control word at ebp-28;
                                           esp at the Lisp call stays 8 mod 16 */
        fnstcw [ebp - 28]
        mov eax, [ebp + 8]
        mov ecx, [eax + LCS_X87_COUNT]
1:      test ecx, ecx
        jz 2f
        dec ecx
        fld qword ptr [eax + LCS_X87_VALUES + 8 * ecx]
        jmp 1b
2:      push dword ptr [eax + LCS_TARGET]
        push dword ptr [ebp + 12]
        push eax
        call .Lcall_in_frame
        add esp, 12
        /* x87 registers in use: tags other than 3 (empty) */
        fnstenv [ebp - 56]
        mov eax, [ebp + 12]
        mov ecx, [ebp - 56 + 8]
        xor edx, edx
        mov esi, 8
3:      mov edi, ecx
        and edi, 3
        cmp edi, 3
        je 4f
        inc edx
4:      shr ecx, 2
        dec esi
        jnz 3b
        mov [eax + LCR_X87_DEPTH], edx
        test edx, edx
        jz 5f
        fst qword ptr [eax + LCR_X87_TOP]
5:      fninit
        fldcw [ebp - 28]
        cld
        add esp, 36
        pop edi
        pop esi
        pop ebx
        leave
        ret
        .size lisp_harness_call, . - lisp_harness_call

/* In: [ebp+8] setup, [ebp+12] result, [ebp+16] target. A frame whose slots
   ebp-4 .. ebp-0x20 and argument area come from the setup. */
.Lcall_in_frame:
        push ebp
        mov ebp, esp
        sub esp, ESP_AT_CALL
        mov eax, [ebp + 8]
        xor ecx, ecx
1:      mov edx, [eax + LCS_FRAME + 4 * ecx]
        mov esi, ecx
        neg esi
        mov [ebp - 4 + 4 * esi], edx
        inc ecx
        cmp ecx, LCH_FRAME_WORDS
        jb 1b
        xor ecx, ecx
2:      mov edx, [eax + LCS_STACK + 4 * ecx]
        mov [esp + 4 * ecx], edx
        inc ecx
        cmp ecx, LCH_STACK_WORDS
        jb 2b
        mov edi, [eax + LCS_EDI]
        mov ebx, [eax + LCS_EBX]
        mov esi, [eax + LCS_ESI]
        mov ecx, [eax + LCS_ECX]
        mov edx, [eax + LCS_EDX]
        mov eax, [eax + LCS_EAX]
        call dword ptr [ebp + 16]
        .globl lisp_harness_return
lisp_harness_return:
        pushfd
        push eax
        mov eax, [ebp + 12]
        mov [eax + LCR_EDX], edx
        mov [eax + LCR_ECX], ecx
        mov [eax + LCR_EBX], ebx
        mov [eax + LCR_ESI], esi
        mov [eax + LCR_EDI], edi
        pop edx
        mov [eax + LCR_EAX], edx
        pop edx
        and edx, 1
        mov [eax + LCR_CARRY], edx
        lea edx, [ebp - ESP_AT_CALL]
        mov ecx, esp
        sub ecx, edx
        mov [eax + LCR_ESP_DELTA], ecx
        xor ecx, ecx
3:      mov esi, ecx
        neg esi
        mov edx, [ebp - 4 + 4 * esi]
        mov [eax + LCR_FRAME + 4 * ecx], edx
        inc ecx
        cmp ecx, LCH_FRAME_WORDS
        jb 3b
        xor ecx, ecx
4:      mov edx, [ebp - ESP_AT_CALL + 4 * ecx]
        mov [eax + LCR_STACK + 4 * ecx], edx
        inc ecx
        cmp ecx, LCH_STACK_WORDS
        jb 4b
        mov esp, ebp
        pop ebp
        ret

/* lisp_recorder_entry: the start code of a stand-in Lisp function.
   In: the state of a Lisp call (return address at esp, home slots above it,
   caller's frame at ebp). Appends the registers, the caller's frame slots,
   its link and return address, the slots of the frame it links to and the
   argument area to lisp_recorder_log (while it has room).
   Out: eax = lisp_recorder_log.result; with a result count of 1 the carry
   is clear and edx and ecx are unchanged, else ecx = the count, edx =
   resultEdx and the carry is set. esi is reloaded from the caller's ebp-4;
   ebx and edi unchanged. */
        .globl lisp_recorder_entry
        .type lisp_recorder_entry, @function
lisp_recorder_entry:
        push eax
        mov eax, dword ptr [lisp_recorder_log + LRL_COUNT]
        cmp eax, LRL_CAPACITY
        jae .Lrecorder_done
        push edx
        imul eax, eax, LRE_SIZE
        lea eax, [lisp_recorder_log + LRL_ENTRIES + eax]
        mov [eax + LRE_EDX], edx
        mov [eax + LRE_ECX], ecx
        mov [eax + LRE_EBX], ebx
        mov [eax + LRE_ESI], esi
        mov [eax + LRE_EDI], edi
        mov edx, [esp + 4]
        mov [eax + LRE_EAX], edx
        mov edx, [esp + 8]
        mov [eax + LRE_RETURN], edx
        mov edx, [ebp]
        mov [eax + LRE_CALLER_LINK], edx
        mov edx, [ebp + 4]
        mov [eax + LRE_CALLER_RETURN], edx
        push ecx
        push esi
        push ebx
        mov ebx, [ebp]
        cmp ebx, 0x10000                        /* no frame there: read the caller's own */
        jae 0f
        mov ebx, ebp
0:      xor ecx, ecx
1:      mov esi, ecx
        neg esi
        mov edx, [ebp - 4 + 4 * esi]
        mov [eax + LRE_CALLER_FRAME + 4 * ecx], edx
        mov edx, [ebx - 4 + 4 * esi]
        mov [eax + LRE_LINK_FRAME + 4 * ecx], edx
        inc ecx
        cmp ecx, LCH_FRAME_WORDS
        jb 1b
        xor ecx, ecx
        /* pushed: ebx, esi, ecx, edx, eax; then the return address */
2:      mov edx, [esp + 24 + 4 * ecx]
        mov [eax + LRE_STACK + 4 * ecx], edx
        inc ecx
        cmp ecx, LRE_STACK_WORDS
        jb 2b
        pop ebx
        pop esi
        pop ecx
        pop edx
        inc dword ptr [lisp_recorder_log + LRL_COUNT]
.Lrecorder_done:
        pop eax
        mov eax, dword ptr [lisp_recorder_log + LRL_RESULT]
        mov esi, [ebp - 4]
        cmp dword ptr [lisp_recorder_log + LRL_RESULT_COUNT], 1
        je 3f
        mov ecx, dword ptr [lisp_recorder_log + LRL_RESULT_COUNT]
        mov edx, dword ptr [lisp_recorder_log + LRL_RESULT_EDX]
        stc
        ret
3:      clc
        ret
        .size lisp_recorder_entry, . - lisp_recorder_entry

/* lisp_observing_recorder_entry: as lisp_recorder_entry, after a call of
   the native function in lisp_recorder_observer (cdecl, no arguments;
   none when the word is 0), which sees the state the Lisp call is made in.
   Every register and the stack are as they were when the recorder starts. */
        .globl lisp_observing_recorder_entry
        .type lisp_observing_recorder_entry, @function
lisp_observing_recorder_entry:
        push eax
        push ecx
        push edx
        mov eax, dword ptr [lisp_recorder_observer]
        test eax, eax
        jz 1f
        call eax
1:      pop edx
        pop ecx
        pop eax
        jmp lisp_recorder_entry
        .size lisp_observing_recorder_entry, . - lisp_observing_recorder_entry

        .data
        .globl lisp_recorder_observer
        .type lisp_recorder_observer, @object
        .balign 4
lisp_recorder_observer:
        .long 0
        .size lisp_recorder_observer, . - lisp_recorder_observer

/* lisp_walk_base_entry: a target for the harness that makes the harness
   frame the last frame of the collector's walk, as the frame of Lisp code
   that native code entered is: the foreign-call record that
   lisp_walk_base_record points at (linked by the caller as the last of the
   thread's chain, on the stack above the harness) gets the harness frame as
   its native frame. Then jumps to lisp_walk_base_target with the call
   unchanged. */
        .text
        .globl lisp_walk_base_entry
        .type lisp_walk_base_entry, @function
lisp_walk_base_entry:
        push eax
        mov eax, dword ptr [lisp_walk_base_record]
        mov [eax + 4], ebp
        pop eax
        jmp dword ptr [lisp_walk_base_target]
        .size lisp_walk_base_entry, . - lisp_walk_base_entry

        .data
        .globl lisp_walk_base_record, lisp_walk_base_target
        .balign 4
lisp_walk_base_record:
        .long 0
lisp_walk_base_target:
        .long 0

        .bss
        .globl lisp_recorder_log
        .type lisp_recorder_log, @object
        .balign 4
lisp_recorder_log:
        .zero LRL_ENTRIES + LRL_CAPACITY * LRE_SIZE
        .size lisp_recorder_log, . - lisp_recorder_log

        .section .note.GNU-stack, "", @progbits
