// The runtime's double-precision elementary functions and float helpers:
// native functions (cdecl) that mathlib calls and that Lisp code reaches by
// name through the native symbol table.
//
// The names that the C library also defines (copysign, scalb, log1p, sqrtf,
// acosh, asinh, atanh) carry an rs_ prefix here; the native symbol table
// maps the system's names to them.
#pragma once

#include <cstdint>

extern "C" {
int lisp_finite(double x);
double lisp_logb(double x);
double lisp_scalb(double x, int n);
double rs_scalb(double x, int n);
double rs_copysign(double x, double y);
double lisp_drem(double x, double p);
double lisp_log(double x);
void lisp_log__D(double x, double* headThenTail);
double lisp_exp(double x);
double lisp_exp__D(double x, double c);
double lisp_pow(double x, double y);
double lisp_pow_P(double x, double y);
double rs_log1p(double x);
float rs_sqrtf(float x);
double rs_acosh(double x);
double rs_asinh(double x);
double rs_atanh(double x);
double whypot(double x, double y);
// Stores the double-precision control word in both halves of the word at
// block and the single-precision one in both halves of the word at block +
// 0x48 (start-up passes nil-0x2fd).
void set_glob_float_constants(uint32_t* block);
}
