// The runtime's allocation routines (assembly): conses and the consing mode,
// objects in the other-object new space, and the boxing of machine integers.
// All but the native entries follow the Lisp register conventions.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

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

// Vectors of every type and with special roles (vector_construction.S).
void make_svector();
void new_mv_vector();
void new_code_vector();
void new_old_code_vector();
void new_closure_vector();
void new_weak_vector();
void new_weak_key_vector();
void new_finalization();
void shrink_svector();
void shrink_lvector();

// Symbols, locatives, functions and closures (function_construction.S).
void new_symbol();
void new_locative();
void new_function();
void new_compiled_function();
void new_byte_compiled_function();
void make_interp_function_obj();
void new_closure();
void new_special_closure();
void make_spec_function_obj();
void make_macro_function_obj();

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

// Native entries (cdecl) over the constructors above.
lisp::lispval nweakvec(uint32_t length);  // new_weak_vector of the fixnum of length
lisp::lispval mkmacro(lisp::lispval expander);  // make_macro_function_obj
}
