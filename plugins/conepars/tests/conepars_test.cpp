// conepars through the host loader: identity vectors of cone descriptions, the
// precomputed-field path, and descriptions that would place entries outside
// the vector.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "bit_exact.h"
#include "exported_symbols.h"
#include "numhost/loader.h"

namespace {

using numhost::valuesOf;
using numhost_testing::bitExact;

using FieldList = std::vector<std::pair<std::string, std::vector<double>>>;

// A cone description with each field a row of doubles.
numhost::ArrayPtr coneOf(const FieldList& fields) {
  std::vector<numhost::NamedField> named;
  for (const auto& [name, values] : fields) {
    named.emplace_back(name, numhost::makeMatrix(1, values.size(), values));
  }
  return numhost::makeStruct(std::move(named));
}

constexpr double kRoot2 = 1.4142135623730951;

// Precomputed fields besides "blkstart"; their values do not shape the vector.
FieldList withPrecomputed(FieldList fields, std::vector<double> blkstart) {
  for (const char* name : {"rLen", "hLen", "qMaxn", "rMaxn", "hMaxn"}) {
    fields.emplace_back(name, std::vector<double>{0});
  }
  fields.emplace_back("blkstart", std::move(blkstart));
  return fields;
}

const FieldList kNonnegativeQAndRealS = {{"l", {2}}, {"q", {3}}, {"s", {2}}};
// Offsets: q cones at 0 and 2, r cone at 5, real 1-by-1 block at 8, complex
// 2-by-2 block at 9 (diagonal at 9 and 12, 8 entries), 17 in all.
const FieldList kAllConeKinds = {{"q", {2, 3}}, {"r", {3}}, {"s", {1, 2}}, {"rsdpN", {1}}};
const std::vector<double> kAllConeKindsVector = {kRoot2, 0, kRoot2, 0, 0, 1, 1, 0, 1,
                                                 1,      0, 0,      1, 0, 0, 0, 0};

struct Case {
  const char* name;
  FieldList cone;
  std::vector<double> expected;
};
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

const Case kCases[] = {
    {"NonnegativeSecondOrderAndRealBlock", kNonnegativeQAndRealS, {1, 1, kRoot2, 0, 0, 1, 0, 0, 1}},
    {"AllConeKinds", kAllConeKinds, kAllConeKindsVector},
    // A lone 0 is no cone; as a cone of size 0 it would reach past the end.
    {"LoneZeroCountsAsAbsent", {{"l", {2}}, {"q", {0}}, {"r", {0}}, {"s", {0}}}, {1, 1}},
    {"OnlyFreeVariables", {{"f", {5}}}, {}},
    {"EmptyDescription", {}, {}},
    {"RealBlocksByDefault", {{"s", {2, 1}}}, {1, 0, 0, 1, 1}},
    {"RsdpNZeroMakesBlocksComplex", {{"s", {1}}, {"rsdpN", {0}}}, {1, 0}},
    {"SizesAreTruncated", {{"l", {1.9}}, {"q", {2.7}}}, {1, kRoot2, 0}},
    {"PrecomputedFields", withPrecomputed(kAllConeKinds, {1, 3, 6, 6, 7, 15}), kAllConeKindsVector},
    // The length comes from blkstart (q spans 5, the real block 6), the
    // entries from the size lists.
    {"PrecomputedLengthFromBlkstart",
     withPrecomputed(kNonnegativeQAndRealS, {1, 4, 6, 12}),
     {1, 1, kRoot2, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0}},
    {"BlkstartAloneIsNotUsed",
     {{"l", {2}}, {"q", {3}}, {"s", {2}}, {"blkstart", {1}}},
     {1, 1, kRoot2, 0, 0, 1, 0, 0, 1}},
};

class ConeparsCase : public ::testing::TestWithParam<Case> {};

TEST_P(ConeparsCase, BuildsTheIdentityColumn) {
  const Case& c = GetParam();
  numhost::Plugin plugin(PLUGIN_PATH);
  auto cone = coneOf(c.cone);
  auto outcome = plugin.call(1, {cone.get()});
  ASSERT_FALSE(outcome.error) << *outcome.error;
  const zyArray* result = outcome.results[0].get();
  EXPECT_EQ(zyGetM(result), c.expected.size());
  EXPECT_EQ(zyGetN(result), 1u);
  EXPECT_TRUE(bitExact(valuesOf(*result), c.expected));
}

INSTANTIATE_TEST_SUITE_P(Cones, ConeparsCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

constexpr char kPastEnd[] = "conepars: cone sizes reach outside the cone vector";

struct BadCase {
  const char* name;
  FieldList cone;
  const char* error;
};
void PrintTo(const BadCase& c, std::ostream* os) {
  *os << c.name;
}

const BadCase kBadCases[] = {
    // blkstart makes the vector 5 long; the real 2-by-2 block needs 9.
    {"BlkstartShorterThanSizes", withPrecomputed(kNonnegativeQAndRealS, {1, 2, 3, 4}), kPastEnd},
    {"BlkstartMissingBoundaries", withPrecomputed(kNonnegativeQAndRealS, {1, 4}),
     "conepars: blkstart does not cover the cones described"},
    {"PrecomputedRsdpNBeyondBlkstart", withPrecomputed({{"s", {2}}, {"rsdpN", {5}}}, {1, 1, 1, 5}),
     "conepars: blkstart does not cover the cones described"},
    {"ZeroSizedLastCone", {{"q", {2, 0}}}, kPastEnd},
    {"RotatedConeOfOne", {{"r", {1}}}, kPastEnd},
    {"NegativeConeSize", {{"q", {3, -2, 1}}}, kPastEnd},
    {"NegativeLength", {{"l", {-1}}}, "conepars: the cone sizes give a negative vector length"},
    {"RsdpNAboveBlockCount",
     {{"s", {2}}, {"rsdpN", {2}}},
     "conepars: rsdpN must lie between 0 and the number of semidefinite blocks"},
    {"NegativeRsdpN",
     {{"s", {2}}, {"rsdpN", {-1}}},
     "conepars: rsdpN must lie between 0 and the number of semidefinite blocks"},
    {"BlockTooLargeForMemory", {{"s", {40000}}}, "numhost: out of memory"},
    {"LengthBeyondAddressSpace", {{"s", {1e9}}}, "conepars: cone sizes are too large"},
};

class ConeparsBadCase : public ::testing::TestWithParam<BadCase> {};

TEST_P(ConeparsBadCase, RaisesAHostErrorAndLeavesNothingBehind) {
  const BadCase& c = GetParam();
  numhost::Plugin plugin(PLUGIN_PATH);
  auto cone = coneOf(c.cone);
  const std::size_t arraysBefore = numhost::liveArrayCount();
  auto outcome = plugin.call(1, {cone.get()});
  EXPECT_EQ(outcome.error, c.error);
  EXPECT_TRUE(outcome.results.empty());
  EXPECT_EQ(numhost::liveArrayCount(), arraysBefore);
}

INSTANTIATE_TEST_SUITE_P(Cones, ConeparsBadCase, ::testing::ValuesIn(kBadCases),
                         [](const auto& info) { return std::string(info.param.name); });

class Conepars : public ::testing::Test {
 protected:
  numhost::Plugin plugin_{PLUGIN_PATH};
};

TEST_F(Conepars, NeedsADescription) {
  EXPECT_EQ(plugin_.call(1, std::initializer_list<const zyArray*>{}).error,
            "conepars: expects the cone description as its argument");
}

// A double array has no fields, so every field counts as absent.
TEST_F(Conepars, NonStructDescriptionHasNoCones) {
  auto notAStruct = numhost::makeRow({2, 3});
  auto outcome = plugin_.call(1, {notAStruct.get()});
  ASSERT_FALSE(outcome.error) << *outcome.error;
  EXPECT_EQ(zyGetM(outcome.results[0].get()), 0u);
}

TEST_F(Conepars, RefusesFieldsWithoutRealData) {
  std::vector<numhost::NamedField> fields;
  fields.emplace_back("q", numhost::makeStruct({}));
  auto cone = numhost::makeStruct(std::move(fields));
  EXPECT_EQ(plugin_.call(1, {cone.get()}).error,
            "conepars: cone description fields must be real double arrays");
}

TEST_F(Conepars, ExportsOnlyItsEntryPoint) {
  EXPECT_THAT(numhost_testing::exportedSymbols(PLUGIN_PATH), ::testing::ElementsAre("zyxFunction"));
}

}  // namespace
