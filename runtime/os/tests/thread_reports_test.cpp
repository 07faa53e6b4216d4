#include "runtime/os/thread_reports.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "testing/console_recorder.h"

namespace {

using testing_support::ConsoleRecorder;

std::string report(int32_t kind, int32_t gcstate, uint32_t thread) {
  const ConsoleRecorder console;
  rfr_report_write(kind, gcstate, thread);
  return ConsoleRecorder::console();
}

TEST(ThreadReports, EachKindHasItsText) {
  const struct {
    int32_t kind;
    int32_t gcstate;
    const char* text;
  } cases[] = {
      {0, 0, "lisp->foreign, gcstate was 0.\n"},
      {1, 2, "lisp->foreign, gcstate was 2. gc release\n"},
      {3, 7, "foreign->lisp, gcstate was 7. Bogus!!\n"},
      {4, 1, "foreign->lisp, gcstate was 1.\n"},
      {5, 4, "foreign->lisp, gcstate was 4. resynch\n"},
      {6, 3, "foreign->lisp, gcstate was 3. resynch\n"},
      {2, 0, "???\n"},
      {9, 0, "???\n"},
  };
  for (const auto& c : cases) {
    const std::string line = report(c.kind, c.gcstate, 0xbeef);
    EXPECT_TRUE(std::regex_match(line, std::regex("[ 0-9]{2}[0-9]+ T\\.beef: .*\n")) &&
                line.ends_with(c.text))
        << line;
  }
}

TEST(ThreadReports, TheCountRunsAndTheTriggerMarksItsLine) {
  const std::string first = report(0, 0, 1);
  const int count = std::stoi(first);
  rfr_report_trigger = static_cast<uint32_t>(count + 2);
  char expected[64];
  std::snprintf(expected, sizeof expected, "%3d T.2a: foreign->lisp, gcstate was 1.\n", count + 1);
  EXPECT_EQ(report(4, 1, 0x2a), expected);
  EXPECT_NE(report(4, 1, 0x2a).find(": [trigger] foreign->lisp"), std::string::npos);
  rfr_report_trigger = 0;
}

TEST(ThreadReports, DebugNote) {
  const ConsoleRecorder console;
  debug_note(11, 0x1f);
  EXPECT_EQ(ConsoleRecorder::console(), "signal 11, thread=0x1f\n");
}

}  // namespace
