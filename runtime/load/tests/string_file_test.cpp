// The string file: record sizes and bytes, the header at closing, the
// counters kept across files, the upper-case flag, and a short write.
#include "runtime/load/string_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/load/case_mapping.h"
#include "testing/temp_path.h"

extern "C" lisp::lispval tval;

namespace {

std::vector<uint8_t> contentsOf(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return bytes;
  int byte;
  while ((byte = std::fgetc(file)) != EOF) bytes.push_back(static_cast<uint8_t>(byte));
  std::fclose(file);
  return bytes;
}

uint32_t get32(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
  return value;
}

class StringFile : public ::testing::Test {
 protected:
  // nil and t are words close_str_file hands back; distinct ones here.
  // The counters start at 0, as start-up leaves them.
  void SetUp() override {
    path_ = testing_support::processTempPath("strings.vxs");
    savedNil_ = nilval;
    savedT_ = tval;
    nilval = 0x100005;
    tval = 0x100107;
    savedCount_ = str_file_count;
    savedSize_ = str_file_size;
    str_file_count = str_file_size = 0;
  }
  void TearDown() override {
    close_str_file();
    unlink(path_.c_str());
    nilval = savedNil_;
    tval = savedT_;
    str_file_count = savedCount_;
    str_file_size = savedSize_;
  }
  static void write(const std::u16string& text, int upperCase = 0) {
    write_str_file(reinterpret_cast<const uint16_t*>(text.data()),
                   static_cast<uint32_t>(text.size()), upperCase);
  }
  std::string path_;
  lisp::lispval savedNil_ = 0, savedT_ = 0;
  uint32_t savedCount_ = 0, savedSize_ = 0;
};

TEST_F(StringFile, RecordsOfZeroThreeAndFourCharacters) {
  const struct {
    std::u16string text;
    uint32_t bytes;
  } cases[] = {{u"", 16}, {u"abc", 16}, {u"abcd", 24}, {u"\u0178\u4e00", 16}};
  for (const auto& c : cases) {
    str_file_count = str_file_size = 0;  // each case as the first file since start-up
    ASSERT_GT(open_str_file(path_.c_str()), 0);
    write(c.text);
    EXPECT_EQ(close_str_file(), tval);
    const std::vector<uint8_t> bytes = contentsOf(path_);
    ASSERT_EQ(bytes.size(), 8 + c.bytes);
    EXPECT_EQ(get32(bytes, 0), static_cast<uint32_t>(-1));
    EXPECT_EQ(get32(bytes, 4), c.bytes);
    EXPECT_EQ(get32(bytes, 8), 117u) << "type byte, three zero bytes";
    EXPECT_EQ(get32(bytes, 12), c.text.size() << 2);
    for (size_t i = 0; i < c.text.size(); ++i)
      EXPECT_EQ(bytes[16 + 2 * i] | bytes[17 + 2 * i] << 8, c.text[i]);
    EXPECT_EQ(bytes[16 + 2 * c.text.size()] | bytes[17 + 2 * c.text.size()], 0);
  }
}

TEST_F(StringFile, TwoStringsGiveCounterMinusTwoAndTheirByteTotal) {
  ASSERT_GT(open_str_file(path_.c_str()), 0);
  EXPECT_EQ(contentsOf(path_), std::vector<uint8_t>(8, 0)) << "zeros until it is closed";
  write(u"first");
  write(u"second string", 1);
  EXPECT_NE(str_file, 0);
  close_str_file();
  EXPECT_EQ(str_file, 0);
  const std::vector<uint8_t> bytes = contentsOf(path_);
  ASSERT_EQ(bytes.size(), 8u + 24 + 40);
  EXPECT_EQ(static_cast<int32_t>(get32(bytes, 0)), -2);
  EXPECT_EQ(get32(bytes, 4), 64u);
  // The second record, read back: converted to upper case in the file only.
  const std::u16string expected = u"SECOND STRING";
  EXPECT_EQ(get32(bytes, 32 + 4), expected.size() << 2);
  std::u16string read;
  for (size_t i = 0; i < expected.size(); ++i)
    read.push_back(static_cast<char16_t>(bytes[40 + 2 * i] | bytes[41 + 2 * i] << 8));
  EXPECT_EQ(read, expected);
  EXPECT_EQ(close_str_file(), nilval) << "nothing left to close";
}

// Opening a file does not reset the counters: a second file's header
// counts every record written since start-up.
TEST_F(StringFile, ASecondFileHeaderCountsEveryRecordSinceStartUp) {
  ASSERT_GT(open_str_file(path_.c_str()), 0);
  write(u"one");
  write(u"two");
  close_str_file();
  ASSERT_GT(open_str_file(path_.c_str()), 0);
  write(u"three");
  close_str_file();
  const std::vector<uint8_t> bytes = contentsOf(path_);
  EXPECT_EQ(static_cast<int32_t>(get32(bytes, 0)), -3);
  EXPECT_EQ(get32(bytes, 4), 16u + 16 + 24);
  EXPECT_EQ(bytes.size(), 8u + 24);
}

TEST_F(StringFile, OpeningAnotherClosesTheFirstWithItsHeader) {
  const std::string first = path_ + ".first";
  ASSERT_GT(open_str_file(first.c_str()), 0);
  write(u"kept");  // 4 characters: 24 bytes
  ASSERT_GT(open_str_file(path_.c_str()), 0);
  const std::vector<uint8_t> bytes = contentsOf(first);
  EXPECT_EQ(static_cast<int32_t>(get32(bytes, 0)), -1);
  EXPECT_EQ(get32(bytes, 4), 24u);
  unlink(first.c_str());
}

TEST_F(StringFile, AFileThatCannotBeMadeLeavesNoneOpen) {
  EXPECT_EQ(open_str_file("/nonexistent-directory/strings.vxs"), -1);
  EXPECT_EQ(str_file, 0);
  write(u"dropped");  // nothing open: nothing happens
  EXPECT_EQ(close_str_file(), nilval);
}

TEST_F(StringFile, ALengthWhoseRecordWouldWrapIsReportedAndNotCounted) {
  ASSERT_GT(open_str_file(path_.c_str()), 0);
  const uint16_t text[1] = {'x'};
  testing::internal::CaptureStderr();
  write_str_file(text, 0x80000000u, 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("string file is corrupt (0, -1, "),
            std::string::npos);
  close_str_file();
  EXPECT_EQ(contentsOf(path_), std::vector<uint8_t>(8, 0));
}

TEST_F(StringFile, AShortWriteIsReportedOnceAndTheFileGoesOn) {
  // /dev/full takes nothing: every write fails with "no space".
  testing::internal::CaptureStderr();
  ASSERT_GT(open_str_file("/dev/full"), 0);
  const std::string atOpen = testing::internal::GetCapturedStderr();
  EXPECT_EQ(atOpen, "Vexmora CL: Internal error: string file is corrupt (-1, 8, 28, 112)\n");
  testing::internal::CaptureStderr();
  write(u"abc");
  const std::string atRecord = testing::internal::GetCapturedStderr();
  EXPECT_EQ(atRecord,
            "Vexmora CL: Internal error: string file is corrupt (-1, 8, 28, 112)\n"
            "Vexmora CL: Internal error: string file is corrupt (-1, 8, 28, 112)\n");
  EXPECT_NE(str_file, 0);
  testing::internal::CaptureStderr();
  close_str_file();
  testing::internal::GetCapturedStderr();
}

}  // namespace
