// A file name in the test temporary directory that belongs to the running
// test: CTest runs the tests of one executable as parallel processes, and a
// fixed name shared by two tests lets one replace the other's file mid-test.
// The name comes from the test's own name (not the process id), so a death
// test's child process finds the same file as its parent, and from the test
// program's own path, so two build trees running the same test at once (in
// one temporary directory) keep apart.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace testing_support {

inline std::string processTempPath(const std::string& name) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string owner = test ? std::string(test->test_suite_name()) + "-" + test->name() : "none";
  for (char& c : owner)
    if (c == '/') c = '_';  // parameterised tests
  static const std::string program = [] {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    const std::string exe = length > 0 ? std::string(path, static_cast<size_t>(length)) : "";
    return std::to_string(std::hash<std::string>{}(exe) & 0xffffff);
  }();
  return ::testing::TempDir() + owner + "_" + program + "_" + name;
}

}  // namespace testing_support
