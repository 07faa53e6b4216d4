/* Test probes for multiple values and throws.

   catch_probe: a Lisp function, called through the call harness, that
   links up to three catch frames in its own frame (frame 0 first, so frame
   0 is the oldest), calls catch_setup's target with the harness's eax, edx
   and ecx and an outgoing area of AREA_WORDS words copied from the setup,
   and records every arrival at a continuation into catch_log: the frame,
   eax, edx, ecx, carry, esp and ebp against what the frame saved, esi,
   ebx, the thread's catch, foreign-call, binding and values words, and the
   frame's tag and value words.

   At an arrival the frame is unlinked (chain head := its next). A frame
   whose tag is the unwind marker (nil-0x4e9) goes on when CS_RETHROW is
   set, as cleanup code does: close_values, its tag word into frame word
   -0x18, closed_throw. Any other arrival, or a target that returns,
   unlinks every frame the probe made and returns to the harness with eax,
   edx, ecx and the carry as they came. */
#include "runtime/rs/runtime_frame.inc"

#define CS_TARGET 0
#define CS_FRAMES 4
#define CS_TAGS 8                       /* three words, frame 0 first */
#define CS_CALLER_TAG 20                /* the probe's frame word -0x18 */
#define CS_RETHROW 24
#define CS_PATCH_LIST 28                /* a cons: its car := the probe's ebp */
#define CS_AREA 32
#define AREA_WORDS 48

#define CL_RETURNED 0
#define CL_ARRIVALS 4
#define CL_EBP 8
#define CL_FRAMES 12                    /* three words: the frames' addresses */
#define CL_ENTRIES 24
#define ARRIVAL_BYTES 64
#define MAX_ARRIVALS 4
#define A_FRAME 0
#define A_EAX 4
#define A_EDX 8
#define A_ECX 12
#define A_CARRY 16
#define A_ESP 20                        /* esp - the esp the frame saved */
#define A_EBP 24                        /* ebp - the probe's ebp */
#define A_ESI 28
#define A_CATCH 32
#define A_CLINK 36
#define A_BINDING_TOP 40
#define A_VALUES 44
#define A_TAG 48
#define A_VALUE 52
#define A_EBX 56

#define THREAD_VALUES_LIST 0x82
#define THREAD_CATCH_CHAIN 0xba
#define THREAD_BINDING_TOP 0xe6
#define NIL_UNWIND_MARKER (-0x4e9)
#define SLOT_CLOSE_VALUES 0x21f
#define SLOT_CLOSED_THROW 0x247
#define SLOT_THROW 0x6b
#define SLOT_BIND_ONE_SPEC 0x47
#define SLOT_THROW_OVER_C 0x34f
#define FRAME_BASE 0x40                 /* frame k at ebp - 0x40 - 0x20k */
#define PROBE_BYTES (0x60 + 4 * AREA_WORDS)

        .intel_syntax noprefix
        .text

        .globl catch_probe
        .type catch_probe, @function
catch_probe:
        push ebp
        mov ebp, esp
        push esi
        sub esp, 0x1c
        mov [ebp - 8], eax
        mov [ebp - 0xc], edx
        mov [ebp - 0x10], edi
        mov dword ptr [ebp - 0x14], 0
        mov eax, [catch_setup + CS_CALLER_TAG]
        mov [ebp - 0x18], eax
        mov [ebp - 0x1c], ebx
        mov [ebp - 0x20], ecx
        sub esp, PROBE_BYTES
        xor ecx, ecx
1:      mov eax, [catch_setup + CS_AREA + 4 * ecx]
        mov [esp + 4 * ecx], eax
        inc ecx
        cmp ecx, AREA_WORDS
        jb 1b
        mov [catch_log + CL_EBP], ebp
        mov eax, [catch_setup + CS_PATCH_LIST]
        test eax, eax
        jz 2f
        mov [eax - 0x11], ebp
2:      xor ecx, ecx
3:      cmp ecx, [catch_setup + CS_FRAMES]
        jae 4f
        mov eax, ecx
        shl eax, 5
        neg eax
        lea eax, [ebp - FRAME_BASE + eax]
        mov [catch_log + CL_FRAMES + 4 * ecx], eax
        mov edx, [ebx + THREAD_CATCH_CHAIN]
        mov [eax], edx
        mov edx, [continuations + 4 * ecx]
        mov [eax + 4], edx
        mov [eax + 8], ebp
        mov edx, [ebx + THREAD_BINDING_TOP]
        mov [eax + 0xc], edx
        mov [eax + 0x10], esp
        mov edx, [ebx + THREAD_CLINK_HEAD]
        mov [eax + 0x14], edx
        mov edx, [catch_setup + CS_TAGS + 4 * ecx]
        mov [eax + 0x18], edx
        mov [eax + 0x1c], edi
        mov [ebx + THREAD_CATCH_CHAIN], eax
        inc ecx
        jmp 3b
4:      mov eax, [ebp - 8]
        mov edx, [ebp - 0xc]
        mov ecx, [ebp - 0x20]
        mov dword ptr [ebp - 0x20], 0
        call dword ptr [catch_setup + CS_TARGET]
        mov dword ptr [catch_log + CL_RETURNED], 1
        pushfd
        jmp .Lunlink_all

continue0:
        push 0
        jmp .Larrive
continue1:
        push 1
        jmp .Larrive
continue2:
        push 2
        jmp .Larrive

/* [esp] = the frame's index; everything else as the throw delivered it. */
.Larrive:
        pushfd
        push eax
        push ecx
        push edx
        push ebx
        push esi
        /* [esp] esi, +4 ebx, +8 edx, +12 ecx, +16 eax, +20 flags, +24 the
           index, +28 the arrival esp */
        mov esi, [catch_log + CL_ARRIVALS]
        cmp esi, MAX_ARRIVALS
        jae 5f
        imul esi, esi, ARRIVAL_BYTES
        lea esi, [catch_log + CL_ENTRIES + esi]
        mov [esi + A_EAX], eax
        mov [esi + A_EDX], edx
        mov [esi + A_ECX], ecx
        mov eax, [esp]
        mov [esi + A_ESI], eax
        mov eax, [esp + 4]
        mov [esi + A_EBX], eax
        mov eax, [esp + 20]
        and eax, 1
        mov [esi + A_CARRY], eax
        mov eax, [esp + 24]
        mov [esi + A_FRAME], eax
        mov eax, [catch_log + CL_FRAMES + 4 * eax]
        lea edx, [esp + 28]
        sub edx, [eax + 0x10]
        mov [esi + A_ESP], edx
        mov edx, [eax + 0x18]
        mov [esi + A_TAG], edx
        mov edx, [eax + 0x1c]
        mov [esi + A_VALUE], edx
        mov edx, ebp
        sub edx, [catch_log + CL_EBP]
        mov [esi + A_EBP], edx
        mov ebx, [catch_log + CL_EBP]
        mov ebx, [ebx - 0x1c]
        mov edx, [ebx + THREAD_CATCH_CHAIN]
        mov [esi + A_CATCH], edx
        mov edx, [ebx + THREAD_CLINK_HEAD]
        mov [esi + A_CLINK], edx
        mov edx, [ebx + THREAD_BINDING_TOP]
        mov [esi + A_BINDING_TOP], edx
        mov edx, [ebx + THREAD_VALUES_LIST]
        mov [esi + A_VALUES], edx
        inc dword ptr [catch_log + CL_ARRIVALS]
5:      mov ebp, [catch_log + CL_EBP]
        mov ebx, [ebp - 0x1c]
        mov esi, [esp + 24]
        mov esi, [catch_log + CL_FRAMES + 4 * esi]
        mov ecx, [esi]
        mov [ebx + THREAD_CATCH_CHAIN], ecx     /* the frame unlinked */
        mov ecx, [esp + 24]
        mov ecx, [catch_setup + CS_TAGS + 4 * ecx]
        cmp ecx, [edi + NIL_UNWIND_MARKER]      /* a cleanup frame */
        jne 6f
        mov ecx, [esi + 0x18]                   /* the tag thrown */
        cmp dword ptr [catch_setup + CS_RETHROW], 0
        je 6f
        /* cleanup code: close the values, throw on with the frame's tag */
        mov [ebp - 0x18], ecx
        pop esi
        pop ebx
        pop edx
        pop ecx
        pop eax
        lea esp, [esp + 8]
        mov ebx, [ebp - 0x1c]
        call dword ptr [edi + SLOT_CLOSE_VALUES]
        call dword ptr [edi + SLOT_CLOSED_THROW]
        pushfd
        jmp .Lunlink_all
6:      pop esi
        pop ebx
        pop edx
        pop ecx
        pop eax

/* [esp] = the flags to return with; eax, edx, ecx the values. */
.Lunlink_all:
        mov ebx, [ebp - 0x1c]
        cmp dword ptr [catch_setup + CS_FRAMES], 0
        je 7f
        mov esi, [catch_log + CL_FRAMES]
        mov esi, [esi]
        mov [ebx + THREAD_CATCH_CHAIN], esi
7:      popfd
        mov esi, [ebp - 4]
        mov esp, ebp
        pop ebp
        ret
        .size catch_probe, . - catch_probe

/* error_snapshot_entry: the start code of a stand-in error function:
   records eax, edx and the thread's catch, foreign-call, binding and
   values words into error_snapshot, counts the call and returns nil, one
   value. */
        .globl error_snapshot_entry
        .type error_snapshot_entry, @function
error_snapshot_entry:
        push ecx
        mov [error_snapshot + 4], eax
        mov [error_snapshot + 8], edx
        mov ecx, [ebx + THREAD_CATCH_CHAIN]
        mov [error_snapshot + 12], ecx
        mov ecx, [ebx + THREAD_CLINK_HEAD]
        mov [error_snapshot + 16], ecx
        mov ecx, [ebx + THREAD_BINDING_TOP]
        mov [error_snapshot + 20], ecx
        mov ecx, [ebx + THREAD_VALUES_LIST]
        mov [error_snapshot + 24], ecx
        inc dword ptr [error_snapshot]
        pop ecx
        mov eax, edi
        mov esi, [ebp - 4]
        clc
        ret
        .size error_snapshot_entry, . - error_snapshot_entry

/* list_length_entry: the start code of a stand-in length function: eax
   = a list; returns the fixnum count of its conses, one value. */
        .globl list_length_entry
        .type list_length_entry, @function
list_length_entry:
        xor ecx, ecx
1:      lea edx, [eax - 1]
        test edx, 7
        jnz 2f
        mov eax, [eax - 0xd]
        add ecx, 4
        jmp 1b
2:      mov eax, ecx
        mov esi, [ebp - 4]
        clc
        ret
        .size list_length_entry, . - list_length_entry

/* bind_then_throw: a Lisp function. Binds the symbol bind_probe_symbol
   bind_probe_count / 4 times (heap cells, fixnum values 0, 1, ...), then
   calls the routine in entry slot bind_probe_slot (throw unless set) with
   eax, edx, ecx as it received them and its caller's frame word -0x18 in
   its own. */
        .globl bind_then_throw
        .type bind_then_throw, @function
bind_then_throw:
        push ebp
        mov ebp, esp
        push esi
        sub esp, 0x1c
        mov [ebp - 8], eax
        mov [ebp - 0xc], edx
        mov [ebp - 0x10], edi
        mov dword ptr [ebp - 0x14], 0
        mov dword ptr [ebp - 0x18], 0
        mov [ebp - 0x1c], ebx
        mov [ebp - 0x20], ecx
        push 0                                  /* ebp-0x24: bindings made, as 4 * k */
        push edi
        push edi
1:      mov eax, [ebp - 0x24]
        cmp eax, [bind_probe_count]
        jae 2f
        mov edx, [bind_probe_symbol]
        mov ecx, 1
        call dword ptr [edi + SLOT_BIND_ONE_SPEC]
        mov ebx, [ebp - 0x1c]
        add dword ptr [ebp - 0x24], 4
        jmp 1b
2:      mov eax, [ebp]
        mov eax, [eax - 0x18]
        mov [ebp - 0x18], eax
        mov eax, [ebp - 8]
        mov edx, [ebp - 0xc]
        mov ecx, [bind_probe_slot]
        test ecx, ecx
        jnz 3f
        mov ecx, SLOT_THROW
3:      add ecx, edi
        push dword ptr [ecx]
        pop dword ptr [ebp - 0x24]              /* the routine; no more bindings */
        mov ecx, [ebp - 0x20]
        call dword ptr [ebp - 0x24]
        int3
        .size bind_then_throw, . - bind_then_throw

/* throwing_callback_code: the code of a foreign-callable function: six
   prologue bytes, then a body that calls the routine in entry slot
   throw_over_setup[3] (throw_over_c_by_returning unless set) with eax,
   edx, stack argument 3 and frame word -0x18 from throw_over_setup[0..2]
   and ecx = 3, or throw_over_setup[4] when set. */
        .globl throwing_callback_code
        .type throwing_callback_code, @function
throwing_callback_code:
        .skip 6, 0x90
        push ebp
        mov ebp, esp
        push esi
        sub esp, 0x1c
        mov [ebp - 0x10], edi
        mov dword ptr [ebp - 0x14], 0
        mov eax, [throw_over_setup + 8]
        mov [ebp - 0x18], eax
        mov [ebp - 0x1c], ebx
        mov dword ptr [ebp - 0x20], 0
        push dword ptr [throw_over_setup + 8]   /* argument 3: the tag */
        push edi
        push edi
        mov ecx, [throw_over_setup + 12]
        test ecx, ecx
        jnz 1f
        mov ecx, SLOT_THROW_OVER_C
1:      add ecx, edi
        mov ecx, [ecx]
        mov [ebp - 0x20], ecx
        mov ecx, [throw_over_setup + 16]
        test ecx, ecx
        jnz 2f
        mov ecx, 3
2:      mov eax, [throw_over_setup]
        mov edx, [throw_over_setup + 4]
        call dword ptr [ebp - 0x20]
        int3
        .size throwing_callback_code, . - throwing_callback_code

/* scavenging_callback_code: the code of a foreign-callable function: six
   prologue bytes, then the scavenging stand-in (scavenging_start). */
        .globl scavenging_callback_code
        .type scavenging_callback_code, @function
scavenging_callback_code:
        .skip 6, 0x90
        jmp scavenging_start
        .size scavenging_callback_code, . - scavenging_callback_code

        .section .rodata
        .balign 4
continuations:
        .long continue0, continue1, continue2

        .bss
        .balign 8
        .globl catch_setup
catch_setup:
        .zero CS_AREA + 4 * AREA_WORDS
        .globl catch_log
catch_log:
        .zero CL_ENTRIES + MAX_ARRIVALS * ARRIVAL_BYTES
        .globl error_snapshot
error_snapshot:
        .zero 28
        .globl bind_probe_symbol
bind_probe_symbol:
        .zero 4
        .globl bind_probe_count
bind_probe_count:
        .zero 4
        .globl bind_probe_slot
bind_probe_slot:
        .zero 4
        .globl throw_over_setup
throw_over_setup:
        .zero 20

        .section .note.GNU-stack, "", @progbits
