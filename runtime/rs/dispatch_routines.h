// The service dispatchers and float-object routines of compiled code
// (assembly, Lisp register conventions), reached through the entry table.
#pragma once

extern "C" {
void mathlib();            // eax = fixnum code, edx = a1, stacked a2
void filesys();            // eax = fixnum code, edx = a1, stacked a2 .. a5
void intfloat_to_float();  // eax = integer, edx = selector
void lisp_syscall();       // eax = fixnum code, edx = A1, stacked A2 .. A4 (A8)
void lisp_syscall_aux();
void lisp_syscall_aux2();
}
