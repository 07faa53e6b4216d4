// A file name in the test temporary directory that belongs to the running
// test: CTest runs the tests of one executable as parallel processes, and a
// fixed name shared by two tests lets one replace the other's file mid-test.
// The name comes from the test's own name (not the process id), so a death
// test's child process finds the same file as its parent.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace testing_support {

inline std::string processTempPath(const std::string& name) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string owner = test ? std::string(test->test_suite_name()) + "-" + test->name() : "none";
  for (char& c : owner)
    if (c == '/') c = '_';  // parameterised tests
  return ::testing::TempDir() + owner + "_" + name;
}

}  // namespace testing_support
