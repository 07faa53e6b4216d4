/* Calls from Lisp into native code through entry-vec objects, and the
   native word an object stands for. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_LIBRARIES_SYMBOL (-0x299) /* value: the list of loaded libraries */
#define LOCATE_FOUND 0
#define LOCATE_ERROR 1  /* the fixnum code in edx */

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_native_calls, "ax", @progbits

/* call_direct: no frame. In: ecx = entry-vec; ebx = thread; the caller has
   pushed and linked a clink directly above the native arguments. Stores
   the entry in the head clink's callee word, esi := esp (the return address
   into the caller, which restores its stack from esi), ebx := the entry (the
   register bind_and_call and the missing stub take it in; the caller
   reloads its thread register after the call), jumps to the entry's call
   address. */
        .globl call_direct
        .hidden call_direct
        .type call_direct, @function
call_direct:
        mov esi, [ebx + THREAD_CLINK_HEAD]
        mov [esi + CLINK_CALLEE], ecx
        mov ebx, ecx
        mov esi, esp
        jmp dword ptr [ecx + ENTRY_VEC_CALL_ADDRESS]
        .size call_direct, . - call_direct

/* foreign_address_to_mi: runtime routine. In: eax = object. Out: eax = the
   raw word it stands for (see foreign_address_locate). Errors: 54 with the
   object through rs_error_with_datum, 22 through rs_error. */
        .globl foreign_address_to_mi
        .hidden foreign_address_to_mi
        .type foreign_address_to_mi, @function
foreign_address_to_mi:
        RUNTIME_FRAME
        push eax                                /* ebp-0x20: the object */
        CALL_NATIVE foreign_address_locate, eax
        cmp eax, LOCATE_FOUND
        jne 1f
        mov eax, edx
        RUNTIME_RETURN
1:      cmp eax, LOCATE_ERROR
        jne 2f
        mov eax, edx
        call rs_error
        RUNTIME_RETURN
2:      mov eax, edx
        mov edx, [ebp - 0x20]
        call rs_error_with_datum
        RUNTIME_RETURN
        .size foreign_address_to_mi, . - foreign_address_to_mi

/* do_c_funcall: runtime routine. In: eax = native function address, edx =
   one argument word. Calls it (cdecl or stdcall) inside a clink, esi
   keeping the stack across the call. Out: eax as the function left it,
   one value. */
        .globl do_c_funcall
        .hidden do_c_funcall
        .type do_c_funcall, @function
do_c_funcall:
        RUNTIME_FRAME
        CALL_NATIVE_ESI eax, edx
        RUNTIME_RETURN
        .size do_c_funcall, . - do_c_funcall

/* do_c_funcall0: runtime routine. In: eax = native function address. As
   do_c_funcall with no argument. */
        .globl do_c_funcall0
        .hidden do_c_funcall0
        .type do_c_funcall0, @function
do_c_funcall0:
        RUNTIME_FRAME
        CALL_NATIVE_ESI eax
        RUNTIME_RETURN
        .size do_c_funcall0, . - do_c_funcall0

/* machine_code: frameless leaf. Out: eax = fixnum 1029, one value. */
        .globl machine_code
        .hidden machine_code
        .type machine_code, @function
machine_code:
        mov eax, FIXNUM(1029)
        clc
        ret
        .size machine_code, . - machine_code

/* rfrnote: frameless leaf with no effect. Out: eax = nil, one value. */
        .globl rfrnote
        .hidden rfrnote
        .type rfrnote, @function
rfrnote:
        mov eax, edi
        clc
        ret
        .size rfrnote, . - rfrnote

/* method_tramp1 .. method_tramp4: no frame. In: ebx = entry-vec, its word
   4 the target (a function, or the byte offset of a method in an object's
   function table, the object's first word); ecx = argument words; the
   native arguments and the return address on the stack as the function
   expects them. Reach the target by call kinds 1 to 4; eax clobbered. */

/* Kind 1: the object is the first argument word. */
        .globl method_tramp1
        .hidden method_tramp1
        .type method_tramp1, @function
method_tramp1:
        mov eax, [esp + 4]
        mov eax, [eax]
        add eax, [ebx + ENTRY_VEC_TARGET]
        jmp dword ptr [eax]
        .size method_tramp1, . - method_tramp1

/* Kind 2 (thiscall): the first argument word moves into ecx, the return
   address stays on top. */
        .globl method_tramp2
        .hidden method_tramp2
        .type method_tramp2, @function
method_tramp2:
        pop eax
        pop ecx
        push eax
        mov eax, [ecx]
        add eax, [ebx + ENTRY_VEC_TARGET]
        jmp dword ptr [eax]
        .size method_tramp2, . - method_tramp2

/* Kind 3 (fastcall function): two or more argument words: the first two
   move into ecx and edx; one: it moves into ecx; none: nothing moves. */
        .globl method_tramp3
        .hidden method_tramp3
        .type method_tramp3, @function
method_tramp3:
        cmp ecx, 1
        jb 9f
        pop eax
        je 1f
        pop ecx
        pop edx
        push eax
        jmp 9f
1:      pop ecx
        push eax
9:      jmp dword ptr [ebx + ENTRY_VEC_TARGET]
        .size method_tramp3, . - method_tramp3

/* Kind 4 (fastcall method): as kind 3, but ecx always receives the first
   word (the object), even with no argument words. */
        .globl method_tramp4
        .hidden method_tramp4
        .type method_tramp4, @function
method_tramp4:
        cmp ecx, 2
        pop eax
        jb 1f
        pop ecx
        pop edx
        push eax
        jmp 9f
1:      pop ecx
        push eax
9:      mov eax, [ecx]
        add eax, [ebx + ENTRY_VEC_TARGET]
        jmp dword ptr [eax]
        .size method_tramp4, . - method_tramp4

/* do_quicksym: runtime routine. In: eax = module handle (raw), edx = name
   (Lisp string), ecx = 2. Out: eax = the name's native address in that
   module, or nil when it is not there. */
        .globl do_quicksym
        .hidden do_quicksym
        .type do_quicksym, @function
do_quicksym:
        RUNTIME_FRAME
        CALL_NATIVE sy_quicksym, eax, edx
        test eax, eax
        jnz 1f
        mov eax, edi
1:      RUNTIME_RETURN
        .size do_quicksym, . - do_quicksym

/* rs_update_entry_vec: runtime routine. In: eax = entry-vec, ecx = 1.
   Resolves its call address, library handle and target from its name and
   flags against the current thread's list of loaded libraries (the value
   of the symbol at nil-0x299). Out: eax = the entry. */
        .globl rs_update_entry_vec
        .hidden rs_update_entry_vec
        .type rs_update_entry_vec, @function
rs_update_entry_vec:
        RUNTIME_FRAME
        push eax                                /* ebp-0x20: the entry */
        mov eax, [edi + NIL_LIBRARIES_SYMBOL]
        call qsymeval
        mov edx, eax
        mov eax, [ebp - 0x20]
        CALL_NATIVE entry_vec_resolve, eax, edx
        RUNTIME_RETURN
        .size rs_update_entry_vec, . - rs_update_entry_vec

        .section .note.GNU-stack, "", @progbits
