// The logger's tests work in the test temporary directory (TMPDIR) and leave
// nothing there: this program runs its own child test with a folder of the
// parent test's as TMPDIR, the child checks where it works and writes a file
// there, and once the child has ended the folder is empty again.
#include "sim/tests/temp_directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "testing/run_program.h"
#include "testing/temp_path.h"

namespace {

namespace fs = std::filesystem;

constexpr char kChildVariable[] = "ZV_SIM_TEMP_DIRECTORY_CHILD";

class TempDirectoryChild : public TempDirectoryTest {};

TEST_F(TempDirectoryChild, WorksInsideTmpdir) {
  if (!std::getenv(kChildVariable)) GTEST_SKIP() << "runs only as TempDirectory's child";
  const std::string tmpdir = fs::canonical(std::getenv("TMPDIR")).string() + "/";
  const std::string working = fs::canonical(fs::current_path()).string();
  EXPECT_EQ(working.rfind(tmpdir, 0), 0u) << working << " is not inside " << tmpdir;
  std::ofstream("out.qmf") << "data";
}

TEST(TempDirectory, HonoursTmpdirAndLeavesItEmpty) {
  const std::string folder = testing_support::processTempPath("child-temp");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const char* saved = std::getenv("TMPDIR");
  const std::string savedTmpdir = saved ? saved : "";
  setenv("TMPDIR", folder.c_str(), 1);
  setenv(kChildVariable, "1", 1);
  const testing_support::ProgramRun run = testing_support::runProgram(
      fs::read_symlink("/proc/self/exe").string(), {"--gtest_filter=TempDirectoryChild.*"});
  saved ? setenv("TMPDIR", savedTmpdir.c_str(), 1) : unsetenv("TMPDIR");
  unsetenv(kChildVariable);
  ASSERT_EQ(run.exitStatus, 0) << run.standardOutput << run.standardError;
  ASSERT_NE(run.standardOutput.find("[       OK ] TempDirectoryChild.WorksInsideTmpdir"),
            std::string::npos)
      << run.standardOutput;
  std::string left;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
    left += entry.path().string() + "\n";
  EXPECT_EQ(left, "");
}

// A death test's child (run as a new process) sets the fixture up again in
// the parent's directory: it works there and sees the parent's files.
class TempDirectoryDeathTest : public TempDirectoryTest {};

TEST_F(TempDirectoryDeathTest, TheChildWorksInTheParentsDirectory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::ofstream("parent.data") << "from the parent";
  EXPECT_EXIT(std::exit(fs::exists("parent.data") ? 0 : 1), ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(fs::exists("parent.data"));
}

}  // namespace
