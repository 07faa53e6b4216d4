// A fixture whose tests each run in a fresh temporary directory: the logger
// writes its files, temporary ones included, into the current directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/logging/log_memory.h"

class TempDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/sim_logging_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(directory_);
  }
  void TearDown() override {
    sim::setLogAllocator(nullptr);
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
