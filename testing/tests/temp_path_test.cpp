// What a test names with processTempPath is its own and goes with the test:
// this program runs itself as a child (or two at once), with a folder of the
// parent test's own as the children's temporary directory; once they have
// ended the folder is empty again. A death test's child shares its parent's
// files and leaves them.
#include "testing/temp_path.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "testing/run_program.h"
#include "testing/temp_working_directory.h"
#include "testing/watchdog.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr char kChildVariable[] = "ZV_TEMP_PATH_CHILD";
// The folder where two children of one test meet; the one that waits for the
// other to end finds the name kOtherEnded there.
constexpr char kMeetingVariable[] = "ZV_TEMP_PATH_MEETING";
constexpr char kReady[] = "ready";
constexpr char kOtherEnded[] = "other-ended";

std::string ownProgram() {
  return fs::read_symlink("/proc/self/exe").string();
}

TEST(TempPathChild, MakesAFileAndADirectory) {
  if (!std::getenv(kChildVariable)) GTEST_SKIP() << "runs only as TempPath's child";
  std::ofstream(testing_support::processTempPath("made.data")) << "data";
  const std::string directory = testing_support::processTempPath("made-dir");
  ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
  std::ofstream(directory + "/inside") << "data";
  EXPECT_TRUE(fs::exists(testing_support::processTempPath("made.data")));
}

// A test that changes the working directory still finds its files by the
// names it was given, also when the temporary directory is named relatively.
TEST(TempPathChild, FindsItsFilesAfterChangingDirectory) {
  if (!std::getenv(kChildVariable)) GTEST_SKIP() << "runs only as TempPath's child";
  const std::string file = testing_support::processTempPath("kept.data");
  std::ofstream(file) << "data";
  const fs::path before = fs::current_path();
  fs::current_path(fs::path(file).parent_path());
  EXPECT_TRUE(fs::exists(file)) << file;
  EXPECT_TRUE(fs::exists(testing_support::processTempPath("kept.data")));
  fs::current_path(before);
}

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void waitFor(const std::string& path) {
  const testing_support::Watchdog watchdog("waiting for " + path, std::chrono::seconds(60));
  while (!fs::exists(path)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// Run twice at once, as the same test of the same program: each run keeps
// its own file, the waiting one also while the other run ends.
TEST(TempPathChild, KeepsItsFileWhileTheOtherRunEnds) {
  const char* meeting = std::getenv(kMeetingVariable);
  if (!meeting) GTEST_SKIP() << "runs only as TempPath's child";
  const std::string own = "written by " + std::to_string(getpid());
  const std::string file = testing_support::processTempPath("own.data");
  std::ofstream(file) << own;
  if (std::getenv(kChildVariable) == std::string("waits")) {
    std::ofstream(std::string(meeting) + "/" + kReady) << "";
    waitFor(std::string(meeting) + "/" + kOtherEnded);
  }
  EXPECT_EQ(contentOf(file), own);
}

class TempPath : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* saved = std::getenv("TMPDIR");
    hadTmpdir_ = saved != nullptr;
    if (saved) savedTmpdir_ = saved;
  }
  void TearDown() override {
    if (hadTmpdir_)
      setenv("TMPDIR", savedTmpdir_.c_str(), 1);
    else
      unsetenv("TMPDIR");
    unsetenv(kChildVariable);
    unsetenv(kMeetingVariable);
  }
  bool hadTmpdir_ = false;
  std::string savedTmpdir_;
};

TEST_F(TempPath, NothingATestMadeRemainsOnceItHasEnded) {
  const std::string folder = testing_support::processTempPath("child-temp");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  setenv("TMPDIR", folder.c_str(), 1);
  setenv(kChildVariable, "1", 1);
  const testing_support::ProgramRun run =
      testing_support::runProgram(ownProgram(), {"--gtest_filter=TempPathChild.*"});
  ASSERT_EQ(run.exitStatus, 0) << run.standardOutput << run.standardError;
  ASSERT_NE(run.standardOutput.find("[       OK ] TempPathChild.MakesAFileAndADirectory"),
            std::string::npos)
      << run.standardOutput;
  std::string left;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
    left += entry.path().string() + "\n";
  EXPECT_EQ(left, "");
}

// A run killed midway leaves its folder; a later process that gets the same
// id must not find that run's files in its own folder. The shell makes such
// a folder under its own id and then becomes this program (same id).
TEST_F(TempPath, AFolderLeftByAKilledRunWithTheSameIdIsNotReused) {
  const std::string folder = testing_support::processTempPath("child-temp");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  setenv("TMPDIR", folder.c_str(), 1);
  setenv(kChildVariable, "1", 1);
  const std::string leftOver = "\"$TMPDIR/zt-$$/TempPathChild-MakesAFileAndADirectory/made-dir\"";
  const testing_support::ProgramRun run = testing_support::runProgram(
      "/bin/sh", {"-c",
                  "mkdir -p " + leftOver + " && touch " + leftOver +
                      "/stale && exec \"$0\" --gtest_filter=TempPathChild.*",
                  ownProgram()});
  EXPECT_EQ(run.exitStatus, 0) << run.standardOutput << run.standardError;
  std::string left;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
    left += entry.path().string() + "\n";
  EXPECT_EQ(left, "");
}

TEST_F(TempPath, ARelativelyNamedTemporaryDirectoryHoldsAcrossAChangeOfDirectory) {
  const std::string folder = testing_support::processTempPath("child-cwd");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((folder + "/relative").c_str(), 0700), 0);
  setenv("TMPDIR", "relative", 1);
  setenv(kChildVariable, "1", 1);
  testing_support::ProgramOptions options;
  options.workingDirectory = folder;
  const testing_support::ProgramRun run = testing_support::runProgram(
      ownProgram(), {"--gtest_filter=TempPathChild.FindsItsFilesAfterChangingDirectory"}, options);
  EXPECT_EQ(run.exitStatus, 0) << run.standardOutput << run.standardError;
  std::string left;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder + "/relative"))
    left += entry.path().string() + "\n";
  EXPECT_EQ(left, "");
}

// Starts this program's test `filter` with the environment as it is now;
// its output goes to `log`.
pid_t startOwnProgram(const std::string& filter, const std::string& log) {
  const std::string program = ownProgram();
  const std::string filterArgument = "--gtest_filter=" + filter;
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(filterArgument.c_str()),
                  nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t child = -1;
  const int failed = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed ? -1 : child;
}

TEST_F(TempPath, OneTestRunInTwoProcessesAtOnceKeepsEachRunsFiles) {
  const std::string folder = testing_support::processTempPath("children-temp");
  const std::string meeting = testing_support::processTempPath("meeting");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(meeting.c_str(), 0700), 0);
  setenv("TMPDIR", folder.c_str(), 1);
  setenv(kMeetingVariable, meeting.c_str(), 1);
  const std::string filter = "TempPathChild.KeepsItsFileWhileTheOtherRunEnds";

  setenv(kChildVariable, "waits", 1);
  const std::string waitingLog = meeting + "/waiting.log";
  const pid_t waiting = startOwnProgram(filter, waitingLog);
  ASSERT_GT(waiting, 0);
  waitFor(meeting + "/" + kReady);

  // The second run writes, checks and ends (its folder goes) while the
  // first still holds its file.
  setenv(kChildVariable, "ends", 1);
  const testing_support::ProgramRun ending =
      testing_support::runProgram(ownProgram(), {"--gtest_filter=" + filter});
  std::ofstream(meeting + "/" + kOtherEnded) << "";
  int status = 0;
  ASSERT_EQ(waitpid(waiting, &status, 0), waiting);
  EXPECT_EQ(ending.exitStatus, 0) << ending.standardOutput << ending.standardError;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << contentOf(waitingLog);

  std::string left;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
    left += entry.path().string() + "\n";
  EXPECT_EQ(left, "");
}

// The child of a death test (run as a new process) sees the file its parent
// wrote, and what it writes stays for the parent: it removes nothing.
TEST(TempPathDeathTest, TheChildSharesTheParentsFolderAndLeavesIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string parentFile = testing_support::processTempPath("parent.data");
  std::ofstream(parentFile) << "from the parent";
  EXPECT_EXIT(
      {
        std::ofstream(testing_support::processTempPath("child.data")) << "from the child";
        std::exit(contentOf(parentFile) == "from the parent" ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(contentOf(parentFile), "from the parent");
  EXPECT_EQ(contentOf(testing_support::processTempPath("child.data")), "from the child");
}

// The same for a working directory of the test's own, set up again in the
// child: the child works among the parent's files and removes none.
TEST(TempWorkingDirectoryDeathTest, TheChildWorksAmongTheParentsFiles) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const testing_support::TempWorkingDirectory directory;
  std::ofstream("parent.data") << "from the parent";
  EXPECT_EXIT(std::exit(contentOf("parent.data") == "from the parent" ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(contentOf("parent.data"), "from the parent");
}

}  // namespace
