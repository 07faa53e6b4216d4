/* Functions whose code vector was jettisoned to the code file: their
   code-vector word holds a fixnum (the vector's place in the file) and
   their start word is functionfault (or functionfault_2), which jumps
   through the entry slots of function_fault_entry1 and 2. The entries page
   the code back in with restore_codevector and enter the function again as
   it was called. Also here: residentfunction, dump_codevectors and
   original_fcn_codevec.

   restore_codevector reads the vector through code_vector_page_in
   (pageinfcn, function_fault_services.cpp) inside a foreign-call record:
   the reader allocates, so the function waits in a frame word the
   collector updates. A paged-in code vector is stored with a plain store
   followed by fasl_protect as a leaf native call.

   Where the start word of a jettisoned function points: at functionfault
   (or functionfault_2) in this library, not at a copy in the nil block. A
   heap image saved with jettisoned functions therefore holds library
   addresses that the restore must rewrite: every function whose start
   word is the saved library's functionfault or functionfault_2 gets the
   running library's. restoreglobs rewrites only the entry table and the
   trampoline area, whose fixed stretch has no room for these two entries;
   the image restore reads how far the library moved from the saved word
   of the function-fault entry slot before the relink and rewrites the
   start words after it (rebase_reload_entries). */
#include "runtime/rs/runtime_frame.inc"

#define NIL_UNBOUND_MARKER (-0x29)
#define NIL_EMPTY_KEY_SYMBOL (-0x1ad)
#define NIL_ORIGINAL_CODE_TABLE_SYMBOL (-0x1d1)

#define TAG_MASK 7
#define TAG_OTHER 2
#define TAG_SYMBOL 7
#define HEADER (-0x12)
#define FUNCTION_START (-0xe)
#define FUNCTION_NAME (-6)
#define FUNCTION_CODE_VECTOR (-2)
#define SYMBOL_NAME (-7)
#define STRING_CHARACTERS (-0xa)
#define CODE_VECTOR_CODE (-0xe)
#define TYPE_CODE_VECTOR 108
#define TYPE_SIMPLE_STRING 117

#define ERROR_NOT_A_FUNCTION 24
#define ERROR_PAGE_IN_FAILED 51

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_function_faults, "ax", @progbits

/* IS_CODE_VECTOR reg, scratch, no: jumps to `no` unless reg holds a code
   vector (tag 2, type 108). */
.macro IS_CODE_VECTOR reg, scratch, no
        lea \scratch, [\reg - TAG_OTHER]
        test \scratch, TAG_MASK
        jnz \no
        cmp byte ptr [\reg + HEADER], TYPE_CODE_VECTOR
        jne \no
.endm

/* restore_codevector: runtime routine. In: eax = a function. When its
   code-vector word holds a fixnum: the code vector is read back from that
   place (with the address of the characters of its name symbol's name, or
   0), stored in the code-vector word, its first code byte in the start
   word. Out: eax = the function; when the reader answers a fixnum (or
   anything but a code vector), runtime error 51 with (answer . function)
   and that error's value, the function unchanged. Carry clear.
   Frame words: ebp+8 the function (home slot 1). */
        .globl restore_codevector
        .hidden restore_codevector
        .type restore_codevector, @function
restore_codevector:
        RUNTIME_FRAME
        push 0                                  /* frame words the collector visits */
        push 0
        mov [ebp + 8], eax
        mov ecx, [eax + FUNCTION_CODE_VECTOR]
        test ecx, 3
        jnz .Lrestored
        xor edx, edx
        mov eax, [eax + FUNCTION_NAME]
        mov ebx, eax
        and ebx, TAG_MASK
        cmp ebx, TAG_SYMBOL
        jne 1f
        mov eax, [eax + SYMBOL_NAME]
        lea ebx, [eax - TAG_OTHER]
        test ebx, TAG_MASK
        jnz 1f
        cmp byte ptr [eax + HEADER], TYPE_SIMPLE_STRING
        jne 1f
        lea edx, [eax + STRING_CHARACTERS]
1:      mov ebx, [ebp - 0x1c]
        LOAD_GOT_ECX
        mov eax, [ecx + code_vector_page_in@GOTOFF]
        mov ecx, [ebp + 8]
        mov ecx, [ecx + FUNCTION_CODE_VECTOR]
        sar ecx, 2                              /* the place */
        CALL_NATIVE eax, ecx, edx
        IS_CODE_VECTOR eax, ecx, .Lpage_in_failed
        mov edx, [ebp + 8]
        mov [edx + FUNCTION_CODE_VECTOR], eax
        add eax, CODE_VECTOR_CODE
        mov [edx + FUNCTION_START], eax
        lea eax, [edx + FUNCTION_CODE_VECTOR]
        LEAF_NATIVE_CALL fasl_protect, eax
.Lrestored:
        mov eax, [ebp + 8]
        RUNTIME_RETURN
.Lpage_in_failed:
        mov edx, [ebp + 8]
        call qcons
        mov edx, eax
        mov eax, FIXNUM(ERROR_PAGE_IN_FAILED)
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
        RUNTIME_RETURN
        .size restore_codevector, . - restore_codevector

/* FUNCTION_FAULT_ENTRY name, offset: a start-word routine of jettisoned
   functions. In: a Lisp call in progress, esi = the function. Pages the
   code in when the code-vector word holds a fixnum, then enters the
   function again through its start word plus offset with the registers
   it was called with (eax, edx, ecx, esi, ebx; the caller's frame as it
   was). When the code is not there after that: the value restore
   answered (runtime error 51's), or runtime error 24 with the function
   when its code-vector word held neither a fixnum nor a code vector.
   Frame words: ebp-0x24 the function, ebp-0x28 4 * count; two outgoing
   home slots below. */
.macro FUNCTION_FAULT_ENTRY name, offset
        .globl \name
        .hidden \name
        .type \name, @function
\name:
        mov [esp + 4], eax
        mov [esp + 8], edx
        RUNTIME_FRAME
        sub esp, 20
        mov dword ptr [ebp - 0x20], 0
        mov [ebp - 0x24], esi
        lea eax, [4 * ecx]
        mov [ebp - 0x28], eax
        mov dword ptr [ebp - 0x2c], 0
        mov dword ptr [ebp - 0x30], 0
        mov eax, esi
        mov edx, [esi + FUNCTION_CODE_VECTOR]
        test edx, 3
        jnz 1f
        call restore_codevector
1:      mov esi, [ebp - 0x24]
        mov edx, [esi + FUNCTION_CODE_VECTOR]
        test edx, 3
        jz 3f                                   /* still jettisoned: restore's answer */
        IS_CODE_VECTOR edx, ecx, 2f
        mov ecx, [ebp - 0x28]
        shr ecx, 2
        mov eax, [ebp + 8]
        mov edx, [ebp + 12]
        mov ebx, [ebp - 0x1c]
        leave
        .if \offset
        push dword ptr [esi + FUNCTION_START]
        add dword ptr [esp], \offset
        ret                                     /* a jump: esp is back at the return address */
        .else
        jmp dword ptr [esi + FUNCTION_START]
        .endif
2:      mov edx, esi
        mov eax, FIXNUM(ERROR_NOT_A_FUNCTION)
        mov ebx, [ebp - 0x1c]
        call rs_error_with_datum
3:      RUNTIME_RETURN
        .size \name, . - \name
.endm

        FUNCTION_FAULT_ENTRY function_fault_entry1, 0
        FUNCTION_FAULT_ENTRY function_fault_entry2, 6

/* residentfunction: runtime routine. In: eax = a function. When its start
   word is functionfault, its code is paged in (restore_codevector).
   Out: eax = the function, or error 51's value when paging in failed. */
        .globl residentfunction
        .hidden residentfunction
        .type residentfunction, @function
residentfunction:
        RUNTIME_FRAME
        push 0                                  /* frame words the collector visits */
        push 0
        LOAD_GOT_ECX
        lea ecx, [ecx + functionfault@GOTOFF]
        cmp [eax + FUNCTION_START], ecx
        jne 1f
        call restore_codevector
1:      RUNTIME_RETURN
        .size residentfunction, . - residentfunction

/* dump_codevectors: runtime routine. In: eax = an integer or nil, edx =
   a flag, argument 3 = a flag. Calls the code-file writer inside a
   foreign-call record (dump_code_vectors_native). Out: eax = the writer's
   native result word, unconverted. */
        .globl dump_codevectors
        .hidden dump_codevectors
        .type dump_codevectors, @function
dump_codevectors:
        RUNTIME_FRAME
        mov ecx, [ebp + 0x10]
        CALL_NATIVE dump_code_vectors_native, eax, edx, ecx
        RUNTIME_RETURN
        .size dump_codevectors, . - dump_codevectors

/* THREAD_VALUE global: eax := the thread's value of the symbol in the
   global word, or nil when the word holds no symbol or the symbol is
   unbound. Needs ebx = thread; clobbers edx. */
.macro THREAD_VALUE global
        mov eax, [edi + \global]
        mov edx, eax
        and edx, TAG_MASK
        cmp edx, TAG_SYMBOL
        jne .Lno_value\@
        call qsymeval
        cmp eax, [edi + NIL_UNBOUND_MARKER]
        jne .Lvalue\@
.Lno_value\@:
        mov eax, edi
.Lvalue\@:
.endm

/* original_fcn_codevec: runtime routine. In: eax = a function. Looks it
   up in the table that is the thread's value of the symbol at nil-0x1d1
   (original_code_vector, call_tables.cpp; empty key slots hold the
   thread's value of the symbol at nil-0x1ad). Out: eax = the code vector
   the function had before it was wrapped, or nil. */
        .globl original_fcn_codevec
        .hidden original_fcn_codevec
        .type original_fcn_codevec, @function
original_fcn_codevec:
        RUNTIME_FRAME
        push 0                                  /* frame words the collector visits */
        push 0
        mov [ebp + 8], eax
        THREAD_VALUE NIL_EMPTY_KEY_SYMBOL
        mov [ebp - 0x14], eax
        THREAD_VALUE NIL_ORIGINAL_CODE_TABLE_SYMBOL
        mov edx, [ebp + 8]
        mov ecx, [ebp - 0x14]
        CALL_NATIVE original_code_vector, eax, edx, ecx
        RUNTIME_RETURN
        .size original_fcn_codevec, . - original_fcn_codevec

        .section .note.GNU-stack, "", @progbits
