// Black-box tests: run the built quellmark and compare its exact output.
#include <gtest/gtest.h>

#include "testing/run_program.h"

namespace {

struct Case {
  const char* name;
  std::vector<std::string> arguments;
  const char* expectedOutput;
};

const char kUsage[] = "usage: <height(m)> <width(m)> <thickness(m)> <armor constant>\n";

const Case kCases[] = {
    {"UnitPlate", {"1", "1", "0.01", "5"},
     "computeMassProps(1,1,0.01,5)\nMass: 80\nMomentOfInertia: 26.6693\n"},
    {"WiderThickerPlate", {"2", "1.5", "0.02", "0"},
     "computeMassProps(2,1.5,0.02,0)\nMass: 480\nMomentOfInertia: 640.064\n"},
    {"NoArguments", {}, kUsage},
    {"ThreeArguments", {"1", "1", "0.01"}, kUsage},
    {"NonNumericWordCountsAsZero", {"abc", "1", "0.01", "5"},
     "computeMassProps(0,1,0.01,5)\nMass: 0\nMomentOfInertia: 0\n"},
    {"LeadingNumberOfAWordIsRead", {"2x", "1", "0.01", "7.5"},
     "computeMassProps(2,1,0.01,7.5)\nMass: 160\nMomentOfInertia: 213.339\n"},
    {"FifthArgumentIgnored", {"1", "1", "0.01", "5", "99"},
     "computeMassProps(1,1,0.01,5)\nMass: 80\nMomentOfInertia: 26.6693\n"},
    {"ZeroThickness", {"3", "2", "0", "1"},
     "computeMassProps(3,2,0,1)\nMass: 0\nMomentOfInertia: 0\n"},
    {"LargeValuesUseScientificNotation", {"1000", "1000", "1", "0.1"},
     "computeMassProps(1000,1000,1,0.1)\nMass: 8e+09\nMomentOfInertia: 2.66667e+15\n"},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class QuellmarkTest : public ::testing::TestWithParam<Case> {};

TEST_P(QuellmarkTest, PrintsExactOutputAndExitsWithZero) {
  const Case& c = GetParam();
  auto run = testing_support::runProgram(QUELLMARK_PATH, c.arguments);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.standardOutput, c.expectedOutput);
  EXPECT_EQ(run.standardError, "");
}

INSTANTIATE_TEST_SUITE_P(Arguments, QuellmarkTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Results that cannot be written fail with one line naming the reason; the
// usage text keeps its status 0.
struct LostOutputCase {
  const char* name;
  std::vector<std::string> arguments;
  testing_support::OutputTarget target;
  int status;
  const char* error;
};

class QuellmarkLostOutputTest : public ::testing::TestWithParam<LostOutputCase> {};

TEST_P(QuellmarkLostOutputTest, IsReportedAndFailsTheRun) {
  const LostOutputCase& c = GetParam();
  testing_support::ProgramOptions options;
  options.standardOutput = c.target;
  const auto run = testing_support::runProgram(QUELLMARK_PATH, c.arguments, options);
  EXPECT_EQ(run.exitStatus, c.status);
  EXPECT_EQ(run.standardError, c.error);
}

using testing_support::OutputTarget;
INSTANTIATE_TEST_SUITE_P(
    Targets, QuellmarkLostOutputTest,
    ::testing::Values(
        LostOutputCase{"DeviceFull", {"1", "1", "0.01", "5"}, OutputTarget::DeviceFull, 1,
                       "quellmark: cannot write standard output: No space left on device\n"},
        LostOutputCase{"Closed", {"1", "1", "0.01", "5"}, OutputTarget::Closed, 1,
                       "quellmark: cannot write standard output: Bad file descriptor\n"},
        LostOutputCase{"UsageToDeviceFull", {}, OutputTarget::DeviceFull, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
