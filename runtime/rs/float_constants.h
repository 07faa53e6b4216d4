// The constants of the runtime's floating-point functions, each with the bit
// pattern it must have; the static_asserts check that the decimal value
// written beside it names the same double.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace lisp::float_constants {

constexpr double fromBits(uint64_t bits) {
  return std::bit_cast<double>(bits);
}

// Logarithm series coefficients.
inline constexpr double kA1 = fromBits(0x3fb55555555554e6);
inline constexpr double kA2 = fromBits(0x3f89999999bac6d3);
inline constexpr double kA3 = fromBits(0x3f62492307f1519e);
inline constexpr double kA4 = fromBits(0x3f3c8034c85dfff0);
static_assert(kA1 == 0.083333333333331788 && kA2 == 0.012500000003771749);
static_assert(kA3 == 0.0022321399879194478 && kA4 == 0.00043488777770761457);

// Exponential: thresholds beyond which the result overflows or underflows,
// 1/ln 2, ln 2 split into a high part (exact in k * high) and a low part.
inline constexpr double kExpOverflowThreshold = fromBits(0x4086602b15b7ecf2);
inline constexpr double kExpUnderflowThreshold = fromBits(0xc0877af8ebeae354);
inline constexpr double kInverseLn2 = fromBits(0x3ff71547652b82fe);
inline constexpr double kLn2High = fromBits(0x3fe62e42fee00000);
inline constexpr double kLn2Low = fromBits(0x3dea39ef35793c76);
static_assert(kExpOverflowThreshold == 716.02103751842355);
static_assert(kExpUnderflowThreshold == -751.37154372698069);
static_assert(kInverseLn2 == 1.4426950408889634);
static_assert(kLn2High == 0.69314718036912382 && kLn2Low == 1.9082149292705877e-10);

// Exponential series coefficients.
inline constexpr double kP1 = fromBits(0x3fc555555555553e);
inline constexpr double kP2 = fromBits(0xbf66c16c16bebd93);
inline constexpr double kP3 = fromBits(0x3f11566aaf25de2c);
inline constexpr double kP4 = fromBits(0xbebbbd41c5d26bf1);
inline constexpr double kP5 = fromBits(0x3e66376972bea4d0);
static_assert(kP1 == 0.16666666666666602 && kP2 == -0.0027777777777015593);
static_assert(kP3 == 6.6137563214379344e-05 && kP4 == -1.6533902205465252e-06);
static_assert(kP5 == 4.1381367970572385e-08);

// Power: huge * huge overflows, tiny * tiny underflows; an exponent at or
// above kPowerExponentLimit counts as infinite.
inline constexpr double kHuge = 1e300;
inline constexpr double kTiny = 1e-300;
inline constexpr double kPowerExponentLimit = 7e18;

// Remainder: divisors with an exponent field of 0 or 1 are scaled by
// 2^kTinyDivisorScale; divisors at or above kLargeDivisor are halved.
inline constexpr int kTinyDivisorScale = 54;
inline constexpr double kLargeDivisor = 1.7e308 / 2;

// Scale exponents that take any double to +infinity or to 0.
inline constexpr int kOverflowScale = 5000;
inline constexpr int kUnderflowScale = -5000;

// Results of invalid operations and of division of a non-zero number by 0,
// as the machine's SSE arithmetic gives them (0/0 is the negative quiet NaN).
inline constexpr double kInvalid = fromBits(0xfff8000000000000);
inline constexpr double kInfinity = fromBits(0x7ff0000000000000);

// x87 control words: 53-bit and 24-bit precision, round to nearest, every
// exception masked.
inline constexpr uint16_t kDoubleControlWord = 0x027f;
inline constexpr uint16_t kSingleControlWord = 0x007f;

// Log table: head[j] + tail[j] = ln(1 + j/128); pair 128 is ln 2.
struct LogPair {
  uint64_t head;
  uint64_t tail;
};
inline constexpr int kLogTableSteps = 128;
inline constexpr std::array<LogPair, kLogTableSteps + 1> kLogTable = {{
#include "runtime/rs/log_table.inc"
}};
static_assert(kLogTable[128].head == 0x3fe62e42fefa4000 &&
              kLogTable[128].tail == 0xbd48432a1b0e2634);
static_assert(fromBits(kLogTable[128].head) == 0.6931471805601177);
static_assert(fromBits(kLogTable[128].tail) == -1.7239444525614835e-13);

}  // namespace lisp::float_constants
