// A file name in the running test's own folder in the test temporary
// directory. CTest runs a program's tests both one by one and as the whole
// program, in parallel, so one test may run in two processes at once: each
// process therefore has a folder of its own (named after its process id),
// and inside it each test a folder named after the test. A death test's child
// (the program run again with --gtest_internal_run_death_test) shares its
// parent's folder, found in an environment variable the parent sets before
// any child starts, so it sees the parent's files. Only the process that
// chose a folder removes it: a test's folder when the test ends, the whole
// folder (with names asked for outside every test) at the program's end; a
// killed run's folder goes when a later process gets the same id.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace testing_support {

namespace temp_path_detail {

inline constexpr char kFolderVariable[] = "ZV_TEST_PROCESS_FOLDER";
inline constexpr char kDeathTestChildFlag[] = "--gtest_internal_run_death_test";

inline bool isDeathTestChild() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string arguments{std::istreambuf_iterator<char>(in), {}};
  return arguments.find(kDeathTestChildFlag) != std::string::npos;
}

// The process's folder, and whether this process owns (and so removes) it.
struct ProcessFolder {
  std::string path;
  pid_t owner;  // a forked copy of the owner has another id and removes nothing
};

inline const ProcessFolder& processFolder() {
  static const ProcessFolder folder = [] {
    const char* inherited = std::getenv(kFolderVariable);
    if (inherited && inherited[0] && isDeathTestChild()) return ProcessFolder{inherited, 0};
    // Absolute, so that a test that changes directory still finds its files
    // (TMPDIR may be named relatively).
    const std::string named = ::testing::TempDir() + "zt-" + std::to_string(getpid());
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(named, error);
    const std::string own = error ? named : absolute.string();
    // A folder of this name now is a leftover of a killed run that had the
    // same process id: its files are not this process's.
    std::filesystem::remove_all(own, error);
    setenv(kFolderVariable, own.c_str(), 1);  // for this process's death-test children
    return ProcessFolder{own, getpid()};
  }();
  return folder;
}

inline bool ownsFolder() {
  return processFolder().owner == getpid();
}

inline std::string testFolder(const ::testing::TestInfo* test) {
  if (!test) return processFolder().path;
  std::string name = std::string(test->test_suite_name()) + "-" + test->name();
  for (char& c : name)
    if (c == '/') c = '_';  // parameterised tests
  return processFolder().path + "/" + name;
}

inline void removeFolder(const std::string& folder) {
  if (!ownsFolder()) return;
  std::error_code error;
  std::filesystem::remove_all(folder, error);
}

// Removes each test's folder once the test (and its fixture) is done, and
// the process's folder at the end.
class FolderRemover : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& test) override { removeFolder(testFolder(&test)); }
  void OnTestProgramEnd(const ::testing::UnitTest&) override { removeFolder(processFolder().path); }
};

// Runs before main, while the process has one thread: the folder (and its
// environment variable) is settled before any test or child starts.
inline const bool folderRemoverListening = [] {
  processFolder();
  ::testing::UnitTest::GetInstance()->listeners().Append(new FolderRemover);
  return true;
}();

}  // namespace temp_path_detail

inline std::string processTempPath(const std::string& name) {
  const std::string folder =
      temp_path_detail::testFolder(::testing::UnitTest::GetInstance()->current_test_info());
  mkdir(temp_path_detail::processFolder().path.c_str(), 0700);  // an existing folder is kept
  mkdir(folder.c_str(), 0700);
  return folder + "/" + name;
}

// A directory of that name in the test's folder, made unless it is there:
// a death test's child, which sets the test up again, finds the one its
// parent made and works among the parent's files.
inline std::string processTempDirectory(const std::string& name) {
  const std::string path = processTempPath(name);
  mkdir(path.c_str(), 0700);
  return path;
}

}  // namespace testing_support
