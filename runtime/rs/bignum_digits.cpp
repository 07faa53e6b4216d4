// Digit loops of the bignum layer. Every loop stays inside the counts it is
// given; carries and borrows are kept in wider integers than the digits.

#include "runtime/rs/bignum_digits.h"

namespace lisp::bignum_digits {

uint32_t significantCount(const Digit* digits, uint32_t count) {
  while (count > 0 && digits[count - 1] == 0) --count;
  return count;
}

int compareMagnitudes(const Digit* a, uint32_t aCount, const Digit* b, uint32_t bCount) {
  if (aCount != bCount) return aCount < bCount ? -1 : 1;
  for (uint32_t i = aCount; i-- > 0;)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

void addMagnitudes(const Digit* longer, uint32_t longCount, const Digit* shorter,
                   uint32_t shorterCount, Digit* out) {
  uint32_t carry = 0;
  uint32_t i = 0;
  for (; i < shorterCount; ++i) {
    const uint32_t sum = uint32_t{longer[i]} + shorter[i] + carry;
    out[i] = static_cast<Digit>(sum);
    carry = sum >> kDigitBits;
  }
  for (; i < longCount; ++i) {
    const uint32_t sum = uint32_t{longer[i]} + carry;
    out[i] = static_cast<Digit>(sum);
    carry = sum >> kDigitBits;
  }
  out[longCount] = static_cast<Digit>(carry);
}

void subtractMagnitudes(const Digit* larger, uint32_t largerCount, const Digit* smaller,
                        uint32_t smallerCount, Digit* out) {
  int32_t borrow = 0;  // 0 or -1
  uint32_t i = 0;
  for (; i < smallerCount; ++i) {
    const int32_t difference = int32_t{larger[i]} - int32_t{smaller[i]} + borrow;
    out[i] = static_cast<Digit>(difference);
    borrow = difference >> kDigitBits;
  }
  for (; i < largerCount; ++i) {
    const int32_t difference = int32_t{larger[i]} + borrow;
    out[i] = static_cast<Digit>(difference);
    borrow = difference >> kDigitBits;
  }
}

void multiplyWords(const DigitPair* a, uint32_t aWords, const DigitPair* b, uint32_t bWords,
                   DigitPair* product) {
  for (uint32_t i = 0; i < aWords; ++i) product[i] = 0;
  for (uint32_t j = 0; j < bWords; ++j) {
    const uint64_t w = b[j];
    if (w == 0) {
      product[j + aWords] = 0;
      continue;
    }
    uint64_t carry = 0;
    for (uint32_t i = 0; i < aWords; ++i) {
      const uint64_t t = a[i] * w + carry + product[i + j];
      product[i + j] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    product[j + aWords] = static_cast<uint32_t>(carry);
  }
}

uint32_t twosComplement(Digit* digits, uint32_t count) {
  uint32_t carry = 1;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t t = (digits[i] ^ kDigitMask) + carry;
    digits[i] = static_cast<Digit>(t);
    carry = t >> kDigitBits;
  }
  return carry;
}

uint32_t shiftLeftBits(const Digit* digits, uint32_t count, uint32_t shift, Digit* out) {
  uint32_t carry = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t t = (uint32_t{digits[i]} << shift) | carry;
    out[i] = static_cast<Digit>(t);
    carry = t >> kDigitBits;
  }
  return carry;
}

void shiftRightBits(const Digit* digits, uint32_t count, uint32_t shift, Digit fill, Digit* out) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t above = i + 1 < count ? digits[i + 1] : fill;
    const uint32_t pair = (above << kDigitBits) | digits[i];
    out[i] = static_cast<Digit>(pair >> shift);
  }
}

uint32_t bitLength(uint32_t value) {
  return value == 0 ? 0 : 32 - static_cast<uint32_t>(__builtin_clz(value));
}

uint32_t normalisingShift(Digit top) {
  return kDigitBits - bitLength(top);
}

uint32_t divideByDigit(const Digit* digits, uint32_t count, uint32_t d, Digit* quotient) {
  uint32_t r = 0;
  for (uint32_t i = count; i-- > 0;) {
    const uint32_t running = (r << kDigitBits) | digits[i];
    if (quotient) quotient[i] = static_cast<Digit>(running / d);
    r = running % d;
  }
  return r;
}

namespace {

// The quotient digit estimate from the top three digits of the window and
// the top two of the divisor, corrected at most twice.
uint32_t estimateQuotientDigit(uint32_t t0, uint32_t t1, uint32_t t2, uint32_t d1, uint32_t d2) {
  const uint32_t top = (t0 << kDigitBits) | t1;
  if (top == 0) return 0;
  uint32_t qhat = t0 == d1 ? kDigitMask : top / d1;
  if (d2 == 0) return qhat;
  for (int test = 0; test < 2 && qhat != 0; ++test) {
    const uint64_t rhat = uint64_t{top} - uint64_t{qhat} * d1;
    if (rhat >= 0x10000 || ((rhat << kDigitBits) | t2) >= uint64_t{d2} * qhat) break;
    --qhat;
  }
  return qhat;
}

// window[0 .. n] -= qhat × divisor[0 .. n); true when the top went negative.
bool multiplySubtract(Digit* window, const Digit* divisor, uint32_t n, uint32_t qhat) {
  uint32_t carry = 0;
  int32_t borrow = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t p = qhat * divisor[i] + carry;
    carry = p >> kDigitBits;
    const int32_t t = int32_t{window[i]} - static_cast<int32_t>(p & kDigitMask) + borrow;
    window[i] = static_cast<Digit>(t);
    borrow = t >> kDigitBits;
  }
  const int32_t top = int32_t{window[n]} - static_cast<int32_t>(carry) + borrow;
  window[n] = static_cast<Digit>(top);
  return top < 0;
}

// window[0 .. n] += divisor[0 .. n), the carry into the top digit dropped.
void addBack(Digit* window, const Digit* divisor, uint32_t n) {
  uint32_t carry = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t t = uint32_t{window[i]} + divisor[i] + carry;
    window[i] = static_cast<Digit>(t);
    carry = t >> kDigitBits;
  }
  window[n] = static_cast<Digit>(window[n] + carry);
}

}  // namespace

void longDivide(Digit* remainder, uint32_t count, const Digit* divisor, uint32_t divisorCount,
                Digit* quotient) {
  const uint32_t n = divisorCount;
  const uint32_t d1 = divisor[n - 1];
  const uint32_t d2 = divisor[n - 2];
  for (uint32_t j = count - n; j-- > 0;) {
    Digit* window = remainder + j;
    uint32_t qhat = estimateQuotientDigit(window[n], window[n - 1], window[n - 2], d1, d2);
    if (qhat != 0 && multiplySubtract(window, divisor, n, qhat)) {
      addBack(window, divisor, n);
      --qhat;
    }
    if (quotient) quotient[j] = static_cast<Digit>(qhat);
  }
}

}  // namespace lisp::bignum_digits
