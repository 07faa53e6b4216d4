/* Exit breakpoints: the return points that break_on_exit_control puts in
   place of a frame's return address, parking the real one in word -0xc of
   the frame being returned to. Reached by the returning function's `ret`,
   they call the exit-breakpoint function and then finish the return with
   the values as the function left them.

   The two entries behave the same; break_on_exit_control tells an armed
   frame's kind by which of the two addresses it holds. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_EXIT_BREAKPOINT_SYMBOL (-0x2a1)
#define THREAD_VALUES_VECTORS 0x82     /* free list of values vectors */
#define FRAME_PARKED_RETURN (-0xc)
#define FRAME_THREAD (-0x1c)
#define EXIT_BREAKPOINT_CODE 52        /* the breakpoint function's argument */

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_exit_breakpoints, "ax", @progbits

/* break_on_exit_return_only, break_on_exit_or_throw: In: ebp = the frame
   returned to, esp as after its callee's return; eax, edx, ecx and the
   carry as the callee left them (carry clear: one value in eax; else ecx
   values, the second in edx). Reserves a word for the return address,
   builds a runtime frame above it keeping the values in registers (eax
   from one value on, edx from two, both as nil otherwise, so the frame
   holds only Lisp values), the count as a fixnum and the thread's free
   list of values vectors (nil meanwhile, so the vector holding values 3
   and on is not reused), calls the function of the symbol at nil-0x2a1
   with the fixnum 52, and returns to the parked address with eax, edx, ecx,
   the carry (set when ecx is not 1), ebx = the thread and esi = the
   frame's word -4. */
        .globl break_on_exit_return_only, break_on_exit_or_throw
        .hidden break_on_exit_return_only, break_on_exit_or_throw
        .type break_on_exit_return_only, @function
        .type break_on_exit_or_throw, @function
break_on_exit_return_only:
        jmp .Lexit_breakpoint
        .size break_on_exit_return_only, . - break_on_exit_return_only
break_on_exit_or_throw:
.Lexit_breakpoint:
        jc 1f
        mov ecx, 1
1:      push edi                                /* becomes the return address */
        mov ebx, [ebp + FRAME_THREAD]
        RUNTIME_FRAME
        test ecx, ecx
        jnz 2f
        mov eax, edi                            /* no values */
2:      cmp ecx, 2
        jae 3f
        mov edx, edi                            /* no second value */
3:      mov [ebp - 0x14], eax                   /* the first value, where the stack walk visits it */
        push eax                                /* ebp-0x20 */
        lea ecx, [4 * ecx]
        push ecx                                /* ebp-0x24: the count, fixnum-shaped */
        push dword ptr [ebx + THREAD_VALUES_VECTORS] /* ebp-0x28 */
        push edx                                /* ebp-0x2c */
        mov [ebx + THREAD_VALUES_VECTORS], edi
        mov eax, [ebp]
        mov eax, [eax + FRAME_PARKED_RETURN]
        mov [ebp + 4], eax
        sub esp, 8                              /* home slots */
        mov eax, FIXNUM(EXIT_BREAKPOINT_CODE)
        mov ebx, [edi + NIL_EXIT_BREAKPOINT_SYMBOL]
        mov ecx, 1
        call edi
        mov ebx, [ebp + FRAME_THREAD]
        mov eax, [ebp - 0x28]
        mov [ebx + THREAD_VALUES_VECTORS], eax
        mov ecx, [ebp - 0x24]
        shr ecx, 2
        mov edx, [ebp - 0x2c]
        mov eax, [ebp - 0x14]
        leave
        mov esi, [ebp - 4]
        cmp ecx, 1
        je 4f
        stc
        ret
4:      clc
        ret
        .size break_on_exit_or_throw, . - break_on_exit_or_throw

        .section .note.GNU-stack, "", @progbits
