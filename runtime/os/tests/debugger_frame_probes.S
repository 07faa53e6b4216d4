/* Stand-in Lisp functions that use the debugger's frame routines on their
   own thread, through the entry slots. */
        .intel_syntax noprefix

#define SLOT_FD_NEXT_FRAME 0x10b
#define SLOT_NEWEST_FRAME 0x16b
#define SLOT_FD_ARG_COUNT 0x2c3
#define SLOT_BREAK_ON_EXIT_CONTROL 0x2ef

        .text

/* A Lisp frame: the function register at ebp-4, nil at ebp-0x10, the
   closure and symbol slots cleared, the thread at ebp-0x1c, then two home
   slots. */
.macro PROBE_FRAME
        push ebp
        mov ebp, esp
        push esi
        sub esp, 0x18
        mov [ebp - 0x10], edi
        mov dword ptr [ebp - 0x14], 0
        mov dword ptr [ebp - 0x18], 0
        mov [ebp - 0x1c], ebx
        sub esp, 12                             /* ebp-0x20 and two home slots */
.endm

/* frame_probe_outer: In: esi = its function, edx = the inner probe's
   function, eax = plant flag. Notes its frame pointer and the one above it
   in frame_probe_seen[0], [1] and calls frame_probe_inner with the plant
   flag. Out: what the inner
   probe returned, one value. */
        .globl frame_probe_outer
        .type frame_probe_outer, @function
frame_probe_outer:
        PROBE_FRAME
        mov [frame_probe_seen], ebp
        mov ecx, [ebp]
        mov [frame_probe_seen + 4], ecx
        mov esi, edx
        call frame_probe_inner
        leave
        mov esi, [ebp - 4]
        clc
        ret
        .size frame_probe_outer, . - frame_probe_outer

/* frame_probe_inner: In: esi = its function, eax = plant flag. For the
   running thread (named by the current thread, then by nil): newest_frame
   into frame_probe_seen[2], fd_next_frame of it into [3] and of that into
   [4], fd_arg_count of the newest into [5]; with the plant flag not nil,
   break_on_exit_control (0, nil, newest, nil) into [6]. Out: eax = fixnum
   7, one value. */
        .type frame_probe_inner, @function
frame_probe_inner:
        PROBE_FRAME
        mov [ebp - 0x14], eax                   /* the plant flag */
        mov eax, ebx                            /* the current thread */
        call dword ptr [edi + SLOT_NEWEST_FRAME]
        mov [frame_probe_seen + 8], eax
        mov edx, edi
        call dword ptr [edi + SLOT_FD_NEXT_FRAME]
        mov [frame_probe_seen + 12], eax
        mov edx, edi
        call dword ptr [edi + SLOT_FD_NEXT_FRAME]
        mov [frame_probe_seen + 16], eax
        mov eax, [frame_probe_seen + 8]
        mov edx, edi
        call dword ptr [edi + SLOT_FD_ARG_COUNT]
        mov [frame_probe_seen + 20], eax
        cmp [ebp - 0x14], edi
        je 1f
        push edi                                /* argument 4: throw flag */
        push dword ptr [frame_probe_seen + 8]   /* argument 3: the frame */
        sub esp, 8                              /* home slots */
        xor eax, eax                            /* action 0: plant */
        mov edx, edi
        mov ecx, 4
        call dword ptr [edi + SLOT_BREAK_ON_EXIT_CONTROL]
        add esp, 16
        mov [frame_probe_seen + 24], eax
1:      mov eax, 7 << 2
        leave
        mov esi, [ebp - 4]
        clc
        ret
        .size frame_probe_inner, . - frame_probe_inner

        .bss
        .globl frame_probe_seen
        .balign 4
frame_probe_seen:
        .zero 7 * 4
        .size frame_probe_seen, . - frame_probe_seen

        .section .note.GNU-stack, "", @progbits
