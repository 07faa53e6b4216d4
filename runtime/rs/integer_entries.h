// Entries of the integer and bignum routines (integer_entries.S): Lisp
// register conventions, reached through the runtime entry table.
#pragma once

extern "C" {
void integer_add();
void integer_subtract();
void integer_multiply();
void integer_divide();
void integer_compare();
void shift_left();
void shift_right();
void integer_length();
void ldb();
void logical_and();
void logical_or();
void logical_xor();
void logical_not();
void integer_truncate();
void integer_rem();
void big_extract();
void new_bignum();
void mi_in_bignum();  // edx = raw machine integer
void copybig();
void big_fix_prod();
void prunebig();
void bignum_rem();
void one_bigit_div_in_place();
// The shared body: esi = operation number (integer_frame_layout.h).
void integer_operation();
}
