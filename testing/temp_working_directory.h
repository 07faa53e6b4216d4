// The running test's own temporary directory as the process's working
// directory while the object lives: files that code under test writes by a
// bare name land there, and go with the directory afterwards. The name comes
// from processTempDirectory, so a death test's child finds the same directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "testing/temp_path.h"

namespace testing_support {

class TempWorkingDirectory {
 public:
  TempWorkingDirectory() : path_(processTempDirectory("cwd")) {
    std::error_code error;
    saved_ = std::filesystem::current_path(error).string();
    EXPECT_FALSE(error) << "no working directory to return to";
    EXPECT_EQ(chdir(path_.c_str()), 0) << path_;
  }
  ~TempWorkingDirectory() {
    EXPECT_EQ(chdir(saved_.c_str()), 0) << saved_;
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  TempWorkingDirectory(const TempWorkingDirectory&) = delete;
  TempWorkingDirectory& operator=(const TempWorkingDirectory&) = delete;

  // A file of that name in the directory.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::string saved_;
};

}  // namespace testing_support
