/* Code that traps, for the trap tests. Every probe is called through the
   Lisp call harness and builds a runtime frame of its own (so the trapping
   code owns its frame) unless said otherwise. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_UNBOUND_MARKER (-0x29)
#define SLOT_TRAP_UNBOUND (-0x7d)
#define SLOT_TRAP_FUNBOUND 0x357
#define SLOT_TRAP_SIGNAL_HIT (-0x79)
#define SLOT_TRAP_STACK_OVFL 0x43

        .intel_syntax noprefix
        .text

/* trap_probes_begin, trap_probes_end: bound the probes' code, which the
   tests count as Lisp code. */
        .globl trap_probes_begin
        .type trap_probes_begin, @function
trap_probes_begin:

/* UNBOUND_PROBE name, reg, form: compares reg with the unbound marker and
   traps (call form: through the entry slot; int form: int 0x63) with ecx =
   trap_probe_symbol; answers reg in eax. reg = ecx loads the symbol after
   the compare's operand was set up (the handler's value replaces it). */
.macro UNBOUND_PROBE name, reg, form, compare_displacement=NIL_UNBOUND_MARKER
        .globl \name
        .type \name, @function
\name:
        RUNTIME_FRAME
        .ifnc \reg, ecx
        mov ecx, [trap_probe_symbol]
        .endif
        cmp \reg, [edi + \compare_displacement]
        jne 1f
        .ifc \form, call
        call [edi + SLOT_TRAP_UNBOUND]
        .else
        int 0x63
        .endif
1:      mov eax, \reg
        leave
        mov esi, [ebp - 4]
        clc
        ret
        .size \name, . - \name
.endm

        UNBOUND_PROBE trap_probe_unbound_eax_call, eax, call
        UNBOUND_PROBE trap_probe_unbound_edx_call, edx, call
        UNBOUND_PROBE trap_probe_unbound_esi_call, esi, call
        UNBOUND_PROBE trap_probe_unbound_ecx_call, ecx, call
        UNBOUND_PROBE trap_probe_unbound_eax_int, eax, int
        UNBOUND_PROBE trap_probe_unbound_edx_int, edx, int
        UNBOUND_PROBE trap_probe_unbound_esi_int, esi, int
        UNBOUND_PROBE trap_probe_unbound_ecx_int, ecx, int
        /* a compare against another global: nothing is stored */
        UNBOUND_PROBE trap_probe_unbound_other_compare, edx, call, -0x25

/* trap_probe_funbound_call, _int: undefined function, ecx = the symbol. */
        .globl trap_probe_funbound_call
        .type trap_probe_funbound_call, @function
trap_probe_funbound_call:
        RUNTIME_FRAME
        mov ecx, [trap_probe_symbol]
        call [edi + SLOT_TRAP_FUNBOUND]
        leave
        mov esi, [ebp - 4]
        clc
        ret
        .size trap_probe_funbound_call, . - trap_probe_funbound_call

/* trap_probe_signal_hit, trap_probe_signal_hit_int: a pending interrupt
   seen at a safe point; eax passes through. */
        .globl trap_probe_signal_hit
        .type trap_probe_signal_hit, @function
trap_probe_signal_hit:
        RUNTIME_FRAME
        call [edi + SLOT_TRAP_SIGNAL_HIT]
        leave
        mov esi, [ebp - 4]
        clc
        ret
        .size trap_probe_signal_hit, . - trap_probe_signal_hit

        .globl trap_probe_signal_hit_int
        .type trap_probe_signal_hit_int, @function
trap_probe_signal_hit_int:
        RUNTIME_FRAME
        int 0x64
        leave
        mov esi, [ebp - 4]
        clc
        ret
        .size trap_probe_signal_hit_int, . - trap_probe_signal_hit_int

/* trap_probe_stack_ovfl: the stack-overflow trap. */
        .globl trap_probe_stack_ovfl
        .type trap_probe_stack_ovfl, @function
trap_probe_stack_ovfl:
        RUNTIME_FRAME
        call [edi + SLOT_TRAP_STACK_OVFL]
        leave
        mov esi, [ebp - 4]
        clc
        ret
        .size trap_probe_stack_ovfl, . - trap_probe_stack_ovfl

/* CALL_WITH_REGISTERS code, registers: calls the code whose address is in
   the word `code` with eax, ecx, edx from the three words at `registers`,
   and writes them back there afterwards. */
.macro CALL_WITH_REGISTERS code, registers
        mov eax, [\registers]
        mov ecx, [\registers + 4]
        mov edx, [\registers + 8]
        call [\code]
        mov [\registers], eax
        mov [\registers + 4], ecx
        mov [\registers + 8], edx
.endm

/* trap_probe_run: calls the code at trap_probe_code from a runtime frame
   with eax, ecx, edx from trap_probe_registers; answers eax. */
        .globl trap_probe_run
        .type trap_probe_run, @function
trap_probe_run:
        RUNTIME_FRAME
        CALL_WITH_REGISTERS trap_probe_code, trap_probe_registers
        leave
        mov esi, [ebp - 4]
        clc
        ret
        .size trap_probe_run, . - trap_probe_run

/* trap_probe_nesting_entry: a stand-in Lisp function for the nested traps.
   While trap_probe_inner_code is set, the first call clears it and, from a
   runtime frame of its own, calls that code with eax, ecx, edx from
   trap_probe_inner_registers (written back afterwards); then, as every
   later call, it is the recorder with the arguments it was given. */
        .globl trap_probe_nesting_entry
        .type trap_probe_nesting_entry, @function
trap_probe_nesting_entry:
        cmp dword ptr [trap_probe_inner_code], 0
        je 1f
        RUNTIME_FRAME
        push eax
        push edx
        lea eax, [4 * ecx]                      /* the count, as a fixnum */
        push eax
        mov eax, [trap_probe_inner_code]
        mov [trap_probe_inner_running], eax
        mov dword ptr [trap_probe_inner_code], 0
        CALL_WITH_REGISTERS trap_probe_inner_running, trap_probe_inner_registers
        mov ebx, [ebp - 0x1c]
        pop ecx
        shr ecx, 2
        pop edx
        pop eax
        leave
1:      jmp lisp_recorder_entry
        .size trap_probe_nesting_entry, . - trap_probe_nesting_entry

/* trap_probe_exit_entry: a Lisp function that hands its arguments (eax,
   edx, count, the third from the stack) to trap_probe_exit, which ends the
   process. */
        .globl trap_probe_exit_entry
        .type trap_probe_exit_entry, @function
trap_probe_exit_entry:
        mov esi, [esp + 12]
        and esp, -16
        push esi
        push ecx
        push edx
        push eax
        call trap_probe_exit
        .size trap_probe_exit_entry, . - trap_probe_exit_entry

        .globl trap_probes_end
        .type trap_probes_end, @function
trap_probes_end:
        ret

        .data
        .globl trap_probe_symbol, trap_probe_code, trap_probe_registers
        .globl trap_probe_inner_code, trap_probe_inner_registers
trap_probe_symbol: .long 0
trap_probe_code: .long 0
trap_probe_registers: .long 0, 0, 0
trap_probe_inner_code: .long 0
trap_probe_inner_running: .long 0
trap_probe_inner_registers: .long 0, 0, 0

        .section .note.GNU-stack, "", @progbits
