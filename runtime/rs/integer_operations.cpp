// The C++ side of the integer entries: one row per operation number, each
// reading its arguments from the frame record and returning its values.

#include <array>
#include <cstdlib>

#include "runtime/rs/bignum_routines.h"
#include "runtime/rs/integer_routines.h"

namespace lisp::integers {

namespace {

using Operation = Values (*)(IntegerContext&);

lispval arg(IntegerContext& c, int i) {
  return c.argument(i);
}
TemporarySlot selectorSlot(IntegerContext& c, lispval selector) {
  return selector == c.nil() ? TemporarySlot::Second : TemporarySlot::First;
}

// In the order of the operation numbers (integer_frame_layout.h).
constexpr std::array<Operation, INTOP_COUNT> kOperations = {{
    // With entry slots.
    [](IntegerContext& c) { return oneValue(integer_add(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(integer_subtract(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(integer_multiply(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return integer_divide(c, arg(c, 0), arg(c, 1)); },
    [](IntegerContext& c) { return oneValue(integer_compare(c, arg(c, 0), arg(c, 1), arg(c, 2))); },
    [](IntegerContext& c) { return oneValue(shift_left(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(shift_right(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(integer_length(c, arg(c, 0), c.argumentCount())); },
    [](IntegerContext& c) { return oneValue(ldb(c, arg(c, 0), arg(c, 1), arg(c, 2))); },
    [](IntegerContext& c) { return oneValue(logical_and(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(logical_or(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(logical_xor(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(logical_not(c, arg(c, 0))); },
    [](IntegerContext& c) { return oneValue(integer_truncate(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(integer_rem(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(big_extract(c, arg(c, 0), arg(c, 1), arg(c, 2))); },
    [](IntegerContext& c) { return oneValue(new_bignum(c, arg(c, 0))); },
    // Argument 2 is a raw machine integer; nothing allocates meanwhile.
    [](IntegerContext& c) {
      return oneValue(mi_in_bignum(arg(c, 0), static_cast<int32_t>(arg(c, 1))));
    },
    [](IntegerContext& c) {
      return oneValue(isFixnum(arg(c, 0)) ? arg(c, 0) : copybig(c, arg(c, 0)));
    },
    [](IntegerContext& c) { return oneValue(big_fix_prod(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(prunebig(c, arg(c, 0))); },
    [](IntegerContext& c) {
      const lispval destination = c.argumentCount() >= 3 ? arg(c, 2) : c.nil();
      if (isFixnum(arg(c, 0)) || isFixnum(arg(c, 1)))
        return oneValue(integer_rem(c, arg(c, 0), arg(c, 1)));
      return oneValue(bignum_rem(c, arg(c, 0), arg(c, 1), destination));
    },
    [](IntegerContext& c) {
      if (isFixnum(arg(c, 0))) return integer_divide(c, arg(c, 0), arg(c, 1));
      return one_bigit_div_in_place(c, arg(c, 0), arg(c, 1));
    },
    // Without entry slots (tests reach them through integer_operation);
    // their raw integer arguments come as fixnums.
    [](IntegerContext& c) {
      return oneValue(bigcopyp1(c, arg(c, 0), static_cast<Digit>(fixnumValue(arg(c, 1)))));
    },
    [](IntegerContext& c) { return oneValue(bigtwoc(arg(c, 0))); },
    [](IntegerContext& c) { return oneValue(bigtwoc1(c, arg(c, 0))); },
    [](IntegerContext& c) {
      return oneValue(static_cast<lispval>(c_bignums(arg(c, 0), arg(c, 1))));
    },
    [](IntegerContext& c) { return oneValue(bignum_add(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(bignum_sub(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(big_add_int(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(big_sub_int(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(bignum_multiply(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return oneValue(bignum_truncate(c, arg(c, 0), arg(c, 1))); },
    [](IntegerContext& c) { return bignum_divide(c, arg(c, 0), arg(c, 1)); },
    [](IntegerContext& c) {
      return oneValue(one_bigit_rem(arg(c, 0), static_cast<uint32_t>(fixnumValue(arg(c, 1)))));
    },
    [](IntegerContext& c) {
      return oneValue(one_bigit_truncate(c, arg(c, 0), fixnumValue(arg(c, 1))));
    },
    [](IntegerContext& c) { return one_bigit_divide(c, arg(c, 0), arg(c, 1)); },
    [](IntegerContext& c) {
      return oneValue(fixnum_in_big(c, arg(c, 0), selectorSlot(c, arg(c, 1))));
    },
    [](IntegerContext& c) {
      return oneValue(replace_temp_bignum(c, arg(c, 0), selectorSlot(c, arg(c, 1)), arg(c, 2)));
    },
}};

}  // namespace

}  // namespace lisp::integers

// Called by the assembly entries inside a foreign-call record: runs
// operation `operation` on the frame record's arguments, stores its values
// in the record and returns how many there are.
extern "C" uint32_t integer_operation_native(uint32_t operation,
                                             lisp::integers::IntegerFrame* frame, lisp::lispval nil,
                                             lisp::lispval thread) {
  using namespace lisp::integers;
  if (operation >= INTOP_COUNT) std::abort();
  IntegerContext context(*frame, nil, thread);
  Values values;
  try {
    values = kOperations[operation](context);
  } catch (const Abandoned& abandoned) {
    values = oneValue(abandoned.value);
  }
  frame->values[0] = values.first;
  frame->values[1] = values.count == 2 ? values.second : nil;
  return static_cast<uint32_t>(values.count);
}
