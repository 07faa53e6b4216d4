// scalarmul through the host loader: block scaling with the BLAS routines,
// the three layouts of x, and start positions that reach outside x or the result.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

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

const Case kCases[] = {
    {"XHoldsJustTheBlocks", {2, 3}, {1, 1, 1}, {1, 2, 4}, {2, 3, 3}},
    {"XHoldsOneEntryPerBlockFirst", {2, 3}, {9, 9, 1, 1, 1}, {1, 2, 4}, {2, 3, 3}},
    {"XHoldsBlocksAtTheirOwnPositions", {0.5}, {7, 2, 4, 8}, {2, 4}, {1, 2}},
    {"SingleBlockStartingAtTwo", {3}, {1, 2}, {2, 4}, {3, 6}},
    {"SingleBlockStartingAtTwoInALongerX", {3}, {9, 1, 2, 5}, {2, 4}, {3, 6}},
    {"EmptyBlockInTheMiddle", {2, 5, 3}, {1, 1, 1}, {1, 2, 2, 4}, {2, 3, 3}},
    {"NoBlocks", {}, {1, 2}, {1}, {}},
    {"ScalingIsOneRoundedProduct", {0.1}, {3}, {1, 2}, {0.30000000000000004}},
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
