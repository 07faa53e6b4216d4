// Trap entries and the handlers the trap dispatcher makes trapping code
// resume in (assembly, Lisp register conventions; see trap_entries.S and
// trap_handlers.S).
#pragma once

#include <cstdint>

extern "C" {
// The nine trap entries: called with the trapping registers intact.
void trap_wnaerr();
void trap_funbound();
void trap_unbound();
void trap_signal_hit();
void trap_stack_ovfl();
void trap_ffunbound();
void trap_sym_cons();
void trap_unordered();
void trap_cons();

// Handlers, entered by resuming a trap record.
void argerr();
void handle_saving_context();
void unbound();
void ffunbound();
void unordered();
void stack_ov();
void lisp_breakpoint();
void process_sig1();
void urgent_interrupt();
// Redirected to with the interrupted eip pushed; they return there.
void handle_sig_from_c();
void handle_sig_from_c_leaf();
void urgent_interrupt_from_c();
void urgent_interrupt_from_c_leaf();

// Bounds of the entries' and the handlers' own code (the entries start at
// trap_wnaerr, argerr's code at argerr): a thread there may have trapped
// without its handler having taken in the thread's trap words yet.
void trap_entries_end();
void trap_handlers_begin();
void trap_handlers_end();
void argerr_end();

// Runtime routines.
void process_sig();
void process_sig_2();
void get_signal();
void post_sig();
void gintchk();
void sintchk();
// Frameless leaf: eax = object, edx = address -> eax = t or nil.
void func_subsumes_pc();

// Native: the pending-interrupt word; the interrupt-check word.
uint32_t interrupt_pending_p();
uint32_t sy_gintchk();
uint32_t sy_sintchk(uint32_t word);
}
