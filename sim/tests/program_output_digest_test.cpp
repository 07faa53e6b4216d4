// Both programs, run whole, against digests of what they produced when the
// digests were recorded: standard output, standard error, exit status and
// every datagram to the viewer, bytes and order. Any change of a single bit
// in any of them fails. The engine's speed work keeps these results exact.
//
// The runs happen in a network namespace of the test's own, where the test
// listens at the viewer's fixed address without other processes' datagrams.
//
// To record a new table (only after a change meant to alter results), run
// this binary with ZV_RECORD_OUTPUT_DIGESTS=<file>: every case appends its
// line there instead of comparing; sort the file into tests/data.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/tests/temp_directory.h"
#include "testing/private_loopback.h"
#include "testing/run_program.h"

namespace {

constexpr std::uint16_t kViewerPort = 40500;  // where both programs send, 127.0.0.1

// 64-bit FNV-1a, chained over several pieces.
class Digest {
 public:
  void add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
      value_ ^= bytes[i];
      value_ *= 0x100000001b3ull;
    }
  }
  void add(const std::string& text) { add(text.data(), text.size()); }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 0xcbf29ce484222325ull;
};

std::string hex(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, value);
  return text;
}

std::string digestOf(const std::string& text) {
  Digest d;
  d.add(text);
  return hex(d.value());
}

// Every datagram as its length (4 bytes, little-endian) and its bytes.
std::string digestOf(const std::vector<std::string>& datagrams) {
  Digest d;
  for (const std::string& datagram : datagrams) {
    const std::uint32_t n = static_cast<std::uint32_t>(datagram.size());
    const unsigned char length[4] = {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                                     static_cast<unsigned char>(n >> 16),
                                     static_cast<unsigned char>(n >> 24)};
    d.add(length, sizeof length);
    d.add(datagram);
  }
  return hex(d.value());
}

// One line of the table: the fields a run is compared on.
std::string summaryLine(const std::string& name, const testing_support::ProgramRun& r) {
  std::ostringstream line;
  line << name << ' ' << r.exitStatus << ' ' << r.terminatingSignal << ' '
       << r.standardOutput.size() << ' ' << digestOf(r.standardOutput) << ' '
       << r.standardError.size() << ' ' << digestOf(r.standardError) << ' ' << r.datagrams.size()
       << ' ' << digestOf(r.datagrams);
  return line.str();
}

// The recorded table: case name -> its whole line.
std::map<std::string, std::string> recordedLines() {
  std::map<std::string, std::string> lines;
  std::ifstream in(OUTPUT_DIGESTS_PATH);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    lines[line.substr(0, line.find(' '))] = line;
  }
  return lines;
}

enum class Program { Zorvath, ZorvathCli };

struct RunCase {
  const char* name;
  Program program;
  std::vector<std::string> arguments;
};

void PrintTo(const RunCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<std::string> eight(const char* option, std::vector<const char*> values) {
  std::vector<std::string> out{option};
  for (const char* v : values) out.emplace_back(v);
  return out;
}

std::vector<std::string> join(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const auto kEarly = eight("-ManTime", {"0", "0", "1", "1", "2", "2", "3", "3"});
const auto kLate = eight("-ManTime", {"9", "9.5", "10", "10.5", "11", "12", "13", "14"});
const auto kTogether = eight("-ManTime", {"1.5", "1.5", "1.5", "1.5", "1.5", "1.5", "1.5", "1.5"});
const auto kLight = eight("-ManMass", {"50", "55", "60", "45", "70", "65", "52", "58"});
const auto kHeavy = eight("-ManMass", {"150", "160", "140", "155", "170", "145", "165", "150"});
const auto kNobody = eight("-ManMass", {"0", "0", "0", "0", "0", "0", "0", "0"});
const auto kCrushing = eight("-ManMass", {"1e6", "1e6", "1e6", "1e6", "1e6", "1e6", "1e6", "1e6"});

std::vector<std::string> rampMass(const char* kg) {
  return {"-RampMass", kg};
}

const RunCase kCases[] = {
    // zorvath: the default run, the ramp mass over its range, persons.
    {"zorvath_default", Program::Zorvath, {}},
    {"zorvath_ramp_300", Program::Zorvath, rampMass("300")},
    {"zorvath_ramp_401", Program::Zorvath, rampMass("401")},
    {"zorvath_ramp_550", Program::Zorvath, rampMass("550")},
    {"zorvath_ramp_850", Program::Zorvath, rampMass("850")},
    {"zorvath_ramp_1000", Program::Zorvath, rampMass("1000")},
    {"zorvath_ramp_1200", Program::Zorvath, rampMass("1200")},
    {"zorvath_light_early", Program::Zorvath, join({kLight, kEarly})},
    {"zorvath_heavy_late", Program::Zorvath, join({kHeavy, kLate, rampMass("1200")})},
    {"zorvath_heavy_together", Program::Zorvath, join({kHeavy, kTogether, rampMass("300")})},
    {"zorvath_nobody", Program::Zorvath, join({kNobody, rampMass("750")})},
    {"zorvath_paced_at_zero", Program::Zorvath,
     join({kEarly, {"-TimeMultiplier", "0"}, rampMass("12"), rampMass("401")})},
    // zorvath runs that end on an engine error: at the start, and later on.
    {"zorvath_massless_ramp", Program::Zorvath, rampMass("0")},
    {"zorvath_ramp_too_heavy", Program::Zorvath, rampMass("1e9")},
    {"zorvath_crushing_persons", Program::Zorvath, kCrushing},
    // zorvath command lines refused before any step.
    {"zorvath_unknown_word", Program::Zorvath, {"-RampMass", "401", "-Speed", "3"}},
    {"zorvath_short_option", Program::Zorvath, {"-ManTime", "0", "0", "1"}},
    // zorvath_cli: the default run and persons.
    {"cli_default", Program::ZorvathCli, {}},
    {"cli_light_early", Program::ZorvathCli, join({kLight, kEarly})},
    {"cli_heavy_late", Program::ZorvathCli, join({kLate, kHeavy})},
    {"cli_heavy_together", Program::ZorvathCli, join({kHeavy, kTogether})},
    {"cli_nobody", Program::ZorvathCli, kNobody},
    {"cli_crushing_persons", Program::ZorvathCli, kCrushing},
    {"cli_ramp_mass_refused", Program::ZorvathCli, join({kLight, rampMass("401")})},
};

class ProgramOutputDigestTest : public TempDirectoryTest,
                                public ::testing::WithParamInterface<RunCase> {};

TEST_P(ProgramOutputDigestTest, OutputsAndDatagramsAreBitForBitTheRecordedOnes) {
  const RunCase& c = GetParam();
  const std::string unavailable = testing_support::enterPrivateLoopback();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  const int viewer = testing_support::bindLoopbackDatagramSocket(kViewerPort);
  ASSERT_GE(viewer, 0) << "cannot listen at the viewer's port";

  testing_support::ProgramOptions options;
  options.workingDirectory = directory_;
  options.datagramSocket = viewer;
  const auto r = testing_support::runProgram(
      c.program == Program::Zorvath ? ZORVATH_PATH : ZORVATH_CLI_PATH, c.arguments, options);
  close(viewer);
  const std::string line = summaryLine(c.name, r);

  if (const char* record = std::getenv("ZV_RECORD_OUTPUT_DIGESTS")) {
    std::ofstream(record, std::ios::app) << line << '\n';
    return;
  }
  const auto recorded = recordedLines();
  const auto found = recorded.find(c.name);
  ASSERT_NE(found, recorded.end()) << "no recorded line for " << c.name << "; this run: " << line;
  EXPECT_EQ(line, found->second) << "standard output:\n"
                                 << r.standardOutput << "standard error:\n"
                                 << r.standardError;
  EXPECT_TRUE(filesLeft().empty());
}

INSTANTIATE_TEST_SUITE_P(Runs, ProgramOutputDigestTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
