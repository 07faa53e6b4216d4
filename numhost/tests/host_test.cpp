// The host stand-in through its loader: what a call hands back, what it frees,
// and the errors it raises for plug-ins that misuse host arrays.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "exported_symbols.h"
#include "numhost/loader.h"

namespace {

using numhost::makeScalar;
using numhost::valuesOf;
using ::testing::ElementsAre;
using ::testing::StartsWith;

// Actions of the probe plug-in (its first argument).
constexpr double kReturnResultAndLeaveTemporaries = 1;
constexpr double kRaiseAfterAllocating = 2;
constexpr double kDestroyArgument = 3;
constexpr double kReturnArgument = 4;
constexpr double kShrinkAndRegrowRows = 5;
constexpr double kGrowRowsBeyondData = 6;
constexpr double kReportCounts = 7;

class ProbeCall : public ::testing::Test {
 protected:
  numhost::CallOutcome callProbe(double action, int resultCount = 1) {
    argument_ = makeScalar(action);
    arraysBefore_ = numhost::liveArrayCount();
    blocksBefore_ = numhost::liveBlockCount();
    return probe_.call(resultCount, {argument_.get()});
  }
  std::size_t newArrays() const { return numhost::liveArrayCount() - arraysBefore_; }
  std::size_t newBlocks() const { return numhost::liveBlockCount() - blocksBefore_; }

  numhost::Plugin probe_{PROBE_PLUGIN_PATH};
  numhost::ArrayPtr argument_;
  std::size_t arraysBefore_ = 0;
  std::size_t blocksBefore_ = 0;
};

TEST_F(ProbeCall, HandsOverResultsAndFreesTemporariesAndBlocks) {
  auto outcome = callProbe(kReturnResultAndLeaveTemporaries);
  ASSERT_FALSE(outcome.error) << *outcome.error;
  ASSERT_EQ(outcome.results.size(), 1u);
  EXPECT_THAT(valuesOf(*outcome.results[0]), ElementsAre(1.0, 2.0));
  EXPECT_EQ(newArrays(), 1u);  // only the result
  EXPECT_EQ(newBlocks(), 0u);
  outcome.results.clear();
  EXPECT_EQ(newArrays(), 0u);
}

TEST_F(ProbeCall, RaisedErrorEndsTheCallAndFreesEverythingItMade) {
  auto outcome = callProbe(kRaiseAfterAllocating);
  EXPECT_EQ(outcome.error, "probe: raised on purpose");
  EXPECT_TRUE(outcome.results.empty());
  EXPECT_EQ(newArrays(), 0u);
  EXPECT_EQ(newBlocks(), 0u);
}

TEST_F(ProbeCall, ArgumentsCannotBeDestroyedOrReturned) {
  for (double action : {kDestroyArgument, kReturnArgument}) {
    auto outcome = callProbe(action);
    ASSERT_TRUE(outcome.error);
    EXPECT_THAT(*outcome.error, StartsWith(action == kDestroyArgument ? "zyDestroyArray:"
                                                                      : "numhost: a result array"));
    EXPECT_TRUE(outcome.results.empty());
    EXPECT_THAT(valuesOf(*argument_), ElementsAre(action));
  }
}

TEST_F(ProbeCall, RowCountChangesStayWithinTheCreatedData) {
  auto regrown = callProbe(kShrinkAndRegrowRows);
  ASSERT_FALSE(regrown.error) << *regrown.error;
  EXPECT_THAT(valuesOf(*regrown.results[0]), ElementsAre(5.0, 6.0));

  auto grown = callProbe(kGrowRowsBeyondData);
  EXPECT_EQ(grown.error, "zySetM_700: row count exceeds the array's data");
  EXPECT_EQ(newArrays(), 0u);
}

TEST_F(ProbeCall, OffersOneSlotPerResultAskedForAndAtLeastOne) {
  auto none = callProbe(kReportCounts, 0);
  ASSERT_EQ(none.results.size(), 1u);
  EXPECT_THAT(valuesOf(*none.results[0]), ElementsAre(0.0, 1.0));

  auto three = callProbe(kReportCounts, 3);
  ASSERT_EQ(three.results.size(), 3u);
  EXPECT_THAT(valuesOf(*three.results[0]), ElementsAre(3.0, 1.0));
  EXPECT_EQ(three.results[1], nullptr);
  EXPECT_EQ(three.results[2], nullptr);
}

TEST(Loader, ReportsMissingFilesAndMissingEntryPoints) {
  EXPECT_THROW(numhost::Plugin("/nonexistent/plugin.so"), numhost::LoadError);
  try {
    numhost::Plugin plugin(NO_ENTRY_PLUGIN_PATH);
    FAIL() << "opened a shared object without zyxFunction";
  } catch (const numhost::LoadError& error) {
    EXPECT_THAT(error.what(), StartsWith("numhost: plug-in exports no zyxFunction: "));
  }
}

TEST(Loader, PluginWithoutVersionEntryHasNoVersion) {
  numhost::Plugin probe(PROBE_PLUGIN_PATH);
  EXPECT_EQ(probe.version(), std::nullopt);
  EXPECT_THAT(numhost_testing::exportedSymbols(PROBE_PLUGIN_PATH), ElementsAre("zyxFunction"));
}

TEST(HostArrays, StructFieldsAreFoundByNameAndAbsentOtherwise) {
  std::vector<numhost::NamedField> fields;
  fields.emplace_back("l", makeScalar(2));
  auto cone = numhost::makeStruct(std::move(fields));
  auto matrix = numhost::makeMatrix(2, 3);

  ASSERT_NE(zyGetField_700(cone.get(), 0, "l"), nullptr);
  EXPECT_EQ(zyGetScalar(zyGetField_700(cone.get(), 0, "l")), 2.0);
  EXPECT_EQ(zyGetField_700(cone.get(), 0, "q"), nullptr);
  EXPECT_EQ(zyGetField_700(cone.get(), 1, "l"), nullptr);  // past its one element
  EXPECT_EQ(zyGetField_700(matrix.get(), 0, "l"), nullptr);
  EXPECT_EQ(zyGetPr(cone.get()), nullptr);
  EXPECT_EQ(zyGetScalar(numhost::makeMatrix(0, 0).get()), 0.0);
  EXPECT_EQ(zyGetM(matrix.get()), 2u);
  EXPECT_EQ(zyGetN(matrix.get()), 3u);
}

}  // namespace
