// The native half of intfloat_to_float.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// The 64 bits a float made from integer i takes, without numeric conversion:
// low word the fixnum's value or the bignum's digits 0 and 1 (digit 0 alone
// for a one-digit bignum, whose second half-word is padding); high word 0
// for a fixnum or a bignum of up to two digits, digit 2 for three digits,
// digits 2 and 3 for more. A bignum's sign is ignored.
uint64_t intfloat_bits(lisp::lispval integer);
}
