// The start-up road end to end: a host process calls lisp_init, and its
// standard error, console (the host's standard output) and exit status show
// which road start-up took. The images
// here are not images, so a restore ends in the reader's refusal and "Could
// not restore the image file" (status 255); without a start-up bundle the
// build's first Lisp thread ends in "Could not start lisp build!" (status 1)
// once it has laid out the heap, which is enough to tell the roads apart.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/run_program.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProgramOptions;
using testing_support::ProgramRun;
using testing_support::runProgram;

constexpr char kNoRestore[] = "The image file's header is corrupted\n";
constexpr char kNoBuild[] = "Could not start lisp build!\n";
constexpr int kImageFailure = 255;  // lisp_exit(-1)

std::string restoreFailed(const std::string& image) {
  return std::string(kNoRestore) + "Could not restore the image file:\n    " + image + ".\n";
}

// A temporary tree: a home directory and a working directory beside it.
class StartupRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/startup_road_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(home());
    fs::create_directories(work());
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path home() const { return root_ / "home"; }
  fs::path work() const { return root_ / "work"; }
  static void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "image";
  }

  // Runs the host in the working directory with the home directory given.
  ProgramRun start(std::vector<std::string> hostOptions, const std::vector<std::string>& arguments,
                   const std::string& input = "") {
    std::vector<std::string> all = {"--home", home().string()};
    all.insert(all.end(), hostOptions.begin(), hostOptions.end());
    all.push_back("--");
    all.insert(all.end(), arguments.begin(), arguments.end());
    ProgramOptions options;
    options.workingDirectory = work().string();
    options.standardInput = input;
    return runProgram(STARTUP_HOST_PATH, all, options);
  }

  fs::path root_;
};

struct RoadCase {
  const char* name;
  std::vector<std::string> hostOptions;
  std::vector<std::string> arguments;
  std::vector<std::string> imagesInWork;  // files made in the working directory
  std::string standardError;
  int exitStatus;
  std::string console = "";  // the runtime's last console messages
};

TEST_F(StartupRoad, EachCommandLineTakesItsRoad) {
  const std::string badWin32App =
      "\nBad win32app argument to lisp_init(); Most likely too few arguments\n"
      "were passed to lisp_init().  See the start-up notes for the current argument set.\n\n";
  const RoadCase cases[] = {
      {"no image anywhere", {}, {"prog"}, {}, "No lisp image to load.\n", 1},
      {"named image missing",
       {},
       {"prog", "-I", "absent"},
       {},
       "Could not find image file absent.\n",
       kImageFailure},
      {"bad window-application flag", {"--win32app", "2"}, {"prog", "-build"}, {}, badWin32App, 1},
      {"no slot for the thread",
       {"--allocator", "failing"},
       {"prog"},
       {},
       "Could not allocate a TLS index\n",
       1},
      {"-! is removed before the choice",
       {},
       {"prog", "-!anything", "-I", "img"},
       {"img.vxi"},
       // read, not mapped: the probe finds the stack refuses to run code
       "Reading img.vxi\n" + restoreFailed("img.vxi"),
       kImageFailure},
      {"-Im takes the next word as the image",
       {},
       {"prog", "-Im", "img"},
       {"img.vxi"},
       restoreFailed("img.vxi"),
       kImageFailure},
      {"-build then -I restores",
       {},
       {"prog", "-build", "-I", "img.vxi"},
       {"img.vxi"},
       restoreFailed("img.vxi"),
       kImageFailure},
      {"-build alone builds", {}, {"prog", "-build", "-x"}, {}, "", 1, kNoBuild},
      {"-I without a name", {}, {"prog", "-I"}, {}, "No lisp image to load.\n", 1},
      {"-build -I without a name", {}, {"prog", "-build", "-I"}, {}, "No lisp image to load.\n", 1},
      {"default image in the current directory",
       {},
       {"/opt/bin/prog.exe", "-q"},
       {"prog.vxi"},
       restoreFailed("prog.vxi"),
       kImageFailure},
      {"argument count 0 names the program korvane",
       {"--no-arguments"},
       {},
       {"korvane.vxi"},
       restoreFailed("korvane.vxi"),
       kImageFailure},
      {"exit through windows_lisp_exit",
       {"--exit-callback", "windows"},
       {"prog", "-build"},
       {},
       "vxm: the lisp dll is exiting...hmm\n",
       1,
       kNoBuild},
  };
  for (const RoadCase& road : cases) {
    SCOPED_TRACE(road.name);
    for (const std::string& image : road.imagesInWork) touch(work() / image);
    const ProgramRun run = start(road.hostOptions, road.arguments);
    EXPECT_EQ(run.standardError, road.standardError);
    // The console's last words (the collector's progress comes before them).
    EXPECT_TRUE(run.standardOutput.ends_with(road.console)) << run.standardOutput;
    EXPECT_EQ(run.exitStatus, road.exitStatus);
    for (const std::string& image : road.imagesInWork) fs::remove(work() / image);
  }
}

TEST_F(StartupRoad, TheFallbackAsksForTheImageNameOnStandardInput) {
  const ProgramRun named = start({}, {"prog"}, "chosen.vxi\n");
  EXPECT_EQ(named.standardOutput, "Imagefile: ");
  // Taken unchecked: the reader is the first to find it missing.
  EXPECT_EQ(named.standardError,
            "Cannot open file chosen.vxi\nCould not restore the image file:\n    chosen.vxi.\n");

  const ProgramRun empty = start({}, {"prog"}, "\n");
  EXPECT_EQ(empty.standardError, "No lisp image to load.\n");
  EXPECT_EQ(empty.exitStatus, 1);

  const ProgramRun tooLong = start({}, {"prog"}, std::string(600, 'x') + "\n");
  EXPECT_EQ(tooLong.standardError, "No lisp image to load.\n");
}

TEST_F(StartupRoad, TheDefaultImageIsLookedForInTheHomeFirst) {
  touch(home() / "prog.vxi");
  touch(work() / "prog.vxi");
  const ProgramRun run = start({"--env", "VXM_STARTUP_DEBUG=1"}, {"prog"});
  const std::string inHome = (home() / "prog.vxi").string();
  EXPECT_EQ(run.standardError,
            "Looking for image " + inHome + "...found.\n" + restoreFailed(inHome));
}

TEST_F(StartupRoad, TheDefaultImageReplacesTheTextFromTheLastDot) {
  touch(work() / "lib.d" / "core.vxi");  // not the one: the last "." is in the directory
  touch(work() / "lib.vxi");
  const ProgramRun run =
      start({"--default-image", "lib.d/core", "--env", "VXM_STARTUP_DEBUG=1"}, {"prog"});
  const std::string inHome = (home() / "lib.vxi").string();
  EXPECT_EQ(run.standardError,
            "Using lisp_init() supplied value \"lib.d/core\"...\n"
            "Looking for image " +
                inHome +
                "...not found.\n"
                "Looking for image lib.vxi (in current directory)...found.\n" +
                restoreFailed("lib.vxi"));
}

TEST_F(StartupRoad, ANamedImageIsLookedForInTheCurrentDirectoryThenTheHome) {
  touch(home() / "img.vxi");
  const std::string inHome = (home() / "img.vxi").string();
  const ProgramRun homeOnly = start({"--env", "VXM_STARTUP_DEBUG=1"}, {"prog", "-I", "img"});
  EXPECT_EQ(homeOnly.standardError,
            "Looking for img.vxi in current directory...not found.\n"
            "Looking for " +
                inHome + "...found.\n" + restoreFailed(inHome));

  touch(work() / "img.vxi");
  const ProgramRun both = start({"--env", "VXM_STARTUP_DEBUG=1"}, {"prog", "-I", "img"});
  EXPECT_EQ(both.standardError,
            "Looking for img.vxi in current directory...found.\n" + restoreFailed("img.vxi"));
}

TEST_F(StartupRoad, ANameWithADirectoryIsTakenAsItIsWithTheExtensionAppended) {
  touch(work() / "v1.2" / "img.vxi");
  const ProgramRun run = start({"--env", "VXM_STARTUP_DEBUG=1"}, {"prog", "-I", "v1.2/img"});
  EXPECT_EQ(run.standardError,
            "Looking for file v1.2/img.vxi...found.\n" + restoreFailed("v1.2/img.vxi"));

  const ProgramRun backslash = start({}, {"prog", "-I", "v1.2\\absent"});
  EXPECT_EQ(backslash.standardError, "Could not find image file v1.2\\absent.\n");
}

TEST_F(StartupRoad, TheHomeIsNotSearchedTwiceWhenItIsTheCurrentDirectory) {
  std::vector<std::string> all = {"--home", work().string(), "--env", "VXM_STARTUP_DEBUG=1",
                                  "--",     "prog",          "-I",    "img"};
  ProgramOptions options;
  options.workingDirectory = work().string();
  const ProgramRun run = runProgram(STARTUP_HOST_PATH, all, options);
  EXPECT_EQ(run.standardError,
            "Looking for img.vxi in current directory...not found.\n"
            "Could not find image file img.\n");
}

TEST_F(StartupRoad, OverlongNamesAreRefusedWhole) {
  const std::string longName(600, 'n');
  const std::string refused = "File name too long: ";

  const ProgramRun image = start({}, {"prog", "-I", longName});
  EXPECT_EQ(image.standardError, refused + longName + ".vxi\n");
  EXPECT_EQ(image.exitStatus, 1);

  const ProgramRun program = start({}, {"/bin/" + longName});
  EXPECT_EQ(program.standardError, refused + longName + ".vxi\n");
  EXPECT_EQ(program.exitStatus, 1);

  ProgramOptions options;
  options.workingDirectory = work().string();
  const ProgramRun home =
      runProgram(STARTUP_HOST_PATH, {"--home", "/" + longName, "--", "prog"}, options);
  EXPECT_EQ(home.standardError, refused + "/" + longName + "\n");
  EXPECT_EQ(home.exitStatus, 1);

  // The home directory fits, the name fits, the two together do not.
  const std::string longHome = "/" + std::string(400, 'h');
  const ProgramRun joined = runProgram(
      STARTUP_HOST_PATH, {"--home", longHome, "--", "prog", "-I", std::string(200, 'i')}, options);
  EXPECT_EQ(joined.standardError, refused + longHome + "/" + std::string(200, 'i') + ".vxi\n");
  EXPECT_EQ(joined.exitStatus, 1);
}

}  // namespace
