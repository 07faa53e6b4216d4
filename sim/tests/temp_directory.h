// A fixture whose tests each run in a fresh directory of their own in the
// test temporary directory (TMPDIR): the logger writes its files, temporary
// ones included, into the current directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sim/logging/log_memory.h"
#include "sim/logging/scratch_file.h"
#include "testing/temp_path.h"

class TempDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = testing_support::processTempDirectory("work");
    ASSERT_TRUE(std::filesystem::is_directory(directory_)) << directory_;
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(directory_);
  }
  void TearDown() override {
    sim::setLogAllocator(nullptr);
    sim::setScratchFileOpener(nullptr);
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(directory_);
  }

  static bool exists(const char* name) {
    struct stat status;
    return lstat(name, &status) == 0;
  }
  std::vector<std::string> filesLeft() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory_))
      names.push_back(entry.path().filename().string());
    return names;
  }

  std::filesystem::path directory_;
  std::filesystem::path previous_;
};
