// Black-box tests of zorvath_cli's command line: only -ManTime and -ManMass
// are understood; anything else, or an option short of its eight values,
// prints the usage text and ends with -1 before any step (so nothing is
// sent). Each run happens in a temporary directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/tests/temp_directory.h"
#include "testing/run_program.h"

namespace {

constexpr const char* kUsage =
    "\nCommand line argument format example: \n"
    "-ManTime 0 0 1 1 2 2 3 3\n"
    "And/Or\n"
    "-ManMass 90 100 100 90 110 110 100 90\n";

struct RejectedCase {
  const char* title;
  std::vector<std::string> arguments;
  const char* echoedFirst;  // echo lines of the options read before the word
  const char* word;
};

class RejectedCliCommandLineTest : public TempDirectoryTest,
                                   public ::testing::WithParamInterface<RejectedCase> {};

TEST_P(RejectedCliCommandLineTest, PrintsTheUsageAndEndsWithMinusOne) {
  const RejectedCase& c = GetParam();
  testing_support::ProgramOptions options;
  options.workingDirectory = directory_;
  const auto r = testing_support::runProgram(ZORVATH_CLI_PATH, c.arguments, options);
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(r.standardOutput,
            std::string(c.echoedFirst) + "Did not understand: " + c.word + "\n" + kUsage);
  EXPECT_EQ(r.standardError, "");
  EXPECT_TRUE(filesLeft().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Words, RejectedCliCommandLineTest,
    ::testing::Values(
        RejectedCase{"RampMass", {"-RampMass", "401"}, "", "-RampMass"},
        RejectedCase{"RampMassWithoutValue", {"-RampMass"}, "", "-RampMass"},
        RejectedCase{"TimeMultiplier", {"-TimeMultiplier", "2"}, "", "-TimeMultiplier"},
        RejectedCase{"TimeMultiplierWithoutValue", {"-TimeMultiplier"}, "", "-TimeMultiplier"},
        RejectedCase{
            "WrongCase", {"-mantime", "1", "2", "3", "4", "5", "6", "7", "8"}, "", "-mantime"},
        RejectedCase{"ThreeValues", {"-ManTime", "1", "2", "3"}, "", "-ManTime"},
        RejectedCase{
            "SevenValues", {"-ManMass", "1", "2", "3", "4", "5", "6", "7"}, "", "-ManMass"},
        RejectedCase{"NoValue", {"-ManMass"}, "", "-ManMass"},
        RejectedCase{"EmptyWord", {""}, "", ""},
        RejectedCase{
            "AfterAnOptionThatWasRead",
            {"-ManMass", "90", "100", "100", "90", "110", "110", "100", "90", "-RampMass", "401"},
            "ManMass: 90.000000 100.000000 100.000000 90.000000 110.000000 110.000000 "
            "100.000000 90.000000\n",
            "-RampMass"},
        RejectedCase{"ShortAfterAnOptionThatWasRead",
                     {"-ManTime", "0", "0", "1", "1", "2", "2", "3", "3", "-ManTime", "0"},
                     "ManTime: 0.000000 0.000000 1.000000 1.000000 2.000000 2.000000 3.000000 "
                     "3.000000\n",
                     "-ManTime"}),
    [](const auto& info) { return std::string(info.param.title); });

// A non-finite or overflowing person's mass ends the run as an engine
// failure: the seven metric lines, then the engine's message, status 1.
struct MassCase {
  const char* title;
  std::vector<std::string> arguments;
};

class CliNonFiniteMassTest : public TempDirectoryTest,
                             public ::testing::WithParamInterface<MassCase> {};

TEST_P(CliNonFiniteMassTest, EndsAsAnEngineFailureAfterTheMetrics) {
  testing_support::ProgramOptions options;
  options.workingDirectory = directory_;
  const auto r = testing_support::runProgram(ZORVATH_CLI_PATH, GetParam().arguments, options);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_THAT(r.standardOutput,
              ::testing::MatchesRegex("ManMass: [^\n]*\nTimeAtMaxTorque [^\n]*\n"
                                      "MaxTimeHoldingPeakTorque [^\n]*\nTimeToOpen [^\n]*\n"
                                      "TimeToClose [^\n]*\nAverageTorque [^\n]*\n"
                                      "TimeAboveContinuous [^\n]*\nPosErrorMax [^\n]*\n"));
  EXPECT_THAT(r.standardError,
              ::testing::MatchesRegex("Error originates in Mechanical block [^\n]*\n"));
  EXPECT_TRUE(filesLeft().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Masses, CliNonFiniteMassTest,
    ::testing::Values(
        MassCase{"LastInfinite",
                 {"-ManMass", "100", "100", "100", "100", "100", "100", "100", "inf"}},
        MassCase{"FirstNaN", {"-ManMass", "nan", "100", "100", "100", "100", "100", "100", "100"}},
        MassCase{"Huge", {"-ManMass", "100", "100", "100", "1e308", "100", "100", "100", "100"}}),
    [](const auto& info) { return std::string(info.param.title); });

// Output that cannot be written fails the run with one line naming the reason.
struct LostOutputCase {
  const char* title;
  testing_support::OutputTarget target;
  const char* error;
};

class CliLostOutputTest : public TempDirectoryTest,
                          public ::testing::WithParamInterface<LostOutputCase> {};

TEST_P(CliLostOutputTest, IsReportedAndFailsTheRun) {
  testing_support::ProgramOptions options;
  options.workingDirectory = directory_;
  options.standardOutput = GetParam().target;
  const auto r = testing_support::runProgram(ZORVATH_CLI_PATH, {}, options);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.standardError, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, CliLostOutputTest,
    ::testing::Values(
        LostOutputCase{"DeviceFull", testing_support::OutputTarget::DeviceFull,
                       "zorvath_cli: cannot write standard output: No space left on device\n"},
        LostOutputCase{"Closed", testing_support::OutputTarget::Closed,
                       "zorvath_cli: cannot write standard output: Bad file descriptor\n"}),
    [](const auto& info) { return std::string(info.param.title); });

// The matrix file is written as zorvath writes it: a symbolic link of its name
// is replaced, never written through.
class CliMatrixFileTest : public TempDirectoryTest {};

TEST_F(CliMatrixFileTest, LinkOfItsNameIsNeverWrittenThrough) {
  const std::string data(3893, 'k');
  std::ofstream("kept.dat") << data;
  ASSERT_EQ(symlink("kept.dat", "zorvath.qmf"), 0);
  testing_support::ProgramOptions options;
  options.workingDirectory = directory_;
  const auto r = testing_support::runProgram(ZORVATH_CLI_PATH, {}, options);
  EXPECT_EQ(r.exitStatus, 0) << r.standardError;
  EXPECT_EQ(r.standardError, "");
  EXPECT_FALSE(exists("zorvath.qmf"));
  std::ifstream kept("kept.dat", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), data);
}

}  // namespace
