// scalarmul through the host loader: block scaling, each element the one
// rounded product, the three layouts of x, and start positions that reach outside x or the result.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "bit_exact.h"
#include "exported_symbols.h"
#include "numhost/loader.h"

namespace {

using numhost::valuesOf;
using numhost_testing::bitExact;

numhost::ArrayPtr rowOf(const std::vector<double>& values) {
  return numhost::makeMatrix(1, values.size(), values);
}

struct Case {
  const char* name;
  std::vector<double> a, x, start;
  std::vector<double> expected;
};
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// The NaN an x86 processor produces for an invalid operation such as 0 * inf.
const double kDefaultNaN = std::bit_cast<double>(std::uint64_t{0xFFF8000000000000});

const Case kCases[] = {
    {"XHoldsJustTheBlocks", {2, 3}, {1, 1, 1}, {1, 2, 4}, {2, 3, 3}},
    {"XHoldsOneEntryPerBlockFirst", {2, 3}, {9, 9, 1, 1, 1}, {1, 2, 4}, {2, 3, 3}},
    {"XHoldsBlocksAtTheirOwnPositions", {0.5}, {7, 2, 4, 8}, {2, 4}, {1, 2}},
    {"SingleBlockStartingAtTwo", {3}, {1, 2}, {2, 4}, {3, 6}},
    {"SingleBlockStartingAtTwoInALongerX", {3}, {9, 1, 2, 5}, {2, 4}, {3, 6}},
    {"EmptyBlockInTheMiddle", {2, 5, 3}, {1, 1, 1}, {1, 2, 2, 4}, {2, 3, 3}},
    {"NoBlocks", {}, {1, 2}, {1}, {}},
    {"ScalingIsOneRoundedProduct", {0.1}, {3}, {1, 2}, {0.30000000000000004}},
    // Rounded twice (80 bits, then 64) this product ends in ...93756.
    {"ProductIsNotRoundedTwice",
     {-977904.27941829024},
     {164827.2548759263},
     {1, 2},
     {-161185277907.93759}},
    {"ZeroFactorKeepsNaNInfinityAndSigns",
     {0.0},
     {NAN, INFINITY, -INFINITY, -1.0, 1.0, -0.0},
     {1, 7},
     {NAN, kDefaultNaN, kDefaultNaN, -0.0, 0.0, -0.0}},
    {"NegativeZeroFactor", {-0.0}, {1.0, -2.0, 0.0}, {1, 4}, {-0.0, 0.0, -0.0}},
};

class ScalarmulCase : public ::testing::TestWithParam<Case> {};

TEST_P(ScalarmulCase, ScalesEachBlockByItsFactor) {
  const Case& c = GetParam();
  numhost::Plugin plugin(PLUGIN_PATH);
  auto a = rowOf(c.a), x = rowOf(c.x), start = rowOf(c.start);
  const std::size_t blocksBefore = numhost::liveBlockCount();
  auto outcome = plugin.call(1, {a.get(), x.get(), start.get()});
  ASSERT_FALSE(outcome.error) << *outcome.error;
  EXPECT_EQ(zyGetN(outcome.results[0].get()), 1u);
  EXPECT_TRUE(bitExact(valuesOf(*outcome.results[0]), c.expected));
  EXPECT_EQ(numhost::liveBlockCount(), blocksBefore);  // the start positions were freed
}

INSTANTIATE_TEST_SUITE_P(Blocks, ScalarmulCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

constexpr char kOutsideResult[] = "scalarmul: block start positions reach outside the result";
constexpr char kOutsideX[] = "scalarmul: block start positions reach outside x";

struct BadCase {
  const char* name;
  std::vector<double> a, x, start;
  const char* error;
};
void PrintTo(const BadCase& c, std::ostream* os) {
  *os << c.name;
}

const BadCase kBadCases[] = {
    {"StartShorterThanBlocksPlusOne",
     {2, 3},
     {1, 1, 1},
     {1, 2},
     "scalarmul: start must hold one position more than a has elements"},
    {"DecreasingOverall", {2}, {1, 1, 1}, {3, 1}, kOutsideResult},
    // Blocks of 4 and -1 elements: the first is longer than the 3-element result.
    {"BlockLongerThanResult", {2, 3}, {1, 1, 1, 1, 1}, {1, 5, 4}, kOutsideResult},
    // x has neither total nor n + total elements, so blocks sit at s[0] = 4 in x.
    {"BlocksPastTheEndOfX", {2}, {1, 1, 1, 1, 1, 1}, {5, 8}, kOutsideX},
    {"StartBeforeTheFirstElement", {2}, {1, 1, 1, 1}, {0, 2}, kOutsideX},
    // Positions beyond 32 bits truncate to the lowest integer.
    {"HugeEndPosition", {2}, {1, 1, 1, 1}, {1, 1e300}, kOutsideResult},
    {"NaNEndPosition", {2}, {1}, {2, NAN}, kOutsideResult},
    {"ResultTooLargeForMemory", {2}, {1}, {-1e300, 2}, "numhost: out of memory"},
};

class ScalarmulBadCase : public ::testing::TestWithParam<BadCase> {};

TEST_P(ScalarmulBadCase, RaisesAHostErrorAndLeavesNothingBehind) {
  const BadCase& c = GetParam();
  numhost::Plugin plugin(PLUGIN_PATH);
  auto a = rowOf(c.a), x = rowOf(c.x), start = rowOf(c.start);
  const std::size_t arraysBefore = numhost::liveArrayCount();
  const std::size_t blocksBefore = numhost::liveBlockCount();
  auto outcome = plugin.call(1, {a.get(), x.get(), start.get()});
  EXPECT_EQ(outcome.error, c.error);
  EXPECT_EQ(numhost::liveArrayCount(), arraysBefore);
  EXPECT_EQ(numhost::liveBlockCount(), blocksBefore);
}

INSTANTIATE_TEST_SUITE_P(Starts, ScalarmulBadCase, ::testing::ValuesIn(kBadCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every element is the plain IEEE product a(i) * x(k), bit for bit, over
// factors and elements that BLAS scaling gets wrong: zeros of both signs,
// infinities, NaN, subnormals, and random values whose 80-bit product
// rounds differently. (Of two NaN operands either may pass through.)
TEST(Scalarmul, EveryElementIsThePlainProduct) {
  std::vector<double> values = {0.0, -0.0, 1.0, -1.0, INFINITY, -INFINITY, NAN, -NAN,
                                5e-324, -2.2250738585072014e-308, 1.7976931348623157e308, 0.1};
  std::mt19937_64 random(81);
  std::uniform_real_distribution<double> mantissa(-1e6, 1e6);
  while (values.size() < 400) values.push_back(mantissa(random));
  numhost::Plugin plugin(PLUGIN_PATH);
  auto x = rowOf(values);
  auto start = rowOf({1, static_cast<double>(values.size() + 1)});
  int wrong = 0;
  for (const double factor : values) {
    auto a = rowOf({factor});
    auto outcome = plugin.call(1, {a.get(), x.get(), start.get()});
    ASSERT_FALSE(outcome.error) << *outcome.error;
    const std::vector<double> result = valuesOf(*outcome.results[0]);
    ASSERT_EQ(result.size(), values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
      const double product = factor * values[k];
      const bool same = std::isnan(factor) && std::isnan(values[k])
                            ? std::isnan(result[k])
                            : bitExact({result[k]}, {product});
      if (!same && ++wrong <= 10) {
        ADD_FAILURE() << std::hexfloat << factor << " * " << values[k] << " gave " << result[k]
                      << ", not " << product;
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST(Scalarmul, RefusesTooFewOrNonRealArguments) {
  numhost::Plugin plugin(PLUGIN_PATH);
  auto row = rowOf({1, 2});
  auto structArray = numhost::makeStruct({});
  EXPECT_EQ(plugin.call(1, {row.get(), row.get()}).error,
            "scalarmul: expects three arguments (a, x, start)");
  EXPECT_EQ(plugin.call(1, {row.get(), structArray.get(), row.get()}).error,
            "scalarmul: a, x and start must be real double arrays");
}

TEST(Scalarmul, ExportsOnlyItsEntryPoint) {
  EXPECT_THAT(numhost_testing::exportedSymbols(PLUGIN_PATH), ::testing::ElementsAre("zyxFunction"));
}

}  // namespace
