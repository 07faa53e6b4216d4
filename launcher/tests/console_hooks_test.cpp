#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <thread>

#include "launcher/console_queues.h"
#include "launcher/host_records.h"
#include "platform/message_queue.h"
#include "platform/threads.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using host::HostRecord;
using launcher::console_host_record;
using launcher::no_console_host_record;
using testing_support::Watchdog;

// ---- recording stand-ins for the runtime's entries ----

enum class Called { None, Read, Write, Close, NoHang, PeekLoop, SingleEvent };

struct Recording {
  Called called = Called::None;
  int32_t descriptor = 0;
  int32_t argument = 0;
  int peekLoopCalls = 0;
  int splashCloses = 0;
};
Recording recorded;

constexpr int32_t kRuntimeResult = 77;

int32_t standInRead(int32_t descriptor, char*, int32_t, int32_t*) {
  recorded.called = Called::Read;
  recorded.descriptor = descriptor;
  return kRuntimeResult;
}
int32_t standInWrite(int32_t descriptor, const char*, int32_t, int32_t*) {
  recorded.called = Called::Write;
  recorded.descriptor = descriptor;
  return kRuntimeResult;
}
int32_t standInClose(int32_t descriptor, int32_t*) {
  recorded.called = Called::Close;
  recorded.descriptor = descriptor;
  return kRuntimeResult;
}
int32_t standInNoHang(int32_t descriptor, int32_t*, int32_t wait) {
  recorded.called = Called::NoHang;
  recorded.descriptor = descriptor;
  recorded.argument = wait;
  return kRuntimeResult;
}
int32_t standInPeekLoop(int32_t mode) {
  recorded.called = Called::PeekLoop;
  recorded.argument = mode;
  ++recorded.peekLoopCalls;
  return 5;
}
int32_t standInSingleEvent() {
  recorded.called = Called::SingleEvent;
  return 6;
}
void standInCloseSplash() {
  ++recorded.splashCloses;
}

// Both forms with stand-ins in words 4-7 and 12-13, the launch-time table,
// pair 0 made; everything put back afterwards.
class HookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedConsole_ = console_host_record;
    savedNoConsole_ = no_console_host_record;
    for (HostRecord* form : {&console_host_record, &no_console_host_record}) {
      form->win_read = standInRead;
      form->win_write = standInWrite;
      form->win_close = standInClose;
      form->win_no_hang = standInNoHang;
      form->peekLoopHook = standInPeekLoop;
      form->singleEventHook = standInSingleEvent;
    }
    launcher::current_host_record = &console_host_record;
    launcher::setup_pseudo_descriptor_table();
    mutex_ = platform::createMutex(false);
    ASSERT_TRUE(console::makePair(pair(), mutex_));
    recorded = Recording{};
  }
  void TearDown() override {
    console::freePair(pair());
    pair()->mutex = platform::kNoHandle;
    platform::closeHandle(mutex_);
    console_host_record = savedConsole_;
    no_console_host_record = savedNoConsole_;
    launcher::current_host_record = &console_host_record;
    launcher::close_splash_early = nullptr;
    launcher::runtime_message_peek_loop = nullptr;
    launcher::runtime_process_single_event = nullptr;
    if (launcher::script_descriptor >= 0) ::close(launcher::script_descriptor);
    launcher::script_descriptor = -1;
  }
  static console::QueuePair* pair() { return console::consolePair(0); }
  static std::string drainOutput() {
    std::string out;
    char chunk[256];
    for (int32_t got; (got = console::readOutput(pair(), chunk, sizeof chunk)) > 0;)
      out.append(chunk, got);
    return out;
  }

  HostRecord savedConsole_{};
  HostRecord savedNoConsole_{};
  platform::Handle mutex_ = platform::kNoHandle;
};

enum class Operation { Read, Write, Close, NoHangRead, NoHangWrite };

struct HookCase {
  const char* name;
  HostRecord* form;
  Operation operation;
  int32_t descriptor;
  int kind;          // -1: as set up at launch
  bool pairPresent;  // false: pair 0 freed before the call
  const char* input;  // typed before the call, so a read does not wait
  Called expectedCall;
  int32_t expectedDescriptor;  // as the stand-in saw it
  int32_t expectedResult;
  int32_t expectedError;
};

constexpr int32_t kLength = 6;  // every write sends "hello\n"

const HookCase kHookCases[] = {
    {"out of range read lands on 4095", &console_host_record, Operation::Read, 5000, -1, true,
     nullptr, Called::Read, 4095, kRuntimeResult, 0},
    {"negative write lands on 4095", &console_host_record, Operation::Write, -7, -1, true, nullptr,
     Called::Write, 4095, kRuntimeResult, 0},
    {"socket close goes to the runtime", &console_host_record, Operation::Close, 9,
     host::kKindSocket, true, nullptr, Called::Close, 9, kRuntimeResult, 0},
    {"runtime descriptor is ready at once", &console_host_record, Operation::NoHangRead, 4,
     host::kKindRuntimeDescriptor, true, nullptr, Called::None, 0, 1, 0},
    {"socket readiness forwarded unchanged", &console_host_record, Operation::NoHangWrite, 5,
     host::kKindSocket, true, nullptr, Called::NoHang, ~5, kRuntimeResult, 0},
    {"console writing is ready", &console_host_record, Operation::NoHangWrite, 2, -1, true,
     nullptr, Called::None, 0, 1, 0},
    {"console reading without input", &console_host_record, Operation::NoHangRead, 0, -1, true,
     nullptr, Called::None, 0, 0, 0},
    {"console reading with input", &console_host_record, Operation::NoHangRead, 0, -1, true, "x",
     Called::None, 0, 1, 0},
    {"console readiness without queues", &console_host_record, Operation::NoHangWrite, 2, -1,
     false, nullptr, Called::None, 0, -1, 9},
    {"console read takes typed input", &console_host_record, Operation::Read, 0, -1, true,
     "typed\n", Called::PeekLoop, 0, 6, 0},
    {"console read of a negative length", &console_host_record, Operation::Read, 0, -1, true,
     nullptr, Called::None, 0, -1, 22},
    {"console read without queues", &console_host_record, Operation::Read, 0, -1, false, nullptr,
     Called::None, 0, -1, 36},
    {"console write without queues", &console_host_record, Operation::Write, 2, -1, false,
     nullptr, Called::None, 0, -1, 9},
    {"descriptor 1 without queues is dropped", &console_host_record, Operation::Write, 1, -1,
     false, nullptr, Called::None, 0, kLength, 0},
    {"descriptor 1 goes to the console whatever it holds", &console_host_record,
     Operation::Write, 1, host::kKindSocket, true, nullptr, Called::None, 0, kLength, 0},
    {"no console: descriptor 2 dropped", &no_console_host_record, Operation::Write, 2, -1, true,
     nullptr, Called::None, 0, kLength, 0},
    {"no console: null device goes to the runtime", &no_console_host_record, Operation::Write, 3,
     -1, true, nullptr, Called::Write, 3, kRuntimeResult, 0},
};

class HookTable : public HookTest, public ::testing::WithParamInterface<HookCase> {};

TEST_P(HookTable, CallsTheRightHandler) {
  const HookCase& c = GetParam();
  launcher::current_host_record = c.form;
  if (c.kind >= 0) launcher::pseudo_descriptor_table[host::clampDescriptor(c.descriptor)].kind =
      static_cast<uint16_t>(c.kind);
  if (c.input) console::writeInput(pair(), c.input);
  if (!c.pairPresent) console::freePair(pair());

  int32_t error = -5;  // every hook clears it first
  char buffer[64];
  int32_t result = 0;
  switch (c.operation) {
    case Operation::Read:
      result = c.form->readHook(c.descriptor, buffer, c.expectedError == 22 ? -1 : sizeof buffer,
                                &error);
      break;
    case Operation::Write:
      result = c.form->writeHook(c.descriptor, "hello\n", kLength, &error);
      break;
    case Operation::Close:
      result = c.form->closeHook(c.descriptor, &error);
      break;
    case Operation::NoHangRead:
      result = c.form->noHangHook(c.descriptor, &error, 1);
      break;
    case Operation::NoHangWrite:
      result = c.form->noHangHook(~c.descriptor, &error, 1);
      break;
  }
  EXPECT_EQ(recorded.called, c.expectedCall);
  if (c.expectedCall != Called::None && c.expectedCall != Called::PeekLoop) {
    EXPECT_EQ(recorded.descriptor, c.expectedDescriptor);
  }
  EXPECT_EQ(result, c.expectedResult);
  EXPECT_EQ(error, c.expectedError);
  if (c.operation == Operation::Read && c.input && result > 0) {
    EXPECT_EQ(std::string(buffer, result), c.input);
  }
  // Only console form writes of descriptors 1 and 2 reach the output queue.
  if (c.operation == Operation::Write && c.form == &no_console_host_record) {
    EXPECT_EQ(drainOutput(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Hooks, HookTable, ::testing::ValuesIn(kHookCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

// Descriptor 1 of the process pointed at a pipe, or closed, for one test;
// the process's own descriptor 1 comes back afterwards.
class ProcessOutput {
 public:
  ProcessOutput() : saved_(dup(STDOUT_FILENO)) { std::fflush(stdout); }
  ~ProcessOutput() {
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    if (ends_[0] >= 0) close(ends_[0]);
  }
  bool toPipe() {
    if (pipe(ends_) != 0) return false;
    const bool moved = dup2(ends_[1], STDOUT_FILENO) == STDOUT_FILENO;
    close(ends_[1]);
    return moved;
  }
  void closeIt() { close(STDOUT_FILENO); }
  std::string taken() {
    dup2(saved_, STDOUT_FILENO);  // the pipe's last writer goes
    std::string bytes;
    char chunk[256];
    for (ssize_t got; (got = read(ends_[0], chunk, sizeof chunk)) > 0;) bytes.append(chunk, got);
    return bytes;
  }

 private:
  int saved_;
  int ends_[2] = {-1, -1};
};

TEST_F(HookTest, NoConsoleDescriptorOneGoesToTheProcessOutputWhileItIsOpen) {
  launcher::current_host_record = &no_console_host_record;
  int32_t error = -5;
  {
    ProcessOutput output;
    ASSERT_TRUE(output.toPipe());
    EXPECT_EQ(no_console_host_record.writeHook(1, "Could not start\n", 16, &error), 16);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(output.taken(), "Could not start\n");
  }
  {
    ProcessOutput output;
    output.closeIt();
    error = -5;
    EXPECT_EQ(no_console_host_record.writeHook(1, "lost\n", 5, &error), 5);
    EXPECT_EQ(error, 0);
  }
  EXPECT_EQ(drainOutput(), "");  // never the unread output queue
}

TEST_F(HookTest, ConsoleWritesQueueOutputAndWakeTheConsoleThread) {
  console_host_record.consoleWakeThreadId = platform::currentThreadId();
  platform::ensureMessageQueue();
  int32_t error = -5;
  EXPECT_EQ(console_host_record.writeHook(2, "err ", 4, &error), 4);
  EXPECT_EQ(console_host_record.writeHook(1, "out\n", 4, &error), 4);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(drainOutput(), "err out\n");
  platform::Message message;
  ASSERT_TRUE(platform::peekMessage(&message, true));
  EXPECT_EQ(message.message, platform::kUserMessage);
  // Descriptor 1 alone does not post.
  EXPECT_FALSE(platform::peekMessage(&message, true));
}

TEST_F(HookTest, ClosingOneConsoleStreamTakesTheQueuesOfAll) {
  int32_t error = -5;
  EXPECT_EQ(console_host_record.closeHook(1, &error), 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(launcher::pseudo_descriptor_table[1].kind, host::kKindFree);
  EXPECT_FALSE(console::pairExists(pair()));

  char buffer[8];
  EXPECT_EQ(console_host_record.readHook(0, buffer, 8, &error), -1);
  EXPECT_EQ(error, 36);
  EXPECT_EQ(console_host_record.writeHook(2, "lost", 4, &error), -1);
  EXPECT_EQ(error, 9);
  EXPECT_EQ(console_host_record.writeHook(1, "gone", 4, &error), 4);
  EXPECT_EQ(error, 0);
  // A console entry closed after its queues went still becomes free.
  EXPECT_EQ(console_host_record.closeHook(2, &error), 0);
  EXPECT_EQ(launcher::pseudo_descriptor_table[2].kind, host::kKindFree);
}

TEST_F(HookTest, OutputTooLargeForTheQueueIsRefused) {
  int32_t error = -5;
  // Refused before a byte is read.
  EXPECT_EQ(console_host_record.writeHook(2, "x", INT32_MAX, &error), -1);
  EXPECT_EQ(error, 12);
  EXPECT_EQ(console_host_record.writeHook(1, "x", INT32_MAX, &error), -1);
  EXPECT_EQ(error, 12);
  EXPECT_EQ(console_host_record.writeHook(2, "x", -1, &error), -1);
  EXPECT_EQ(error, 22);
  EXPECT_EQ(drainOutput(), "");
}

TEST_F(HookTest, AMessageInterruptsAConsoleRead) {
  Watchdog watchdog("console read interrupted by a message", 5s);
  std::atomic<uint32_t> readerId{0};
  int32_t result = 0, error = -5;
  std::thread reader([&] {
    platform::ensureMessageQueue();
    readerId = platform::currentThreadId();
    char buffer[8];
    result = console_host_record.readHook(0, buffer, 8, &error);
  });
  while (readerId == 0) std::this_thread::yield();
  std::this_thread::sleep_for(30ms);
  ASSERT_TRUE(platform::postThreadMessage(readerId, platform::kUserMessage, 0, 0));
  reader.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, 4);
  EXPECT_EQ(recorded.called, Called::PeekLoop);
  EXPECT_EQ(recorded.argument, 0);
}

TEST_F(HookTest, ScriptLinesThenTypedInput) {
  Watchdog watchdog("script then typed input", 5s);
  char path[] = "/tmp/launcher_script_XXXXXX";
  const int file = ::mkstemp(path);
  ASSERT_GE(file, 0);
  ASSERT_EQ(::write(file, "first\nsecond", 12), 12);
  ::close(file);
  launcher::script_descriptor = ::open(path, O_RDONLY);
  ::unlink(path);
  ASSERT_GE(launcher::script_descriptor, 0);
  launcher::close_splash_early = standInCloseSplash;

  char buffer[64];
  int32_t error = -5;
  int32_t n = console_host_record.readHook(0, buffer, sizeof buffer, &error);
  EXPECT_EQ(std::string(buffer, n), "first\n");
  int32_t ready = console_host_record.noHangHook(0, &error, 0);
  EXPECT_EQ(ready, 1);  // the script answers for descriptor 0
  n = console_host_record.readHook(0, buffer, sizeof buffer, &error);
  EXPECT_EQ(std::string(buffer, n), "second");
  EXPECT_EQ(drainOutput(), "first\nsecond");  // echoed to the console
  EXPECT_GE(launcher::script_descriptor, 0);

  std::thread typist([] {
    std::this_thread::sleep_for(30ms);
    console::writeInput(pair(), "typed\n");
  });
  n = console_host_record.readHook(0, buffer, sizeof buffer, &error);
  typist.join();
  EXPECT_EQ(launcher::script_descriptor, -1);
  EXPECT_EQ(std::string(buffer, n), "typed\n");
  EXPECT_EQ(error, 0);
  EXPECT_EQ(drainOutput(), "");  // typed input is not echoed here
  EXPECT_EQ(recorded.splashCloses, 4);
}

TEST_F(HookTest, ScriptLineLongerThanTheBufferComesInTwoReads) {
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  ASSERT_EQ(::write(pipeEnds[1], "abcdefg\n", 8), 8);
  ::close(pipeEnds[1]);
  launcher::script_descriptor = pipeEnds[0];
  launcher::console_wanted = 0;
  char buffer[5];
  int32_t error = -5;
  EXPECT_EQ(console_host_record.readHook(0, buffer, 5, &error), 5);
  EXPECT_EQ(std::string(buffer, 5), "abcde");
  EXPECT_EQ(console_host_record.readHook(0, buffer, 5, &error), 3);
  EXPECT_EQ(std::string(buffer, 3), "fg\n");
  EXPECT_EQ(drainOutput(), "");  // no console wanted: no echo
  launcher::console_wanted = 1;
}

TEST_F(HookTest, FirstUseInstallsTheRuntimeEntriesInBothForms) {
  for (HostRecord* form : {&console_host_record, &no_console_host_record}) {
    form->peekLoopHook = launcher::first_peek_loop_hook;
    form->singleEventHook = launcher::first_single_event_hook;
  }
  // Before binding there is nothing to install.
  EXPECT_EQ(no_console_host_record.peekLoopHook(3), 0);
  EXPECT_EQ(console_host_record.peekLoopHook, launcher::first_peek_loop_hook);

  launcher::runtime_message_peek_loop = standInPeekLoop;
  launcher::runtime_process_single_event = standInSingleEvent;
  launcher::close_splash_early = standInCloseSplash;
  EXPECT_EQ(no_console_host_record.peekLoopHook(9), 5);
  EXPECT_EQ(recorded.argument, 9);
  EXPECT_EQ(recorded.splashCloses, 1);
  EXPECT_EQ(console_host_record.peekLoopHook, standInPeekLoop);
  EXPECT_EQ(no_console_host_record.peekLoopHook, standInPeekLoop);
  EXPECT_EQ(console_host_record.peekLoopHook(0), 5);
  EXPECT_EQ(recorded.splashCloses, 1);  // straight to the runtime
  EXPECT_EQ(recorded.peekLoopCalls, 2);

  EXPECT_EQ(console_host_record.singleEventHook(), 6);
  EXPECT_EQ(console_host_record.singleEventHook, standInSingleEvent);
  EXPECT_EQ(no_console_host_record.singleEventHook, standInSingleEvent);
  EXPECT_EQ(recorded.splashCloses, 2);
}

TEST(HostRecordForms, StartAsTheLaunchFindsThem) {
  launcher::setup_pseudo_descriptor_table();
  for (int32_t descriptor : {0, 1, 2}) {
    EXPECT_EQ(launcher::pseudo_descriptor_table[descriptor].kind, host::kKindConsole);
    EXPECT_EQ(launcher::pseudo_descriptor_table[descriptor].handle, 0u);
  }
  EXPECT_EQ(launcher::pseudo_descriptor_table[3].kind, host::kKindNullDevice);
  EXPECT_EQ(launcher::pseudo_descriptor_table[4].kind, host::kKindFree);
  EXPECT_EQ(launcher::pseudo_descriptor_table[4095].kind, host::kKindFree);
  EXPECT_EQ(console_host_record.descriptorTable, launcher::pseudo_descriptor_table);
  EXPECT_EQ(no_console_host_record.descriptorTable, launcher::pseudo_descriptor_table);
  EXPECT_EQ(console_host_record.peekWindows[0], 0u);
  EXPECT_EQ(no_console_host_record.peekWindows, nullptr);
  EXPECT_NE(console_host_record.writeHook, no_console_host_record.writeHook);
  EXPECT_NE(console_host_record.exitHook, no_console_host_record.exitHook);
  EXPECT_EQ(launcher::current_host_record, &console_host_record);
}

TEST(ReadinessQuestion, ComplementIsUndoneBeforeTheClamp) {
  struct Row {
    int32_t argument;
    int32_t descriptor;
    bool writing;
  };
  constexpr Row rows[] = {{0, 0, false}, {~0, 0, true},       {~7, 7, true},
                          {4095, 4095, false}, {5000, 4095, false}, {~5000, 4095, true},
                          {INT32_MIN, 4095, true}};
  for (const Row& row : rows) {
    const host::ReadinessQuestion q = host::decodeReadinessQuestion(row.argument);
    EXPECT_EQ(q.descriptor, row.descriptor) << row.argument;
    EXPECT_EQ(q.writing, row.writing) << row.argument;
  }
}

}  // namespace
