/* Stand-in for acquire_heap_around_lisp_call until the heap-ownership
   service provides it (see callback_heap_standin.cpp). */
        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_callback_heap_standin, "ax", @progbits

#define MISSING_CALLBACK_INDEX (-1)

/* acquire_heap_around_lisp_call(block, index): native entry, cdecl. On the
   Lisp thread: the caller's x87 state and edx go through the thread's save
   area (save_volatile, restore_volatile) before lisp_addr_call(block,
   index), and the callback's afterwards, so st(0) and edx reach the native
   caller as the callback left them. Returns lisp_addr_call's eax. Index -1
   runs lisp_missing_stub_x instead (the entry in the head foreign-call
   record was not found). On any other thread callback_save_area ends the
   process. */
        .globl acquire_heap_around_lisp_call
        .hidden acquire_heap_around_lisp_call
        .type acquire_heap_around_lisp_call, @function
acquire_heap_around_lisp_call:
        push ebp
        mov ebp, esp
        push ebx
        push esi
        push edi
        call callback_save_area
        mov esi, eax
        push esi
        call save_volatile
        call restore_volatile
        add esp, 4
        cmp dword ptr [ebp + 12], MISSING_CALLBACK_INDEX
        je 1f
        push dword ptr [ebp + 12]
        push dword ptr [ebp + 8]
        call lisp_addr_call
        add esp, 8
        jmp 2f
1:      call lisp_missing_stub_x
2:      push eax
        push esi
        call save_volatile
        call restore_volatile
        add esp, 4
        pop eax
        pop edi
        pop esi
        pop ebx
        pop ebp
        ret
        .size acquire_heap_around_lisp_call, . - acquire_heap_around_lisp_call

        .section .note.GNU-stack, "", @progbits
