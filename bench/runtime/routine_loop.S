/* A loop that calls one runtime routine many times from a Lisp-convention
   frame, so that a benchmark times the routine rather than a harness. */
        .intel_syntax noprefix

#define LOOP_TARGET 0
#define LOOP_NIL 4
#define LOOP_THREAD 8
#define LOOP_EAX 12
#define LOOP_EDX 16
#define LOOP_ECX 20
#define LOOP_COUNT 24

        .text

/* bench_routine_loop(loop): cdecl. Calls loop->target loop->count times
   (at least once) with edi = nil, ebx = thread, eax, edx, ecx as given and
   two home slots and two stacked argument words (0) at esp. Returns the
   last call's eax. The frame: marker 6 at ebp-4, the remaining count at
   ebp-8, the loop record at ebp-0xc, nil at ebp-0x10, the target at
   ebp-0x14, thread at ebp-0x1c. */
        .globl bench_routine_loop
        .type bench_routine_loop, @function
bench_routine_loop:
        push ebp
        mov ebp, esp
        push ebx
        push esi
        push edi
        mov eax, [ebp + 8]
        push ebp
        mov ebp, esp
        push 6
        push dword ptr [eax + LOOP_COUNT]
        push eax
        mov edi, [eax + LOOP_NIL]
        push edi
        push dword ptr [eax + LOOP_TARGET]
        push 0
        push dword ptr [eax + LOOP_THREAD]
        push 0
        push 0
        push 0
        push 0
1:      mov eax, [ebp - 0xc]
        mov ebx, [eax + LOOP_THREAD]
        mov ecx, [eax + LOOP_ECX]
        mov edx, [eax + LOOP_EDX]
        mov eax, [eax + LOOP_EAX]
        call dword ptr [ebp - 0x14]
        dec dword ptr [ebp - 8]
        jg 1b
        leave
        cld
        pop edi
        pop esi
        pop ebx
        pop ebp
        ret
        .size bench_routine_loop, . - bench_routine_loop

        .section .note.GNU-stack, "", @progbits
