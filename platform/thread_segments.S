/* Loading a thread's own %gs and %fs again after a signal handler's return,
   where the descriptor table is one for all threads (thread_segments.h).
   System calls go through int 0x80: the C library's way reaches its entry
   through %gs, which is what may be wrong here. */

        .intel_syntax noprefix
        .text

/* Offsets in SegmentReload and ThreadSegments (thread_segments.h). */
        .equ RELOAD_SELECTOR, 16
        .equ RELOAD_CHECK_OFFSET, 20
        .equ RELOAD_CHECK_VALUE, 24
        .equ SEGMENTS_FS, 28
        .equ SEGMENTS_RESUME_AT, 56
        .equ SEGMENTS_SAVED_EAX, 60
        .equ SEGMENTS_SAVED_MASK, 64

        .equ SYS_RT_SIGPROCMASK, 175
        .equ SYS_SET_THREAD_AREA, 243
        .equ SIG_SETMASK, 2
        .equ KERNEL_SIGSET_BYTES, 8

/* platform_reload_gs(const SegmentReload* gs): cdecl. Unless the selector is
   0, writes the entry and loads %gs from it until the word at the check
   offset reads the check value (another thread may write the entry between
   the two). Gives up when the entry is refused. Clobbers eax, ecx, edx and
   the flags. */
.macro RELOAD_SEGMENT name, reg
        .globl \name
        .hidden \name
        .type \name, @function
\name:
        push ebx
        mov ecx, [esp + 8]
        cmp dword ptr [ecx + RELOAD_SELECTOR], 0
        je 2f
1:      mov ebx, ecx
        mov eax, SYS_SET_THREAD_AREA
        int 0x80
        test eax, eax
        jnz 2f
        mov eax, [ecx + RELOAD_SELECTOR]
        mov \reg, ax
        mov edx, [ecx + RELOAD_CHECK_OFFSET]
        mov eax, \reg:[edx]
        cmp eax, [ecx + RELOAD_CHECK_VALUE]
        jne 1b
2:      pop ebx
        ret
        .size \name, . - \name
.endm

        RELOAD_SEGMENT platform_reload_gs, gs
/* platform_reload_fs(const SegmentReload* fs): as platform_reload_gs, for %fs. */
        RELOAD_SEGMENT platform_reload_fs, fs

/* platform_segment_landing: entered from a signal handler's return in place
   of the interrupted instruction, with every signal blocked and eax = the
   thread's ThreadSegments. Loads %gs and %fs, gives the thread back its
   signal mask, then goes on at resumeAt with savedEax in eax and every other
   register and the flags as they were. Nothing is read from ThreadSegments
   once the mask is back, so a handler that interrupts the last instructions
   may fill it afresh. */
        .globl platform_segment_landing
        .hidden platform_segment_landing
        .type platform_segment_landing, @function
platform_segment_landing:
        push dword ptr [eax + SEGMENTS_RESUME_AT]
        push dword ptr [eax + SEGMENTS_SAVED_EAX]
        pushfd
        pushad
        mov edi, eax
        push edi
        call platform_reload_gs
        lea eax, [edi + SEGMENTS_FS]
        mov [esp], eax
        call platform_reload_fs
        add esp, 4
        mov eax, SYS_RT_SIGPROCMASK
        mov ebx, SIG_SETMASK
        lea ecx, [edi + SEGMENTS_SAVED_MASK]
        xor edx, edx
        mov esi, KERNEL_SIGSET_BYTES
        int 0x80
        popad
        popfd
        pop eax
        ret
        .size platform_segment_landing, . - platform_segment_landing

        .section .note.GNU-stack,"",@progbits
