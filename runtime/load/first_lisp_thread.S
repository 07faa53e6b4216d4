/* The first Lisp thread: its Lisp-side entry (first_lisp_thread_init), the
   continuation on its stack (cont_setstack) that either resumes a restored
   world (startup_lisp) or loads the start-up files (startfasl_prep,
   startfasl_prep2), the entry into the Lisp world (first_lisp_thread), and
   the thread-slot set-up around a heap relocation (gc_rms_preinit).

   Decision: a restored world's own start function, start_reborn_lisp, is
   first_lisp_thread: the registry's state goes into the first thread's
   Lisp thread object, then the function in global word -313 runs with that
   object and the start argument 1. */
#include "runtime/rs/runtime_frame.inc"

#define GLOBAL(n) (-0x15 - 4 * (n))     /* global word -n, from nil */
#define THREAD_BINDING_STACK 0x6e
#define THREAD_STACK_BASE 0xce
#define THREAD_BINDING_STACK_TOP 0xe6
#define BINDING_STACK_WORDS 512
#define SLOT_CALL_FUNCTION 0x23          /* entry slot: call the function in esi */
#define TAG_MASK 7
#define TAG_OTHER 2
#define CALLER_FRAME (-0x24)             /* raw word of the native entry frame */
#define START_ARGUMENT FIXNUM(1)

        .intel_syntax noprefix
        .text

/* first_lisp_thread_init(): native entry, cdecl, called by
   setupstack_within_xhandler inside the thread's exception frame. Makes
   its frame the bottom of the Lisp stack, sets the start-up global words
   and runs cont_setstack; returns (to the exception frame) only when the
   Lisp world's start function returns. Without a laid-out heap (nilval 0)
   it says so and ends the process with status 1. */
        .globl first_lisp_thread_init
        .hidden first_lisp_thread_init
        .type first_lisp_thread_init, @function
first_lisp_thread_init:
        NATIVE_ENTRY_FRAME
        LOAD_GOT_ECX
        mov ecx, DWORD PTR nilval@GOT[ecx]
        cmp dword ptr [ecx], 0
        jne 3f
        call first_lisp_thread_without_heap     /* does not return */
3:      NATIVE_ENTRY_THREAD                     /* edi nil, ebx the record by global word 0 */
        ffree st(0)
        ffree st(1)
        ffree st(2)
        ffree st(3)
        ffree st(4)
        ffree st(5)
        fwait
        fnclex
        fldcw word ptr [edi + NIL_FLOAT_CONTROL_WORD]
        mov eax, [ebp]
        mov [ebp + CALLER_FRAME], eax
        push ebx
        call vxm_validate_inline_tls
        add esp, 4
        mov ebx, [ebp - 0x1c]
        mov dword ptr [edi + GLOBAL(8)], 0      /* no signal pending */
        mov dword ptr [edi + GLOBAL(253)], 0
        mov [edi + GLOBAL(117)], edi
        mov [edi + GLOBAL(317)], edi
        mov [edi + GLOBAL(319)], edi
        mov dword ptr [edi + GLOBAL(315)], FIXNUM(1)
        call save_fcw
        LOAD_GOT_ECX
        mov eax, DWORD PTR reborn@GOT[ecx]
        cmp dword ptr [eax], 0
        jne 1f
        mov eax, DWORD PTR raz_start_argsave@GOT[ecx]
        mov eax, [eax]
        shl eax, 2
        mov [edi + GLOBAL(189)], eax
1:      mov [edi + GLOBAL(311)], edi            /* the GC hook lists */
        mov [edi + GLOBAL(312)], edi
        mov [edi + GLOBAL(67)], edi
        mov dword ptr [ebp], 0                  /* the frame chain ends here */
        mov [edi + GLOBAL(35)], ebp
        mov [ebx + THREAD_STACK_BASE], ebp
        push ebx
        call set_thread_stack_limit
        add esp, 4
        mov ebx, [ebp - 0x1c]
        LOAD_GOT_ECX
        mov eax, DWORD PTR reborn@GOT[ecx]
        cmp dword ptr [eax], 0
        je 2f
        mov dword ptr [ebx + THREAD_BINDING_STACK_TOP], 0
2:      mov eax, DWORD PTR lisp_missing_stub@GOT[ecx]
        mov [edi + GLOBAL(3)], eax
        push edi                                /* home slots */
        push edi
        call cont_setstack
        add esp, 8
        mov eax, [ebp + CALLER_FRAME]
        mov [ebp], eax
        NATIVE_ENTRY_LEAVE
        .size first_lisp_thread_init, . - first_lisp_thread_init

/* cont_setstack: runtime routine, no arguments. Builds both case-mapping
   tries; a restored world goes on in startup_lisp. A fresh one gets its
   start-up system vector (decision: the first thread's binding stack, a
   512-word sysvector, made when the record has none), the profiler when
   raz_start_prof asks for it, and goes on in startfasl_prep.
   Out: eax as the world's start function left it. */
        .globl cont_setstack
        .hidden cont_setstack
        .type cont_setstack, @function
cont_setstack:
        RUNTIME_FRAME
        CALL_NATIVE build_uc_to_lc_trie
        CALL_NATIVE build_lc_to_uc_trie
        LOAD_GOT_ECX
        mov eax, DWORD PTR reborn@GOT[ecx]
        cmp dword ptr [eax], 0
        je 1f
        push edi
        push edi
        call startup_lisp
        add esp, 8
        RUNTIME_RETURN
1:      cmp [ebx + THREAD_BINDING_STACK], edi
        jne 2f
        push 0                                  /* word 3 of the sysvector */
        push edi                                /* home slots */
        push edi
        mov eax, FIXNUM(BINDING_STACK_WORDS)
        mov edx, edi
        mov ecx, 3
        call new_direct_sysvector_pvec
        add esp, 12
        mov ebx, [ebp - 0x1c]
        test ecx, ecx
        jnz 2f
        mov [ebx + THREAD_BINDING_STACK], eax
2:      LOAD_GOT_ECX
        mov eax, DWORD PTR raz_start_prof@GOT[ecx]
        cmp dword ptr [eax], 0
        je 3f
        CALL_NATIVE start_prof
3:      push edi
        push edi
        call startfasl_prep
        add esp, 8
        RUNTIME_RETURN
        .size cont_setstack, . - cont_setstack

/* startup_lisp: runtime routine, no arguments. Runs the restored world's
   start function (first_lisp_thread) and, when it returns, ends the
   thread: end_lisp_thread(-1, no done flag, no thread to notify), the
   runtime's own name for vxm_thread_exit; with nobody to tell and no other
   Lisp thread, the process ends with the status. */
        .globl startup_lisp
        .hidden startup_lisp
        .type startup_lisp, @function
startup_lisp:
        RUNTIME_FRAME
        push edi
        push edi
        call first_lisp_thread
        add esp, 8
        CALL_NATIVE end_lisp_thread, -1, 0, 0
        ud2                                     /* end_lisp_thread does not return */
        .size startup_lisp, . - startup_lisp

/* startfasl_prep: runtime routine, no arguments. Loads the start-up files
   (startfasl_prep2), then enters the Lisp world (first_lisp_thread).
   Out: eax as first_lisp_thread left it. */
        .globl startfasl_prep
        .hidden startfasl_prep
        .type startfasl_prep, @function
startfasl_prep:
        RUNTIME_FRAME
        push edi
        push edi
        call startfasl_prep2
        call first_lisp_thread
        add esp, 8
        RUNTIME_RETURN
        .size startfasl_prep, . - startfasl_prep

/* startfasl_prep2: runtime routine, no arguments. start_fasl with the
   caller's first home slot as the loader's segment cell (nil to start
   with, a Lisp value the collector sees). Out: eax = start_fasl's result
   as a fixnum. */
        .globl startfasl_prep2
        .hidden startfasl_prep2
        .type startfasl_prep2, @function
startfasl_prep2:
        RUNTIME_FRAME
        mov [ebp + 8], edi
        lea eax, [ebp + 8]
        CALL_NATIVE start_fasl, eax
        shl eax, 2
        RUNTIME_RETURN
        .size startfasl_prep2, . - startfasl_prep2

/* first_lisp_thread: runtime routine, no arguments. The registry's queues
   and the start time go into the first thread's Lisp thread object
   (first_thread_object_setup); then the function in global word -313 is
   called with that object and the start argument (fixnum 1). Without a
   function there (anything but an other object) nothing is called and the
   result is nil. Out: eax = the function's first value. */
        .globl first_lisp_thread
        .hidden first_lisp_thread
        .type first_lisp_thread, @function
first_lisp_thread:
        RUNTIME_FRAME
        CALL_NATIVE first_thread_object_setup
        mov [ebp + 8], eax
        mov esi, [edi + GLOBAL(313)]
        mov ecx, esi
        and ecx, TAG_MASK
        cmp ecx, TAG_OTHER
        je 1f
        mov eax, edi
        RUNTIME_RETURN
1:      push edi                                /* home slots */
        push edi
        mov edx, START_ARGUMENT
        mov ecx, 2
        mov ebx, edi
        call dword ptr [edi + SLOT_CALL_FUNCTION]
        add esp, 8
        mov ebx, [ebp - 0x1c]
        jnc 2f
        test ecx, ecx
        jnz 2f
        mov eax, edi                            /* no values */
2:      RUNTIME_RETURN
        .size first_lisp_thread, . - first_lisp_thread

/* gc_rms_preinit(): native entry, cdecl, called by the heap relocation
   (gc_relocate_memory_section). The calling thread's slot names the
   placeholder record (rs_set_tls_thread with lisp_tls_index and
   dummy_thread), then gc_rms_preinit2. */
        .globl gc_rms_preinit
        .hidden gc_rms_preinit
        .type gc_rms_preinit, @function
gc_rms_preinit:
        push ebx
        sub esp, 8
        call rs_pc_thunk_ecx
        add ecx, OFFSET FLAT:_GLOBAL_OFFSET_TABLE_
        mov ebx, ecx
        mov eax, DWORD PTR dummy_thread@GOT[ebx]
        push dword ptr [eax]
        mov eax, DWORD PTR lisp_tls_index@GOT[ebx]
        push dword ptr [eax]
        call rs_set_tls_thread
        add esp, 8
        call gc_rms_preinit2
        add esp, 8
        pop ebx
        ret
        .size gc_rms_preinit, . - gc_rms_preinit

/* gc_rms_preinit2(): native entry, cdecl. Sets the record's trampolines
   from the thread slot (set_tramp_from_tls, in a frame of its own, which
   is gone again before the relocation), then relocates every slot
   (gc_rms) on the native stack: no Lisp frame of this routine is there for
   the relocation's stack walk to find. */
        .globl gc_rms_preinit2
        .hidden gc_rms_preinit2
        .type gc_rms_preinit2, @function
gc_rms_preinit2:
        NATIVE_ENTRY_FRAME
        NATIVE_ENTRY_THREAD
        call set_tramp_from_tls
        mov dword ptr [ebp - 0x1c], 0
        mov esp, ebp
        pop ebp
        add esp, 4
        pop ebx
        pop esi
        pop edi
        cld
        jmp gc_rms
        .size gc_rms_preinit2, . - gc_rms_preinit2

        .section .note.GNU-stack, "", @progbits
