// The bignum layer over the digit loops. Every routine that allocates holds
// its operands in Roots and takes BignumRef views only after its last
// allocation (see integer_context.h).

#include "runtime/rs/bignum_routines.h"

#include <algorithm>

#include "runtime/gc/heap_layout.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/nil_block.h"

namespace lisp::integers {

namespace bd = bignum_digits;

namespace {

constexpr int32_t kErrorDivisionByZero = 17;
constexpr int32_t kErrorBadBignum = 22;
constexpr uint32_t kMaxDigitDivisor = 0xffff;
constexpr uint32_t kMostPositiveMagnitude = 0x1fffffff;  // 2^29 - 1
constexpr uint32_t kMostNegativeMagnitude = 0x20000000;  // 2^29
// Freed tails below the new-space boundary become an object of this type
// whose length field covers the tail.
constexpr uint32_t kFillerType = 0x62;
constexpr uint32_t kNewSpaceFillerStamp = 0xffffffff;
constexpr uint32_t kDivisorScratchHeadroom = 10;

// Length of a bignum of `count` digits in 8-byte units.
constexpr uint32_t cellsFor(uint32_t count) {
  return (count + 5) / 4;
}

lispval signedFixnum(bool negative, uint32_t magnitude) {
  return makeFixnum(negative ? -static_cast<int32_t>(magnitude) : static_cast<int32_t>(magnitude));
}

// Sets the count to `count` (no more than it is) and formats the freed
// 8-byte units so that a walk of the heap steps over them.
void shrinkTo(IntegerContext& context, BignumRef big, uint32_t count) {
  const uint32_t cells = cellsFor(big.count());
  const uint32_t newCells = cellsFor(count);
  if (newCells < cells) {
    const uint32_t tail = big.headerAddress() + 8 * newCells;
    const uint32_t tailBytes = 8 * (cells - newCells);
    uint32_t* words = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(tail));
    if (big.headerAddress() < context.global(nil_block::global::kNewSpaceBoundary)) {
      words[0] = ((tailBytes - 4) << 8) | kFillerType;
    } else {
      words[0] = tailBytes;
      words[1] = kNewSpaceFillerStamp;
    }
  }
  big.setCount(count);
}

// A bignum whose count is at least 1 and whose top digit is non-zero.
bool normalisedDivisor(BignumRef b) {
  return b.count() > 0 && b.digit(b.count() - 1) != 0;
}

}  // namespace

// ---- constructors ----

lispval new_bignum(IntegerContext& context, lispval countFixnum) {
  const lispval result = context.allocateBignum(static_cast<uint32_t>(fixnumValue(countFixnum)));
  BignumRef big(result);
  big.digits()[0] = 0;
  big.digits()[1] = 0x2000;  // the value 2^29 until the caller writes its own
  return result;
}

lispval mi_in_bignum(lispval bignum, int32_t value) {
  BignumRef big(bignum);
  const uint32_t magnitude =
      value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  big.digits()[0] = static_cast<Digit>(magnitude);
  big.digits()[1] = static_cast<Digit>(magnitude >> 16);
  big.setSign(value < 0 ? kNegativeSign : 0);
  return bignum;
}

lispval copybig(IntegerContext& context, lispval x) {
  Root source(context, x);
  const uint32_t count = source.bignum().count();
  const lispval result = context.allocateBignum(count);
  BignumRef from = source.bignum(), to(result);
  for (uint32_t i = 0; i < count; ++i) to.digits()[i] = from.digit(i);
  to.setSign(from.sign());
  return result;
}

lispval bigcopyp1(IntegerContext& context, lispval x, Digit top) {
  Root source(context, x);
  const uint32_t count = source.bignum().count();
  const lispval result = context.allocateBignum(count + 1);
  BignumRef from = source.bignum(), to(result);
  for (uint32_t i = 0; i < count; ++i) to.digits()[i] = from.digit(i);
  to.digits()[count] = top;
  to.setSign(from.sign());
  return result;
}

lispval bigtwoc(lispval x) {
  BignumRef big(x);
  bd::twosComplement(big.digits(), big.count());
  return x;
}

lispval bigtwoc1(IntegerContext& context, lispval x) {
  BignumRef big(x);
  if (bd::twosComplement(big.digits(), big.count()) == 0) return x;
  return bigcopyp1(context, x, 1);
}

lispval big_fix_prod(IntegerContext& context, lispval a, lispval b) {
  const int64_t product = int64_t{fixnumValue(a)} * fixnumValue(b);
  const uint64_t magnitude =
      product < 0 ? 0 - static_cast<uint64_t>(product) : static_cast<uint64_t>(product);
  const lispval result = context.allocateBignum(4);
  BignumRef big(result);
  for (uint32_t i = 0; i < 4; ++i) big.digits()[i] = static_cast<Digit>(magnitude >> (16 * i));
  big.setSign(product < 0 ? kNegativeSign : 0);
  return prunebig(context, result);
}

lispval prunebig(IntegerContext& context, lispval x) {
  if (isFixnum(x)) return x;
  BignumRef big(x);
  const uint32_t n = bd::significantCount(big.digits(), big.count());
  if (n == 0) return makeFixnum(0);
  if (n == 1) return signedFixnum(big.negative(), big.digit(0));
  if (n == 2) {
    const uint32_t magnitude = big.lowWord();
    if (!big.negative() && magnitude <= kMostPositiveMagnitude)
      return makeFixnum(static_cast<int32_t>(magnitude));
    if (big.negative() && magnitude <= kMostNegativeMagnitude) return signedFixnum(true, magnitude);
  }
  shrinkTo(context, big, n);
  return x;
}

// ---- comparison, addition and subtraction ----

int c_bignums(lispval a, lispval b) {
  BignumRef x(a), y(b);
  return bd::compareMagnitudes(x.digits(), x.count(), y.digits(), y.count());
}

lispval big_add_int(IntegerContext& context, lispval a, lispval b) {
  Root first(context, a), second(context, b);
  const uint32_t longest = std::max(first.bignum().count(), second.bignum().count());
  const lispval result = context.allocateBignum(longest + 1);
  BignumRef x = first.bignum(), y = second.bignum(), sum(result);
  if (x.count() >= y.count())
    bd::addMagnitudes(x.digits(), x.count(), y.digits(), y.count(), sum.digits());
  else
    bd::addMagnitudes(y.digits(), y.count(), x.digits(), x.count(), sum.digits());
  sum.setSign(x.sign());
  return result;
}

lispval big_sub_int(IntegerContext& context, lispval a, lispval b) {
  // Leading zero digits must not decide which magnitude is the larger, or
  // the subtraction would run below zero: compare the significant digits.
  BignumRef x(a), y(b);
  const uint32_t xCount = bd::significantCount(x.digits(), x.count());
  const uint32_t yCount = bd::significantCount(y.digits(), y.count());
  const int order = bd::compareMagnitudes(x.digits(), xCount, y.digits(), yCount);
  if (order == 0) return makeFixnum(0);
  Root first(context, a), second(context, b);
  const lispval result = context.allocateBignum(order > 0 ? x.count() : y.count());
  BignumRef larger = order > 0 ? first.bignum() : second.bignum();
  BignumRef smaller = order > 0 ? second.bignum() : first.bignum();
  BignumRef difference(result);
  bd::subtractMagnitudes(larger.digits(), difference.count(), smaller.digits(),
                         order > 0 ? yCount : xCount, difference.digits());
  const uint8_t sign = first.bignum().sign();
  difference.setSign(order > 0 ? sign : sign ^ kNegativeSign);
  return result;
}

lispval bignum_add(IntegerContext& context, lispval a, lispval b) {
  const bool sameSign = BignumRef(a).sign() == BignumRef(b).sign();
  const lispval result = sameSign ? big_add_int(context, a, b) : big_sub_int(context, a, b);
  return prunebig(context, result);
}

lispval bignum_sub(IntegerContext& context, lispval a, lispval b) {
  const bool sameSign = BignumRef(a).sign() == BignumRef(b).sign();
  const lispval result = sameSign ? big_sub_int(context, a, b) : big_add_int(context, a, b);
  return prunebig(context, result);
}

// ---- multiplication ----

lispval bignum_multiply(IntegerContext& context, lispval a, lispval b) {
  Root first(context, a), second(context, b);
  const uint32_t aCount = first.bignum().count(), bCount = second.bignum().count();
  // Odd counts are read one digit further: the zero digit written into the
  // object's spare tail bytes (after the allocation, which may move them).
  const uint32_t aEven = aCount + (aCount & 1), bEven = bCount + (bCount & 1);
  const lispval result = context.allocateBignum(aEven + bEven);
  BignumRef x = first.bignum(), y = second.bignum(), product(result);
  if (aCount & 1) x.digits()[aCount] = 0;
  if (bCount & 1) y.digits()[bCount] = 0;
  bd::multiplyWords(reinterpret_cast<const bd::DigitPair*>(x.digits()), aEven / 2,
                    reinterpret_cast<const bd::DigitPair*>(y.digits()), bEven / 2,
                    reinterpret_cast<bd::DigitPair*>(product.digits()));
  product.setSign(x.sign() != y.sign() ? kNegativeSign : 0);
  return prunebig(context, result);
}

// ---- division by one digit ----

lispval one_bigit_rem(lispval a, uint32_t d) {
  BignumRef x(a);
  const uint32_t remainder = bd::divideByDigit(x.digits(), x.count(), d, nullptr);
  return signedFixnum(x.negative(), remainder);
}

lispval one_bigit_truncate(IntegerContext& context, lispval a, int32_t d) {
  Root dividend(context, a);
  const lispval result = context.allocateBignum(dividend.bignum().count());
  BignumRef x = dividend.bignum(), quotient(result);
  const uint32_t magnitude = d < 0 ? 0u - static_cast<uint32_t>(d) : static_cast<uint32_t>(d);
  bd::divideByDigit(x.digits(), x.count(), magnitude, quotient.digits());
  quotient.setSign((d < 0) != x.negative() ? kNegativeSign : 0);
  return prunebig(context, result);
}

Values one_bigit_divide_aux(IntegerContext& context, lispval a, uint32_t d, uint8_t sign,
                            lispval destination) {
  BignumRef x(a), quotient(destination);
  const bool negative = x.negative();
  const uint32_t remainder = bd::divideByDigit(x.digits(), x.count(), d, quotient.digits());
  quotient.setSign(x.sign() != sign ? kNegativeSign : 0);
  return twoValues(prunebig(context, destination), signedFixnum(negative, remainder));
}

Values one_bigit_divide(IntegerContext& context, lispval a, lispval b) {
  Root dividend(context, a), divisor(context, b);
  const lispval result = context.allocateBignum(dividend.bignum().count());
  BignumRef y = divisor.bignum();
  return one_bigit_divide_aux(context, dividend.get(), y.digit(0), y.sign(), result);
}

Values one_bigit_div_in_place(IntegerContext& context, lispval a, lispval d) {
  // A zero divisor would trap and one above a digit would overflow the
  // running value: both are refused before any digit changes.
  if (d == makeFixnum(0))
    return twoValues(context.signalErrorWithDatum(kErrorDivisionByZero, a), context.nil());
  if (!isFixnum(d) || fixnumValue(d) < 1 ||
      static_cast<uint32_t>(fixnumValue(d)) > kMaxDigitDivisor)
    return twoValues(context.signalError(kErrorBadBignum), context.nil());
  if (d == makeFixnum(1)) return twoValues(prunebig(context, a), makeFixnum(0));
  return one_bigit_divide_aux(context, a, static_cast<uint32_t>(fixnumValue(d)), 0, a);
}

// ---- long division ----

namespace {

enum class Wanted { Remainder, Quotient, Both };

// The buffer that receives the shifted dividend: the destination when it is
// another object of at least `count` digits (its count set, its tail
// formatted), else a new bignum.
lispval remainderBuffer(IntegerContext& context, const Root& destination, const Root& a,
                        const Root& b, uint32_t count) {
  const lispval word = destination.get();
  if (word != context.nil() && !isFixnum(word) && word != a.get() && word != b.get()) {
    BignumRef buffer(word);
    if (buffer.count() >= count) {
      shrinkTo(context, buffer, count);
      return word;
    }
  }
  return context.allocateBignum(count);
}

Values longDivision(IntegerContext& context, lispval a, lispval b, Wanted wanted,
                    lispval destinationWord) {
  Root dividend(context, a), divisor(context, b), destination(context, destinationWord);
  const int order = c_bignums(a, b);
  const bool signsDiffer = BignumRef(a).sign() != BignumRef(b).sign();
  if (order < 0) return twoValues(makeFixnum(0), prunebig(context, a));
  if (order == 0) return twoValues(makeFixnum(signsDiffer ? -1 : 1), makeFixnum(0));

  if (!normalisedDivisor(BignumRef(b))) {
    const lispval error = context.signalError(kErrorBadBignum);
    throw Abandoned{error};
  }
  if (BignumRef(b).count() == 1) {
    const BignumRef y(b);
    switch (wanted) {
      case Wanted::Remainder:
        return twoValues(context.nil(), one_bigit_rem(a, y.digit(0)));
      case Wanted::Quotient: {
        const int32_t d = y.negative() ? -int32_t{y.digit(0)} : int32_t{y.digit(0)};
        return twoValues(one_bigit_truncate(context, a, d), context.nil());
      }
      case Wanted::Both:
        return one_bigit_divide(context, a, b);
    }
  }

  const uint32_t aCount = BignumRef(a).count(), bCount = BignumRef(b).count();
  const uint32_t shift = bd::normalisingShift(BignumRef(b).digit(bCount - 1));
  const uint32_t rCount = aCount + 1;
  Root remainder(context, remainderBuffer(context, destination, dividend, divisor, rCount));
  Root quotient(context, context.nil());
  if (wanted != Wanted::Remainder) quotient.set(context.allocateBignum(rCount - bCount));

  // The divisor shifted so that its top bit is set: b itself, or the scratch
  // bignum, grown when it is not longer than b. The shift cannot carry out
  // of b's top digit, so the working divisor has count(b) digits.
  uint32_t& scratch = context.global(nil_block::global::kDivisorScratch);
  if (shift > 0 && (scratch == context.nil() || BignumRef(scratch).count() <= bCount)) {
    scratch = context.allocateBignum(std::min(bCount + kDivisorScratchHeadroom, kMaxBignumDigits));
    cnoteroot(gc::addressOf(&scratch));
  }

  BignumRef x = dividend.bignum(), y = divisor.bignum(), r = remainder.bignum();
  const uint8_t sign = x.sign();
  r.digits()[aCount] = static_cast<Digit>(bd::shiftLeftBits(x.digits(), aCount, shift, r.digits()));
  r.setSign(sign);
  const Digit* v = y.digits();
  if (shift > 0) {
    Digit* shifted = BignumRef(scratch).digits();
    bd::shiftLeftBits(y.digits(), bCount, shift, shifted);
    v = shifted;
  }
  Digit* q = wanted != Wanted::Remainder ? quotient.bignum().digits() : nullptr;
  bd::longDivide(r.digits(), rCount, v, bCount, q);

  lispval quotientValue = context.nil();
  if (q) {
    quotient.bignum().setSign(signsDiffer ? kNegativeSign : 0);
    quotientValue = prunebig(context, quotient.get());
  }
  lispval remainderValue = context.nil();
  if (wanted != Wanted::Quotient) {
    if (shift > 0) bd::shiftRightBits(r.digits(), rCount, shift, 0, r.digits());
    remainderValue = prunebig(context, remainder.get());
  }
  return twoValues(quotientValue, remainderValue);
}

}  // namespace

lispval bignum_rem(IntegerContext& context, lispval a, lispval b, lispval destination) {
  return longDivision(context, a, b, Wanted::Remainder, destination).second;
}

lispval bignum_truncate(IntegerContext& context, lispval a, lispval b) {
  return longDivision(context, a, b, Wanted::Quotient, context.nil()).first;
}

Values bignum_divide(IntegerContext& context, lispval a, lispval b) {
  return longDivision(context, a, b, Wanted::Both, context.nil());
}

}  // namespace lisp::integers
