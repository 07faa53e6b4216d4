/* Calls from Lisp into native code through entry-vec objects, and the
   native word an object stands for. */
#include "runtime/rs/runtime_frame.inc"

#define LOCATE_FOUND 0
#define LOCATE_ERROR 1  /* the fixnum code in edx */

        .intel_syntax noprefix
        .text

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

        .section .note.GNU-stack, "", @progbits
