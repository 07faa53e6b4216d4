// The runtime routines on the calling path of compiled code (assembly,
// Lisp register conventions): keyword scanning, apply, and the entries that
// stand in a function's start word when it cannot run its own code.
#pragma once

extern "C" {
void kwdscan();
void kwdscanb();
void lisp_apply();
void applyn();
void fwrap_apply();

// Start-word routines: a call in progress enters them in place of the
// function's own code.
void undeffunc();
void illeg_macro_or_spec_call();
void invalid_fun();
void comp_to_interp();
void comp_to_byte();
void fwrap_start();

void count_call();
void function_fault_entry1();
void function_fault_entry2();

// Runtime routines of the calling path.
void flav_send();
void restore_codevector();
void residentfunction();
void dump_codevectors();
void original_fcn_codevec();

// The wrong-argument-count handler, resumed into by the trap dispatcher.
void argerr();
}
