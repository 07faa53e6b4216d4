// The console printer: text reaches descriptor 1 through the host record's
// write hook, cut to 1023 characters; the standard streams print the same
// way; other streams get the text directly.

#include "runtime/os/console_printing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "testing/console_recorder.h"
#include "testing/temp_path.h"

namespace {

using testing_support::ConsoleRecorder;

TEST(ConsolePrinting, ALongTextIsCutToTheFirst1023Characters) {
  ConsoleRecorder console;
  std::string text(2000, 'x');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(vxmprintf("%s", text.c_str()), 1023);
  EXPECT_EQ(ConsoleRecorder::console(), text.substr(0, 1023));
  EXPECT_EQ(ConsoleRecorder::descriptorsWritten(), 1u);
}

TEST(ConsolePrinting, AShortTextIsWrittenWholeAndTheWriteResultReturned) {
  ConsoleRecorder console;
  ConsoleRecorder::answer() = 5;
  EXPECT_EQ(vxmprintf("%d apples and %s\n", 12, "pears"), 5);
  EXPECT_EQ(ConsoleRecorder::console(), "12 apples and pears\n");
}

TEST(ConsolePrinting, WithoutAHostRecordTheCountComesBackAndNothingIsWritten) {
  {
    ConsoleRecorder console;  // installed, then gone again
  }
  ConsoleRecorder::clear();
  uint32_t* saved = redir;
  redir = nullptr;
  EXPECT_EQ(vxmprintf("lost %d\n", 7), 7);
  redir = saved;
  EXPECT_EQ(ConsoleRecorder::descriptorsWritten(), 0u);
}

TEST(ConsolePrinting, StandardStreamsPrintToTheConsoleOtherStreamsToThemselves) {
  ConsoleRecorder console;
  EXPECT_EQ(vxmfprintf(stderr, "to %s|", "error"), 9);
  EXPECT_EQ(vxmfprintf(stdout, "to %s|", "output"), 10);
  EXPECT_EQ(ConsoleRecorder::console(), "to error|to output|");

  const std::string path = testing_support::processTempPath("stream");
  FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(vxmfprintf(file, "in the %s %d", "file", 3), 13);
  std::fclose(file);
  std::ifstream back(path);
  std::stringstream content;
  content << back.rdbuf();
  EXPECT_EQ(content.str(), "in the file 3");
  EXPECT_EQ(ConsoleRecorder::console(), "to error|to output|");
  std::remove(path.c_str());
}

TEST(ConsolePrinting, FixedArgumentEntries) {
  ConsoleRecorder console;
  struct Case {
    int arguments;
    const char* format;
    uint32_t a, b, c;
    const char* expected;
  };
  const Case cases[] = {
      {0, "x", 0, 0, 0, "x"},
      {1, "%d", 7, 0, 0, "7"},
      {2, "%d-%d", 3, 4, 0, "3-4"},
      {3, "%x%x%x", 1, 2, 3, "123"},
      {1, "%s", reinterpret_cast<uintptr_t>("word"), 0, 0, "word"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    ConsoleRecorder::clear();
    int32_t result = 0;
    switch (c.arguments) {
      case 0:
        result = dovxmprint0(c.format);
        break;
      case 1:
        result = dovxmprint1(c.format, c.a);
        break;
      case 2:
        result = dovxmprint2(c.format, c.a, c.b);
        break;
      default:
        result = dovxmprint3(c.format, c.a, c.b, c.c);
        break;
    }
    EXPECT_EQ(ConsoleRecorder::console(), c.expected);
    EXPECT_EQ(result, static_cast<int32_t>(std::string(c.expected).size()));
  }
}

TEST(ConsolePrinting, MissingFormatOrStreamPrintsNothing) {
  ConsoleRecorder console;
  EXPECT_EQ(dovxmprint0(nullptr), 0);
  EXPECT_EQ(vxmfprintf(nullptr, "%d", 1), -1);
  EXPECT_EQ(ConsoleRecorder::console(), "");
}

}  // namespace
