/* The debugger's access to words of a thread's stack frames.

   A thread's stack may be read and written when the thread argument is
   nil, is the calling thread's record (the thread register), or is a
   registered thread record whose word +0xc6 is not 0 (the thread lets
   others read its stack); anything else, a word that is no thread record
   included, gets nil and nothing is read or written: its word +0xc6 could
   lie anywhere.

   Addresses: the base is a frame address and the offset a fixnum; both
   are fixnum-shaped words, and the word read or written is at the sum of
   the two raw words, so the offset counts words (a base that is nil or
   not fixnum-shaped, or an offset that is not a fixnum, gives nil). */
#include "runtime/rs/runtime_frame.inc"

#define THREAD_STACK_READABLE 0xc6
#define TAG_MASK 7
#define TAG_OTHER 2
#define FIXNUM_BITS 3
#define TYPE_UNSIGNED FIXNUM(0)
#define TYPE_LAST_PLAIN FIXNUM(3)

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_stack_word_access, "ax", @progbits

/* STACK_READABLE unreadable: eax = thread or nil, edx = base, ebx = the
   calling thread's record; jumps to `unreadable` unless the rule above
   lets the stack be read. Another thread is looked up in the thread
   registry (validate_thread), with eax and edx kept in the home slots
   meanwhile. Clobbers ecx. */
.macro STACK_READABLE unreadable
        cmp eax, edi
        je .Lreadable\@
        cmp eax, ebx
        je .Lreadable\@
        mov ecx, eax
        and ecx, TAG_MASK
        cmp ecx, TAG_OTHER
        jne \unreadable
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        CALL_NATIVE validate_thread, eax
        mov ecx, eax
        mov eax, [ebp + 8]
        mov edx, [ebp + 12]
        test ecx, ecx
        jz \unreadable
        cmp dword ptr [eax + THREAD_STACK_READABLE], 0
        je \unreadable
.Lreadable\@:
.endm

/* STACK_WORD_ADDRESS refused: edx := base + offset (the offset is the
   routine's argument 3); jumps to `refused` when either is not
   fixnum-shaped. Clobbers ecx. */
.macro STACK_WORD_ADDRESS refused
        mov ecx, [ebp + 0x10]
        or ecx, edx
        test cl, FIXNUM_BITS
        jnz \refused
        add edx, [ebp + 0x10]
.endm

/* fd_stack_access (nil+0x10f): runtime routine. In: eax = thread or nil,
   edx = base, argument 3 = fixnum offset, argument 4 = fixnum type.
   Out: eax = the word at base + offset: type 0 as an unsigned integer
   (a fixnum, or a bignum above the fixnums), types 1 to 3 the word as it
   is; nil for any other type, a refused base or offset, or a stack that
   may not be read. */
        .globl fd_stack_access
        .hidden fd_stack_access
        .type fd_stack_access, @function
fd_stack_access:
        RUNTIME_FRAME
        STACK_READABLE 9f
        STACK_WORD_ADDRESS 9f
        mov ecx, [ebp + 0x14]
        test cl, FIXNUM_BITS
        jnz 9f
        cmp ecx, TYPE_LAST_PLAIN
        ja 9f
        mov eax, [edx]
        cmp ecx, TYPE_UNSIGNED
        jne 1f
        call unsigned_fixnum_or_bignum
1:      RUNTIME_RETURN
9:      mov eax, edi
        RUNTIME_RETURN
        .size fd_stack_access, . - fd_stack_access

/* fd_stack_set (nil+0x113): runtime routine. In: eax = thread or nil,
   edx = base, argument 3 = fixnum offset, argument 4 = value. Stores the
   value at base + offset and returns it; nil, with nothing stored, for a
   refused base or offset or a stack that may not be written. */
        .globl fd_stack_set
        .hidden fd_stack_set
        .type fd_stack_set, @function
fd_stack_set:
        RUNTIME_FRAME
        STACK_READABLE 9f
        STACK_WORD_ADDRESS 9f
        mov eax, [ebp + 0x14]
        mov [edx], eax
        RUNTIME_RETURN
9:      mov eax, edi
        RUNTIME_RETURN
        .size fd_stack_set, . - fd_stack_set

/* fd_stack_real (nil+0x107): runtime routine. In: eax = thread or nil,
   edx = x. Out: eax = x when the thread's stack may be read, else nil. */
        .globl fd_stack_real
        .hidden fd_stack_real
        .type fd_stack_real, @function
fd_stack_real:
        RUNTIME_FRAME
        STACK_READABLE 9f
        mov eax, edx
        RUNTIME_RETURN
9:      mov eax, edi
        RUNTIME_RETURN
        .size fd_stack_real, . - fd_stack_real

        .section .note.GNU-stack, "", @progbits
