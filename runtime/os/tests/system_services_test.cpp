// The system services' own bookkeeping: collector time, the day cache, error
// number translation, the binary search, the input-ready table, the memory
// report, format checking and text vectors.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/host_record.h"
#include "platform/memory.h"
#include "runtime/gc/gc_state.h"
#include "runtime/os/clock_services.h"
#include "runtime/os/errno_values.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/input_ready_table.h"
#include "runtime/os/lisp_text_vectors.h"
#include "runtime/os/memory_status.h"
#include "runtime/os/minor_services.h"
#include "runtime/os/process_times.h"
#include "runtime/os/system_messages.h"
#include "runtime/os/text_conversions.h"
#include "runtime/rs/object_layout.h"
#include "testing/console_recorder.h"
#include "testing/temp_path.h"

namespace {

// ---- collector time ----

lisp::os::ProcessTimeReading g_reading;
bool injectedTimes(lisp::os::ProcessTimeReading* reading) {
  *reading = g_reading;
  return true;
}

class CollectorTime : public ::testing::Test {
 protected:
  void SetUp() override {
    lisp::os::setProcessTimeSource(injectedTimes);
    gcusec = gcuusec = gcssec = gcsusec = 0;
  }
  void TearDown() override {
    lisp::os::setProcessTimeSource(nullptr);
    gcusec = gcuusec = gcssec = gcsusec = 0;
  }
  // One collection from `start` to `end` user microseconds (system time
  // moving the same way, shifted by a second).
  void collect(int64_t start, int64_t end) {
    g_reading = {start, start + 1'000'000};
    gcstart();
    g_reading = {end, end + 1'000'000};
    gcend();
  }
};

TEST_F(CollectorTime, EachCollectionAddsItsLengthCarryingAndBorrowing) {
  collect(600'000, 1'700'000);
  EXPECT_EQ(gcusec, 1);
  EXPECT_EQ(gcuusec, 100'000);
  EXPECT_EQ(gcssec, 1);
  EXPECT_EQ(gcsusec, 100'000);
  gcusec = gcuusec = 0;
  collect(700'000, 1'600'000);
  EXPECT_EQ(gcusec, 0);
  EXPECT_EQ(gcuusec, 900'000);
  EXPECT_EQ(starttime[0], 0);
  EXPECT_EQ(starttime[1], 700'000);
  EXPECT_EQ(endtime[2], 2);
  EXPECT_EQ(endtime[3], 600'000);
  EXPECT_EQ(endtime[4], 0);
  EXPECT_EQ(endtime[5], 0);
}

TEST_F(CollectorTime, ManyCollectionsMatchASumOfMicroseconds) {
  std::mt19937 random(71);
  std::uniform_int_distribution<int64_t> gap(0, 3'000'000), length(0, 2'500'000);
  int64_t now = 0, total = 0;
  for (int i = 0; i < 1000; ++i) {
    now += gap(random);
    const int64_t end = now + length(random);
    collect(now, end);
    total += end - now;
    now = end;
    ASSERT_GE(gcuusec, 0);
    ASSERT_LT(gcuusec, 1'000'000);
    ASSERT_EQ(int64_t{gcusec} * 1'000'000 + gcuusec, total) << "collection " << i;
  }
}

TEST_F(CollectorTime, UsageRecordSplitsTheTimes) {
  g_reading = {3'250'999, 1'000'500};
  int32_t usage[6] = {};
  EXPECT_EQ(windows_getrusage(usage), 1);
  EXPECT_EQ(std::vector<int32_t>(usage, usage + 6),
            (std::vector<int32_t>{3250, 1000, 3, 250'999, 1, 500}));
  lisp::os::setProcessTimeSource([](lisp::os::ProcessTimeReading*) { return false; });
  EXPECT_EQ(windows_getrusage(usage), 0);
  EXPECT_EQ(usage[1], 0);
}

// ---- the day cache ----

lisp::os::ClockReading g_clock;

TEST(DayCache, DaysCountFromMarch2000AndTurnOverAtMidnight) {
  lisp::os::setRealTimeClock([] { return g_clock; });
  const int64_t epoch = lisp::os::kLispClockEpoch;  // 2015-01-01 00:00:00 UTC
  g_clock = {epoch, 0};
  sy_time();
  EXPECT_EQ(s_days, 5419);
  EXPECT_EQ(s_secs, 0);
  g_clock = {epoch + 86399, 0};
  sy_time();
  EXPECT_EQ(s_days, 5419);
  EXPECT_EQ(s_secs, 86399);
  g_clock = {epoch + 86400, 0};
  sy_time();
  EXPECT_EQ(s_days, 5420);
  EXPECT_EQ(s_secs, 0);
  g_clock = {epoch - 1, 0};
  sy_time();
  EXPECT_EQ(s_days, 5418);
  EXPECT_EQ(s_secs, 86399);
  // 2000-03-01 00:00:00 UTC is day 0.
  g_clock = {951868800, 0};
  int32_t record[4] = {};
  sy_time_smp(record);
  EXPECT_EQ(record[3], 0);
  EXPECT_EQ(record[2], 0);
  lisp::os::setRealTimeClock(nullptr);
}

// ---- error numbers ----

TEST(SystemErrors, TranslateToErrnoByTheMapThenTheRanges) {
  const std::pair<int32_t, int32_t> cases[] = {{25, 13}, {190, 8}, {0, 22},  {6, 9},    {145, 41},
                                               {36, 13}, {37, 22}, {202, 8}, {203, 22}, {1816, 12},
                                               {19, 13}, {188, 8}, {-1, 22}};
  for (const auto& [code, expected] : cases) EXPECT_EQ(win_err_to_errno(code), expected) << code;
}

// ---- binary search ----

TEST(BinarySearch, FindsEveryIndexAndNothingElse) {
  EXPECT_EQ(b_search(5, nullptr, 0), -1);
  const int32_t one[] = {4};
  EXPECT_EQ(b_search(4, one, 1), 0);
  EXPECT_EQ(b_search(5, one, 1), -1);
  EXPECT_EQ(b_search(4, one, 0), -1);
  EXPECT_EQ(b_search(4, one, -3), -1);
  const int32_t two[] = {4, 8};
  EXPECT_EQ(b_search(4, two, 2), 0);
  EXPECT_EQ(b_search(8, two, 2), 1);
  EXPECT_EQ(b_search(6, two, 2), -1);
  const int32_t seven[] = {-40, -8, 0, 8, 12, 400, 401};
  for (int32_t i = 0; i < 7; ++i) EXPECT_EQ(b_search(seven[i], seven, 7), i);
  for (const int32_t between : {-41, -9, -1, 7, 11, 13, 399, 402})
    EXPECT_EQ(b_search(between, seven, 7), -1);
}

// ---- the input-ready table ----

class InputReady : public ::testing::Test {
 protected:
  void SetUp() override { lisp::os::clearInputReadyTable(); }
  void TearDown() override { lisp::os::clearInputReadyTable(); }
};

TEST_F(InputReady, BadDescriptorsAreReportedAndChangeNothing) {
  testing_support::ConsoleRecorder console;
  lisp_add_sigio_fd(64);
  lisp_add_sigio_fd(-1);
  lisp_remove_sigio_fd(64);
  EXPECT_EQ(console.console(),
            "Bad argument: 64 to lisp_add_sigio_fd\n"
            "Bad argument: -1 to lisp_add_sigio_fd\n"
            "Bad argument: 64 to lisp_remove_sigio_fd\n");
  EXPECT_EQ(lisp_query_ready_sigio_array()->watchedCount, 0u);
  EXPECT_EQ(lisp::os::inputSelectWidth(), 0);
  EXPECT_EQ(lisp_number_of_fds(), 64);
}

TEST_F(InputReady, TheWidthFollowsTheHighestWatchedDescriptor) {
  lisp_add_sigio_fd(5);
  lisp_add_sigio_fd(9);
  lisp_add_sigio_fd(9);
  EXPECT_EQ(lisp::os::inputSelectWidth(), 11);
  EXPECT_EQ(lisp_query_ready_sigio_array()->watchedCount, 2u);
  lisp_remove_sigio_fd(9);
  EXPECT_EQ(lisp::os::inputSelectWidth(), 7);
  lisp_remove_sigio_fd(9);
  EXPECT_EQ(lisp::os::inputSelectWidth(), 7);
  lisp_remove_sigio_fd(5);
  EXPECT_EQ(lisp::os::inputSelectWidth(), 0);
  EXPECT_EQ(lisp_query_ready_sigio_array()->watchedCount, 0u);
}

TEST_F(InputReady, FilterListsTheDescriptorsWithInputAndKeepsErrno) {
  int quiet[2], ready[2];
  ASSERT_EQ(pipe(quiet), 0);
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_LT(ready[0], 64);
  ASSERT_LT(quiet[0], 64);
  ASSERT_EQ(write(ready[1], "x", 1), 1);
  lisp_add_sigio_fd(quiet[0]);
  lisp_add_sigio_fd(ready[0]);
  errno = ENOTDIR;
  filter_sigios();
  EXPECT_EQ(errno, ENOTDIR);
  const InputReadyTable* table = lisp_query_ready_sigio_array();
  EXPECT_EQ(table->ready[0], ready[0]);
  EXPECT_EQ(table->ready[1], 0);
  for (const int fd : {quiet[0], quiet[1], ready[0], ready[1]}) close(fd);
  void* info = lisp_query_unix_sigio_info();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(std::string(static_cast<const char*>(info), 20), std::string(20, '\0'));
  std::free(info);
}

// ---- the memory report ----

TEST(MemoryReport, AReservationShowsAsReservedAndTheLibraryAsImage) {
  // Reserved the way the heaps reserve.
  const size_t bytes = 16 * 4096;
  const uintptr_t reserved = platform::reserveAddressSpace(0, bytes);
  ASSERT_NE(reserved, 0u);
  const std::string path = testing_support::processTempPath("memory-report");
  memory_status_dump(path.c_str());
  platform::releaseAddressSpace(reserved, bytes);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path.c_str());
  const std::string report = text.str();
  EXPECT_EQ(report.rfind("Mappings from MEMORY_BASIC_INFORMATION struct in winnt.h:\n", 0), 0u);
  char start[16];
  std::snprintf(start, sizeof start, "%9x - ", static_cast<unsigned>(reserved));
  const size_t line = report.find(start);
  ASSERT_NE(line, std::string::npos) << report;
  const std::string reservedLine = report.substr(line, report.find('\n', line) - line);
  EXPECT_NE(reservedLine.find("reserve"), std::string::npos) << reservedLine;
  EXPECT_EQ(reservedLine.find("commit"), std::string::npos) << reservedLine;
  EXPECT_NE(report.find("  image "), std::string::npos);
  EXPECT_NE(report.find("    free "), std::string::npos);
  EXPECT_NE(report.find("\nCommitted:\n  image: "), std::string::npos);
  EXPECT_NE(report.find("  Total: "), std::string::npos);
}

// ---- formats and text vectors ----

TEST(DiagnosticFormats, OnlyWordConversionsPass) {
  for (const char* good : {"", "plain %%", "%d %x %lx %08X %c", "%hu %-5i %.3o %hhx"})
    EXPECT_TRUE(lisp::os::isWordOnlyFormat(good)) << good;
  for (const char* bad : {"%s", "%n", "%f", "%lld", "%*d", "%", "%d%d%d%d%d%d", "%p"})
    EXPECT_FALSE(lisp::os::isWordOnlyFormat(bad)) << bad;
}

// A fixnum-length vector of the type with room for `elements`.
struct TestVector {
  explicit TestVector(uint8_t type, uint32_t elements) {
    words.assign(2 + elements / 2 + 2, 0x78787878);
    words[0] = (elements << 8) | type;
    words[1] = lisp::makeFixnum(static_cast<int32_t>(elements));
  }
  lisp::lispval object() const { return lisp::wordOf(words.data(), lisp::Tag::Other); }
  const char* bytes() const { return reinterpret_cast<const char*>(&words[2]); }
  std::vector<uint32_t> words;
};

TEST(TextVectors, WritesStopAtTheLastElement) {
  TestVector bytes(125, 4);
  EXPECT_FALSE(lisp::os::putText(bytes.object(), "abcd"));
  EXPECT_EQ(std::string(bytes.bytes(), 8), "xxxxxxxx");
  EXPECT_TRUE(lisp::os::putText(bytes.object(), "abc"));
  EXPECT_EQ(std::string(bytes.bytes(), 8), std::string("abc\0xxxx", 8));
  EXPECT_TRUE(lisp::os::putTextCut(bytes.object(), "longer"));
  EXPECT_EQ(std::string(bytes.bytes(), 8), std::string("lon\0xxxx", 8));
  char out[8];
  EXPECT_TRUE(lisp::os::takeText(bytes.object(), out, sizeof out));
  EXPECT_STREQ(out, "lon");
  EXPECT_FALSE(lisp::os::takeText(bytes.object(), out, 3));

  TestVector units(117, 3);
  EXPECT_TRUE(lisp::os::putText(units.object(), "ab"));
  EXPECT_EQ(std::string(units.bytes(), 8), std::string("a\0b\0\0\0xx", 8));
  EXPECT_FALSE(lisp::os::putText(lisp::makeFixnum(3), "a"));
  TestVector words(112, 4);  // Lisp values: no text
  EXPECT_FALSE(lisp::os::putText(words.object(), "a"));
}

// ---- text conversions ----

// The bytes as an 8-bit vector of exactly their length.
TestVector bytesVector(const std::string& bytes) {
  TestVector v(125, static_cast<uint32_t>(bytes.size()));
  std::memcpy(reinterpret_cast<char*>(&v.words[2]), bytes.data(), bytes.size());
  return v;
}
std::u16string unitsOf(const TestVector& v, size_t count) {
  std::u16string units(count, u'\0');
  std::memcpy(units.data(), v.bytes(), 2 * count);
  return units;
}

TEST(TextConversions, BytesBecomeUnitsByCodePage) {
  const TestVector source = bytesVector("a\xc3\xa9\xe2\x82\xac!");  // a, e-acute, euro sign, !
  TestVector units(117, 8);
  EXPECT_EQ(sy_win_MultiByteToWideChar(source.object(), 0, 7, units.object(), 8, 65001, 0),
            lisp::makeFixnum(4));
  EXPECT_EQ(unitsOf(units, 4), u"a\u00e9\u20ac!");
  // The system's code page is the same; none only counts.
  EXPECT_EQ(sy_win_MultiByteToWideChar(source.object(), 1, 3, nilval, 0, 0, 0),
            lisp::makeFixnum(1));
  // Latin-1 maps every byte.
  EXPECT_EQ(sy_win_MultiByteToWideChar(source.object(), 1, 3, units.object(), 8, 28591, 0),
            lisp::makeFixnum(2));
  EXPECT_EQ(unitsOf(units, 2), u"\u00c3\u00a9");
  // An empty range is no error.
  EXPECT_EQ(sy_win_MultiByteToWideChar(source.object(), 3, 3, units.object(), 8, 65001, 0),
            lisp::makeFixnum(0));
}

TEST(TextConversions, BadRequestsGiveTheNegatedErrorAndWriteNothing) {
  const TestVector source = bytesVector("ab\xff");
  TestVector units(117, 2);
  const std::string before(units.bytes(), 4);
  struct Case {
    int32_t start, end, length;
    uint32_t codePage;
    int32_t error;
  };
  for (const Case c : {Case{0, 3, 2, 65001, 1113},  // 0xff is no UTF-8
                       Case{0, 2, 1, 65001, 122},   // two units, room for one
                       Case{0, 4, 2, 65001, 87},    // past the source's end
                       Case{2, 1, 2, 65001, 87},    // end before start
                       Case{0, 2, 2, 4242, 87}}) {  // no such code page
    EXPECT_EQ(sy_win_MultiByteToWideChar(source.object(), c.start, c.end, units.object(), c.length,
                                         c.codePage, 0),
              lisp::makeFixnum(-c.error))
        << c.start << ".." << c.end << " page " << c.codePage;
  }
  EXPECT_EQ(std::string(units.bytes(), 4), before);
  // The vector's own length bounds the room, whatever length is given.
  const TestVector three = bytesVector("abc");
  EXPECT_EQ(sy_win_MultiByteToWideChar(three.object(), 0, 3, units.object(), 8, 65001, 0),
            lisp::makeFixnum(-122));
  EXPECT_EQ(std::string(units.bytes(), 4), before);
  EXPECT_EQ(sy_win_MultiByteToWideChar(lisp::makeFixnum(1), 0, 0, nilval, 0, 65001, 0),
            lisp::makeFixnum(-87));
  EXPECT_EQ(sy_win_MultiByteToWideChar(source.object(), 0, 1, source.object(), 1, 65001, 0),
            lisp::makeFixnum(-87))
      << "an 8-bit destination";
}

TEST(TextConversions, UnitsBecomeUtf8WithinTheBuffer) {
  TestVector units(117, 3);
  const char16_t text[] = u"a\u00e9\u20ac";
  std::memcpy(reinterpret_cast<char*>(&units.words[2]), text, 6);
  char buffer[8] = {};
  EXPECT_EQ(sy_win_WideCharToMultiByte(units.object(), 0, 3, buffer, sizeof buffer),
            lisp::makeFixnum(6));
  EXPECT_EQ(std::string(buffer, 6), "a\xc3\xa9\xe2\x82\xac");
  EXPECT_EQ(sy_win_WideCharToMultiByte(units.object(), 1, 3, nullptr, 0), lisp::makeFixnum(5));
  char small[4] = {'k', 'k', 'k', 'k'};
  EXPECT_EQ(sy_win_WideCharToMultiByte(units.object(), 0, 3, small, sizeof small),
            lisp::makeFixnum(0));
  EXPECT_EQ(std::string(small, 4), "kkkk");
  EXPECT_EQ(sy_win_WideCharToMultiByte(units.object(), 0, 4, buffer, sizeof buffer),
            lisp::makeFixnum(0));
}

// ---- early errors ----

TEST(EarlyErrors, TheMessageTellsWhatTheArgumentWas) {
  static host::HostRecord record{};
  record.writeHook = [](int32_t, const char* buffer, int32_t length, int32_t*) {
    return static_cast<int32_t>(write(2, buffer, static_cast<size_t>(length)));
  };
  const auto die = [](lisp::lispval argument) {
    redir = reinterpret_cast<uint32_t*>(&record);
    sy_err(argument);
  };
  TestVector message(117, 4);
  const char16_t text[] = u"oops";
  std::memcpy(reinterpret_cast<char*>(&message.words[2]), text, 8);
  EXPECT_DEATH(die(message.object()),
               "An error occurred before the condition system \\(the :cond module\\) was loaded\n"
               "Error message:\n oops\n");
  alignas(8) uint32_t cell[2] = {message.object(), nilval};
  EXPECT_DEATH(die(lisp::wordOf(cell, lisp::Tag::Cons)), "Partial error message:\n oops\n");
  EXPECT_DEATH(die(lisp::makeFixnum(5)), "Error format arglist: 0x14\n");
}

TEST(SignalDrivenInput, TheHandlerIsInstalledForTheSignal) {
  struct sigaction before {};
  sigaction(SIGUSR2, nullptr, &before);
  EXPECT_EQ(lisp_sigio_setupsig(SIGUSR2), SIGUSR2);
  struct sigaction after {};
  sigaction(SIGUSR2, nullptr, &after);
  EXPECT_NE(after.sa_handler, SIG_DFL);
  sigaction(SIGUSR2, &before, nullptr);
}

TEST(WindowServices, AcceleratorTablesAreCopiesAndMessagesNeedARecord) {
  const uint8_t entries[12] = {1, 0, 'A', 0, 7, 0, 3, 0, 'B', 0, 8, 0};
  const uint32_t table = vxm_CreateAcceleratorTable(entries, 2);
  ASSERT_NE(table, 0u);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(static_cast<uintptr_t>(table)), entries, 12),
            0);
  EXPECT_EQ(vxm_DestroyAcceleratorTable(table), 1);
  EXPECT_EQ(vxm_CreateAcceleratorTable(entries, 0), 0u);
  EXPECT_EQ(vxm_CreateAcceleratorTable(nullptr, 2), 0u);
  EXPECT_EQ(vxm_DestroyAcceleratorTable(0), 0);
  EXPECT_EQ(GetMessageWrapper(nullptr, 0, 0, 0), -1);
}

}  // namespace
