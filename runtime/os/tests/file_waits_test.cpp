// Reads and writes that wait for readiness, and the readiness question, over
// a host record of recording hooks.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "runtime/os/tests/file_call_fixture.h"

namespace {

struct HookCall {
  char hook;  // 'n' no-hang, 'r' read, 'w' write
  int32_t descriptor;
  int32_t length;  // or the wait flag
  bool errorWordGiven;
};

// What the stand-in hooks answer and what they were asked.
struct HookScript {
  int32_t transferResult = 0;
  int32_t transferError = 0;
  int32_t readiness = 1;
  int32_t readinessError = 0;
  std::vector<HookCall> calls;
};
HookScript script;

int32_t readHook(int32_t descriptor, char*, int32_t length, int32_t* error) {
  script.calls.push_back({'r', descriptor, length, error != nullptr});
  if (script.transferResult < 0) *error = script.transferError;
  return script.transferResult;
}
int32_t writeHook(int32_t descriptor, const char*, int32_t length, int32_t* error) {
  script.calls.push_back({'w', descriptor, length, error != nullptr});
  if (script.transferResult < 0) *error = script.transferError;
  return script.transferResult;
}
int32_t noHangHook(int32_t descriptor, int32_t* error, int32_t wait) {
  script.calls.push_back({'n', descriptor, wait, error != nullptr});
  if (error) *error = script.readinessError;
  return script.readiness;
}

class FileWaits : public os_test::FileCallTest {
 protected:
  void SetUp() override {
    FileCallTest::SetUp();
    record_.readHook = readHook;
    record_.writeHook = writeHook;
    record_.noHangHook = noHangHook;
    script = HookScript{};
  }
  char buffer_[16] = {};
};

struct SelectRow {
  bool writing;
  int32_t count;
  int32_t hookResult;
  int32_t hookError;
  int32_t expected;
};

TEST_F(FileWaits, SelectResultsByCountAndHookResult) {
  const SelectRow rows[] = {
      {false, 8, 5, 0, 5},    {false, 8, 0, 0, -1},   {false, 0, 0, 0, -3},
      {false, 8, -1, 4, -14}, {true, 8, 5, 0, 5},     {true, 8, 0, 0, 0},
      {true, 0, 0, 0, -3},    {true, 8, -1, 9, -19},
  };
  for (const SelectRow& row : rows) {
    SCOPED_TRACE(testing::Message() << row.writing << " " << row.count << " " << row.hookResult);
    script = HookScript{};
    script.transferResult = row.hookResult;
    script.transferError = row.hookError;
    const int32_t result = row.writing ? cl_select_write(7, buffer_, 2, row.count)
                                       : cl_select_read(7, buffer_, 2, row.count);
    EXPECT_EQ(result, row.expected);
    ASSERT_EQ(script.calls.size(), 2u);
    // First the wait for readiness (descriptor or its complement, no error
    // word, waiting), then the transfer with an error word.
    EXPECT_EQ(script.calls[0].hook, 'n');
    EXPECT_EQ(script.calls[0].descriptor, row.writing ? ~7 : 7);
    EXPECT_EQ(script.calls[0].length, 1);
    EXPECT_FALSE(script.calls[0].errorWordGiven);
    EXPECT_EQ(script.calls[1].hook, row.writing ? 'w' : 'r');
    EXPECT_EQ(script.calls[1].descriptor, 7);
    EXPECT_EQ(script.calls[1].length, row.count);
    EXPECT_TRUE(script.calls[1].errorWordGiven);
  }
}

TEST_F(FileWaits, SelectRefusesBadCountsBeforeWaiting) {
  EXPECT_EQ(cl_select_read(7, buffer_, -1, 4), -32);
  EXPECT_EQ(cl_select_write(7, buffer_, 0, -4), -32);
  EXPECT_TRUE(script.calls.empty());
  // A negative descriptor is asked about as the out-of-range entry, never as
  // the complement that would name another entry.
  EXPECT_EQ(cl_select_write(-8, buffer_, 0, 0), -3);
  EXPECT_EQ(script.calls[0].descriptor, ~host::kOutOfRangeDescriptor);
  record_.noHangHook = nullptr;
  EXPECT_EQ(cl_select_read(7, buffer_, 0, 4), -19);
}

TEST_F(FileWaits, NoHangAsksWithoutWaitingAndReportsTheError) {
  script.readiness = 1;
  EXPECT_EQ(cl_no_hang(5), kT);
  EXPECT_EQ(script.calls.back().length, 0);
  EXPECT_TRUE(script.calls.back().errorWordGiven);
  EXPECT_EQ(cl_error, 0);
  script.readiness = 0;
  EXPECT_EQ(cl_no_hang(5), kNil);
  script.readiness = -1;
  script.readinessError = 9;
  // A failed question answers t too: Lisp reads and meets the error, where
  // nil would have a poll loop ask for ever.
  EXPECT_EQ(cl_no_hang(5), kT);
  EXPECT_EQ(cl_error, 36);
  record_.noHangHook = nullptr;
  cl_error = 0;
  EXPECT_EQ(cl_no_hang(5), kNil);
  EXPECT_EQ(cl_error, 36);
}

TEST(FileCallWords, WorkingDirectoryAndRemoteCommandDescriptor) {
  char buffer[512];
  const int32_t length = computewd(buffer, 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)),
            std::filesystem::current_path().string());
  EXPECT_EQ(computewd(buffer, 3), 0);  // no drive letters
  EXPECT_EQ(tcm(11, 22), 11);
  EXPECT_EQ(remote_command_fd, 22);
  tcm(0, -1);
  EXPECT_EQ(fcntl_ndelay(4, 1), 0);
  EXPECT_EQ(cl_readlink("x", buffer, 512), 0);
}

}  // namespace
