// The runtime's allocation routines (assembly): conses and the consing mode,
// objects in the other-object new space, and the boxing of machine integers.
// All but the native entries follow the Lisp register conventions.
#pragma once

#include <cstdint>

extern "C" {
// Conses and the consing mode (cons_allocation.S).
void qcons();
void tcons();
void mcons();
void lisp_cons();
void lisp_list();
void restify2();
void set_annotating_consing();
void set_normal_consing();

// Objects with a header word (object_allocation.S).
void new_other();
void new_simple_vector();
void new_simple_string();
void vector();
void new_struct();
void new_double_float();
void new_single_float();
void newbignum();  // eax = digit count (raw)
void fixnum_or_bignum();

// Integer boxing (bignum_boxing.S).
void mi_in_new_bignum();
void box_to_new_bignum();
void unsigned_fixnum_or_bignum();

// The bounds of the stretch of runtime code from the write barrier through
// `vector`; they only return.
void start_of_gc_runtime();
void end_of_gc_runtime();

// Native entry (cdecl): one locked compare-and-exchange of the word at
// `address`; 1 when it held `expected` and now holds `desired`, else 0.
int smp_conditional_update_nat(uint32_t* address, uint32_t expected, uint32_t desired);
}
