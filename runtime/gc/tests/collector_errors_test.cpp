#include "runtime/gc/collector_errors.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "testing/console_recorder.h"

namespace {

TEST(CollectorErrors, TheBoxBecomesOneTitledLineAndTheStatusEndsTheProcess) {
  const struct {
    int collector;
    int status;
    const char* line;
  } cases[] = {
      {1, 1, "^Vexmora CL: System Error \\(gsgc\\): lost 0x2a\n$"},
      {0, 1, "^Vexmora CL: System Error: lost 0x2a\n$"},
      {0, 3, "^Vexmora CL: System Error: lost 0x2a\n$"},
  };
  for (const auto& c : cases)
    EXPECT_EXIT(vxmsyserror("lost 0x%lx", 42, c.status, c.collector),
                testing::ExitedWithCode(c.status), c.line);
}

TEST(CollectorErrors, StatusZeroReturnsTheBoxAnswer) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(vxmsyserror("note %lx", 7, 0, 0), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Vexmora CL: System Error: note 7\n");
}

TEST(CollectorErrors, FlagDOrTheDumpWordEndsWithStatusTenAndNoText) {
  GsCtlFlags = gc::flag::kAbortOnError;
  EXPECT_EXIT(gserror1(0x1000), testing::ExitedWithCode(10), "^$");
  EXPECT_EXIT(vxmsyserror("x", 0, 1, 0), testing::ExitedWithCode(10), "^$");
  GsCtlFlags = 0;
  GsErrDump = 1;
  EXPECT_EXIT(gserror2(0x1000, 1), testing::ExitedWithCode(10), "^$");
  GsErrDump = 0;
}

TEST(CollectorErrors, MessageTextsOfTheNumberedErrors) {
  EXPECT_EXIT(gserror1(0x1230), testing::ExitedWithCode(1),
              "^Vexmora CL: System Error \\(gsgc\\): Unknown object type at \\(0x1230\\)\n$");
  EXPECT_EXIT(
      gserror2(0x1230, 0), testing::ExitedWithCode(1),
      "^Vexmora CL: System Error \\(gsgc\\): Unrecognized type of sysvector \\(0x1230\\)\n$");
  EXPECT_EXIT(
      gserror2(0x1230, 1), testing::ExitedWithCode(1),
      "^Vexmora CL: System Error \\(gsgc\\): Unrecognized type of real sysvector \\(0x1230\\)\n$");
}

TEST(CollectorErrors, DebugPauseWaitsForOneCharacter) {
  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  ASSERT_EQ(write(channel[1], "xy", 2), 2);
  close(channel[1]);
  const int savedInput = dup(0);
  dup2(channel[0], 0);
  close(channel[0]);
  std::string printed;
  {
    const testing_support::ConsoleRecorder console;
    debug_pause();
    printed = testing_support::ConsoleRecorder::console();
  }
  const int next = std::getchar();
  dup2(savedInput, 0);
  close(savedInput);
  clearerr(stdin);
  EXPECT_EQ(printed, "\n\n** pause for gdb attachment. Type a character when ready\n Continuing\n");
  EXPECT_EQ(next, 'y');  // exactly one character was taken
}

TEST(CollectorErrors, StackSegmentTrace) {
  const testing_support::ConsoleRecorder console;
  sst(0x1000, 0xffffffff, 0x20, 0xabc);
  EXPECT_EQ(testing_support::ConsoleRecorder::console(),
            "sst: fp:1000, clink: ffffffff offset: 20 start abc\n");
}

}  // namespace
