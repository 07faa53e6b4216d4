// A real image with one word of its native-variable block or of the
// collector's record in it damaged, restored by lunvarra_host over the real
// runtime library, read and mapped: the restore refuses it with its message
// and status 255, never a signal. Every run is bounded by the watchdog.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/gc/gc_data_record.h"
#include "runtime/load/image_file.h"
#include "runtime/load/native_variables.h"
#include "testing/fasl_bundle_writer.h"
#include "testing/run_program.h"
#include "testing/startup_image_fasl.h"
#include "testing/watchdog.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace startup_image = testing_support::startup_image;

const std::string kHost = HOST_PATH;
const std::string kRuntime = KORVANE_PATH;
const std::string kImageBuilder = X1_HOST_PATH;

constexpr char kRuntimeVariable[] = "VXM_SHLIB_NAME";
constexpr char kRefused[] = "Error restoring C data\n";
constexpr char kFailedStatusLine[] = "<The Lisp process exited with status -1 (0xffffffff)>";
constexpr int kImageFailure = 255;  // lisp_exit(-1)
// Every word of the block, instead of every kStride-th one.
constexpr char kFullSweepVariable[] = "DAMAGED_IMAGE_FULL_SWEEP";
constexpr uint32_t kStride = 16;

// Where a word lies in the image file.
uint32_t blockWord(uint32_t byteInBlock) {
  return kImageVariablesOffset + byteInBlock;
}
uint32_t collectorWord(const char* name) {
  constexpr uint32_t kRecordStart = kNativeVariableBlockBytes - gc::kGcDataBytes;
  for (uint32_t i = 0; i < gc::kGcDataWords; ++i)
    if (std::strcmp(gc::kGcDataWordsTable[i].name, name) == 0)
      return blockWord(kRecordStart + 4 * i);
  ADD_FAILURE() << "no collector word " << name;
  return 0;
}

std::vector<uint8_t> readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Damage {
  const char* what;
  uint32_t fileOffset;
  uint32_t mask;  // xor-ed into the word
};

class DamagedImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = ::testing::TempDir() + "damaged_image_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = new fs::path(pattern);
    buildImageFrom(startup_image::startupFasl(false), image());
    buildImageFrom(startup_image::gcHookFasl(false), collectingImage());
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
    root_ = nullptr;
  }

  static fs::path image() { return *root_ / "good.vxi"; }
  static fs::path damaged() { return *root_ / "damaged.vxi"; }
  // Its restored world runs a scavenge before it exits.
  static fs::path collectingImage() { return *root_ / "collecting.vxi"; }

  // An image of `fasl` built and dumped by the end-to-end tests' builder.
  static void buildImageFrom(const std::vector<uint8_t>& fasl, const fs::path& target) {
    const fs::path home = *root_ / ("home" + target.stem().string());
    fs::create_directories(home);
    const fs::path bundle = home / "files.vxb";
    ASSERT_TRUE(testing_support::writeFileBytes(
        bundle.string(), testing_support::faslBundle({{startup_image::kStartupFaslName,
                                                       startup_image::kTimestamp, fasl}})));
    setenv(startup_image::kImagePathVariable, target.c_str(), 1);
    testing_support::ProgramOptions options;
    options.workingDirectory = root_->string();
    const testing_support::ProgramRun built = testing_support::runProgram(
        kImageBuilder, {"--home", home.string(), "--", "x1_host", "-build", "-B", bundle.string()},
        options);
    unsetenv(startup_image::kImagePathVariable);
    ASSERT_EQ(built.exitStatus, startup_image::kBuildStatus) << built.standardOutput;
  }

  // The image with one word xor-ed with the mask.
  static void writeDamaged(const Damage& damage, const fs::path& from = image()) {
    std::vector<uint8_t> bytes = readBytes(from);
    ASSERT_LE(damage.fileOffset + 4, bytes.size());
    for (int i = 0; i < 4; ++i) bytes[damage.fileOffset + i] ^= (damage.mask >> (8 * i)) & 0xff;
    ASSERT_TRUE(testing_support::writeFileBytes(damaged().string(), bytes));
  }

  // lunvarra_host without a console (+c) or with one (+M), the image read
  // (-I) or mapped (-Im).
  static testing_support::ProgramRun restore(const fs::path& file, const char* option,
                                             const char* console = "+c") {
    setenv(kRuntimeVariable, kRuntime.c_str(), 1);
    testing_support::ProgramOptions options;
    options.workingDirectory = root_->string();
    testing_support::ProgramRun run =
        testing_support::runProgram(kHost, {console, option, file.string()}, options);
    unsetenv(kRuntimeVariable);
    return run;
  }

  static fs::path* root_;
  testing_support::Watchdog watchdog_{"a restore of a damaged image",
                                      std::getenv(kFullSweepVariable) ? 3600s : 600s};
};
fs::path* DamagedImage::root_ = nullptr;

TEST_F(DamagedImage, TheUndamagedImageIsRestored) {
  for (const char* option : {"-I", "-Im"}) {
    SCOPED_TRACE(option);
    const testing_support::ProgramRun run = restore(image(), option);
    EXPECT_EQ(run.exitStatus, startup_image::kRebornStatus) << run.standardError;
  }
}

// The words the restore follows, each sent outside the heaps (its top
// byte) or to another place inside (its second byte).
TEST_F(DamagedImage, AnAddressThatLeadsNowhereIsRefused) {
  const Damage cases[] = {
      {"threadctl_available", blockWord(0), 0x40000000},
      {"threadctl_active", blockWord(4), 0x40000000},
      {"threadctl_active, inside", blockWord(4), 0x00010000},
      {"GsOldAreas", collectorWord("GsOldAreas"), 0x40000000},
      {"GsOldAreas, inside", collectorWord("GsOldAreas"), 0x00000100},
      {"GsLastOldArea", collectorWord("GsLastOldArea"), 0x40000000},
      {"GsOldPageArea", collectorWord("GsOldPageArea"), 0x40000000},
      {"GsOldSmallOtherArea", collectorWord("GsOldSmallOtherArea"), 0x00000100},
      {"GsOpenOldAreaFence", collectorWord("GsOpenOldAreaFence"), 0x40000000},
      {"xxGsAllocConsPage", collectorWord("xxGsAllocConsPage"), 0x40000000},
      {"GsOldConsPage", collectorWord("GsOldConsPage"), 0x40000000},
      {"GsNewTop", collectorWord("GsNewTop"), 0x40000000},
      {"GsNewAllocationArea.start", collectorWord("GsNewAllocationArea.start"), 0x40000000},
      {"setf_protect_bmap", collectorWord("setf_protect_bmap"), 0x40000000},
  };
  for (const Damage& damage : cases) {
    writeDamaged(damage);
    for (const char* option : {"-I", "-Im"}) {
      SCOPED_TRACE(std::string(damage.what) + " " + option);
      const testing_support::ProgramRun run = restore(damaged(), option);
      EXPECT_EQ(run.terminatingSignal, 0);
      EXPECT_EQ(run.exitStatus, kImageFailure);
      EXPECT_NE(run.standardError.find(kRefused), std::string::npos) << run.standardError;
    }
  }
}

// With a console the refusal is told in it, ahead of the status line.
TEST_F(DamagedImage, WithAConsoleTheRefusalIsToldThere) {
  writeDamaged({"GsOldAreas", collectorWord("GsOldAreas"), 0x40000000});
  const testing_support::ProgramRun run = restore(damaged(), "-I", "+M");
  EXPECT_EQ(run.terminatingSignal, 0);
  EXPECT_EQ(run.exitStatus, kImageFailure);
  const size_t told = run.standardOutput.find(kRefused);
  EXPECT_NE(told, std::string::npos) << run.standardOutput;
  EXPECT_LT(told, run.standardOutput.find(kFailedStatusLine)) << run.standardOutput;
}

// A byte of every kStride-th word of the block (every word with the
// variable set) flipped: refused or restored, never a signal.
TEST_F(DamagedImage, NoDamagedWordEndsTheRestoreWithASignal) {
  const uint32_t stride = std::getenv(kFullSweepVariable) ? 1 : kStride;
  for (uint32_t word = 0; word < kNativeVariableBlockBytes / 4; word += stride) {
    for (uint32_t byte : {0u, 3u}) {
      const Damage damage{"", blockWord(4 * word), 0x55u << (8 * byte)};
      writeDamaged(damage);
      SCOPED_TRACE("word " + std::to_string(word) + ", byte " + std::to_string(byte));
      const testing_support::ProgramRun run = restore(damaged(), "-I");
      EXPECT_EQ(run.terminatingSignal, 0) << run.standardError;
      EXPECT_NE(run.exitStatus, -1) << run.standardError;
    }
  }
}

// Words a scavenge follows, damaged so that they stay inside the heap (or
// name an aging area, which only a running scavenge has), restored in a
// world that then scavenges: refused before that, never a signal.
TEST_F(DamagedImage, WordsAScavengeFollowsAreCheckedBeforeTheFirstOne) {
  const testing_support::ProgramRun undamaged = restore(collectingImage(), "-I");
  ASSERT_EQ(undamaged.exitStatus, startup_image::kGcHookNotCalled) << undamaged.standardError;
  const Damage cases[] = {
      {"GsAgingArea", collectorWord("GsAgingArea"), 0x00000100},
      {"GsAgingArea, high", collectorWord("GsAgingArea"), 0x40000000},
      {"GsTenureCatchupConsPage, off its page", collectorWord("GsTenureCatchupConsPage"), 0x1},
      {"GsTenureCatchupConsPage, mid-page", collectorWord("GsTenureCatchupConsPage"), 0x2},
      {"xxGsAllocConsPage, mid-page", collectorWord("xxGsAllocConsPage"), 0x4},
  };
  for (const Damage& damage : cases) {
    writeDamaged(damage, collectingImage());
    for (const char* option : {"-I", "-Im"}) {
      SCOPED_TRACE(std::string(damage.what) + " " + option);
      const testing_support::ProgramRun run = restore(damaged(), option);
      EXPECT_EQ(run.terminatingSignal, 0);
      EXPECT_EQ(run.exitStatus, kImageFailure);
      EXPECT_NE(run.standardError.find(kRefused), std::string::npos) << run.standardError;
    }
  }
}

}  // namespace
