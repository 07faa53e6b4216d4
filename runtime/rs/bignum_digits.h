// Digit loops of the bignum layer: sign-magnitude integers of unsigned 16-bit
// digits, least significant first. Nothing here allocates or knows about Lisp
// words; callers pass digit arrays and counts and own the storage (every
// output array is as long as its routine says, and may not overlap the
// inputs unless the routine allows it).
#pragma once

#include <cstdint>

namespace lisp::bignum_digits {

using Digit = uint16_t;
// Two digits read as one 32-bit word (low digit first): the multiplication
// works on the digit arrays through this type.
typedef uint32_t __attribute__((may_alias)) DigitPair;

inline constexpr uint32_t kDigitBits = 16;
inline constexpr uint32_t kDigitMask = 0xffff;
inline constexpr Digit kAllOnesDigit = 0xffff;

// Digits below the highest non-zero one, plus one (0 when all are zero).
uint32_t significantCount(const Digit* digits, uint32_t count);

// -1, 0 or 1: the magnitudes compared by count first, then from the top digit
// down. Operands with leading zero digits therefore compare by their counts.
int compareMagnitudes(const Digit* a, uint32_t aCount, const Digit* b, uint32_t bCount);

// out[0 .. longCount] := longer + shorter (longCount + 1 digits, carry on top).
void addMagnitudes(const Digit* longer, uint32_t longCount, const Digit* shorter,
                   uint32_t shorterCount, Digit* out);

// out[0 .. largerCount) := larger - smaller, where larger >= smaller.
void subtractMagnitudes(const Digit* larger, uint32_t largerCount, const Digit* smaller,
                        uint32_t smallerCount, Digit* out);

// Schoolbook product of 32-bit words (pairs of digits, low digit first):
// product[0 .. aWords + bWords) := a × b.
void multiplyWords(const DigitPair* a, uint32_t aWords, const DigitPair* b, uint32_t bWords,
                   DigitPair* product);

// Each digit, from the lowest, := (digit XOR 0xffff) + carry with the first
// carry 1. Returns the carry out of the top digit (1 only for all zeros).
uint32_t twosComplement(Digit* digits, uint32_t count);

// out[0 .. count) := digits shifted left by shift (0 .. 15); returns the bits
// shifted out of the top digit. out may equal digits.
uint32_t shiftLeftBits(const Digit* digits, uint32_t count, uint32_t shift, Digit* out);

// out[0 .. count) := digits shifted right by shift (0 .. 15), the top digit
// filled from above with the bits of fill. out may equal digits.
void shiftRightBits(const Digit* digits, uint32_t count, uint32_t shift, Digit fill, Digit* out);

// Bits of the value (0 for 0).
uint32_t bitLength(uint32_t value);

// Divides by one digit d (1 .. 65535) from the top digit down with a 32-bit
// running value; quotient digits go to quotient (may equal digits, or be
// nullptr when only the remainder is wanted). Returns the remainder.
uint32_t divideByDigit(const Digit* digits, uint32_t count, uint32_t d, Digit* quotient);

// Knuth's long division on a prepared remainder buffer and divisor.
//   remainder: count digits, the dividend shifted left by the normalising
//              shift, with its carry digit on top; left holding the
//              remainder (still shifted) in its low divisorCount digits.
//   divisor:   divisorCount (>= 2) digits, top digit with its high bit set.
//   quotient:  count - divisorCount digits, or nullptr.
void longDivide(Digit* remainder, uint32_t count, const Digit* divisor, uint32_t divisorCount,
                Digit* quotient);

// Leading zero bits of a non-zero digit (0 .. 15).
uint32_t normalisingShift(Digit top);

}  // namespace lisp::bignum_digits
