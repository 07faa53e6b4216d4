// rquaddadd through the host loader: exact double-double sums, one or two results.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "bit_exact.h"
#include "exported_symbols.h"
#include "numhost/loader.h"

namespace {

using numhost::makeColumn;
using numhost::valuesOf;
using numhost_testing::bitExact;

struct Case {
  const char* name;
  double x, y, z;
  double hi, lo;
};
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

const Case kCases[] = {
    // |z| <= |x|: the low part keeps what hi cannot hold.
    {"TinyAddendGoesToLowPart", 1.0, 0.0, std::ldexp(1.0, -60), 1.0, std::ldexp(1.0, -60)},
    {"CancellingHighPartsLeaveLowPart", 3.0, 1e-17, -3.0, 0.0, 1e-17},
    // |z| > |x|: the other branch.
    {"RoundingErrorOfTheSum", 0.1, 0.0, 0.2, 0.30000000000000004, -std::ldexp(1.0, -55)},
};

class RquaddaddCase : public ::testing::TestWithParam<Case> {};

TEST_P(RquaddaddCase, GivesExactHighAndLowParts) {
  const Case& c = GetParam();
  numhost::Plugin plugin(PLUGIN_PATH);
  auto x = makeColumn({c.x}), y = makeColumn({c.y}), z = makeColumn({c.z});
  auto outcome = plugin.call(2, {x.get(), y.get(), z.get()});
  ASSERT_FALSE(outcome.error) << *outcome.error;
  ASSERT_EQ(outcome.results.size(), 2u);
  EXPECT_TRUE(bitExact(valuesOf(*outcome.results[0]), {c.hi}));
  EXPECT_TRUE(bitExact(valuesOf(*outcome.results[1]), {c.lo}));
}

INSTANTIATE_TEST_SUITE_P(Sums, RquaddaddCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

class Rquaddadd : public ::testing::Test {
 protected:
  numhost::Plugin plugin_{PLUGIN_PATH};
};

TEST_F(Rquaddadd, WorksElementwiseOnColumns) {
  auto x = makeColumn({1.0, 3.0, 0.1});
  auto y = makeColumn({0.0, 1e-17, 0.0});
  auto z = makeColumn({std::ldexp(1.0, -60), -3.0, 0.2});
  auto outcome = plugin_.call(2, {x.get(), y.get(), z.get()});
  ASSERT_FALSE(outcome.error) << *outcome.error;
  EXPECT_EQ(zyGetN(outcome.results[0].get()), 1u);
  EXPECT_TRUE(bitExact(valuesOf(*outcome.results[0]), {1.0, 0.0, 0.30000000000000004}));
  EXPECT_TRUE(bitExact(valuesOf(*outcome.results[1]),
                       {std::ldexp(1.0, -60), 1e-17, -std::ldexp(1.0, -55)}));
}

TEST_F(Rquaddadd, OneResultAskedForReturnsOnlyHighAndFreesLow) {
  auto x = makeColumn({0.1}), y = makeColumn({0.0}), z = makeColumn({0.2});
  for (int resultCount : {0, 1}) {
    const std::size_t arraysBefore = numhost::liveArrayCount();
    auto outcome = plugin_.call(resultCount, {x.get(), y.get(), z.get()});
    ASSERT_FALSE(outcome.error) << *outcome.error;
    ASSERT_EQ(outcome.results.size(), 1u);
    EXPECT_TRUE(bitExact(valuesOf(*outcome.results[0]), {0.30000000000000004}));
    EXPECT_EQ(numhost::liveArrayCount(), arraysBefore + 1);
  }
}

TEST_F(Rquaddadd, NeverReturnsMoreThanTwoResults) {
  auto x = makeColumn({1.0}), y = makeColumn({0.0}), z = makeColumn({1.0});
  auto outcome = plugin_.call(3, {x.get(), y.get(), z.get()});
  ASSERT_FALSE(outcome.error) << *outcome.error;
  ASSERT_EQ(outcome.results.size(), 3u);
  EXPECT_NE(outcome.results[1], nullptr);
  EXPECT_EQ(outcome.results[2], nullptr);
}

// Shapes that would make it read past an argument raise an error instead.
TEST_F(Rquaddadd, RefusesArgumentsItWouldReadPast) {
  auto column3 = makeColumn({1, 2, 3});
  auto column2 = makeColumn({1, 2});
  auto threeRowsNoColumns = numhost::makeMatrix(3, 0);
  std::vector<numhost::NamedField> fields;
  auto structArray = numhost::makeStruct(std::move(fields));
  const std::size_t arraysBefore = numhost::liveArrayCount();

  EXPECT_EQ(plugin_.call(2, {column3.get(), column3.get()}).error,
            "rquaddadd: expects three arguments (x, y, z)");
  const char* kTooFew =
      "rquaddadd: x, y and z must each hold at least as many elements as x has rows";
  EXPECT_EQ(plugin_.call(2, {column3.get(), column2.get(), column3.get()}).error, kTooFew);
  EXPECT_EQ(plugin_.call(2, {column3.get(), column3.get(), column2.get()}).error, kTooFew);
  EXPECT_EQ(plugin_.call(2, {threeRowsNoColumns.get(), column3.get(), column3.get()}).error,
            kTooFew);
  EXPECT_EQ(plugin_.call(2, {column3.get(), structArray.get(), column3.get()}).error,
            "rquaddadd: x, y and z must be real double arrays");
  EXPECT_EQ(numhost::liveArrayCount(), arraysBefore);
}

TEST(RquaddaddExports, OnlyItsEntryPoint) {
  EXPECT_THAT(numhost_testing::exportedSymbols(PLUGIN_PATH), ::testing::ElementsAre("zyxFunction"));
}

}  // namespace
