// Generic integer arithmetic. A fixnum that meets a bignum becomes a
// temporary bignum (BignumOperand) for the length of the operation; every
// result leaves through prunebig or is a fixnum by construction.

#include "runtime/rs/integer_routines.h"

#include <algorithm>

#include "runtime/rs/bignum_routines.h"

namespace lisp::integers {

namespace bd = bignum_digits;

namespace {

constexpr int32_t kErrorDivisionByZero = 17;
constexpr int32_t kErrorBadField = 36;  // a size or position that is not a non-negative fixnum
constexpr int32_t kLargestDigitDivisor = 0xffff;
constexpr int32_t kSmallestTruncateDivisor = -0xfffe;
constexpr uint32_t kFixnumBits = 29;  // value bits of a non-negative fixnum

bool nonNegativeFixnum(lispval word) {
  return isFixnum(word) && fixnumValue(word) >= 0;
}

uint32_t magnitudeOf(int32_t value) {
  return value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
}

// The sign-flipped integer: a fixnum's negation (boxed when it leaves the
// range), or the bignum itself with its sign byte flipped.
lispval negateInPlace(IntegerContext& context, lispval x) {
  if (isFixnum(x)) return context.boxSigned(-fixnumValue(x));
  BignumRef big(x);
  big.setSign(big.sign() ^ kNegativeSign);
  return x;
}

// ---- addition and subtraction ----

lispval addOrSubtract(IntegerContext& context, lispval a, lispval b, bool subtract) {
  if (isFixnum(a) && isFixnum(b)) {
    const int32_t sum =
        subtract ? fixnumValue(a) - fixnumValue(b) : fixnumValue(a) + fixnumValue(b);
    return fitsFixnum(sum) ? makeFixnum(sum) : context.boxSigned(sum);
  }
  BignumOperand x(context, a, TemporarySlot::First);
  BignumOperand y(context, b, TemporarySlot::First);
  return subtract ? bignum_sub(context, x.get(), y.get()) : bignum_add(context, x.get(), y.get());
}

// ---- division ----

enum class Division { Both, Quotient, Remainder };

Values divide(IntegerContext& context, lispval a, lispval b, Division wanted) {
  if (b == makeFixnum(0)) {
    // The error function's value is the result; dividing on would trap.
    return twoValues(context.signalErrorWithDatum(kErrorDivisionByZero, a), context.nil());
  }
  if (isFixnum(a) && isFixnum(b)) {
    const int32_t x = fixnumValue(a), y = fixnumValue(b);
    if (x == kMostNegativeFixnum && y == -1) {
      // The one quotient outside the fixnum range: +2^29.
      const lispval quotient = context.allocateBignum(2);
      BignumRef big(quotient);
      big.digits()[0] = 0;
      big.digits()[1] = 0x2000;
      return twoValues(quotient, makeFixnum(0));
    }
    return twoValues(makeFixnum(x / y), makeFixnum(x % y));
  }
  if (!isFixnum(a) && isFixnum(b)) {
    const int32_t d = fixnumValue(b);
    if (wanted == Division::Quotient && d >= kSmallestTruncateDivisor && d <= kLargestDigitDivisor)
      return twoValues(one_bigit_truncate(context, a, d), context.nil());
    if (wanted == Division::Remainder && d >= 0 && d <= kLargestDigitDivisor)
      return twoValues(context.nil(), one_bigit_rem(a, static_cast<uint32_t>(d)));
  }
  BignumOperand x(context, a, TemporarySlot::First);
  BignumOperand y(context, b, TemporarySlot::First);
  switch (wanted) {
    case Division::Quotient:
      return twoValues(bignum_truncate(context, x.get(), y.get()), context.nil());
    case Division::Remainder:
      return twoValues(context.nil(), bignum_rem(context, x.get(), y.get(), context.nil()));
    case Division::Both:
      break;
  }
  return bignum_divide(context, x.get(), y.get());
}

// ---- fields and shifts ----

// floor(value / 2^position) mod 2^size of a non-negative fixnum value.
lispval positiveFixnumField(uint32_t value, uint32_t position, uint32_t size) {
  if (position > kFixnumBits) return makeFixnum(0);
  uint32_t field = value >> position;
  if (size < kFixnumBits) field &= (1u << size) - 1;
  return makeFixnum(static_cast<int32_t>(field));
}

// y mod 2^size for an integer y that is a bignum or a negative fixnum.
lispval maskToSize(IntegerContext& context, lispval y, uint32_t size) {
  BignumOperand operand(context, y, TemporarySlot::First);
  const bool negative = operand.bignum().negative();
  Root source(context, operand.get());
  Digit fill = 0;
  if (negative) {
    source.set(bigtwoc(copybig(context, operand.get())));
    fill = bd::kAllOnesDigit;
  }
  operand.giveBack();
  // A non-negative value has no bits above its digits: the field needs no
  // more digits than the value, however large the size.
  const uint32_t count =
      negative ? (size + 15) / 16 : std::min((size + 15) / 16, source.bignum().count());
  const lispval result = context.allocateBignum(count);
  BignumRef from = source.bignum(), to(result);
  const uint32_t copied = std::min(from.count(), count);
  for (uint32_t i = 0; i < copied; ++i) to.digits()[i] = from.digit(i);
  for (uint32_t i = copied; i < count; ++i) to.digits()[i] = fill;
  if (count == (size + 15) / 16 && size % 16 != 0)
    to.digits()[count - 1] &= static_cast<Digit>((1u << (size % 16)) - 1);
  return prunebig(context, result);
}

// ---- logical operations ----

enum class Logical { And, Or, Xor };

template <class Word>
Word combine(Logical op, Word x, Word y) {
  switch (op) {
    case Logical::And:
      return x & y;
    case Logical::Or:
      return x | y;
    case Logical::Xor:
      break;
  }
  return x ^ y;
}

// The two's complement digits of a negative operand (a fresh copy; its
// digits above the copy's count are all ones), or the operand itself.
lispval twosComplementForm(IntegerContext& context, lispval operand, Logical op) {
  if (!BignumRef(operand).negative()) return operand;
  const lispval copy =
      op == Logical::Or ? copybig(context, operand) : bigcopyp1(context, operand, 0);
  return bigtwoc(copy);
}

lispval logical(IntegerContext& context, lispval a, lispval b, Logical op) {
  if (isFixnum(a) && isFixnum(b)) return combine(op, a, b);  // the tag bits stay 0
  if (op == Logical::And) {
    // A digit-sized fixnum against a non-negative bignum needs only digit 0.
    const lispval fixnum = isFixnum(a) ? a : isFixnum(b) ? b : context.nil();
    const lispval bignum = isFixnum(a) ? b : a;
    if (fixnum != context.nil() && fixnumValue(fixnum) >= 0 && fixnumValue(fixnum) <= 0xffff &&
        !BignumRef(bignum).negative())
      return fixnum & makeFixnum(BignumRef(bignum).digit(0));
  }
  BignumOperand first(context, a, TemporarySlot::First);
  BignumOperand second(context, b, TemporarySlot::Second);
  const bool firstNegative = first.bignum().negative();
  const bool secondNegative = second.bignum().negative();
  Root x(context, twosComplementForm(context, first.get(), op));
  Root y(context, twosComplementForm(context, second.get(), op));
  const bool resultNegative = combine(op, firstNegative, secondNegative);
  const uint32_t count = std::max(x.bignum().count(), y.bignum().count());
  const lispval resultWord = context.allocateBignum(count);
  BignumRef xs = x.bignum(), ys = y.bignum(), result(resultWord);
  const Digit xFill = firstNegative ? bd::kAllOnesDigit : 0;
  const Digit yFill = secondNegative ? bd::kAllOnesDigit : 0;
  for (uint32_t i = 0; i < count; ++i) {
    const Digit dx = i < xs.count() ? xs.digit(i) : xFill;
    const Digit dy = i < ys.count() ? ys.digit(i) : yFill;
    result.digits()[i] = combine<Digit>(op, dx, dy);
  }
  lispval value = resultWord;
  if (resultNegative) {
    // Back to a magnitude; all-zero digits stand for -2^(16 count), which
    // needs one more digit.
    result.setSign(kNegativeSign);
    value = bigtwoc1(context, resultWord);
  }
  first.giveBack();
  second.giveBack();
  return prunebig(context, value);
}

}  // namespace

lispval integer_add(IntegerContext& context, lispval a, lispval b) {
  return addOrSubtract(context, a, b, false);
}

lispval integer_subtract(IntegerContext& context, lispval a, lispval b) {
  return addOrSubtract(context, a, b, true);
}

lispval integer_multiply(IntegerContext& context, lispval a, lispval b) {
  if (a == makeFixnum(0) || b == makeFixnum(0)) return makeFixnum(0);
  if (isFixnum(a) && isFixnum(b)) {
    const int64_t product = int64_t{fixnumValue(a)} * fixnumValue(b);
    return fitsFixnum(product) ? makeFixnum(static_cast<int32_t>(product))
                               : big_fix_prod(context, a, b);
  }
  if (isFixnum(a) != isFixnum(b)) {
    const lispval fixnum = isFixnum(a) ? a : b;
    const lispval bignum = isFixnum(a) ? b : a;
    const int32_t factor = fixnumValue(fixnum);
    if (factor == 1) return bignum;
    if (factor > 1 && factor <= 64 && (factor & (factor - 1)) == 0)
      return shift_left(context, bignum, makeFixnum(__builtin_ctz(static_cast<uint32_t>(factor))));
  }
  BignumOperand x(context, a, TemporarySlot::First);
  BignumOperand y(context, b, TemporarySlot::First);
  return bignum_multiply(context, x.get(), y.get());
}

Values integer_divide(IntegerContext& context, lispval a, lispval b) {
  return divide(context, a, b, Division::Both);
}

lispval integer_truncate(IntegerContext& context, lispval a, lispval b) {
  return divide(context, a, b, Division::Quotient).first;
}

lispval integer_rem(IntegerContext& context, lispval a, lispval b) {
  const Values values = divide(context, a, b, Division::Remainder);
  return b == makeFixnum(0) ? values.first : values.second;
}

lispval integer_compare(IntegerContext& context, lispval a, lispval b, lispval op) {
  if (op != makeFixnum(0) && op != makeFixnum(1) && op != makeFixnum(2)) return context.nil();
  const auto answer = [&](bool holds) { return holds ? context.t() : context.nil(); };
  const bool aFixnum = isFixnum(a), bFixnum = isFixnum(b);
  if (op == makeFixnum(0)) {
    if (aFixnum || bFixnum) return answer(a == b);
    return answer(BignumRef(a).sign() == BignumRef(b).sign() && c_bignums(a, b) == 0);
  }
  const bool orEqual = op == makeFixnum(2);
  if (aFixnum && bFixnum)
    return answer(orEqual ? fixnumValue(a) <= fixnumValue(b) : fixnumValue(a) < fixnumValue(b));
  if (aFixnum) return answer(!BignumRef(b).negative());
  if (bFixnum) return answer(BignumRef(a).negative());
  const bool aNegative = BignumRef(a).negative(), bNegative = BignumRef(b).negative();
  if (aNegative != bNegative) return answer(aNegative);
  const int order = aNegative ? -c_bignums(a, b) : c_bignums(a, b);
  return answer(orEqual ? order <= 0 : order < 0);
}

lispval shift_left(IntegerContext& context, lispval x, lispval n) {
  // A count that is not a non-negative fixnum would index below the digits.
  if (!nonNegativeFixnum(n)) return context.signalError(kErrorBadField);
  if (x == makeFixnum(0)) return x;
  const uint32_t shift = static_cast<uint32_t>(fixnumValue(n));
  if (isFixnum(x) && shift < 30) {
    const int32_t above = static_cast<int32_t>(x) >> (31 - shift);
    if (above == 0 || above == -1) return x << shift;
  }
  BignumOperand operand(context, x, TemporarySlot::First);
  const uint32_t words = shift / 16, bits = shift % 16;
  const uint32_t count = operand.bignum().count();
  const lispval resultWord = context.allocateBignum(count + words + (bits > 0 ? 1 : 0));
  BignumRef from = operand.bignum(), result(resultWord);
  result.setSign(from.sign());
  for (uint32_t i = 0; i < words; ++i) result.digits()[i] = 0;
  const uint32_t carry = bd::shiftLeftBits(from.digits(), count, bits, result.digits() + words);
  if (bits > 0) result.digits()[words + count] = static_cast<Digit>(carry);
  operand.giveBack();
  return prunebig(context, resultWord);
}

lispval shift_right(IntegerContext& context, lispval x, lispval n) {
  if (!nonNegativeFixnum(n)) return context.signalError(kErrorBadField);
  if (x == makeFixnum(0)) return x;
  const uint32_t shift = static_cast<uint32_t>(fixnumValue(n));
  if (isFixnum(x)) return (static_cast<int32_t>(x) >> std::min(shift, 31u)) & ~3u;
  const uint32_t words = shift / 16, bits = shift % 16;
  BignumRef big(x);
  const bool negative = big.negative();
  if (words >= big.count()) return makeFixnum(negative ? -1 : 0);
  if (!negative && big.count() == 2) {
    const uint32_t value = big.lowWord() >> shift;
    return value < (1u << kFixnumBits) ? makeFixnum(static_cast<int32_t>(value))
                                       : context.boxUnsigned(value);
  }
  Root source(context, x);
  if (negative) source.set(bigtwoc(bigcopyp1(context, x, 0)));
  const uint32_t count = source.bignum().count() - words;
  const lispval resultWord = context.allocateBignum(count);
  BignumRef from = source.bignum(), result(resultWord);
  bd::shiftRightBits(from.digits() + words, count, bits, negative ? bd::kAllOnesDigit : 0,
                     result.digits());
  if (negative) {
    bigtwoc(resultWord);
    result.setSign(kNegativeSign);
  }
  return prunebig(context, resultWord);
}

lispval integer_length(IntegerContext& context, lispval x, int argumentCount) {
  if (isFixnum(x)) {
    const int32_t value = fixnumValue(x);
    return makeFixnum(
        static_cast<int32_t>(bd::bitLength(static_cast<uint32_t>(value < 0 ? -1 - value : value))));
  }
  lispval measured = x;
  if (argumentCount == 1 && BignumRef(x).negative() && BignumRef(x).digit(0) == 0) {
    // The length of |x| - 1, which differs from |x|'s only here.
    measured = integer_add(context, x, makeFixnum(1));
    if (isFixnum(measured))
      return makeFixnum(static_cast<int32_t>(bd::bitLength(magnitudeOf(fixnumValue(measured)))));
  }
  BignumRef big(measured);
  const uint32_t n = bd::significantCount(big.digits(), big.count());
  if (n == 0) return makeFixnum(0);
  return makeFixnum(static_cast<int32_t>(16 * (n - 1) + bd::bitLength(big.digit(n - 1))));
}

lispval ldb(IntegerContext& context, lispval x, lispval position, lispval size) {
  // Decision: error 36's value is the answer; going on with such a field
  // would take its bits from below or far beyond the digits.
  if (!nonNegativeFixnum(position) || !nonNegativeFixnum(size))
    return context.signalError(kErrorBadField);
  const uint32_t p = static_cast<uint32_t>(fixnumValue(position));
  const uint32_t s = static_cast<uint32_t>(fixnumValue(size));
  if (s == 0 || x == makeFixnum(0)) return makeFixnum(0);
  if (isFixnum(x) && fixnumValue(x) > 0)
    return positiveFixnumField(static_cast<uint32_t>(fixnumValue(x)), p, s);

  Root shifted(context, context.nil());
  {
    BignumOperand operand(context, x, TemporarySlot::First);
    const BignumRef big = operand.bignum();
    if (!big.negative() && p % 16 + s <= 16 && p + s <= 16 * big.count())
      return positiveFixnumField(big.digit(p / 16) >> (p % 16), 0, s);
    shifted.set(p == 0 ? copybig(context, operand.get())
                       : shift_right(context, operand.get(), position));
  }
  // A negative shifted value is masked as a bignum: the fixnum path would
  // keep its sign bits for sizes of 29 and more.
  if (isFixnum(shifted.get()) && fixnumValue(shifted.get()) >= 0)
    return positiveFixnumField(static_cast<uint32_t>(fixnumValue(shifted.get())), 0, s);
  return maskToSize(context, shifted.get(), s);
}

lispval big_extract(IntegerContext& context, lispval x, lispval position, lispval size) {
  if (!nonNegativeFixnum(position) || !nonNegativeFixnum(size))
    return context.signalError(kErrorBadField);
  const uint32_t p = static_cast<uint32_t>(fixnumValue(position));
  const uint32_t s = static_cast<uint32_t>(fixnumValue(size));
  if (s == 0 || x == makeFixnum(0)) return makeFixnum(0);
  BignumOperand operand(context, x, TemporarySlot::First);
  const BignumRef big = operand.bignum();
  // A digit index past the digits reads as zero instead of past the object.
  const uint32_t digit = p / 16 < big.count() ? big.digit(p / 16) : 0;
  const uint32_t mask = s >= 32 ? 0xffffffffu : 0xffffffffu >> (32 - s);
  return makeFixnum(static_cast<int32_t>((digit >> (p % 16)) & mask));
}

lispval logical_and(IntegerContext& context, lispval a, lispval b) {
  return logical(context, a, b, Logical::And);
}

lispval logical_or(IntegerContext& context, lispval a, lispval b) {
  return logical(context, a, b, Logical::Or);
}

lispval logical_xor(IntegerContext& context, lispval a, lispval b) {
  return logical(context, a, b, Logical::Xor);
}

lispval logical_not(IntegerContext& context, lispval x) {
  if (isFixnum(x)) return ~x & ~3u;
  // -x - 1 is the negation of x + 1.
  return negateInPlace(context, integer_add(context, x, makeFixnum(1)));
}

}  // namespace lisp::integers
