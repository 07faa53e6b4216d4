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

// The wrong-argument-count handler, resumed into by the trap dispatcher.
void argerr();
}
