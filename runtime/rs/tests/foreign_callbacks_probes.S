/* Test probes for the callbacks: a native caller that measures how much of
   its stack a callee popped, the code of test foreign-callable functions
   (a prologue into each hook, then one recording body), and a native entry
   that leaves through throw_over_c_return1. */
#include "runtime/rs/runtime_frame.inc"

#define LOG_COUNT 0
#define LOG_EAX 4
#define LOG_EDX 8
#define LOG_ECX 12
#define LOG_ESI 16
#define LOG_EBP 20
#define LOG_CALLER_FRAME 24     /* [ebp]: the frame that called the routine at ebp */
#define LOG_HEAD 28             /* the thread's head foreign-call record */
#define LOG_HEAD_NATIVE 32      /* its native frame word */
#define LOG_NEW_FREE 36         /* the global word nil-0x351 */
#define LOG_WALK 40             /* what the walk routine returned */
#define LOG_BLOCK 44            /* BLOCK_WORDS words from eax */
#define LOG_STACK 108           /* 8 words from esp+4 */
#define LOG_CALLER_MARKER 140   /* [[ebp] - 4] */
#define LOG_BYTES 144
#define BLOCK_WORDS 16
#define BODY_RESULT 0           /* eax returned */
#define BODY_FLOAT_KIND 4       /* 1: the single at +8 into st(0); 2: the double at +8 */
#define BODY_FLOAT 8
#define BODY_WALK 16            /* non-zero: a native function called through do_c_funcall */
#define BODY_NO_BLOCK 20        /* non-zero: eax is no block address */

#define NIL_NEW_SPACE_FREE (-0x351)

        .intel_syntax noprefix
        .text

/* probe_native_call(target, words, count, ecx, edx, result): cdecl. Pushes
   words[count-1] .. words[0], loads ecx and edx, calls target and stores
   its eax at result. Returns the bytes the callee popped. */
        .globl probe_native_call
        .type probe_native_call, @function
probe_native_call:
        push ebp
        mov ebp, esp
        push ebx
        push esi
        push edi
        mov ecx, [ebp + 16]
        mov esi, [ebp + 12]
1:      test ecx, ecx
        jz 2f
        dec ecx
        push dword ptr [esi + 4 * ecx]
        jmp 1b
2:      mov edi, esp
        mov ecx, [ebp + 20]
        mov edx, [ebp + 24]
        call dword ptr [ebp + 8]
        mov ecx, [ebp + 28]
        mov [ecx], eax
        mov eax, esp
        sub eax, edi
        lea esp, [ebp - 12]
        pop edi
        pop esi
        pop ebx
        pop ebp
        ret
        .size probe_native_call, . - probe_native_call

/* Foreign-callable code: a 6-byte prologue into a hook, the body at +6. */
        .globl probe_callable_code
        .type probe_callable_code, @function
probe_callable_code:
        jmp dword ptr [edi + 0x25f]
        jmp probe_body
        .size probe_callable_code, . - probe_callable_code

        .globl probe_immediate_code
        .type probe_immediate_code, @function
probe_immediate_code:
        jmp dword ptr [edi + 0x347]
        jmp probe_body
        .size probe_immediate_code, . - probe_immediate_code

/* probe_body: a Lisp function body. Records the registers, the frame
   words the walk depends on, 8 words at eax and 8 stack words above the
   return address into probe_body_log (no block words with BODY_NO_BLOCK); with BODY_WALK set calls that native
   function through do_c_funcall (a foreign-call record pushed from inside
   the callback) and records its result. Returns BODY_RESULT, and a float
   in st(0) by BODY_FLOAT_KIND. */
        .globl probe_body
        .type probe_body, @function
probe_body:
        mov [probe_body_log + LOG_EAX], eax
        mov [probe_body_log + LOG_EDX], edx
        mov [probe_body_log + LOG_ECX], ecx
        mov [probe_body_log + LOG_ESI], esi
        mov [probe_body_log + LOG_EBP], ebp
        mov ecx, [ebp]
        mov [probe_body_log + LOG_CALLER_FRAME], ecx
        mov ecx, [ecx - 4]
        mov [probe_body_log + LOG_CALLER_MARKER], ecx
        mov ecx, [ebx + THREAD_CLINK_HEAD]
        mov [probe_body_log + LOG_HEAD], ecx
        cmp ecx, -1
        je 1f
        mov ecx, [ecx + CLINK_NATIVE_FRAME]
        mov [probe_body_log + LOG_HEAD_NATIVE], ecx
1:      mov ecx, [edi + NIL_NEW_SPACE_FREE]
        mov [probe_body_log + LOG_NEW_FREE], ecx
        xor ecx, ecx
        cmp dword ptr [probe_body_setup + BODY_NO_BLOCK], 0
        jne 6f
2:      mov edx, [eax + 4 * ecx]
        mov [probe_body_log + LOG_BLOCK + 4 * ecx], edx
        inc ecx
        cmp ecx, BLOCK_WORDS
        jb 2b
        xor ecx, ecx
6:      mov edx, [esp + 4 + 4 * ecx]
        mov [probe_body_log + LOG_STACK + 4 * ecx], edx
        inc ecx
        cmp ecx, 8
        jb 6b
        inc dword ptr [probe_body_log + LOG_COUNT]
        mov eax, [probe_body_setup + BODY_WALK]
        test eax, eax
        jz 3f
        push edi
        push edi
        mov ecx, 1
        call do_c_funcall
        add esp, 8
        mov [probe_body_log + LOG_WALK], eax
3:      mov eax, [probe_body_setup + BODY_FLOAT_KIND]
        cmp eax, 1
        jne 4f
        fld dword ptr [probe_body_setup + BODY_FLOAT]
        jmp 5f
4:      cmp eax, 2
        jne 5f
        fld qword ptr [probe_body_setup + BODY_FLOAT]
5:      mov eax, [probe_body_setup + BODY_RESULT]
        clc
        ret
        .size probe_body, . - probe_body

/* probe_throw_over(value): a native entry that leaves through
   throw_over_c_return1 with eax = value, from below its frame with
   registers and stack disturbed. */
        .globl probe_throw_over
        .type probe_throw_over, @function
probe_throw_over:
        NATIVE_ENTRY_FRAME
        mov eax, [ebp + NATIVE_ENTRY_FIRST_ARGUMENT]
        push 1
        push 2
        push 3
        mov esi, 0x1234
        mov edi, 0x5678
        mov ebx, ebp
        jmp throw_over_c_return1
        .size probe_throw_over, . - probe_throw_over

        .bss
        .balign 8
        .globl probe_body_log
probe_body_log:
        .zero LOG_BYTES
        .globl probe_body_setup
probe_body_setup:
        .zero 24

        .section .note.GNU-stack, "", @progbits
