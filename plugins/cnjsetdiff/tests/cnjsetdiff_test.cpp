// cnjsetdiff through the host loader: one-for-one difference of sorted vectors,
// its call check and its version entry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "bit_exact.h"
#include "exported_symbols.h"
#include "numhost/loader.h"

namespace {

using numhost::makeColumn;
using numhost::makeRow;
using numhost::valuesOf;
using numhost_testing::bitExact;

constexpr char kBadCall[] = "C = cnjsetdiff(A,B) Inputs must be pre-sorted!";
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Case {
  const char* name;
  std::vector<double> a, b;
  std::vector<double> expected;
};
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

const Case kCases[] = {
    {"DropsMatchedElements", {1, 2, 3, 4}, {2, 4}, {1, 3}},
    {"EmptyBKeepsAll", {1, 2}, {}, {1, 2}},
    {"EachElementOfBMatchesOnce", {1, 2, 2, 3}, {2}, {1, 2, 3}},
    {"EverythingMatched", {1, 2}, {1, 2, 5}, {}},
    {"SkippedElementsOfBStayAvailable", {1, 3, 5}, {0, 3, 4}, {1, 5}},
    {"NaNIsNeverEqualSoAlwaysKept", {1, kNaN}, {1, kNaN}, {kNaN}},
    {"EmptyA", {}, {1}, {}},
    {"SignedZerosMatchEachOther", {-0.0, 0.0, 1}, {0.0, 0.0}, {1}},
    {"ElementsOfBSkippedByAMatchAreUsedUp", {3, 1}, {1, 3}, {1}},
    {"UnsortedBIsSearchedToItsEnd", {1, 2, 3}, {3, 2}, {1, 3}},
};

// A row, or the 0-by-0 empty array.
numhost::ArrayPtr rowOf(const std::vector<double>& values) {
  return numhost::makeMatrix(values.empty() ? 0 : 1, values.size(), values);
}

class CnjsetdiffCase : public ::testing::TestWithParam<Case> {};

TEST_P(CnjsetdiffCase, ReturnsTheUnmatchedElementsAsAColumn) {
  const Case& c = GetParam();
  numhost::Plugin plugin(PLUGIN_PATH);
  auto a = rowOf(c.a), b = rowOf(c.b);
  auto outcome = plugin.call(1, {a.get(), b.get()});
  ASSERT_FALSE(outcome.error) << *outcome.error;
  const zyArray* result = outcome.results[0].get();
  EXPECT_EQ(zyGetM(result), c.expected.size());
  EXPECT_EQ(zyGetN(result), 1u);
  EXPECT_TRUE(bitExact(valuesOf(*result), c.expected));
}

INSTANTIATE_TEST_SUITE_P(Vectors, CnjsetdiffCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The one-for-one difference by the plain search, element by element to the
// end of B: what the plug-in computed before it used B's order.
std::vector<double> differenceByScan(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> kept;
  std::size_t p = 0;
  for (const double element : a) {
    std::size_t i = p;
    while (i < b.size() && !(b[i] == element)) ++i;
    if (i < b.size()) {
      p = i + 1;
    } else {
      kept.push_back(element);
    }
  }
  return kept;
}

// Random vectors over a few values, so that repeats, signed zeros, infinities
// and NaN meet often; sorted (NaN-free, zeros of both signs mixed), sorted
// with a NaN put in, or in any order.
std::vector<double> randomVector(std::mt19937& random, bool sorted) {
  constexpr double kValues[] = {-INFINITY, -2.5, -1, -0.0, 0.0, 1, 2, 2.5, 3, INFINITY};
  std::uniform_int_distribution<int> length(0, 24);
  std::uniform_int_distribution<int> pick(0, std::size(kValues) - 1);
  std::vector<double> v(length(random));
  for (double& element : v) element = kValues[pick(random)];
  if (sorted) std::stable_sort(v.begin(), v.end());
  if (!v.empty() && random() % 5 == 0) v[random() % v.size()] = kNaN;
  return v;
}

TEST(CnjsetdiffAgreement, GivesTheResultOfThePlainSearchForEveryInput) {
  numhost::Plugin plugin(PLUGIN_PATH);
  std::mt19937 random(81);
  for (int round = 0; round < 4000; ++round) {
    const std::vector<double> a = randomVector(random, round % 4 != 3);
    const std::vector<double> b = randomVector(random, round % 4 != 2);
    auto aArray = rowOf(a), bArray = rowOf(b);
    auto outcome = plugin.call(1, {aArray.get(), bArray.get()});
    ASSERT_FALSE(outcome.error) << *outcome.error;
    ASSERT_TRUE(bitExact(valuesOf(*outcome.results[0]), differenceByScan(a, b)))
        << "A " << numhost_testing::describe(a) << ", B " << numhost_testing::describe(b);
  }
}

class Cnjsetdiff : public ::testing::Test {
 protected:
  numhost::Plugin plugin_{PLUGIN_PATH};
};

TEST_F(Cnjsetdiff, LengthIsTheColumnCountUnlessThereIsOneColumn) {
  auto column = makeColumn({1, 2, 3});
  auto b = makeRow({2});
  auto asColumn = plugin_.call(1, {column.get(), b.get()});
  EXPECT_TRUE(bitExact(valuesOf(*asColumn.results[0]), {1, 3}));

  // A 2-by-3 matrix has length 3: only its first three elements are read.
  auto matrix = numhost::makeMatrix(2, 3, std::vector<double>{1, 2, 3, 4, 5, 6});
  auto asMatrix = plugin_.call(1, {matrix.get(), b.get()});
  EXPECT_TRUE(bitExact(valuesOf(*asMatrix.results[0]), {1, 3}));
}

TEST_F(Cnjsetdiff, WrongResultOrArgumentCountRaisesTheHostError) {
  auto a = makeRow({1, 2}), b = makeRow({2});
  const std::size_t arraysBefore = numhost::liveArrayCount();
  EXPECT_EQ(plugin_.call(0, {a.get(), b.get()}).error, kBadCall);
  EXPECT_EQ(plugin_.call(2, {a.get(), b.get()}).error, kBadCall);
  EXPECT_EQ(plugin_.call(1, {a.get()}).error, kBadCall);
  EXPECT_EQ(plugin_.call(1, {a.get(), b.get(), b.get()}).error, kBadCall);
  EXPECT_EQ(numhost::liveArrayCount(), arraysBefore);
}

// A 0-by-n array has length n but no elements; a struct array has no data.
TEST_F(Cnjsetdiff, RefusesArgumentsWithoutDataForTheirLength) {
  auto noRows = numhost::makeMatrix(0, 3);
  auto b = makeRow({2});
  auto structArray = numhost::makeStruct({});
  EXPECT_EQ(plugin_.call(1, {noRows.get(), b.get()}).error,
            "cnjsetdiff: A or B has no rows but several columns");
  EXPECT_EQ(plugin_.call(1, {b.get(), noRows.get()}).error,
            "cnjsetdiff: A or B has no rows but several columns");
  EXPECT_EQ(plugin_.call(1, {structArray.get(), b.get()}).error,
            "cnjsetdiff: A and B must be real double arrays");
}

TEST_F(Cnjsetdiff, ExportsItsVersionBesideItsEntryPoint) {
  EXPECT_EQ(plugin_.version(), "QUOMAX R14 native");
  EXPECT_THAT(numhost_testing::exportedSymbols(PLUGIN_PATH),
              ::testing::ElementsAre("zyxFunction", "zyxVersion"));
}

}  // namespace
