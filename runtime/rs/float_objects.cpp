// Float objects from an integer's bit pattern: which bits they take.

#include "runtime/rs/float_objects.h"

#include "runtime/rs/object_layout.h"

extern "C" uint64_t intfloat_bits(lisp::lispval integer) {
  if (lisp::isFixnum(integer)) return static_cast<uint32_t>(lisp::fixnumValue(integer));
  const auto* bignum = lisp::objectOf<lisp::BignumObject>(integer);
  const uint32_t count = lisp::bignumDigitCount(bignum->header);
  const uint16_t* digit = bignum->digits;
  const uint32_t low = digit[0] | (count >= 2 ? uint32_t{digit[1]} << 16 : 0);
  uint32_t high = 0;
  if (count == 3) high = digit[2];
  if (count >= 4) high = digit[2] | uint32_t{digit[3]} << 16;
  return low | uint64_t{high} << 32;
}
