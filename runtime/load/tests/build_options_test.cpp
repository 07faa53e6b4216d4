// The build's options: sizes as size_decode reads them, and each option's
// effect, message and exit status, seen from a child process that runs the
// build up to the collector's start and prints the settings it reached.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/load/build_from_scratch.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/small_services.h"
#include "testing/run_program.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProgramRun;
using testing_support::runProgram;

struct SizeCase {
  const char* text;
  uint32_t bytes;
};

TEST(SizeDecode, TheLastCharacterChoosesTheMultiplier) {
  const SizeCase cases[] = {
      {"8m", 8388608}, {"8M", 8388608},        {"8", 8},
      {"8k", 8192},    {"8K", 8192},           {"8B", 8},
      {"8b", 8},       {"4095m", 0xFFF00000u}, {"4294967295", 0xFFFFFFFFu},
      {"12abc5", 12},
  };
  for (const SizeCase& size : cases) EXPECT_EQ(size_decode(size.text), size.bytes) << size.text;
}

struct RefusedSize {
  const char* text;
  const char* message;
};

TEST(SizeDecode, RefusesWhatIsNotASizeOf32Bits) {
  const RefusedSize cases[] = {
      {"8g", "illegal multiplier for size: g\n"},
      {"", "illegal size: \n"},
      {"5000m", "illegal size: 5000m\n"},
      {"4194304k", "illegal size: 4194304k\n"},
      {"-4m", "illegal size: -4m\n"},
      {"99999999999999999999", "illegal size: 99999999999999999999\n"},
  };
  for (const RefusedSize& size : cases)
    EXPECT_EXIT(size_decode(size.text), ::testing::ExitedWithCode(1),
                std::string("^") + size.message + "$")
        << size.text;
}

TEST(BuildSignals, TheInterruptHandlerStaysAndRecordsTheSignal) {
  const auto previous = std::signal(SIGINT, SIG_DFL);
  for (int& slot : lsignals) slot = 0;
  setupsigs();
  std::raise(SIGINT);
  std::raise(SIGINT);  // handled again: the process is still here
  EXPECT_EQ(lsignals[0], SIGINT);
  EXPECT_EQ(lsignals[1], 0);  // one slot per signal
  EXPECT_EQ(std::signal(SIGINT, previous), &gotsig_helper);
  lsignals[0] = 0;
}

using Settings = std::map<std::string, std::string>;

// A temporary home directory and the build host run with it.
class BuildOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/build_options_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
  }
  void TearDown() override { fs::remove_all(home_); }

  ProgramRun build(const std::vector<std::string>& options, const std::string& home) const {
    std::vector<std::string> arguments = {home, "prog"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return runProgram(BUILD_HOST_PATH, arguments);
  }
  ProgramRun build(const std::vector<std::string>& options) const {
    return build(options, home_.string());
  }

  // A pure library that maps: a header and an empty code section.
  std::string writeLibrary(const std::string& name) const {
    lso_header header{};
    header.magic = kLsoMagic;
    header.code_start = header.code_fill = sizeof header;
    const fs::path path = home_ / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(&header), sizeof header);
    return path.string();
  }

  fs::path home_;
};

struct EffectCase {
  std::vector<std::string> options;
  Settings expected;  // only the settings named here are compared
};

void expectSettings(const ProgramRun& run, const Settings& expected, const std::string& trace) {
  SCOPED_TRACE(trace);
  ASSERT_EQ(run.exitStatus, 0) << run.standardError;
  Settings actual;
  std::istringstream lines(run.standardOutput);
  for (std::string line; std::getline(lines, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) actual[line.substr(0, equals)] = line.substr(equals + 1);
  }
  for (const auto& [name, value] : expected) EXPECT_EQ(actual[name], value) << name;
}

std::string joined(const std::vector<std::string>& words) {
  std::string all;
  for (const std::string& word : words) all += word + " ";
  return all;
}

TEST_F(BuildOptions, DefaultsHoldWithoutOptions) {
  const ProgramRun run = build({});
  expectSettings(run,
                 {{"new", "5242880"},
                  {"old", "1048576"},
                  {"spread", "1"},
                  {"reserve", "51200"},
                  {"lisp_start", "0"},
                  {"lisp_size", "0"},
                  {"native_start", "0"},
                  {"native_size", "0"},
                  {"maxheapsize", "67108864"},
                  {"raz_start_argsave", "1"},
                  {"raz_start_xi", "1"},
                  {"raz_start_sfi", "1"},
                  {"raz_start_lni", "1"},
                  {"raz_start_sld", "0"},
                  {"raz_start_prof", "0"},
                  {"raz_sample_file", "./samples"},
                  {"raz_size_file", "./sizes"},
                  {"force_full_fasl", "0"},
                  {"force_full_fasl2", "0"},
                  {"save_force_full_fasl", "0"},
                  {"load_real_args", "2"},
                  {"raz_fasl_noisy", "1"},
                  {"init_case_mode", "0"},
                  {"curreadmode", "0"},
                  {"use_lso_file", "0"},
                  {"bundlename", "files.vxb"},
                  {"lso_file", ""},
                  {"vpl_given_arg", ""}},
                 "defaults");
  EXPECT_EQ(run.standardError, "");  // 6 MB is within the 64 MB maximum: no warning
}

TEST_F(BuildOptions, EachOptionSetsItsSetting) {
  const EffectCase cases[] = {
      {{"-n", "8m"}, {{"new", "8388608"}}},
      {{"-n", "8k"}, {{"new", "8192"}}},
      {{"-o", "2m"}, {{"old", "2097152"}}},
      {{"-o2", "-n", "3m"}, {{"old", "1048576"}, {"new", "3145728"}}},
      {{"-t", "3"}, {{"spread", "3"}}},
      {{"-r", "100"}, {{"reserve", "102400"}}},
      {{"-r", "2097151"}, {{"reserve", "2147482624"}}},  // the largest
      {{"-h", "128m"}, {{"maxheapsize", "134217728"}}},
      {{"-hlisp_size", "96m"}, {{"lisp_size", "100663296"}, {"maxheapsize", "100663296"}}},
      {{"-hlisp_start", "512m"}, {{"lisp_start", "536870912"}, {"maxheapsize", "67108864"}}},
      {{"-hc_start", "1536m"}, {{"native_start", "1610612736"}}},
      {{"-hvxmmalloc_start", "1536m"}, {{"native_start", "1610612736"}}},
      {{"-hc_size", "16m"}, {{"native_size", "16777216"}}},
      {{"-hvxmmalloc_size", "16m"}, {{"native_size", "16777216"}}},
      {{"-A"}, {{"raz_start_argsave", "0"}}},
      {{"-Args"}, {{"raz_start_argsave", "0"}}},
      {{"-lxi", "-lsfi", "-llni"},
       {{"raz_start_xi", "0"}, {"raz_start_sfi", "0"}, {"raz_start_lni", "0"}}},
      {{"-lsld"}, {{"raz_start_sld", "0"}}},
      {{"-F"},
       {{"force_full_fasl", "1"}, {"force_full_fasl2", "0"}, {"save_force_full_fasl", "1"}}},
      {{"-FF"}, {{"force_full_fasl", "1"}, {"force_full_fasl2", "1"}}},
      {{"-FF", "-F"}, {{"force_full_fasl", "1"}, {"force_full_fasl2", "0"}}},
      {{"-Fa"}, {{"load_real_args", "1"}}},
      {{"-FA"}, {{"load_real_args", "0"}}},
      {{"-fq"}, {{"raz_fasl_noisy", "0"}}},
      {{"-fg", "rv"}, {{"GsCtlFlags", "1152"}}},  // r 0x80, v 0x400
      {{"-fxyz", "-sfoo"}, {{"raz_fasl_noisy", "1"}}},
      {{"-u"}, {{"init_case_mode", "3"}, {"curreadmode", "3"}}},
      {{"-Pc"}, {{"raz_start_argsave", "3"}, {"raz_start_prof", "4"}}},
      {{"-Ps", "s.dat", "z.dat"},
       {{"raz_start_prof", "2"}, {"raz_sample_file", "s.dat"}, {"raz_size_file", "z.dat"}}},
      {{"-Pc", "-Ps", "a", "b", "-Pt", "c", "d"},
       {{"raz_start_prof", "5"}, {"raz_sample_file", "c"}, {"raz_size_file", "d"}}},
      {{"-cl", "4"}, {{"use_lso_file", "0"}}},
      {{"-B", "dir/my.vxb"}, {{"bundlename", "dir/my.vxb"}}},
      {{"-B", "dir\\my.vxb"}, {{"bundlename", "dir\\my.vxb"}}},
      // Skipped: words without "-", unknown letters, "--" followed by more.
      {{"plain", "-z", "--x", "-n", "8"}, {{"new", "8"}}},
      {{"--", "-n", "8m", "-u"}, {{"new", "5242880"}, {"init_case_mode", "0"}}},
  };
  for (const EffectCase& effect : cases)
    expectSettings(build(effect.options), effect.expected, joined(effect.options));
}

TEST_F(BuildOptions, ABundleNameWithoutDirectoryLiesInTheHome) {
  expectSettings(build({"-B", "my.vxb"}), {{"bundlename", home_.string() + "/my.vxb"}}, "home");
  expectSettings(build({"-B", "my.vxb"}, ""), {{"bundlename", "my.vxb"}}, "no home");
}

TEST_F(BuildOptions, ALibraryIsNamedWholeOrByItsLastPart) {
  const std::string library = writeLibrary("lib/core.vpl");
  expectSettings(build({"-c", library}),
                 {{"lso_file", library}, {"vpl_given_arg", library}, {"use_lso_file", "1"}}, "-c");
  expectSettings(build({"-c.", library}),
                 {{"lso_file", library}, {"vpl_given_arg", "core.vpl"}, {"use_lso_file", "1"}},
                 "-c.");
}

TEST_F(BuildOptions, AStringFileIsCreatedWithItsHeader) {
  const fs::path strings = home_ / "strings.dat";
  expectSettings(build({"-st", strings.string()}), {}, "-st");
  ASSERT_TRUE(fs::exists(strings));
  EXPECT_EQ(fs::file_size(strings), 8u);
}

struct StopCase {
  std::vector<std::string> options;
  std::string standardError;
};

TEST_F(BuildOptions, MissingArgumentsAndIllegalWordsStopWithStatus1) {
  const std::string tooLong(600, 'x');
  const StopCase cases[] = {
      {{"-hfoo", "4m"}, "Illegal argument -hfoo\n"},
      {{"-hfoo"}, "missing size after -h\n"},  // the size is read first
      {{"-hfoo", "8g"}, "illegal multiplier for size: g\n"},
      {{"-h"}, "missing size after -h\n"},
      {{"-n"}, "missing size after -n\n"},
      {{"-o"}, "missing size after -o\n"},
      {{"-B"}, "missing filename after -B\n"},
      {{"-c"}, "missing filename after -c\n"},
      {{"-c."}, "missing filename after -c\n"},
      {{"-cl"}, "missing concurrency limit after -cl\n"},
      {{"-cx", "file"}, "Illegal argument -cx\n"},
      {{"-fg"}, "missing flags after -fg\n"},
      {{"-lfoo"}, "Illegal argument -lfoo\n"},
      {{"-Ps"}, "missing sample filename after -Ps\n"},
      {{"-Pt", "samples"}, "missing size filename after -Pt\n"},
      {{"-r"}, "missing reserve-size after -r\n"},
      {{"-st"}, "missing string file after -st\n"},
      {{"-t"}, "missing generation after -t\n"},
      {{"-n", "8g"}, "illegal multiplier for size: g\n"},
      {{"-n", ""}, "illegal size: \n"},
      {{"-o", "5000m"}, "illegal size: 5000m\n"},
      {{"-r", "-1"}, "illegal size: -1\n"},
      {{"-r", "4194304"}, "illegal size: 4194304\n"},  // 4 GB
      {{"-r", "3000000"}, "illegal size: 3000000\n"},  // new space's free count would wrap
      {{"-r", "2097152"}, "illegal size: 2097152\n"},  // 2 GB
      {{"-B", tooLong}, "File name too long: " + tooLong + "\n"},
      {{"-c", tooLong}, "File name too long: " + tooLong + "\n"},
      {{"-c.", tooLong}, "File name too long: " + tooLong + "\n"},
      {{"-Ps", tooLong, "z"}, "File name too long: " + tooLong + "\n"},
      {{"-Pt", "s", tooLong}, "File name too long: " + tooLong + "\n"},
  };
  for (const StopCase& stop : cases) {
    SCOPED_TRACE(joined(stop.options));
    const ProgramRun run = build(stop.options);
    EXPECT_EQ(run.standardError, stop.standardError);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardOutput, "");
  }
}

TEST_F(BuildOptions, AHomeAndBundleNameTooLongTogetherAreRefused) {
  const std::string name(500 - home_.string().size(), 'b');
  const ProgramRun run = build({"-B", name + std::string(20, 'c')});
  EXPECT_EQ(run.standardError,
            "File name too long: " + home_.string() + "/" + name + std::string(20, 'c') + "\n");
  EXPECT_EQ(run.exitStatus, 1);
}

TEST_F(BuildOptions, WarningsGoOn) {
  const ProgramRun heap = build({"-h", "4m"});
  EXPECT_EQ(heap.standardError, "Maximum heap size is less than given values for -n and -o\n");
  expectSettings(heap, {{"maxheapsize", "4194304"}}, "-h 4m");

  const ProgramRun ignored = build({"-Fz", "-Px"});
  EXPECT_EQ(ignored.standardError, "ignoring -Fz\nignoring -Px\n");
  expectSettings(ignored, {{"force_full_fasl", "0"}, {"raz_start_prof", "0"}}, "-Fz -Px");

  const ProgramRun map = build({"-M"});
  EXPECT_EQ(map.standardOutput.rfind("Mappings from MEMORY_BASIC_INFORMATION struct in winnt.h:\n", 0),
            0u);
  EXPECT_NE(map.standardOutput.find("\nCommitted:\n  image: "), std::string::npos);
  EXPECT_EQ(map.exitStatus, 0);
}

}  // namespace
