// Small numeric routines the generated model code calls: the non-finite
// constants, infinity and NaN tests, a power function with fixed special
// cases, and the normally distributed noise generator.
#pragma once

#include <cstdint>

namespace sim {

// The six non-finite constants, each as a double and as a float. Zero until
// initNonFinites runs (first thing the model initialisation does).
struct NonFiniteConstants {
  double nan;  // quiet NaN with the sign bit set
  double inf;
  double minusInf;
  float nanFloat;
  float infFloat;
  float minusInfFloat;
};

extern NonFiniteConstants nonFinites;

// Bit patterns of the constants: sign 1, exponent all ones, highest fraction bit.
inline constexpr uint64_t kNaNBits = 0xFFF8000000000000ull;
inline constexpr uint32_t kNaNFloatBits = 0xFFC00000u;

void initNonFinites();

bool isInf(double x);
bool isNaN(double x);

// a to the power b with fixed answers for NaN, infinite, 0, +-1, 2 and 0.5
// exponents; a negative base with a non-integer exponent gives NaN.
double powWithSpecialCases(double a, double b);

// The noise generator's seed word at model start.
inline constexpr uint32_t kNoiseSeed = 1144108930u;

// A seed is usable when it is not a multiple of the generator's modulus: such
// a seed maps to 0 and the generator would never leave it.
bool isUsableNoiseSeed(uint32_t seed);

// One standard normal sample (polar method over the minimal standard
// generator); advances *seed. An unusable seed asserts in debug builds and
// otherwise returns NaN, leaving the seed as it was.
double normalRandom(uint32_t* seed);

}  // namespace sim
