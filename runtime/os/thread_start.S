/* The assembly halves of the thread start and of callbacks from native
   code: the runtime system's start of a new Lisp thread
   (lisp_thread_init_rs), the native entry of every foreign-callable Lisp
   callback (acquire_heap_around_lisp_call), and the call of a callback with
   the registers of a save area (call_with_saved_volatile). */
#include "runtime/rs/runtime_frame.inc"

#define THREAD_BINDING_STACK 0x6e
#define THREAD_REGISTRY_INDEX 0xd6
#define BINDING_STACK_WORDS 512
#define VOLATILE_AREA_BYTES 0x210       /* 0x204 and room to align to 8 */

        .intel_syntax noprefix
        .text

/* lisp_thread_init_rs(record): native entry, cdecl. Loads nil and the
   calling thread's record from its thread slot, resets the record's binding
   state (thread_rs_prepare), gives it a 512-word direct sysvector as
   binding stack when slot 32 is nil (word 3: the registry index + 1), makes
   this frame the stack base (thread_rs_finish) and runs the thread's Lisp
   life (initiate_sg). Returns when the start function returns. */
        .globl lisp_thread_init_rs
        .hidden lisp_thread_init_rs
        .type lisp_thread_init_rs, @function
lisp_thread_init_rs:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_THREAD
        push ebx
        call thread_rs_prepare
        add esp, 4
        mov ebx, [ebp - 0x1c]
        cmp [ebx + THREAD_BINDING_STACK], edi
        jne 1f
        mov eax, [ebx + THREAD_REGISTRY_INDEX]
        inc eax
        push eax                                /* word 3 of the sysvector */
        push edi                                /* home slots */
        push edi
        mov eax, FIXNUM(BINDING_STACK_WORDS)
        mov edx, edi
        mov ecx, 3
        call new_direct_sysvector_pvec
        add esp, 12
        mov ebx, [ebp - 0x1c]
        test ecx, ecx
        jnz 1f
        mov [ebx + THREAD_BINDING_STACK], eax
1:      push ebp
        push ebx
        call thread_rs_finish
        add esp, 8
        mov ebx, [ebp - 0x1c]
        push ebx
        call initiate_sg
        add esp, 4
        NATIVE_ENTRY_LEAVE
        .size lisp_thread_init_rs, . - lisp_thread_init_rs

/* acquire_heap_around_lisp_call(block, index): native entry, cdecl. Saves
   the caller's x87 state and edx in an area of this frame, runs the rest of
   the call (callback_around_lisp: registration, the heap, the callback, in
   the runtime's guarded region) and reloads the x87 state and edx from the
   area it names, so st(0) and edx reach the native caller as the callback
   left them. Returns the callback's result, 0 when the thread could not be
   registered or an exception was handled. Keeps ebx, esi, edi. */
        .globl acquire_heap_around_lisp_call
        .hidden acquire_heap_around_lisp_call
        .type acquire_heap_around_lisp_call, @function
acquire_heap_around_lisp_call:
        push ebp
        mov ebp, esp
        push ebx
        push esi
        push edi
        sub esp, VOLATILE_AREA_BYTES
        mov esi, esp                            /* the area */
        push esi
        call save_volatile
        add esp, 4
        push dword ptr [ebp + 12]
        push dword ptr [ebp + 8]
        push esi
        call callback_around_lisp               /* eax result, edx the area to reload */
        add esp, 12
        mov esi, eax
        push edx
        call restore_volatile
        add esp, 4
        mov eax, esi
        lea esp, [ebp - 12]
        pop edi
        pop esi
        pop ebx
        pop ebp
        ret
        .size acquire_heap_around_lisp_call, . - acquire_heap_around_lisp_call

/* call_with_saved_volatile(area, routine, block, index): native entry,
   cdecl. Reloads the x87 state and edx from the area, calls
   routine(block, index) and saves the x87 state and edx it leaves back in
   the area. Returns the routine's eax. Keeps ebx, esi, edi. */
        .globl call_with_saved_volatile
        .hidden call_with_saved_volatile
        .type call_with_saved_volatile, @function
call_with_saved_volatile:
        push ebp
        mov ebp, esp
        push ebx
        push esi
        push edi
        push dword ptr [ebp + 8]
        call restore_volatile
        add esp, 4
        push dword ptr [ebp + 20]
        push dword ptr [ebp + 16]
        call dword ptr [ebp + 12]
        add esp, 8
        mov esi, eax
        push dword ptr [ebp + 8]
        call save_volatile
        add esp, 4
        mov eax, esi
        lea esp, [ebp - 12]
        pop edi
        pop esi
        pop ebx
        pop ebp
        ret
        .size call_with_saved_volatile, . - call_with_saved_volatile

        .section .note.GNU-stack, "", @progbits
