// Generic integer arithmetic on fixnums and bignums alike: the dispatch on
// operand kinds, the fixnum fast paths, the overflow paths into bignums and
// the two's complement view of sign-magnitude bignums. Results are always
// normalised.
#pragma once

#include "runtime/rs/integer_context.h"

namespace lisp::integers {

lispval integer_add(IntegerContext& context, lispval a, lispval b);
lispval integer_subtract(IntegerContext& context, lispval a, lispval b);
lispval integer_multiply(IntegerContext& context, lispval a, lispval b);
Values integer_divide(IntegerContext& context, lispval a, lispval b);
lispval integer_truncate(IntegerContext& context, lispval a, lispval b);
lispval integer_rem(IntegerContext& context, lispval a, lispval b);
lispval integer_compare(IntegerContext& context, lispval a, lispval b, lispval op);
lispval shift_left(IntegerContext& context, lispval x, lispval n);
lispval shift_right(IntegerContext& context, lispval x, lispval n);
lispval integer_length(IntegerContext& context, lispval x, int argumentCount);
lispval ldb(IntegerContext& context, lispval x, lispval position, lispval size);
lispval big_extract(IntegerContext& context, lispval x, lispval position, lispval size);
lispval logical_and(IntegerContext& context, lispval a, lispval b);
lispval logical_or(IntegerContext& context, lispval a, lispval b);
lispval logical_xor(IntegerContext& context, lispval a, lispval b);
lispval logical_not(IntegerContext& context, lispval x);

}  // namespace lisp::integers
