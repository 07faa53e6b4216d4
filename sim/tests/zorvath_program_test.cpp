// Black-box tests of the zorvath program: command line, echo, metric lines,
// exit status and the matrix file. Each run happens in a temporary directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "sim/tests/temp_directory.h"
#include "testing/run_program.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The lines that start with one of the echo labels, in order.
std::vector<std::string> echoLines(const std::string& out) {
  std::vector<std::string> echo;
  for (std::string line : linesOf(out)) {
    line.erase(0, line.find_first_not_of(' '));  // the pacer's start text ends in blanks
    for (const char* label : {"ManTime:", "ManMass:", "RampMass:", "TimeMultiplier:"})
      if (line.rfind(label, 0) == 0) echo.push_back(line);
  }
  return echo;
}

// The labels of the metric lines, in order.
std::vector<std::string> metricLabels(const std::string& out) {
  std::vector<std::string> labels;
  for (const std::string& line : linesOf(out)) {
    const std::string label = line.substr(0, line.find(' '));
    for (const char* metric :
         {"TimeAtMaxTorque", "MaxTimeHoldingPeakTorque", "TimeToOpen", "TimeToClose",
          "AverageTorque", "TimeAboveContinuous", "PosErrorMax"})
      if (label == metric) labels.push_back(label);
  }
  return labels;
}

const std::vector<std::string> kMetricOrder = {
    "TimeAtMaxTorque", "MaxTimeHoldingPeakTorque", "TimeToOpen", "TimeToClose",
    "AverageTorque",   "TimeAboveContinuous",      "PosErrorMax"};

class ZorvathProgramTest : public TempDirectoryTest {
 protected:
  testing_support::ProgramRun run(const std::vector<std::string>& arguments) {
    testing_support::ProgramOptions options;
    options.workingDirectory = directory_;
    return testing_support::runProgram(ZORVATH_PATH, arguments, options);
  }
};

TEST_F(ZorvathProgramTest, DefaultsAreEchoedAndTheRunEndsWithTheSevenMetrics) {
  const auto r = run({});
  EXPECT_EQ(r.exitStatus, 0) << r.standardError;
  EXPECT_EQ(r.standardError, "");
  EXPECT_THAT(echoLines(r.standardOutput),
              ElementsAre("ManTime: 2.127766 2.111506 2.760950 2.752465 2.646818 4.212029 "
                          "4.383783 6.366616",
                          "ManMass: 106.000000 98.000000 103.000000 107.000000 101.000000 "
                          "96.000000 102.000000 96.000000",
                          "RampMass: 693.000000", "TimeMultiplier: 0.000000"));
  EXPECT_EQ(metricLabels(r.standardOutput), kMetricOrder);
  // The pacer announces its clock first and counts its timeouts last; the
  // echo comes before the metrics.
  EXPECT_EQ(r.standardOutput.rfind("CPU Frequency 1.00e+09\n       ManTime: ", 0), 0u);
  EXPECT_LT(r.standardOutput.find("TimeMultiplier:"), r.standardOutput.find("TimeAtMaxTorque"));
  EXPECT_THAT(linesOf(r.standardOutput).back(), ::testing::MatchesRegex("[0-9]+ Timeouts"));
  EXPECT_TRUE(filesLeft().empty());
}

TEST_F(ZorvathProgramTest, EachOptionIsTakenAndTheLastRepeatWins) {
  const auto r =
      run({"-ManTime", "0",         "0",        "1",  "1",         "2",   "2",
           "3",        "3",         "-ManMass", "90", "100",       "100", "90",
           "110",      "110",       "100",      "90", "-RampMass", "12",  "-TimeMultiplier",
           "0.001",    "-RampMass", "401"});
  EXPECT_EQ(r.exitStatus, 0) << r.standardError;
  EXPECT_THAT(echoLines(r.standardOutput),
              ElementsAre("ManTime: 0.000000 0.000000 1.000000 1.000000 2.000000 2.000000 "
                          "3.000000 3.000000",
                          "ManMass: 90.000000 100.000000 100.000000 90.000000 110.000000 "
                          "110.000000 100.000000 90.000000",
                          "RampMass: 401.000000", "TimeMultiplier: 0.001000"));
  EXPECT_EQ(metricLabels(r.standardOutput), kMetricOrder);
}

struct RejectedCase {
  const char* title;
  std::vector<std::string> arguments;
  const char* word;
};

class RejectedCommandLineTest : public ZorvathProgramTest,
                                public ::testing::WithParamInterface<RejectedCase> {};

TEST_P(RejectedCommandLineTest, PrintsTheUsageAndEndsWithMinusOneBeforeAnyStep) {
  const RejectedCase& c = GetParam();
  const auto r = run(c.arguments);
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(r.standardOutput, std::string("CPU Frequency 1.00e+09\n       Did not understand: ") +
                                  c.word +
                                  "\n\nCommand line argument format examples: \n"
                                  "-ManTime 0 0 1 1 2 2 3 3\n"
                                  "-ManMass 90 100 100 90 110 110 100 90\n"
                                  "-RampMass 401\n");
  EXPECT_TRUE(filesLeft().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Words, RejectedCommandLineTest,
    ::testing::Values(
        RejectedCase{"WrongCase", {"-manmass", "1", "2", "3", "4", "5", "6", "7", "8"}, "-manmass"},
        RejectedCase{"Unknown", {"-RampMass", "401", "-Speed", "3"}, "-Speed"},
        RejectedCase{"PrefixOnly", {"-Ramp", "401"}, "-Ramp"},
        RejectedCase{"SevenValues", {"-ManTime", "0", "0", "1", "1", "2", "2", "3"}, "-ManTime"},
        RejectedCase{
            "NoValue",
            {"-ManMass", "90", "100", "100", "90", "110", "110", "100", "90", "-TimeMultiplier"},
            "-TimeMultiplier"},
        RejectedCase{"EmptyWord", {""}, ""}),
    [](const auto& info) { return std::string(info.param.title); });

// A mass that is not finite, or so large or small that the motion overflows,
// ends the run as an engine failure: the metrics are printed, then the
// engine's message, and the status is 1.
struct MassCase {
  const char* title;
  std::vector<std::string> arguments;
};

class NonFiniteMassTest : public ZorvathProgramTest,
                          public ::testing::WithParamInterface<MassCase> {};

TEST_P(NonFiniteMassTest, EndsAsAnEngineFailureAfterTheMetrics) {
  const auto r = run(GetParam().arguments);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(metricLabels(r.standardOutput), kMetricOrder);
  EXPECT_THAT(r.standardError,
              ::testing::MatchesRegex("Error originates in Mechanical block [^\n]*\n"));
  EXPECT_TRUE(filesLeft().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Masses, NonFiniteMassTest,
    ::testing::Values(
        MassCase{"RampMassNaN", {"-RampMass", "nan"}},
        MassCase{"RampMassInfinite", {"-RampMass", "inf"}},
        MassCase{"RampMassHuge", {"-RampMass", "1e308"}},
        MassCase{"RampMassSubnormal", {"-RampMass", "4.9e-324"}},
        MassCase{"ManMassInfinite", {"-ManMass", "inf", "1", "1", "1", "1", "1", "1", "1"}},
        MassCase{"ManMassHuge", {"-ManMass", "1e308", "1", "1", "1", "1", "1", "1", "1"}},
        MassCase{"ManMassNaN", {"-ManMass", "1", "1", "1", "1", "1", "1", "1", "nan"}}),
    [](const auto& info) { return std::string(info.param.title); });

// Output that cannot be written fails the run: status 1 and one line on
// standard error that names the reason. The usage status stays 255.
struct LostOutputCase {
  const char* title;
  std::vector<std::string> arguments;
  testing_support::OutputTarget target;
  int status;
  const char* error;
};

class LostOutputTest : public ZorvathProgramTest,
                       public ::testing::WithParamInterface<LostOutputCase> {};

TEST_P(LostOutputTest, IsReportedAndFailsTheRun) {
  const LostOutputCase& c = GetParam();
  testing_support::ProgramOptions options;
  options.workingDirectory = directory_;
  options.standardOutput = c.target;
  const auto r = testing_support::runProgram(ZORVATH_PATH, c.arguments, options);
  EXPECT_EQ(r.exitStatus, c.status);
  EXPECT_EQ(r.standardError, c.error);
  EXPECT_TRUE(filesLeft().empty());
}

using testing_support::OutputTarget;
INSTANTIATE_TEST_SUITE_P(
    Targets, LostOutputTest,
    ::testing::Values(
        LostOutputCase{"DeviceFull", {}, OutputTarget::DeviceFull, 1,
                       "zorvath: cannot write standard output: No space left on device\n"},
        LostOutputCase{"Closed", {}, OutputTarget::Closed, 1,
                       "zorvath: cannot write standard output: Bad file descriptor\n"},
        LostOutputCase{"UsageToDeviceFull", {"-Speed"}, OutputTarget::DeviceFull, 255, ""},
        LostOutputCase{
            "EngineFailureToDeviceFull", {"-RampMass", "0"}, OutputTarget::DeviceFull, 1,
            "Error originates in Mechanical block "
            "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant "
            "Model/RampLinkage/Revolute1. The motion is singular (the mass matrix is singular). "
            "Check the mass properties and joint axes of the attached bodies.\n"
            "zorvath: cannot write standard output: No space left on device\n"}),
    [](const auto& info) { return std::string(info.param.title); });

TEST_F(ZorvathProgramTest, MatrixFileIsCreatedAndRemovedAgain) {
  // A file of that name is replaced by the run's (empty) matrix file, which
  // is then removed: nothing is logged.
  std::ofstream("zorvath.qmf") << "left over from an earlier run";
  const auto r = run({});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_FALSE(exists("zorvath.qmf"));
  EXPECT_THAT(r.standardOutput, ::testing::Not(HasSubstr("** created")));
}

// A link of that name (symbolic or hard) is replaced like any leftover: the
// run never writes through it, so the file it names (or that it names
// nothing) stays as it was.
TEST_F(ZorvathProgramTest, LinkNamedLikeTheMatrixFileIsNeverWrittenThrough) {
  const std::string data(3893, 'k');
  std::ofstream("kept.dat") << data;
  const struct {
    const char* kind;
    int (*make)(const char* target, const char* name);
    const char* target;
  } links[] = {
      {"symbolic", symlink, "kept.dat"},
      {"symbolic", symlink, "missing.dat"},
      {"hard", link, "kept.dat"},
  };
  for (const auto& made : links) {
    SCOPED_TRACE(std::string(made.kind) + " -> " + made.target);
    ASSERT_EQ(made.make(made.target, "zorvath.qmf"), 0);
    const auto r = run({});
    EXPECT_EQ(r.exitStatus, 0) << r.standardError;
    EXPECT_EQ(r.standardError, "");
    EXPECT_THAT(r.standardOutput, ::testing::Not(HasSubstr("** created")));
    EXPECT_FALSE(exists("zorvath.qmf"));
    EXPECT_FALSE(exists("missing.dat"));
    std::ifstream kept("kept.dat", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), data);
  }
}

// A directory of that name is not the run's to remove: it stays, and the
// failed open is reported on a line of its own.
TEST_F(ZorvathProgramTest, DirectoryNamedLikeTheMatrixFileStaysAndIsReported) {
  ASSERT_EQ(mkdir("zorvath.qmf", 0700), 0);
  const auto r = run({});
  EXPECT_EQ(r.exitStatus, 0) << r.standardError;
  EXPECT_EQ(r.standardError, "*** Error opening zorvath.qmf\n");
  struct stat status;
  ASSERT_EQ(lstat("zorvath.qmf", &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
}

}  // namespace
