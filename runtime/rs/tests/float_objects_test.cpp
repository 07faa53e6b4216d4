// intfloat_to_float through its entry slot: a single-float or double-float
// object whose bits come from a fixnum or a bignum of any length, unchanged
// even where they spell a signalling NaN.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>

#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"

namespace {

using gc_test::at;
using lisp::lispval;
using lisp::makeFixnum;
namespace tc = lisp::type_code;

constexpr int32_t kIntfloatToFloat = 0x1cf;

class IntfloatToFloat : public gc_test::LispConstructorHeap {
 protected:
  // A bignum of the given 16-bit digits, least significant first.
  lispval bignum(std::initializer_list<uint16_t> digits, uint8_t sign = 0) {
    auto* storage = static_cast<uint32_t*>(objects_->allocate(16));
    storage[0] = lisp::bignumHeader(static_cast<uint32_t>(digits.size()), sign);
    auto* digit = reinterpret_cast<uint16_t*>(storage + 1);
    for (uint16_t d : digits) *digit++ = d;
    if (digits.size() % 2) *digit = 0xdead;  // padding half-word: not a digit
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  lispval floatOf(lispval integer, lispval selector) {
    return make(setupFor(kIntfloatToFloat, integer, selector, 2));
  }
};

struct Case {
  const char* name;
  bool isDouble;
  uint64_t bits;
};

TEST_F(IntfloatToFloat, TheFloatTakesTheIntegersBitsUnconverted) {
  const lispval one = makeFixnum(1);
  const struct {
    Case c;
    lispval integer;
    lispval selector;
  } rows[] = {
      {{"single 1.0 from a two-digit bignum", false, 0x3f800000},
       bignum({0x0000, 0x3f80}),
       makeFixnum(0)},
      {{"double 1.0 from a four-digit bignum", true, 0x3ff0000000000000},
       bignum({0, 0, 0x0000, 0x3ff0}),
       one},
      {{"double from fixnum -1", true, 0x00000000ffffffff}, makeFixnum(-1), one},
      {{"single from fixnum 7", false, 7}, makeFixnum(7), makeFixnum(0)},
      {{"single from a negative bignum", false, 0x7f800001},
       bignum({0x0001, 0x7f80}, 0x80),
       makeFixnum(0)},
      {{"double from a three-digit bignum", true, 0x0000000500040003}, bignum({3, 4, 5}), nil()},
      {{"signalling NaN double", true, 0x7ff0000000000001}, bignum({1, 0, 0, 0x7ff0}), one},
      {{"double from a one-digit bignum", true, 0x9}, bignum({9}), one},
  };
  for (const auto& row : rows) {
    const lispval result = floatOf(row.integer, row.selector);
    if (row.c.isDouble) {
      EXPECT_EQ(header(result) & 0xff, tc::DoubleFloat) << row.c.name;
      const uint64_t bits = at(result - 0xa) | uint64_t{at(result - 0x6)} << 32;
      EXPECT_EQ(bits, row.c.bits) << row.c.name;
    } else {
      EXPECT_EQ(header(result) & 0xff, tc::SingleFloat) << row.c.name;
      EXPECT_EQ(at(result - 0xe), row.c.bits) << row.c.name;
    }
  }
}

}  // namespace
