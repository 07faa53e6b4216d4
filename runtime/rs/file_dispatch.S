/* filesys: the file-system service dispatcher of compiled code. The table,
   the argument conversions and the calls of the operations are the native
   half's (file_dispatch.cpp); the assembly resets the error words before
   the service, boxes or signals what the native half answers, and looks at
   the cl_error the service left. */
#include "runtime/rs/runtime_frame.inc"

#define FILE_VALUE 0                /* the FileAction codes */
#define FILE_SIGNED 1
#define FILE_UNSIGNED 2
#define FILE_NIL_AND 3
#define FILE_ERROR 4
#define FILE_TESTS_CL_ERROR 0x100
#define KEPT (-0x20)                /* raw word, never visited by a frame walk */
#define CL_ERROR_SEEN (-0x24)       /* cl_error as the service left it (a fixnum) */

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_file_dispatch, "ax", @progbits

/* filesys: runtime routine. In: ecx = count, eax = fixnum service code,
   edx = a1, stacked a2 .. a5 (arguments past the count read as nil).
   First clears errno (clear_errno_value, in a foreign-call record) and
   cl_error. Out: the service's result, one value with carry clear, or two
   (nil and a fixnum code) with carry set and ecx = 2: the row's own
   failure answer, or, for the rows that look at it, cl_error when it is
   set after the service. A code without a case signals runtime error 22,
   then goes on to the cl_error test.
   ebp-0x20 keeps the count, then the answer's action, raw. cl_error is
   read into the frame as soon as the service returns and put back after
   the boxing: a collection there may run Lisp code whose own calls set
   it. */
        .globl filesys
        .hidden filesys
        .type filesys, @function
filesys:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push ecx                                /* ebp-0x20 */
        CALL_NATIVE clear_errno_value
        LOAD_GOT_ECX
        mov ecx, DWORD PTR cl_error@GOT[ecx]
        mov dword ptr [ecx], 0
        lea eax, [ebp + 8]
        mov ecx, [ebp + KEPT]
        CALL_NATIVE filesys_operation, eax, ecx, edi
        mov [ebp + KEPT], eax
        LOAD_GOT_ECX
        mov ecx, DWORD PTR cl_error@GOT[ecx]
        push dword ptr [ecx]                    /* CL_ERROR_SEEN */
        movzx ecx, byte ptr [ebp + KEPT]
        cmp ecx, FILE_VALUE
        jne 1f
        mov eax, edx
        jmp .Lfile_tested
1:      cmp ecx, FILE_SIGNED
        jne 2f
        mov eax, edx
        call fixnum_or_bignum
        jmp .Lfile_tested
2:      cmp ecx, FILE_UNSIGNED
        jne 3f
        mov eax, edx
        call unsigned_fixnum_or_bignum
        jmp .Lfile_tested
3:      cmp ecx, FILE_NIL_AND
        je .Lfile_two_values
        mov eax, edx                            /* FILE_ERROR */
        call rs_error
.Lfile_tested:
        LOAD_GOT_ECX
        mov ecx, DWORD PTR cl_error@GOT[ecx]
        mov edx, [ebp + CL_ERROR_SEEN]
        mov [ecx], edx
        test dword ptr [ebp + KEPT], FILE_TESTS_CL_ERROR
        jz 5f
        test edx, edx
        jnz .Lfile_two_values
5:      RUNTIME_RETURN
.Lfile_two_values:                              /* nil and edx */
        mov eax, edi
        mov ecx, 2
        leave
        mov esi, [ebp - 4]
        stc
        ret
        .size filesys, . - filesys

        .section .note.GNU-stack, "", @progbits
