/* Probes for the calling-protocol tests: a Lisp function that calls applyn
   over its own incoming arguments, and a code vector whose code enters the
   recorder. */
#define FIXNUM(n) ((n) << 2)

        .intel_syntax noprefix
        .text

/* applyn_probe: a Lisp function (marker 6 in its frame). Homes its
   arguments, stores applyn_probe_closure at ebp-0x14, then calls applyn
   (nil+0x177) with (applyn_probe_function, fixnum 100, applyn_probe_from,
   applyn_probe_to) and returns what applyn returns. */
        .globl applyn_probe
        .type applyn_probe, @function
applyn_probe:
        push ebp
        mov ebp, esp
        push 6
        sub esp, 0x18
        mov [ebp - 0x1c], ebx
        mov [ebp - 0x10], edi
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        mov eax, [applyn_probe_closure]
        mov [ebp - 0x14], eax
        mov dword ptr [ebp - 0x18], 0
        sub esp, 20
        mov eax, [applyn_probe_from]
        mov [esp + 8], eax
        mov eax, [applyn_probe_to]
        mov [esp + 12], eax
        mov eax, [applyn_probe_function]
        mov edx, FIXNUM(100)
        mov ecx, 4
        call dword ptr [edi + 0x177]
        leave
        mov esi, [ebp - 4]
        ret
        .size applyn_probe, . - applyn_probe

/* probe_code_vector_block: a code vector (type 108) whose code jumps to
   the recorder; its tagged word is the block's address + 0x12. */
        .balign 8
        .globl probe_code_vector_block
probe_code_vector_block:
        .long 108 | (8 << 8)
        jmp lisp_recorder_entry
        .balign 8
        .size probe_code_vector_block, . - probe_code_vector_block

        .data
        .balign 4
        .globl applyn_probe_function, applyn_probe_from, applyn_probe_to, applyn_probe_closure
applyn_probe_function: .long 0
applyn_probe_from: .long 0
applyn_probe_to: .long 0
applyn_probe_closure: .long 0

        .section .note.GNU-stack, "", @progbits
