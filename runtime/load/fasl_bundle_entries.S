/* The runtime routines through which Lisp code reaches the bundle routines
   and the descriptor loader (fasl_bundles.cpp, fasl_entry_points.cpp).

   Each is a thin bridge: fixnum arguments are shifted to integers, the
   segment value is passed as the address of the bridge's own first home
   slot (the loader may update it there, where the collector sees it as one
   of the caller's words), the current read mode and the thread are added,
   and the native routine is called through CALL_NATIVE: inside a
   foreign-call record, with the x87 stack freed and its control word reset,
   and resuming at the record's throw continuation when a throw crossed the
   native code. The native integer result comes back as a fixnum. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_BUNDLE_HOOK (-0x4c1)         /* runtime global 299 */
#define NIL_INITIAL_FUNCTION (-0x4dd)    /* runtime global 306 */
#define SYMBOL_FUNCTION (-0xb)
#define TAG_SYMBOL 7
#define HOME_1 8                         /* the caller's home slots */
#define HOME_2 12
#define ARG_3 16                         /* stacked arguments above them */
#define ARG_4 20
#define ARG_5 24

        .intel_syntax noprefix
        .text

/* fasl_bundle (nil+0xa7): runtime routine. In: eax = directory string,
   edx = name string, stacked argument 3 = quiet flag (fixnum). When the
   symbol in global 299 has a function other than the initial undefined one,
   that function is called with the same three arguments and its first value
   returned; the bundle is not touched. Otherwise fasl_bundle2 of (nil,
   directory, name, quiet, fixnum 1): numbered copies on disk are looked for.
   Out: eax, carry clear. */
        .globl fasl_bundle
        .hidden fasl_bundle
        .type fasl_bundle, @function
fasl_bundle:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        mov [ebp + HOME_2], edx
        sub esp, 4                              /* the word at ebp-0x20 */
        mov ecx, [edi + NIL_BUNDLE_HOOK]
        mov esi, ecx
        and esi, 7
        cmp esi, TAG_SYMBOL
        jne 1f
        mov esi, [ecx + SYMBOL_FUNCTION]
        cmp esi, [edi + NIL_INITIAL_FUNCTION]
        je 1f
        push dword ptr [ebp + ARG_3]
        sub esp, 8                              /* home slots */
        mov ebx, ecx
        mov ecx, 3
        call edi                                /* the symbol's function */
        mov ebx, [ebp - 0x1c]
        RUNTIME_RETURN
1:      push FIXNUM(1)
        push dword ptr [ebp + ARG_3]
        push dword ptr [ebp + HOME_2]
        sub esp, 8                              /* home slots */
        mov eax, edi
        mov edx, [ebp + HOME_1]
        mov ecx, 5
        call fasl_bundle2
        RUNTIME_RETURN
        .size fasl_bundle, . - fasl_bundle

/* fasl_bundle2 (nil+0x373): runtime routine. In: eax = segment value,
   edx = directory string, stacked 3 = name string, 4 = quiet flag, 5 =
   numbered-versions flag (fixnums). Out: eax = bundfasl's result as a
   fixnum, carry clear. */
        .globl fasl_bundle2
        .hidden fasl_bundle2
        .type fasl_bundle2, @function
fasl_bundle2:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        mov [ebp + HOME_2], edx
        CALL_NATIVE fasl_current_read_mode
        mov ecx, [ebp + ARG_4]
        sar ecx, 2
        mov edx, [ebp + ARG_5]
        sar edx, 2
        lea esi, [ebp + HOME_1]
        CALL_NATIVE bundfasl, esi, [ebp+HOME_2], [ebp+ARG_3], eax, ecx, edx, ebx
        shl eax, 2
        RUNTIME_RETURN
        .size fasl_bundle2, . - fasl_bundle2

/* bundle_load (nil+0x30b): runtime routine. In: eax = name string.
   load_bundle2 of (nil, name), in the caller's home slots. */
        .globl bundle_load
        .hidden bundle_load
        .type bundle_load, @function
bundle_load:
        mov edx, eax
        mov eax, edi
        mov ecx, 2
        jmp load_bundle2
        .size bundle_load, . - bundle_load

/* load_bundle2: runtime routine. In: eax = segment value, edx = name
   string. Out: eax = load_from_bundle's result as a fixnum (1 when the
   bundle has no entry), carry clear. */
        .globl load_bundle2
        .hidden load_bundle2
        .type load_bundle2, @function
load_bundle2:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        mov [ebp + HOME_2], edx
        CALL_NATIVE fasl_current_read_mode
        lea esi, [ebp + HOME_1]
        CALL_NATIVE load_from_bundle, esi, [ebp+HOME_2], eax, ebx
        shl eax, 2
        RUNTIME_RETURN
        .size load_bundle2, . - load_bundle2

/* bundle_find_fd (nil+0x327): runtime routine. In: eax = name string.
   Out: eax = the bundle's descriptor positioned at the entry, or -1, as a
   fixnum; carry clear. */
        .globl bundle_find_fd
        .hidden bundle_find_fd
        .type bundle_find_fd, @function
bundle_find_fd:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        CALL_NATIVE bundlefind_fd, eax
        shl eax, 2
        RUNTIME_RETURN
        .size bundle_find_fd, . - bundle_find_fd

/* bundle_lookup (nil+0x307): runtime routine. In: eax = name string.
   Out: eax = nil when the bundle has no entry, else the entry's version as
   a non-negative integer (a bignum from 2^29); carry clear. */
        .globl bundle_lookup
        .hidden bundle_lookup
        .type bundle_lookup, @function
bundle_lookup:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        CALL_NATIVE search_bundle, eax
        cmp eax, -1
        je 1f
        call unsigned_fixnum_or_bignum
        RUNTIME_RETURN
1:      mov eax, edi
        RUNTIME_RETURN
        .size bundle_lookup, . - bundle_lookup

/* fasldesc (nil+0x157): runtime routine. In: eax = segment value, edx =
   link value, stacked 3 = not used, 4 = pseudo descriptor (fixnum).
   Out: eax = rtfasldesc's result as a fixnum (9 when the pseudo
   descriptor has no file descriptor), carry clear. */
        .globl fasldesc
        .hidden fasldesc
        .type fasldesc, @function
fasldesc:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        mov [ebp + HOME_2], edx
        CALL_NATIVE fasl_current_read_mode
        mov ecx, [ebp + ARG_4]
        sar ecx, 2
        lea esi, [ebp + HOME_1]
        CALL_NATIVE rtfasldesc, ecx, esi, [ebp+HOME_2], eax, ebx
        shl eax, 2
        RUNTIME_RETURN
        .size fasldesc, . - fasldesc

        .section .note.GNU-stack, "", @progbits
