// A Lisp built from scratch, dumped and started again from its image, end to
// end in real processes (x1_host). The tests make the start-up bundle: one
// fasl with two hand-assembled functions (testing/startup_image_fasl.h): the
// build exits with 42 after its dump, the restored image with 43.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "runtime/load/image_file.h"
#include "testing/fasl_bundle_writer.h"
#include "testing/run_program.h"
#include "testing/startup_image_fasl.h"
#include "testing/temp_path.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProgramRun;
using namespace testing_support::startup_image;

// ---- what the host and the runtime agree on ----

constexpr char kStartupDebugVariable[] = "VXM_STARTUP_DEBUG";
constexpr int kImageFailure = 255;  // lisp_exit(-1)
constexpr char kNotAvailable[] = "not available";  // what a missing service says
// A folder named here gets a copy of the start-up bundle the tests make (the
// README's session takes it from there); unset, nothing leaves the test's
// own temporary folder.
constexpr char kKeepBundleVariable[] = "END_TO_END_BUNDLE_DIR";

// ---- the fixture: a home with the bundle, an image directory ----

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/end_to_end_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(home());
    fs::create_directories(images());
    setenv(kImagePathVariable, image().c_str(), 1);
    unsetenv(kStartupDebugVariable);
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path home() const { return root_ / "home"; }
  fs::path images() const { return root_ / "images"; }
  fs::path image() const { return images() / "startup.vxi"; }
  fs::path bundle() const { return home() / "files.vxb"; }

  void writeBundle(bool dumpAgain = false, const char* name = kStartupFaslName) {
    const auto bytes = testing_support::faslBundle({{name, kTimestamp, startupFasl(dumpAgain)}});
    ASSERT_TRUE(testing_support::writeFileBytes(bundle().string(), bytes));
    const char* keep = std::getenv(kKeepBundleVariable);
    if (keep && *keep && !dumpAgain && std::string(name) == kStartupFaslName)
      ASSERT_TRUE(testing_support::writeFileBytes((fs::path(keep) / "files.vxb").string(), bytes));
  }

  ProgramRun host(const std::vector<std::string>& hostOptions,
                  const std::vector<std::string>& lispArguments) {
    std::vector<std::string> all = {"--home", home().string()};
    all.insert(all.end(), hostOptions.begin(), hostOptions.end());
    all.push_back("--");
    all.push_back("x1_host");
    all.insert(all.end(), lispArguments.begin(), lispArguments.end());
    testing_support::ProgramOptions options;
    options.workingDirectory = root_.string();
    return testing_support::runProgram(X1_HOST_PATH, all, options);
  }
  ProgramRun build() { return host({}, {"-build", "-B", bundle().string()}); }

  // Builds the image.
  void buildImage(bool dumpAgain = false) {
    writeBundle(dumpAgain);
    const ProgramRun run = build();
    ASSERT_EQ(run.exitStatus, kBuildStatus) << run.standardError << run.standardOutput;
  }

  static std::string everything(const ProgramRun& run) {
    return "stdout:\n" + run.standardOutput + "stderr:\n" + run.standardError;
  }

  fs::path root_;
};

TEST_F(EndToEnd, BuildLoadsTheBundleDumpsASoundImageAndExits42) {
  writeBundle();
  const ProgramRun run = build();
  EXPECT_EQ(run.exitStatus, kBuildStatus) << everything(run);
  const std::string all = run.standardOutput + run.standardError;
  EXPECT_NE(all.find("; fasl from bundle: sys/startup.fasl"), std::string::npos) << all;
  EXPECT_EQ(all.find("rror"), std::string::npos) << all;
  EXPECT_EQ(all.find(kNotAvailable), std::string::npos) << all;  // no missing service on the way

  // The image alone, no temporary file beside it.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(images()))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"startup.vxi"});

  const int file = open(image().c_str(), O_RDONLY);
  ASSERT_GE(file, 0);
  image_header header{};
  auto table = std::make_unique<image_area_table>();
  EXPECT_EQ(pread(file, &header, sizeof header, 0), static_cast<ssize_t>(sizeof header));
  EXPECT_EQ(pread(file, table.get(), sizeof *table, sizeof header),
            static_cast<ssize_t>(sizeof *table));
  close(file);
  const char* verdict = image_file::validateImage(header, table.get(), fs::file_size(image()));
  EXPECT_EQ(verdict, nullptr) << verdict;
}

// ---- restoring ----

enum class Damage { None, TruncatedBy64K, AreaOffsetCorrupted };

struct RestoreCase {
  const char* name;
  const char* imageOption;
  bool occupySavedHeap;
  Damage damage;
  int exitStatus;
  const char* message;  // on standard error; "" for none
};

class EndToEndRestore : public EndToEnd, public ::testing::WithParamInterface<RestoreCase> {};

void truncateBy(const fs::path& path, uintmax_t bytes) {
  fs::resize_file(path, fs::file_size(path) - bytes);
}

// The first area's file offset off its 64 KB boundary.
void corruptFirstAreaOffset(const fs::path& path) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  const std::streamoff entry = sizeof(image_header) + offsetof(image_area_table, entries) +
                               offsetof(image_area_entry, file_offset);
  uint32_t offset = 0;
  file.seekg(entry);
  file.read(reinterpret_cast<char*>(&offset), sizeof offset);
  offset += 4;
  file.seekp(entry);
  file.write(reinterpret_cast<const char*>(&offset), sizeof offset);
}

TEST_P(EndToEndRestore, RestoresOrRefuses) {
  const RestoreCase& c = GetParam();
  buildImage();
  if (HasFatalFailure()) return;
  if (c.damage == Damage::TruncatedBy64K) truncateBy(image(), 0x10000);
  if (c.damage == Damage::AreaOffsetCorrupted) corruptFirstAreaOffset(image());
  std::vector<std::string> hostOptions;
  if (c.occupySavedHeap) {
    hostOptions = {"--occupy-saved-heap", image().string()};
    setenv(kStartupDebugVariable, "1", 1);  // says where the heap went
  }
  const ProgramRun run = host(hostOptions, {c.imageOption, image().string()});
  EXPECT_EQ(run.exitStatus, c.exitStatus) << everything(run);
  EXPECT_EQ(everything(run).find(kNotAvailable), std::string::npos) << everything(run);
  if (*c.message) {
    EXPECT_NE(run.standardError.find(c.message), std::string::npos) << everything(run);
  }
  if (c.occupySavedHeap) {
    EXPECT_NE(run.standardError.find("lisp heap being relocated by"), std::string::npos)
        << everything(run);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, EndToEndRestore,
    ::testing::Values(RestoreCase{"Mapped", "-I", false, Damage::None, kRebornStatus, ""},
                      RestoreCase{"Read", "-Im", false, Damage::None, kRebornStatus, ""},
                      RestoreCase{"MovedAndRelocated", "-I", true, Damage::None, kRebornStatus, ""},
                      RestoreCase{"Truncated", "-I", false, Damage::TruncatedBy64K, kImageFailure,
                                  "image file has been truncated\n"},
                      RestoreCase{"AreaOffsetCorrupted", "-I", false, Damage::AreaOffsetCorrupted,
                                  kImageFailure, "The image file's header is corrupted\n"}),
    [](const ::testing::TestParamInfo<RestoreCase>& info) { return info.param.name; });

// A restored world that dumps over the very image it runs from: the new
// image replaces the file by a rename, so the running process keeps its own
// pages and finishes as it should, and the new image restores in turn.
TEST_F(EndToEnd, ARestoredWorldDumpsOverItsOwnImage) {
  buildImage(/*dumpAgain=*/true);
  if (HasFatalFailure()) return;
  struct stat before {};
  ASSERT_EQ(stat(image().c_str(), &before), 0);
  const ProgramRun first = host({}, {"-I", image().string()});
  EXPECT_EQ(first.exitStatus, kRebornStatus) << everything(first);
  struct stat after {};
  ASSERT_EQ(stat(image().c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "the image was written in place";
  const ProgramRun second = host({}, {"-I", image().string()});
  EXPECT_EQ(second.exitStatus, kRebornStatus) << everything(second);
}

// The collector's call of the Lisp function in GlobGcAfterFunction, after a
// scavenge that Lisp code asks for, in a world being built and in a
// restored one: the function exits with 60 + the five arguments it got.
TEST_F(EndToEnd, TheCollectorCallsItsLispHookInABuiltAndInARestoredWorld) {
  const int called = kGcHookCalledBase + 5;
  for (const bool inBuild : {true, false}) {
    SCOPED_TRACE(inBuild ? "build" : "restored");
    const auto bytes =
        testing_support::faslBundle({{kStartupFaslName, kTimestamp, gcHookFasl(inBuild)}});
    ASSERT_TRUE(testing_support::writeFileBytes(bundle().string(), bytes));
    const ProgramRun built = host({}, {"-build", "-B", bundle().string(), "-fg", "H"});
    EXPECT_EQ(built.exitStatus, inBuild ? called : kBuildStatus) << everything(built);
    if (inBuild) continue;
    const ProgramRun restored = host({}, {"-I", image().string()});
    EXPECT_EQ(restored.exitStatus, called) << everything(restored);
  }
}

// The first thread's stack-limit word, set from its stack when the world
// starts, wherever the heap lies (at 1033m it lies above the emulator's
// stack): an apply in the start-up fasl finds its room. An overflow reported
// before the Lisp world can report it (the world moves the limit above the
// stack) ends the process with a message and status 1.
TEST_F(EndToEnd, TheStartupWorldsStackLimitLiesInItsStack) {
  const struct {
    bool overflow;
    const char* heapStart;  // or nullptr
    int exitStatus;
  } cases[] = {
      {false, nullptr, kAppliedStatus},
      {false, "1033m", kAppliedStatus},
      {true, nullptr, 1},
      {true, "1033m", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.overflow ? "overflow" : "apply") << ", heap at "
                                    << (c.heapStart ? c.heapStart : "its default"));
    const auto bytes =
        testing_support::faslBundle({{kStartupFaslName, kTimestamp, stackLimitFasl(c.overflow)}});
    ASSERT_TRUE(testing_support::writeFileBytes(bundle().string(), bytes));
    std::vector<std::string> arguments{"-build", "-B", bundle().string()};
    if (c.heapStart) arguments.insert(arguments.end(), {"-hlisp_start", c.heapStart});
    const ProgramRun run = host({}, arguments);
    EXPECT_EQ(run.exitStatus, c.exitStatus) << everything(run);
    const std::string all = run.standardOutput + run.standardError;
    const bool reported =
        all.find("Stack overflow before the Lisp world could report it.\n") != std::string::npos;
    EXPECT_EQ(reported, c.overflow) << everything(run);
  }
}

TEST_F(EndToEnd, ABundleWithoutTheStartupFaslCannotStartTheBuild) {
  writeBundle(false, "sys/other.fasl");
  const ProgramRun run = build();
  const std::string all = run.standardOutput + run.standardError;
  const size_t skipping = all.find("; 1 fasl-bundle skipping file sys/startup.fasl...\n");
  EXPECT_NE(skipping, std::string::npos) << all;
  EXPECT_NE(all.find("Could not start lisp build!\n", skipping), std::string::npos) << all;
  EXPECT_EQ(run.exitStatus, 1) << all;
}

// Build and restore with the start-up messages on; on failure the log stays
// behind as the test's artefact.
TEST_F(EndToEnd, BuildAndRestoreWithStartupDebugMessages) {
  setenv(kStartupDebugVariable, "1", 1);
  writeBundle();
  const ProgramRun built = build();
  EXPECT_EQ(built.exitStatus, kBuildStatus);
  const ProgramRun restored = host({}, {"-I", image().string()});
  EXPECT_EQ(restored.exitStatus, kRebornStatus);
  if (HasFailure()) {
    const std::string log = testing_support::processTempPath("startup_debug.log");
    std::ofstream(log) << "== build\n"
                       << everything(built) << "== restore\n"
                       << everything(restored);
    ADD_FAILURE() << "start-up log kept in " << log;
  }
}

}  // namespace
