// Child processes through the Lisp-facing services, with real children: the
// streams each choice gives them, their pipes through kind-5 descriptors, the
// process table and the waits that collect them.

#include "runtime/os/child_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/error_numbers.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/os/child_environment.h"
#include "runtime/os/child_pipe_buffer.h"
#include "runtime/os/child_waits.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/tests/file_call_fixture.h"
#include "runtime/os/tests/thread_record_fixture.h"
#include "runtime/os/thread_record_access.h"
#include "testing/emulation.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::Watchdog;

constexpr int32_t kNone = -4;
constexpr int32_t kPipe = -2;
constexpr int32_t kOwn = -1;
constexpr int32_t kAsOutput = -3;

// A Lisp string (a character vector with a length word) in memory.
class LispString {
 public:
  explicit LispString(const std::string& text) : words_(2 + (text.size() * 2 + 2 + 7) / 8) {
    auto* header = reinterpret_cast<uint32_t*>(words_.data());
    header[0] = 117;
    header[1] = makeFixnum(static_cast<int32_t>(text.size()));
    auto* characters = reinterpret_cast<uint16_t*>(header + 2);
    for (size_t i = 0; i < text.size(); ++i) characters[i] = static_cast<uint8_t>(text[i]);
  }
  lispval word() const { return lisp::wordOf(words_.data(), lisp::Tag::Other); }

 private:
  std::vector<uint64_t> words_;
};

// An environment block: byte count, then the entries, each ended by a NUL,
// and the empty entry.
class EnvironmentBlock {
 public:
  explicit EnvironmentBlock(const std::vector<std::string>& entries) {
    std::string bytes;
    for (const std::string& entry : entries) bytes += entry + '\0';
    bytes += '\0';
    const size_t count = bytes.size();
    bytes.insert(0, std::string{static_cast<char>(count & 0xff), static_cast<char>(count >> 8)});
    words_.resize(2 + (bytes.size() + 7) / 8);
    auto* header = reinterpret_cast<uint32_t*>(words_.data());
    header[0] = 125;
    header[1] = makeFixnum(static_cast<int32_t>(bytes.size()));
    std::memcpy(header + 2, bytes.data(), bytes.size());
  }
  lispval word() const { return lisp::wordOf(words_.data(), lisp::Tag::Other); }

 private:
  std::vector<uint64_t> words_;
};

int openDescriptorCount() {
  int count = 0;
  DIR* listing = ::opendir("/proc/self/fd");
  while (const dirent* item = ::readdir(listing))
    if (item->d_name[0] != '.') ++count;
  ::closedir(listing);
  return count;
}

class Children : public os_test::FileCallTest {
 protected:
  void SetUp() override {
    FileCallTest::SetUp();
    calling_ = std::make_unique<os_test::CallingThreadRecord>(thread_);
    buffersBefore_ = lisp::os::liveChildPipeBuffers();
  }

  void TearDown() override {
    // Children a test left running are ended and collected.
    for (int32_t i = 0; i < proc_count; ++i) ::kill(proc_ids[i], SIGKILL);
    while (proc_count > 0) sy_wait(proc_ids[0], kNil);
    FileCallTest::TearDown();
    calling_.reset();
  }

  lispval run(const std::string& command, bool wait, int32_t input, int32_t output, int32_t error,
              lispval environment = kNil, const char* directory = nullptr) {
    const LispString text(command);
    return sy_run_shell2(text.word(), wait ? kT : kNil, makeFixnum(input), makeFixnum(output),
                         makeFixnum(error), makeFixnum(-1), environment, directory);
  }

  // Result word i (1 to 4).
  lispval word(int i) { return thread_mv_slots()[i - 1]; }
  int32_t descriptorWord(int i) { return lisp::fixnumValue(word(i)); }

  // Everything the pipe gives until it ends.
  std::string readAll(int32_t descriptor) {
    std::string text;
    char buffer[300];
    for (;;) {
      int32_t error = 0;
      const int32_t got = win_read(descriptor, buffer, sizeof buffer, &error);
      EXPECT_GE(got, 0) << "error " << error;
      if (got <= 0) return text;
      text.append(buffer, static_cast<size_t>(got));
    }
  }

  // Writes it all, waiting while the writer thread holds the buffer.
  void writeAll(int32_t descriptor, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      int32_t error = 0;
      const int32_t wrote = win_write(descriptor, data.data() + done,
                                      static_cast<int32_t>(data.size() - done), &error);
      if (wrote < 0) {
        ASSERT_EQ(error, lisp::os::kErrorWouldBlock);
        ASSERT_EQ(win_no_hang(~descriptor, &error, 1), 1);
        continue;
      }
      done += static_cast<size_t>(wrote);
    }
  }

  int32_t liveBuffers() const { return lisp::os::liveChildPipeBuffers() - buffersBefore_; }

  void waitUntilNoBuffers() {
    while (liveBuffers() != 0) std::this_thread::sleep_for(1ms);
  }

  Watchdog watchdog_{"child processes", 20s};
  os_test::RecordInMemory thread_;
  std::unique_ptr<os_test::CallingThreadRecord> calling_;
  int32_t buffersBefore_ = 0;
};

// ---- pipes ----

TEST_F(Children, OutputAndErrorPipesGiveTwoReadingDescriptors) {
  ASSERT_EQ(run("sh -c \"echo out; echo err >&2\"", false, kNone, kPipe, kPipe), makeFixnum(0));
  const pid_t child = lisp::fixnumValue(word(1));
  EXPECT_GT(child, 0);
  EXPECT_EQ(word(2), kNil) << "input is no pipe";
  const int32_t output = descriptorWord(3);
  const int32_t error = descriptorWord(4);
  for (int32_t descriptor : {output, error}) {
    EXPECT_EQ(entry(descriptor).kind, host::kKindChildPipe);
    EXPECT_EQ(entry(descriptor).flags & ~host::kFlagPipeEnded, host::kFlagPipeDirectionA);
  }
  EXPECT_EQ(readAll(output), "out\n");
  EXPECT_EQ(readAll(error), "err\n");

  ASSERT_EQ(proc_count, 1);
  EXPECT_EQ(proc_ids[0], child);
  EXPECT_EQ(sy_wait(child, kNil), makeFixnum(0));
  EXPECT_EQ(word(1), makeFixnum(child));
  EXPECT_EQ(proc_count, 0);
  EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), -1) << "already reaped: no zombie";
  EXPECT_EQ(errno, ECHILD);

  int32_t closeError = 0;
  EXPECT_EQ(win_close(output, &closeError), 0);
  EXPECT_EQ(win_close(error, &closeError), 0);
  waitUntilNoBuffers();
}

TEST_F(Children, ErrorAsOutputSharesTheOutputPipe) {
  ASSERT_EQ(run("sh -c \"echo out; echo err >&2\"", false, kNone, kPipe, kAsOutput), makeFixnum(0));
  EXPECT_EQ(word(4), kNil);
  EXPECT_EQ(readAll(descriptorWord(3)), "out\nerr\n");
  EXPECT_EQ(sy_wait(lisp::fixnumValue(word(1)), kNil), makeFixnum(0));
}

TEST_F(Children, InputAndOutputPipesCarryBytesInOrder) {
  ASSERT_EQ(run("cat", false, kPipe, kPipe, kNone), makeFixnum(0));
  const int32_t input = descriptorWord(2);
  const int32_t output = descriptorWord(3);
  EXPECT_EQ(entry(input).flags, host::kFlagPipeDirectionB);

  std::string data(2000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  int32_t error = 0;
  EXPECT_EQ(win_write(input, data.data(), 2000, &error), 1024) << "one buffer at a time";
  writeAll(input, data.substr(1024));
  EXPECT_EQ(win_close(input, &error), 0) << "the writer finishes, then cat sees the end";
  EXPECT_EQ(readAll(output), data);
  EXPECT_EQ(sy_wait(lisp::fixnumValue(word(1)), kNil), makeFixnum(0));
}

// Each pipe goes one way: a write to the child's output, or a read from its
// input, fails with a bad-descriptor error and leaves the pipe's data alone,
// so the child's output is still read whole and its input still carried.
TEST_F(Children, APipeRefusesTheWrongDirectionAndKeepsItsData) {
  ASSERT_EQ(run("sh -c \"echo hello; cat; echo world\"", false, kPipe, kPipe, kNone),
            makeFixnum(0));
  const int32_t input = descriptorWord(2);
  const int32_t output = descriptorWord(3);
  int32_t error = 0;
  ASSERT_EQ(win_no_hang(output, &error, 1), 1) << "the child's first line is waiting";
  EXPECT_EQ(win_write(output, "x", 1, &error), -1);
  EXPECT_EQ(error, lisp::os::kErrorBadDescriptor);
  char byte = 0;
  error = 0;
  EXPECT_EQ(win_read(input, &byte, 1, &error), -1);
  EXPECT_EQ(error, lisp::os::kErrorBadDescriptor);
  writeAll(input, "middle\n");
  EXPECT_EQ(win_close(input, &error), 0);
  EXPECT_EQ(readAll(output), "hello\nmiddle\nworld\n");
  EXPECT_EQ(sy_wait(lisp::fixnumValue(word(1)), kNil), makeFixnum(0));
}

TEST_F(Children, AWriteWhileTheWriterIsBusyWouldBlock) {
  // The child never reads: once the system's pipe is full the writer thread
  // keeps the buffer, and every write is refused until it is taken.
  ASSERT_EQ(run("sleep 5", false, kPipe, kNone, kNone), makeFixnum(0));
  const int32_t input = descriptorWord(2);
  const std::string chunk(1024, 'x');
  const int capacity = ::fcntl(static_cast<int>(entry(input).handle), F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  int32_t error = 0;
  // Once more than the system's pipe holds has been handed over, the writer
  // is stuck on the rest and the buffer stays refused.
  for (int written = 0; written * 1024 <= capacity;) {
    if (win_write(input, chunk.data(), 1024, &error) == 1024) {
      ++written;
      continue;
    }
    ASSERT_EQ(error, lisp::os::kErrorWouldBlock);
    ASSERT_EQ(win_no_hang(~input, &error, 1), 1);
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(win_write(input, chunk.data(), 1, &error), -1);
  EXPECT_EQ(error, lisp::os::kErrorWouldBlock);
  ::kill(lisp::fixnumValue(word(1)), SIGKILL);
  EXPECT_EQ(win_no_hang(~input, &error, 1), 1) << "the child's end makes the writer give up";
  EXPECT_EQ(win_write(input, chunk.data(), 1, &error), -1);
  EXPECT_EQ(error, lisp::os::kErrorPipeEnded);
}

TEST_F(Children, AChildEndingUnderAWaitingReaderEndsTheStreamAndFreesTheBufferOnce) {
  ASSERT_EQ(run("sleep 0.2", false, kNone, kPipe, kNone), makeFixnum(0));
  const int32_t output = descriptorWord(3);
  char byte;
  int32_t error = -1;
  EXPECT_EQ(win_read(output, &byte, 1, &error), 0);
  EXPECT_EQ(error, 0);
  EXPECT_NE(entry(output).flags & host::kFlagPipeEnded, 0);
  EXPECT_GE(liveBuffers(), 1) << "the entry still holds the buffer";
  EXPECT_EQ(win_close(output, &error), 0);
  waitUntilNoBuffers();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(liveBuffers(), 0) << "freed once";
}

TEST_F(Children, WritingToAnEndedChildGivesError5AndTheProcessLives) {
  ASSERT_EQ(run("sh -c \"exit 0\"", false, kPipe, kNone, kNone), makeFixnum(0));
  const int32_t input = descriptorWord(2);
  EXPECT_EQ(sy_wait(lisp::fixnumValue(word(1)), kNil), makeFixnum(0));
  int32_t error = 0;
  EXPECT_EQ(win_write(input, "data", 4, &error), 4) << "taken by the buffer";
  EXPECT_EQ(win_no_hang(~input, &error, 1), 1);
  EXPECT_EQ(win_write(input, "data", 4, &error), -1);
  EXPECT_EQ(error, lisp::os::kErrorPipeEnded);
  EXPECT_NE(entry(input).flags & host::kFlagPipeEnded, 0);
  EXPECT_EQ(win_close(input, &error), 0);
  waitUntilNoBuffers();
}

TEST_F(Children, ClosingAPipeWhileTheChildRunsLetsItsThreadFreeTheBuffer) {
  ASSERT_EQ(run("sh -c \"echo first; sleep 0.1; echo second\"", false, kNone, kPipe, kNone),
            makeFixnum(0));
  int32_t error = 0;
  EXPECT_EQ(win_close(descriptorWord(3), &error), 0);
  // Its second line has nobody to read it, unless the thread was slow
  // enough to take both lines before it saw the close.
  const lispval exitCode = sy_wait(lisp::fixnumValue(word(1)), kNil);
  EXPECT_TRUE(exitCode == makeFixnum(128 + SIGPIPE) || exitCode == makeFixnum(0)) << exitCode;
  waitUntilNoBuffers();
}

TEST_F(Children, PipesOfAWaitedChildGetNoDescriptorsAndTheirThreadsEnd) {
  EXPECT_EQ(run("sh -c \"echo x; echo y >&2\"", true, kPipe, kPipe, kPipe), makeFixnum(0));
  for (int i = 2; i <= 4; ++i) EXPECT_EQ(word(i), kNil);
  EXPECT_EQ(proc_count, 0);
  waitUntilNoBuffers();
}

TEST_F(Children, AChildTheTableCannotHoldRunsUnrecordedWithItsPipesDetached) {
  // Fill the table to its capacity with stand-in entries that cannot grow.
  lisp::os::processTableGrowth = 0;
  std::vector<uint32_t> fillers;
  for (;;) {
    const uint32_t event = platform::createEvent(true, true);
    if (!lisp::os::recordChild(event, 1 << 22)) {
      platform::closeHandle(event);
      break;
    }
    fillers.push_back(event);
  }
  const int32_t count = proc_count;
  const int32_t descriptors = allocate_pseudofd(0, host::kKindNullDevice);  // the next free one
  win_close(descriptors, nullptr);

  EXPECT_EQ(run("sh -c \"echo lost\"", false, kPipe, kPipe, kNone), makeFixnum(0));
  EXPECT_EQ(word(1), kNil);
  EXPECT_EQ(word(2), kNil);
  EXPECT_EQ(word(3), kNil);
  EXPECT_EQ(proc_count, count);
  EXPECT_EQ(entry(descriptors).kind, host::kKindFree) << "no descriptor was allocated";
  waitUntilNoBuffers();

  lisp::os::processTableGrowth = 10;
  while (proc_count > count - static_cast<int32_t>(fillers.size()))
    sy_report_and_clean(proc_count - 1);
}

// Without room in the descriptor table for every pipe the start fails as a
// set-up failure does, before anything runs: no child whose input and output
// would be cut off, nothing left open, the free entry still free.
TEST_F(Children, ATableWithoutRoomForEveryPipeFailsTheStartBeforeAnythingRuns) {
  std::vector<int32_t> fillers;
  for (int32_t d; (d = allocate_pseudofd(0, host::kKindNullDevice)) >= 0;) fillers.push_back(d);
  ASSERT_FALSE(fillers.empty());
  const int32_t lastFree = fillers.back();
  win_close(lastFree, nullptr);
  const int before = openDescriptorCount();

  EXPECT_EQ(run("cat", false, kPipe, kPipe, kNone), makeFixnum(5));
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(word(i), kNil) << "result word " << i;
  EXPECT_EQ(proc_count, 0) << "no child started";
  EXPECT_EQ(entry(lastFree).kind, host::kKindFree) << "the entry taken for one pipe is back";
  EXPECT_EQ(openDescriptorCount(), before);
  EXPECT_EQ(liveBuffers(), 0);

  // With room again a start with both pipes succeeds.
  for (size_t i = 0; i + 1 < fillers.size(); ++i) win_close(fillers[i], nullptr);
  ASSERT_EQ(run("sh -c \"echo ok\"", false, kPipe, kPipe, kNone), makeFixnum(0));
  const int32_t input = descriptorWord(2);
  const int32_t output = descriptorWord(3);
  int32_t error = 0;
  EXPECT_EQ(win_close(input, &error), 0);
  EXPECT_EQ(readAll(output), "ok\n");
  EXPECT_EQ(sy_wait(lisp::fixnumValue(word(1)), kNil), makeFixnum(0));
  EXPECT_EQ(win_close(output, &error), 0);
  waitUntilNoBuffers();
}

// A full table refuses a start whatever single stream is the pipe, also the
// error stream, and with room for all but one of three pipes.
TEST_F(Children, AFullTableRefusesEveryShapeOfPipedStart) {
  std::vector<int32_t> fillers;
  for (int32_t d; (d = allocate_pseudofd(0, host::kKindNullDevice)) >= 0;) fillers.push_back(d);
  ASSERT_GE(fillers.size(), 2u);
  const struct {
    const char* what;
    int32_t input, output, error;
    size_t freeEntries;
  } cases[] = {{"input only", kPipe, kNone, kNone, 0},
               {"output only", kNone, kPipe, kNone, 0},
               {"error only", kNone, kNone, kPipe, 0},
               {"three pipes, room for two", kPipe, kPipe, kPipe, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (size_t i = 0; i < c.freeEntries; ++i) win_close(fillers[i], nullptr);
    const int before = openDescriptorCount();
    EXPECT_EQ(run("cat", false, c.input, c.output, c.error), makeFixnum(5));
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(word(i), kNil) << "result word " << i;
    EXPECT_EQ(proc_count, 0) << "no child started";
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_EQ(liveBuffers(), 0);
    for (size_t i = 0; i < c.freeEntries; ++i) {
      EXPECT_EQ(entry(fillers[i]).kind, host::kKindFree) << "entry " << i << " is back";
      fillers[i] = allocate_pseudofd(0, host::kKindNullDevice);
      ASSERT_GE(fillers[i], 0);
    }
  }
  for (const int32_t filler : fillers) win_close(filler, nullptr);
}

// A read into a buffer that is not wholly writable fails as a file read
// does (error 14) instead of faulting, and the bytes stay for the next read.
TEST_F(Children, APipeReadIntoABufferNotWhollyWritableFailsAndKeepsTheBytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const struct {
    const char* what;
    int protection;  // of the page after the buffer's first bytes; -1: unmapped
  } cases[] = {{"its end unmapped", -1}, {"its end inaccessible", PROT_NONE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(run("sh -c \"echo hello\"", false, kNone, kPipe, kNone), makeFixnum(0));
    const int32_t output = descriptorWord(3);
    int32_t error = 0;
    ASSERT_EQ(win_no_hang(output, &error, 1), 1) << "the child's line is waiting";
    char* pages = static_cast<char*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    if (c.protection < 0)
      ASSERT_EQ(munmap(pages + page, page), 0);
    else
      ASSERT_EQ(mprotect(pages + page, page, c.protection), 0);
    EXPECT_EQ(win_read(output, pages + page - 2, 100, &error), -1);
    EXPECT_EQ(error, 14);
    EXPECT_EQ(readAll(output), "hello\n");
    munmap(pages, c.protection < 0 ? page : 2 * page);
    EXPECT_EQ(sy_wait(lisp::fixnumValue(word(1)), kNil), makeFixnum(0));
    EXPECT_EQ(win_close(output, &error), 0);
  }
  waitUntilNoBuffers();
}

// A read whose buffer has a hole in its middle fails as a file read does,
// also when the bytes waiting reach past the hole, and keeps every byte.
TEST_F(Children, APipeReadIntoABufferWithAHoleInItsMiddleFailsAndKeepsTheBytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  ASSERT_EQ(run("sh -c \"yes x | head -c 9000\"", false, kNone, kPipe, kNone), makeFixnum(0));
  const int32_t output = descriptorWord(3);
  EXPECT_EQ(sy_wait(lisp::fixnumValue(word(1)), kNil), makeFixnum(0));
  char* pages = static_cast<char*>(
      mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(munmap(pages + page, page), 0);
  int32_t error = 0;
  const int32_t got = win_read(output, pages + page - 8, static_cast<int32_t>(2 * page), &error);
  EXPECT_EQ(got, -1);
  EXPECT_EQ(error, 14);
  std::string expected;
  while (expected.size() < 9000) expected += "x\n";
  EXPECT_EQ(readAll(output), expected);
  munmap(pages, page);
  munmap(pages + 2 * page, page);
  EXPECT_EQ(win_close(output, &error), 0);
  waitUntilNoBuffers();
}

// The check that a read's buffer is writable needs no descriptor of the
// process's own: with none left a pipe read still delivers its bytes.
TEST_F(Children, APipeReadDeliversItsBytesWithNoDescriptorLeft) {
  ASSERT_EQ(run("sh -c \"echo hello\"", false, kNone, kPipe, kNone), makeFixnum(0));
  const int32_t output = descriptorWord(3);
  EXPECT_EQ(sy_wait(lisp::fixnumValue(word(1)), kNil), makeFixnum(0));
  int32_t error = 0;
  ASSERT_EQ(win_no_hang(output, &error, 1), 1) << "the child's line is waiting";
  std::vector<int> spent;
  for (int d; (d = ::dup(0)) >= 0;) spent.push_back(d);
  ASSERT_EQ(errno, EMFILE);
  char buffer[100];
  const int32_t got = win_read(output, buffer, sizeof buffer, &error);
  for (const int d : spent) ::close(d);
  EXPECT_EQ(got, 6) << "error " << error;
  EXPECT_EQ(std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0), "hello\n");
  EXPECT_EQ(win_close(output, &error), 0);
  waitUntilNoBuffers();
}

// ---- other stream choices ----

TEST_F(Children, AKindOneDescriptorReceivesTheOutput) {
  const std::string file = path("out.txt");
  const int handle = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int32_t descriptor = allocate_pseudofd(static_cast<uint32_t>(handle), 1);
  ASSERT_EQ(run("sh -c \"echo to-file\"", true, kNone, descriptor, kAsOutput), makeFixnum(0));
  EXPECT_EQ(word(1), makeFixnum(0));
  EXPECT_EQ(readFile(file), "to-file\n");
}

TEST_F(Children, NothingIsTheNullDeviceAndOwnStreamsAreInherited) {
  // With a closed standard output echo would fail; with the null device
  // its write succeeds.
  const struct {
    const char* command;
    int32_t input, output, error;
    int32_t exitCode;
  } cases[] = {
      {"sh -c \"echo x\"", kNone, kNone, kOwn, 0},
      {"sh -c \"read x\"", kNone, kOwn, kOwn, 1},  // reads the end at once
      {"sh -c \"exit 3\"", kOwn, kOwn, kOwn, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.command, true, c.input, c.output, c.error), makeFixnum(0)) << c.command;
    EXPECT_EQ(word(1), makeFixnum(c.exitCode)) << c.command;
  }
}

TEST_F(Children, WithNoStreamChosenTheChildKeepsTheProcesssStreams) {
  // The process's standard output goes to a file for the while.
  const std::string file = path("stream");
  std::fflush(stdout);
  const int savedOutput = ::dup(1);
  const int redirected = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_EQ(::dup2(redirected, 1), 1);
  const lispval result = run("sh -c \"echo kept\"", true, kNone, kNone, kNone);
  ::dup2(savedOutput, 1);
  ::close(savedOutput);
  ::close(redirected);
  EXPECT_EQ(result, makeFixnum(0));
  EXPECT_EQ(word(1), makeFixnum(0));
  EXPECT_EQ(readFile(file), "kept\n");
}

TEST_F(Children, NothingAsErrorStreamTurnsInheritanceOff) {
  const int kept = ::open("/dev/null", O_RDONLY);  // inheritable
  ASSERT_GE(kept, 3);
  const std::string command = "sh -c \"test -e /proc/self/fd/" + std::to_string(kept) + "\"";
  EXPECT_EQ(run(command, true, kNone, kNone, kOwn), makeFixnum(0));
  EXPECT_EQ(word(1), makeFixnum(0)) << "inherited";
  EXPECT_EQ(run(command, true, kNone, kOwn, kNone), makeFixnum(0));
  EXPECT_EQ(word(1), makeFixnum(1)) << "not inherited";
  ::close(kept);
}

// ---- results and failures ----

TEST_F(Children, AWaitedChildGivesItsExitCode) {
  EXPECT_EQ(run("sh -c \"exit 7\"", true, kNone, kNone, kNone), makeFixnum(0));
  EXPECT_EQ(word(1), makeFixnum(7));
  EXPECT_EQ(word(2), kNil);
  EXPECT_EQ(proc_count, 0) << "a waited child is not recorded";
  EXPECT_EQ(run("sh -c \"kill -9 $$\"", true, kNone, kNone, kNone), makeFixnum(0));
  EXPECT_EQ(word(1), makeFixnum(128 + SIGKILL)) << "ended by a signal";
}

TEST_F(Children, FailedStartsCloseEverythingTheyMade) {
  const int before = openDescriptorCount();
  const struct {
    const char* command;
    int32_t input, output, error;
    lispval result;
  } cases[] = {
      {"no-such-program-here", kPipe, kPipe, kPipe, makeFixnum(2)},
      {"./no/such/file", kPipe, kPipe, kNone, makeFixnum(2)},
      {"   ", kPipe, kPipe, kPipe, makeFixnum(2)},
      {"sh", kPipe, 4000, kPipe, makeFixnum(5)},  // a free entry is no kind-1 descriptor
      {"sh", kAsOutput, kPipe, kPipe, makeFixnum(5)},
      {"sh", kPipe, kPipe, 3, makeFixnum(5)},  // the null device entry is kind 4
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.command, false, c.input, c.output, c.error), c.result) << c.command;
    EXPECT_EQ(openDescriptorCount(), before) << c.command;
  }
  EXPECT_EQ(proc_count, 0);
  EXPECT_EQ(liveBuffers(), 0);
}

TEST_F(Children, ACommandThatIsNoStringIsRefused) {
  alignas(8) uint32_t entryVector[2] = {111, 0};
  const lispval fixnum = makeFixnum(0);
  EXPECT_EQ(sy_run_shell(lisp::wordOf(entryVector, lisp::Tag::Other), kNil, fixnum, fixnum, fixnum,
                         fixnum, kNil),
            makeFixnum(1));
  EXPECT_EQ(sy_run_shell(makeFixnum(12), kNil, makeFixnum(kNone), makeFixnum(kNone),
                         makeFixnum(kNone), fixnum, kNil),
            makeFixnum(2));
  EXPECT_EQ(sy_run_shell(LispString("true").word(), kNil, kNil, makeFixnum(kNone),
                         makeFixnum(kNone), fixnum, kNil),
            makeFixnum(5))
      << "a stream choice that is no fixnum";
  EXPECT_EQ(sy_run_shell(LispString("true").word(), kNil, makeFixnum(kNone), makeFixnum(kNone),
                         makeFixnum(kNone), fixnum, makeFixnum(1)),
            makeFixnum(5))
      << "an environment that is no block";
  EXPECT_EQ(proc_count, 0);
}

TEST_F(Children, TheChildStartsInTheDirectoryGiven) {
  const std::string where = std::filesystem::canonical(directory_).string();
  ASSERT_EQ(run("sh -c pwd", false, kNone, kPipe, kNone, kNil, where.c_str()), makeFixnum(0));
  EXPECT_EQ(readAll(descriptorWord(3)), where + "\n");
}

TEST_F(Children, AMissingDirectoryIsAStartThatFails) {
  SKIP_UNDER_EMULATOR(
      "runs the shared-memory vfork clone of posix_spawn as a plain fork, so the child's failure "
      "to change directory never reaches the parent (it exits 127 and the start looks good)");
  EXPECT_EQ(run("sh", true, kNone, kNone, kNone, kNil, "/no/such/directory"), makeFixnum(2));
  EXPECT_EQ(proc_count, 0);
}

TEST_F(Children, TheEnvironmentIsMergedIntoTheProcesss) {
  ASSERT_NE(std::getenv("PATH"), nullptr);
  const EnvironmentBlock block({"A=1", "path=/x"});
  ASSERT_EQ(run("env", false, kNone, kPipe, kNone, block.word()), makeFixnum(0));
  std::istringstream output(readAll(descriptorWord(3)));
  std::vector<std::string> lines;
  for (std::string line; std::getline(output, line);) lines.push_back(line);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "A=1"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "path=/x"), lines.end());
  for (const std::string& line : lines) EXPECT_NE(line.rfind("PATH=", 0), 0u) << "replaced";
  EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end(), [](const auto& a, const auto& b) {
    return lisp::os::compareEnvironmentNames(a, b) < 0;
  }));
}

// ---- waits ----

TEST_F(Children, WaitsThatOnlyLookLeaveARunningChildInTheTable) {
  EXPECT_EQ(sy_wait(0, kT), kNil) << "no children";
  EXPECT_EQ(sy_wait(1234, kNil), kNil) << "no children";
  ASSERT_EQ(run("sleep 1", false, kNone, kNone, kNone), makeFixnum(0));
  const pid_t child = lisp::fixnumValue(word(1));
  EXPECT_EQ(sy_wait(child, kT), kNil);
  EXPECT_EQ(word(1), makeFixnum(child));
  EXPECT_EQ(sy_wait(child + 100000, kT), kNil) << "unknown id";
  EXPECT_EQ(sy_wait(0, kT), makeFixnum(0)) << "none has ended";
  EXPECT_EQ(sy_wait(-1, kT), makeFixnum(0));
  EXPECT_EQ(proc_count, 1);
  ::kill(child, SIGTERM);
  EXPECT_EQ(sy_wait(-1, kNil), makeFixnum(128 + SIGTERM));
  EXPECT_EQ(word(1), makeFixnum(child));
  EXPECT_EQ(proc_count, 0);
}

TEST_F(Children, AWaitForAnyCollectsTheChildThatEnded) {
  ASSERT_EQ(run("sleep 5", false, kNone, kNone, kNone), makeFixnum(0));
  const pid_t sleeper = lisp::fixnumValue(word(1));
  ASSERT_EQ(run("sh -c \"exit 4\"", false, kNone, kNone, kNone), makeFixnum(0));
  const pid_t quick = lisp::fixnumValue(word(1));
  EXPECT_EQ(sy_wait(0, kNil), makeFixnum(4));
  EXPECT_EQ(word(1), makeFixnum(quick));
  ASSERT_EQ(proc_count, 1);
  EXPECT_EQ(proc_ids[0], sleeper);
}

// The waits the system-call dispatch serves: the same answers, the id and
// nil in the first two extra result words; a wait with the heap released.
TEST_F(Children, DispatchedWaitsLookWaitAndReapAsTheTableSays) {
  const lispval kWait = makeFixnum(1);
  EXPECT_EQ(rs_sy_wait(makeFixnum(0), kWait), kNil) << "no children";
  EXPECT_EQ(rs_sy_wait(makeFixnum(1234), kNil), kNil) << "no children";
  EXPECT_EQ(rs_sy_wait_any(kWait), kNil) << "no children";
  ASSERT_EQ(run("sleep 1", false, kNone, kNone, kNone), makeFixnum(0));
  const pid_t sleeper = lisp::fixnumValue(word(1));
  ASSERT_EQ(run("sh -c \"exit 7\"", false, kNone, kNone, kNone), makeFixnum(0));
  const pid_t quick = lisp::fixnumValue(word(1));

  EXPECT_EQ(rs_sy_wait(makeFixnum(sleeper), kNil), kNil) << "still running";
  EXPECT_EQ(word(1), makeFixnum(sleeper));
  EXPECT_EQ(word(2), kNil);
  EXPECT_EQ(rs_sy_wait(makeFixnum(sleeper + 100000), kWait), kNil) << "unknown id";
  EXPECT_EQ(word(1), kNil);
  EXPECT_EQ(rs_sy_wait(kNil, kWait), kNil) << "an id that is no fixnum";
  EXPECT_EQ(proc_count, 2);

  // Each wait here finds its child ended (a wait that blocks releases the
  // heap; the heap-ownership tests show it).
  const auto ended = [](pid_t child) {
    for (int32_t i = 0; i < proc_count; ++i)
      if (proc_ids[i] == child)
        while (os_event_signalled_p(proc_handles[i]) == kNil)
          std::this_thread::sleep_for(1ms);
  };
  ended(quick);
  EXPECT_EQ(rs_sy_wait(makeFixnum(-1), kWait), makeFixnum(7));
  EXPECT_EQ(word(1), makeFixnum(quick));
  EXPECT_EQ(word(2), kNil);
  ASSERT_EQ(proc_count, 1);
  EXPECT_EQ(rs_sy_wait(makeFixnum(0), kNil), makeFixnum(0)) << "none has ended";
  EXPECT_EQ(rs_sy_wait_any(kNil), makeFixnum(0));

  ::kill(sleeper, SIGTERM);
  ended(sleeper);
  EXPECT_EQ(rs_sy_wait(makeFixnum(sleeper), kWait), makeFixnum(128 + SIGTERM));
  EXPECT_EQ(word(1), makeFixnum(sleeper));
  EXPECT_EQ(proc_count, 0);
  EXPECT_EQ(::waitpid(sleeper, nullptr, WNOHANG), -1) << "already reaped: no zombie";
}

// ---- the table and the handle predicates, with events for process handles ----

class ProcessTable : public os_test::FileCallTest {
 protected:
  void SetUp() override {
    FileCallTest::SetUp();
    savedLogging_ = mp_logging;
    mp_logging = 1;
    for (int i = 0; i < 4; ++i) {
      events_[i] = platform::createEvent(true, false);
      ASSERT_TRUE(lisp::os::recordChild(events_[i], 100 + i));
    }
  }
  void TearDown() override {
    while (proc_count > 0) sy_report_and_clean(0);  // closes the events
    mp_logging = savedLogging_;
    FileCallTest::TearDown();
  }

  bool logged(uint32_t code, uint32_t value, uint32_t since) const {
    for (uint32_t i = 0; i < mplog_size; ++i) {
      const lisp::mp_log::Entry& entry = vxm_mplog[i];
      if (entry.sequence >= since && entry.sequence < mplog_sequence && entry.code == code &&
          entry.value == value)
        return true;
    }
    return false;
  }

  uint32_t events_[4] = {};
  int savedLogging_ = 0;
};

TEST_F(ProcessTable, RecordingGrowsByTenAndReportingShiftsTheRestDown) {
  ASSERT_EQ(proc_count, 4);
  EXPECT_EQ(proc_capacity % 10, 0);
  const uint32_t since = mplog_sequence;
  const uint32_t extra = platform::createEvent(true, false);
  ASSERT_TRUE(lisp::os::recordChild(extra, 200));
  EXPECT_TRUE(logged(lisp::mp_event::kChildRecordedIndex, 4, since));
  EXPECT_TRUE(logged(lisp::mp_event::kChildRecordedHandle, extra, since));

  EXPECT_EQ(sy_report_and_clean(1), makeFixnum(-1)) << "an event has no exit code";
  EXPECT_TRUE(logged(lisp::mp_event::kChildReportIndex, 1, since));
  EXPECT_TRUE(logged(lisp::mp_event::kChildReportHandle, events_[1], since));
  EXPECT_TRUE(
      logged(lisp::mp_event::kChildExitUnknown, platform::system_error::kInvalidHandle, since));
  ASSERT_EQ(proc_count, 4);
  EXPECT_EQ(proc_ids[0], 100);
  EXPECT_EQ(proc_ids[1], 102);
  EXPECT_EQ(proc_handles[3], extra);
  EXPECT_EQ(sy_report_and_clean(4), kNil) << "outside the table";
  EXPECT_EQ(sy_report_and_clean(-1), kNil);

  lisp::os::processTableGrowth = 0;
  const int32_t capacity = proc_capacity;
  for (int32_t i = proc_count; i < capacity; ++i)
    EXPECT_TRUE(lisp::os::recordChild(platform::createEvent(true, false), 300 + i));
  const uint32_t refused = platform::createEvent(true, false);
  EXPECT_FALSE(lisp::os::recordChild(refused, 999)) << "a table that cannot grow";
  EXPECT_EQ(proc_count, capacity);
  platform::closeHandle(refused);
  lisp::os::processTableGrowth = 10;
}

TEST_F(ProcessTable, ReportingARealChildLogsItsExitCode) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(9);
  const uint32_t process = platform::watchChildProcess(child);
  ASSERT_TRUE(lisp::os::recordChild(process, child));
  const platform::Handle handles[] = {process};
  ASSERT_EQ(platform::waitForAny(handles, 5000), 0);
  const uint32_t since = mplog_sequence;
  EXPECT_EQ(sy_report_and_clean(proc_count - 1), makeFixnum(9));
  EXPECT_TRUE(logged(lisp::mp_event::kChildExitCode, 9, since));
}

TEST_F(ProcessTable, WaitingHandlesLeaveOutChildrenSeenEnded) {
  uint32_t array[8] = {};
  EXPECT_EQ(add_waiting_proc_handles(array, 2, 8), 4);
  EXPECT_EQ(std::vector<uint32_t>(array + 2, array + 6),
            std::vector<uint32_t>(events_, events_ + 4));
  EXPECT_EQ(add_waiting_proc_handles(array, 2, 4), 2) << "stops at the limit";

  // array: [x, y, e0, e1, e2, e3], six handles waited on.
  const struct {
    int32_t result;
    int first, end, limit;
    int marked;  // event index marked, or -1
  } cases[] = {
      {2, 2, 6, 6, 0},        {5, 2, 6, 6, 3}, {1, 2, 6, 6, -1},  // before the children
      {6, 2, 6, 6, -1},                                           // the message queue
      {128 + 3, 2, 6, 6, 1},                                      // abandoned
      {128 + 6, 2, 6, 6, -1},                                     // abandoned past the limit
      {258, 2, 6, 6, -1},                                         // time-out
      {-1, 2, 6, 6, -1},                                          // failure
      {4, 2, 4, 6, -1},                                           // past the children's end
  };
  uint32_t handles[6] = {7, 8, events_[0], events_[1], events_[2], events_[3]};
  for (const auto& c : cases) {
    for (int32_t i = 0; i < proc_count; ++i) proc_used[i] = 0;
    note_signalled_procs(handles, c.first, c.end, c.limit, c.result);
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(proc_used[i], i == c.marked ? 1 : 0) << "result " << c.result << " event " << i;
  }
  proc_used[1] = 1;
  proc_used[2] = 1;
  EXPECT_EQ(add_waiting_proc_handles(array, 0, 8), 2);
  EXPECT_EQ(array[0], events_[0]);
  EXPECT_EQ(array[1], events_[3]);
}

TEST_F(ProcessTable, HandlePredicatesReportSignalledAndAbandonedIndices) {
  EXPECT_EQ(os_event_signalled_p(events_[2]), kNil);
  platform::setEvent(events_[2]);
  EXPECT_EQ(os_event_signalled_p(events_[2]), makeFixnum(0));
  EXPECT_EQ(any_os_event_signalled_p(2, events_), kNil);
  EXPECT_EQ(any_os_event_signalled_p(4, events_), makeFixnum(2));
  EXPECT_EQ(any_os_event_signalled_p(0, events_), makeFixnum(-1));

  // A mutex whose owner ended without releasing it.
  const uint32_t mutex = platform::createMutex(false);
  const platform::Handle owner = platform::createThread(
      [](void* raw) -> uint32_t {
        const platform::Handle taken[] = {*static_cast<uint32_t*>(raw)};
        return static_cast<uint32_t>(platform::waitForAny(taken, 0));
      },
      const_cast<uint32_t*>(&mutex), 0, nullptr);
  const platform::Handle ownerHandles[] = {owner};
  ASSERT_EQ(platform::waitForAny(ownerHandles, 5000), 0);
  platform::closeHandle(owner);
  const uint32_t withMutex[] = {events_[0], mutex, events_[2]};
  EXPECT_EQ(any_os_event_signalled_p(3, withMutex), makeFixnum(1)) << "abandoned";
  platform::closeHandle(mutex);

  const uint32_t tooMany[65] = {};
  EXPECT_EQ(any_os_event_signalled_p(65, tooMany), makeFixnum(-1));
}

TEST_F(ProcessTable, AWaitForAnyOverMoreThan64ChildrenFails) {
  for (int i = 0; i < 61; ++i)
    ASSERT_TRUE(lisp::os::recordChild(platform::createEvent(true, false), 1000 + i));
  EXPECT_EQ(sy_wait(0, kT), kNil);
  EXPECT_EQ(proc_count, 65);
}

}  // namespace
