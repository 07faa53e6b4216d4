// The start-up module's runtime routines and register-level helpers
// (startup_routines.S). Each follows the register contract in its comment
// there; none is callable from C++.
#pragma once

extern "C" {
void dumplisp();
void lispexit();
void set_boot_mode();
void get_pure_string();
void write_pure_string();
void where_am_i();
void where_am_i_2();
void where_am_i_5();
void save_fcw();
void trampsig();
void get_funobj();
void get_retaddr();
}
