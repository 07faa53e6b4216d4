/* argerr: the handler a wrong-argument-count trap resumes into. It reports
   the call to Lisp and, when the report returns, resumes the trapping code
   with every register, the flags and the whole floating-point state as the
   trap left them.

   The trap dispatcher has set three thread words: +0x13e t when the
   trapping code owns the current frame (ebp), nil when it trapped before
   building one; +0x142 the address to resume at; +0x146 the bytes to skip
   there. With an owned frame the dispatcher leaves the trap call's return
   address at esp, so argerr runs as if called from the trapping point;
   without one, esp is the trapping code's and argerr inserts a frame for
   it just below (link = ebp, function word = esi, thread word = ebx), so
   that a backtrace shows the function whose call was wrong.

   argerr's frame (marker 0xe36, whose raw area is the 0x70 bytes under
   the fixed slots):
     fp+4      the trap address (+0x142): the frame reads as called from there
     fp-0x1c   the thread
     fp-0x24   eflags, raw
     fp-0x28   ecx, raw
     fp-0x2c   where the resume address goes (R): the trap call's return
               address word, or the inserted frame's link word
     fp-0x30   the x87 control word, raw
     fp-0x34   the trapping ebp, raw
     fp-0x3c   the resume skip (+0x146), raw: taken in on entry, as the
               report's Lisp code may trap again and rewrite the thread word
     fp-0x94   esi, fp-0x98 eax, fp-0x9c edx: Lisp values the collector
               may update while Lisp runs
     below     the fxsave image, each 32-bit word kept as two fixnums (its
               low and high halves shifted left by 2), so the collector's
               walk reads only fixnums there; then the outgoing arguments.
   edi is nil throughout and is not saved.

   Resumption: the image is decoded into an aligned scratch area and
   restored, the resume address (the frame's return address, which the
   collector keeps pointing into the trapping code, plus the skip) goes to R,
   eflags, eax, ecx and ebp are put just below R and popped, and a ret
   leaves esp at R + 4: the trapping code's stack pointer before the trap
   call, or its own stack pointer when it had no frame. */
#include "runtime/rs/runtime_frame.inc"

#define MARKER_TRAP_HANDLER 0xe36
#define NIL_ARGUMENT_COUNT_REPORTER (-0x4cd)
#define THREAD_TRAP_FRAME_OWNED 0x13e
#define THREAD_TRAP_ADDRESS 0x142
#define THREAD_TRAP_RESUME_SKIP 0x146
#define ERROR_WRONG_ARGUMENT_COUNT 22

#define SAVED_FLAGS (-0x24)
#define SAVED_ECX (-0x28)
#define RESUME_SLOT (-0x2c)
#define SAVED_CONTROL_WORD (-0x30)
#define SAVED_EBP (-0x34)
#define SAVED_RESUME_SKIP (-0x3c)
#define SAVED_ESI (-0x94)
#define SAVED_EAX (-0x98)
#define SAVED_EDX (-0x9c)
#define LISP_WORDS_END (-0xa0)         /* one spare word (nil) below edx */
#define FP_IMAGE_BYTES 512
#define FP_ENCODED_BYTES (2 * FP_IMAGE_BYTES)
#define FP_ENCODED (LISP_WORDS_END - FP_ENCODED_BYTES)
#define INSERTED_FRAME_BYTES 0x24      /* link and eight slots */
#define SCRATCH_BELOW 0x800            /* where the first three registers wait */

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_argument_count_error, "ax", @progbits

/* COPY_WORD to, from: memory to memory through the stack; no register or
   flag changes. */
.macro COPY_WORD to, from
        push dword ptr \from
        pop dword ptr \to
.endm

/* argerr: trap handler. In: the trapping registers, flags and x87/SSE
   state; ebx = the thread; the thread words above. Calls the function of
   the symbol at nil-0x4cd with (the symbol in the calling frame's word
   -0x18, the function register, the fixnum argument count), then runtime
   error 22 (one-argument error function). Out: when the error returns,
   everything restored and execution goes on at the resume address. */
        .globl argerr
        .hidden argerr
        .type argerr, @function
argerr:
        /* Keep eflags, eax and ecx far below before anything changes them. */
        lea esp, [esp - SCRATCH_BELOW]
        pushfd
        push eax
        push ecx
        lea ecx, [esp + 12 + SCRATCH_BELOW]     /* S: the stack pointer at entry */
        cmp [ebx + THREAD_TRAP_FRAME_OWNED], edi
        je 1f
        /* owned: the frame sits on the trap call's return address */
        lea eax, [ecx - 4]
        mov [eax], ebp
        mov [eax + RESUME_SLOT], ecx
        jmp 2f
        /* not owned: a frame for the trapping function, then this one */
1:      mov [ecx - 4], ebp                      /* its frame pointer is S - 4 */
        mov [ecx - 8], esi
        mov [ecx - 0xc], edi
        mov [ecx - 0x10], edi
        mov [ecx - 0x14], edi
        mov dword ptr [ecx - 0x18], 0
        mov dword ptr [ecx - 0x1c], 0
        mov [ecx - 0x20], ebx
        mov dword ptr [ecx - 0x24], 0
        lea eax, [ecx - INSERTED_FRAME_BYTES - 8]
        lea ecx, [ecx - 4]
        mov [eax], ecx
        mov [eax + RESUME_SLOT], ecx
        /* eax = argerr's frame pointer, its link set */
2:      mov dword ptr [eax - 4], MARKER_TRAP_HANDLER
        mov [eax - 8], edi
        mov [eax - 0xc], edi
        mov [eax - 0x10], edi
        mov dword ptr [eax - 0x14], 0
        mov dword ptr [eax - 0x18], 0
        mov [eax - 0x1c], ebx
        mov dword ptr [eax - 0x20], 0
        COPY_WORD [eax + SAVED_FLAGS], [esp + 8]
        COPY_WORD [eax + SAVED_ECX], [esp]
        COPY_WORD [eax + SAVED_EAX], [esp + 4]
        mov [eax + SAVED_EBP], ebp
        mov [eax + SAVED_ESI], esi
        mov [eax + SAVED_EDX], edx
        mov [eax + LISP_WORDS_END], edi
        mov ebp, eax
        lea esp, [ebp + FP_ENCODED]

        /* the floating-point state, encoded as fixnums */
        sub esp, FP_IMAGE_BYTES + 16
        and esp, -16
        fxsave [esp]
        fnstcw word ptr [ebp + SAVED_CONTROL_WORD]
        fninit
        fldcw word ptr [ebp + SAVED_CONTROL_WORD]
        xor ecx, ecx
3:      mov eax, [esp + 4 * ecx]
        movzx edx, ax
        shl edx, 2
        mov [ebp + FP_ENCODED + 8 * ecx], edx
        shr eax, 16
        shl eax, 2
        mov [ebp + FP_ENCODED + 8 * ecx + 4], eax
        inc ecx
        cmp ecx, FP_IMAGE_BYTES / 4
        jb 3b
        lea esp, [ebp + FP_ENCODED - 12]        /* the scratch image is dropped; three argument words */

        LOAD_GOT_ECX
        mov dword ptr [ecx + inhibitprof@GOTOFF], 0
        mov eax, [ebx + THREAD_TRAP_ADDRESS]
        mov [ebp + 4], eax
        mov eax, [ebx + THREAD_TRAP_RESUME_SKIP]
        mov [ebp + SAVED_RESUME_SKIP], eax

        /* the report: (symbol of the call, function, fixnum count) */
        mov eax, [ebp]
        mov eax, [eax]
        mov eax, [eax - 0x18]
        mov edx, [ebp + SAVED_ECX]
        shl edx, 2
        mov [esp + 8], edx
        mov edx, [ebp + SAVED_ESI]
        mov ecx, 3
        mov ebx, [edi + NIL_ARGUMENT_COUNT_REPORTER]
        call edi
        mov ebx, [ebp - 0x1c]
        mov eax, FIXNUM(ERROR_WRONG_ARGUMENT_COUNT)
        call rs_error

        /* restore and resume */
        lea esp, [ebp + FP_ENCODED]
        sub esp, FP_IMAGE_BYTES + 16
        and esp, -16
        mov ecx, FP_IMAGE_BYTES / 4
4:      dec ecx
        mov eax, [ebp + FP_ENCODED + 8 * ecx + 4]
        shl eax, 14
        mov edx, [ebp + FP_ENCODED + 8 * ecx]
        shr edx, 2
        or eax, edx
        mov [esp + 4 * ecx], eax
        test ecx, ecx
        jnz 4b
        fxrstor [esp]
        mov ebx, [ebp - 0x1c]
        mov esi, [ebp + SAVED_ESI]
        mov edx, [ebp + SAVED_EDX]
        mov ecx, [ebp + RESUME_SLOT]
        mov eax, [ebp + 4]                      /* the trap address, moved with its code if it moved */
        add eax, [ebp + SAVED_RESUME_SKIP]
        mov [ecx], eax
        COPY_WORD [ecx - 4], [ebp + SAVED_FLAGS]
        COPY_WORD [ecx - 8], [ebp + SAVED_EAX]
        COPY_WORD [ecx - 0xc], [ebp + SAVED_ECX]
        COPY_WORD [ecx - 0x10], [ebp + SAVED_EBP]
        lea esp, [ecx - 0x10]
        pop ebp
        pop ecx
        pop eax
        popfd
        ret
        .size argerr, . - argerr
        .globl argerr_end
        .hidden argerr_end
argerr_end:

        .section .note.GNU-stack, "", @progbits
