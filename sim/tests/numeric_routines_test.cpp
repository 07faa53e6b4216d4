// Non-finite constants, infinity/NaN tests, the special-case power function
// and the normal noise generator.
#include "sim/numeric/numeric_routines.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace sim {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kQuietNaN = std::nan("");

TEST(NonFiniteConstantsTest, HaveTheExactBitPatterns) {
  initNonFinites();
  EXPECT_EQ(std::bit_cast<uint64_t>(nonFinites.nan), 0xFFF8000000000000ull);
  EXPECT_EQ(std::bit_cast<uint64_t>(nonFinites.inf), 0x7FF0000000000000ull);
  EXPECT_EQ(std::bit_cast<uint64_t>(nonFinites.minusInf), 0xFFF0000000000000ull);
  EXPECT_EQ(std::bit_cast<uint32_t>(nonFinites.nanFloat), 0xFFC00000u);
  EXPECT_EQ(std::bit_cast<uint32_t>(nonFinites.infFloat), 0x7F800000u);
  EXPECT_EQ(std::bit_cast<uint32_t>(nonFinites.minusInfFloat), 0xFF800000u);
}

TEST(NonFiniteTestsTest, TellInfinitiesAndNaNApart) {
  initNonFinites();
  struct Case {
    double x;
    bool inf;
    bool nan;
  };
  const Case cases[] = {
      {kInf, true, false},           {-kInf, true, false},
      {nonFinites.nan, false, true}, {kQuietNaN, false, true},
      {0.0, false, false},           {std::numeric_limits<double>::max(), false, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(isInf(c.x), c.inf) << c.x;
    EXPECT_EQ(isNaN(c.x), c.nan) << c.x;
  }
}

TEST(PowWithSpecialCasesTest, FollowsTheRuleTable) {
  struct Case {
    double a;
    double b;
    double expected;  // NaN means "NaN expected"
  };
  const double nan = kQuietNaN;
  const Case cases[] = {
      // NaN anywhere.
      {nan, 0.0, nan},
      {2.0, nan, nan},
      // Infinite exponents: |a| = 1 is NaN, unlike C's pow.
      {1.0, kInf, nan},
      {-1.0, -kInf, nan},
      {0.5, kInf, 0.0},
      {0.5, -kInf, kInf},
      {-0.5, kInf, 0.0},
      {2.0, kInf, kInf},
      {-2.0, kInf, kInf},
      {2.0, -kInf, 0.0},
      // Zero, one and minus one.
      {5.0, 0.0, 1.0},
      {0.0, -0.0, 1.0},
      {kInf, 0.0, 1.0},
      {-3.0, 1.0, -3.0},
      {2.0, -1.0, 0.5},
      {0.0, -1.0, kInf},
      // Square and square root.
      {-3.0, 2.0, 9.0},
      {16.0, 0.5, 4.0},
      {-16.0, 0.5, nan},
      // Negative bases.
      {-8.0, 1.0 / 3.0, nan},
      {-8.0, 3.0, -512.0},
      {-2.0, -2.0, 0.25},
      // Everything else: the standard power function.
      {2.0, 10.0, 1024.0},
      {9.0, 1.5, 27.0},
  };
  for (const Case& c : cases) {
    const double result = powWithSpecialCases(c.a, c.b);
    if (std::isnan(c.expected))
      EXPECT_TRUE(std::isnan(result)) << c.a << "^" << c.b << " gave " << result;
    else
      EXPECT_EQ(result, c.expected) << c.a << "^" << c.b;
  }
}

// The generator worked out another way: the plain product modulo 2^31 - 1 in
// 64-bit arithmetic instead of Schrage's decomposition.
double referenceNormal(uint32_t* seed) {
  for (;;) {
    const uint64_t s1 = (uint64_t{*seed} * 16807) % 2147483647;
    const uint64_t s2 = (s1 * 16807) % 2147483647;
    *seed = static_cast<uint32_t>(s2);
    const double u1 = s1 * 4.656612875245797e-10 * 2 - 1;
    const double u2 = s2 * 4.656612875245797e-10 * 2 - 1;
    const double r = u1 * u1 + u2 * u2;
    if (r <= 1.0) return std::sqrt(-2.0 * std::log(r) / r) * u1;
  }
}

TEST(NormalRandomTest, FirstDrawsFromTheModelSeed) {
  // Computed outside this program (arbitrary-precision integers, IEEE doubles).
  struct Draw {
    double value;
    uint32_t seedAfter;
  };
  const Draw expected[] = {{1.1649535105006568, 1458777923u},  {0.6268390826324314, 823564440u},
                           {0.07508015467768289, 1784484492u}, {0.35160690276852247, 1441282327u},
                           {-0.6965125351636817, 896544303u},  {1.696142480747077, 1264817709u}};
  uint32_t seed = kNoiseSeed;
  for (const Draw& draw : expected) {
    const double value = normalRandom(&seed);
    EXPECT_NEAR(value, draw.value, 4e-16 * std::fabs(draw.value));
    EXPECT_EQ(seed, draw.seedAfter);
  }
}

TEST(NormalRandomTest, MatchesThePlainModularGeneratorOverALongRun) {
  uint32_t seed = kNoiseSeed;
  uint32_t reference = kNoiseSeed;
  for (int i = 0; i < 100000; ++i) {
    const double value = normalRandom(&seed);
    ASSERT_EQ(value, referenceNormal(&reference)) << "draw " << i;
    ASSERT_EQ(seed, reference) << "draw " << i;
    ASSERT_NE(seed, 0u);
  }
}

TEST(NormalRandomTest, SeedsAboveTheModulusFollowTheirResidue) {
  // The seed is taken as unsigned; 2^32 - 1 is 1 more than twice the modulus.
  uint32_t big = 4294967295u;
  uint32_t reference = 1u;
  EXPECT_EQ(normalRandom(&big), referenceNormal(&reference));
  EXPECT_EQ(big, reference);
}

class UnusableSeedTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(UnusableSeedTest, IsRejectedInsteadOfLoopingForever) {
  uint32_t seed = GetParam();
  EXPECT_FALSE(isUsableNoiseSeed(seed));
#ifdef NDEBUG
  EXPECT_TRUE(std::isnan(normalRandom(&seed)));
  EXPECT_EQ(seed, GetParam());
#else
  EXPECT_DEATH(normalRandom(&seed), "noise seed");
#endif
}

INSTANTIATE_TEST_SUITE_P(MultiplesOfTheModulus, UnusableSeedTest,
                         ::testing::Values(0u, 2147483647u, 4294967294u));

}  // namespace
}  // namespace sim
