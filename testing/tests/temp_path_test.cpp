// What a test names with processTempPath goes with the test: this program
// runs itself as a child, with a folder of the parent test's own as its
// temporary directory; the child's test makes a file and a directory there,
// and once the child has ended the folder is empty again.
#include "testing/temp_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "testing/run_program.h"

namespace {

namespace fs = std::filesystem;

constexpr char kChildVariable[] = "ZV_TEMP_PATH_CHILD";

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

}  // namespace
