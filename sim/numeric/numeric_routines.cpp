#include "sim/numeric/numeric_routines.h"

#include <bit>
#include <cassert>
#include <cmath>
#include <limits>

namespace sim {

namespace {
constexpr double kInfinity = std::numeric_limits<double>::infinity();
}  // namespace

NonFiniteConstants nonFinites;

void initNonFinites() {
  nonFinites.nan = std::bit_cast<double>(kNaNBits);
  nonFinites.inf = kInfinity;
  nonFinites.minusInf = -kInfinity;
  nonFinites.nanFloat = std::bit_cast<float>(kNaNFloatBits);
  nonFinites.infFloat = std::numeric_limits<float>::infinity();
  nonFinites.minusInfFloat = -std::numeric_limits<float>::infinity();
}

bool isInf(double x) {
  return x == kInfinity || x == -kInfinity;
}

bool isNaN(double x) {
  return x != x;
}

double powWithSpecialCases(double a, double b) {
  const double nan = std::bit_cast<double>(kNaNBits);
  if (isNaN(a) || isNaN(b)) return nan;
  if (isInf(b)) {
    const double magnitude = std::fabs(a);
    if (magnitude == 1.0) return nan;
    const bool growing = (magnitude > 1.0) == (b > 0.0);
    return growing ? kInfinity : 0.0;
  }
  if (b == 0.0) return 1.0;
  if (std::fabs(b) == 1.0) return b > 0.0 ? a : 1.0 / a;
  if (b == 2.0) return a * a;
  if (b == 0.5 && a >= 0.0) return std::sqrt(a);
  if (a < 0.0 && b > std::floor(b)) return nan;
  return std::pow(a, b);
}

// Minimal standard generator (multiplier 16807, modulus 2^31 - 1) in
// Schrage's form, which keeps every product inside 32 bits.
namespace {

constexpr int32_t kMultiplier = 16807;
constexpr int32_t kModulus = 2147483647;
constexpr uint32_t kSchrageQuotient = 127773;  // modulus / multiplier
constexpr int32_t kSchrageRemainder = 2836;    // modulus % multiplier
constexpr double kUnitScale = 4.656612875245797e-10;

uint32_t nextUniform(uint32_t seed) {
  int32_t next = static_cast<int32_t>(seed % kSchrageQuotient) * kMultiplier -
                 static_cast<int32_t>(seed / kSchrageQuotient) * kSchrageRemainder;
  if (next < 0) next += kModulus;
  return static_cast<uint32_t>(next);
}

}  // namespace

bool isUsableNoiseSeed(uint32_t seed) {
  return seed % static_cast<uint32_t>(kModulus) != 0;
}

double normalRandom(uint32_t* seed) {
  assert(isUsableNoiseSeed(*seed) && "noise seed is a multiple of the modulus");
  if (!isUsableNoiseSeed(*seed)) return std::bit_cast<double>(kNaNBits);
  double u1;
  double r;
  do {
    const uint32_t s1 = nextUniform(*seed);
    const uint32_t s2 = nextUniform(s1);
    u1 = s1 * kUnitScale * 2.0 - 1.0;
    const double u2 = s2 * kUnitScale * 2.0 - 1.0;
    r = u1 * u1 + u2 * u2;
    *seed = s2;
  } while (r > 1.0);
  return std::sqrt(-2.0 * std::log(r) / r) * u1;
}

}  // namespace sim
