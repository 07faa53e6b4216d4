// The bignum layer: constructors, normalisation, magnitude comparison and the
// digit algorithms on sign-magnitude bignums. Operands are bignum words (the
// callers turn fixnums into temporaries first); results are normalised unless
// a routine says otherwise.
#pragma once

#include "runtime/rs/integer_context.h"

namespace lisp::integers {

lispval new_bignum(IntegerContext& context, lispval countFixnum);
lispval mi_in_bignum(lispval bignum, int32_t value);
lispval copybig(IntegerContext& context, lispval x);
lispval bigcopyp1(IntegerContext& context, lispval x, Digit top);
lispval bigtwoc(lispval x);
lispval bigtwoc1(IntegerContext& context, lispval x);
lispval big_fix_prod(IntegerContext& context, lispval a, lispval b);
lispval prunebig(IntegerContext& context, lispval x);

int c_bignums(lispval a, lispval b);
lispval bignum_add(IntegerContext& context, lispval a, lispval b);
lispval bignum_sub(IntegerContext& context, lispval a, lispval b);
lispval big_add_int(IntegerContext& context, lispval a, lispval b);
lispval big_sub_int(IntegerContext& context, lispval a, lispval b);
lispval bignum_multiply(IntegerContext& context, lispval a, lispval b);

// destination: a bignum to hold the remainder, or nil.
lispval bignum_rem(IntegerContext& context, lispval a, lispval b, lispval destination);
lispval bignum_truncate(IntegerContext& context, lispval a, lispval b);
Values bignum_divide(IntegerContext& context, lispval a, lispval b);

lispval one_bigit_rem(lispval a, uint32_t d);
lispval one_bigit_truncate(IntegerContext& context, lispval a, int32_t d);
Values one_bigit_divide(IntegerContext& context, lispval a, lispval b);
Values one_bigit_divide_aux(IntegerContext& context, lispval a, uint32_t d, uint8_t sign,
                            lispval destination);
Values one_bigit_div_in_place(IntegerContext& context, lispval a, lispval d);

}  // namespace lisp::integers
