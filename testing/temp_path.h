// A file name in the running test's own folder in the test temporary
// directory: CTest runs the tests of one executable as parallel processes,
// and a fixed name shared by two tests lets one replace the other's file
// mid-test. The folder's name comes from the test's own name (not the
// process id), so a death test's child process finds the same file as its
// parent, and from the test program's own path, so two build trees running
// the same test at once (in one temporary directory) keep apart. The folder
// is made on first use and removed with everything in it when the test ends;
// names asked for outside every test go with the program's end.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

namespace testing_support {

namespace temp_path_detail {

inline std::string folderOf(const ::testing::TestInfo* test) {
  std::string owner = test ? std::string(test->test_suite_name()) + "-" + test->name() : "none";
  for (char& c : owner)
    if (c == '/') c = '_';  // parameterised tests
  static const std::string program = [] {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    const std::string exe = length > 0 ? std::string(path, static_cast<size_t>(length)) : "";
    return std::to_string(std::hash<std::string>{}(exe) & 0xffffff);
  }();
  return ::testing::TempDir() + owner + "_" + program;
}

inline void removeFolder(const ::testing::TestInfo* test) {
  std::error_code error;
  std::filesystem::remove_all(folderOf(test), error);
}

// Removes each test's folder once the test (and its fixture) is done.
class FolderRemover : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& test) override { removeFolder(&test); }
  void OnTestProgramEnd(const ::testing::UnitTest&) override { removeFolder(nullptr); }
};

inline const bool folderRemoverListening = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FolderRemover);
  return true;
}();

}  // namespace temp_path_detail

inline std::string processTempPath(const std::string& name) {
  const std::string folder =
      temp_path_detail::folderOf(::testing::UnitTest::GetInstance()->current_test_info());
  mkdir(folder.c_str(), 0700);  // an existing folder is kept
  return folder + "/" + name;
}

}  // namespace testing_support
