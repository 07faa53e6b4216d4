#include "runtime/os/message_pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/gc/gc_state.h"
#include "runtime/os/child_pipe_buffer.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/os/tests/host_table_fixture.h"
#include "runtime/os/tests/thread_record_fixture.h"
#include "runtime/rs/thread_record.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using lisp::thread_record::kEventWatchList;
using lisp::thread_record::kSocketWatchCount;
using lisp::thread_record::kSocketWatchHandles;
using lisp::thread_record::kWatchCount;
using os_test::RecordInMemory;
using testing_support::Watchdog;

void drainQueue() {
  platform::Message message;
  while (platform::peekMessage(&message, true)) {
  }
}

uint32_t watched(RecordInMemory& record, int i) {
  return record.at(kEventWatchList + 4 * i);
}

TEST(EventWatch, TheEleventhHandleIsIgnoredAndAResetMakesRoomForTen) {
  RecordInMemory record;
  uint32_t* count = nullptr;
  for (uint32_t handle = 1; handle <= 11; ++handle)
    count = vxm_event_watch(handle, 0, record.tagged());
  ASSERT_EQ(count, &record.at(kWatchCount));
  EXPECT_EQ(*count, 10u);
  EXPECT_EQ(watched(record, 9), 10u);
  EXPECT_EQ(record.at(kEventWatchList + 40), 0u) << "nothing written past the list";
  EXPECT_EQ(*vxm_event_watch(0, 1, record.tagged()), 0u);
  for (uint32_t handle = 21; handle <= 30; ++handle) vxm_event_watch(handle, 0, record.tagged());
  EXPECT_EQ(*count, 10u);
  EXPECT_EQ(watched(record, 0), 21u);
  EXPECT_EQ(watched(record, 9), 30u);
}

TEST(EventWatch, TheAlwaysSignalledEventIsOneAndSignalled) {
  RecordInMemory record;
  vxm_event_always_signalled(record.tagged());
  vxm_event_always_signalled(record.tagged());
  ASSERT_EQ(record.at(kWatchCount), 2u);
  EXPECT_EQ(watched(record, 0), watched(record, 1));
  const platform::Handle handles[] = {watched(record, 0)};
  EXPECT_EQ(platform::waitForAny(handles, 0), 0);
  EXPECT_EQ(platform::waitForAny(handles, 0), 0) << "manual reset: it stays signalled";
}

// ---- win_watchfor ----

class WatchFor : public os_test::HostTableTest {
 protected:
  RecordInMemory record_;
};

TEST_F(WatchFor, APipeWatchesItsLispSideEventOrTheAlwaysSignalledOne) {
  const int32_t live = lisp::os::liveChildPipeBuffers();
  auto* pipe = lisp::os::newChildPipeBuffer();
  const int32_t descriptor = allocate_pseudofd(0, host::kKindChildPipe);
  table_[descriptor].words[0] = reinterpret_cast<uintptr_t>(pipe);
  pipe->entry = &table_[descriptor];
  EXPECT_EQ(win_watchfor(descriptor, record_.tagged()), 0);
  EXPECT_EQ(watched(record_, 0), pipe->lispEvent);
  lisp::os::endChildPipe(pipe);
  EXPECT_EQ(win_watchfor(~descriptor, record_.tagged()), 0);
  ASSERT_EQ(record_.at(kWatchCount), 2u);
  EXPECT_NE(watched(record_, 1), pipe->lispEvent);

  EXPECT_EQ(win_watchfor(host::kNullDeviceDescriptor, record_.tagged()), -1);
  EXPECT_EQ(win_watchfor(5000, record_.tagged()), -1);
  win_close(descriptor, nullptr);
  EXPECT_EQ(lisp::os::liveChildPipeBuffers(), live);
}

TEST_F(WatchFor, ASocketJoinsTheCallingThreadsSocketListAndMinus10000EmptiesBoth) {
  os_test::CallingThreadRecord calling(record_);
  const int32_t descriptor = allocate_pseudofd(55, host::kKindSocket);
  const uint32_t* events = table_[descriptor].words;
  EXPECT_EQ(win_watchfor(descriptor, record_.tagged()), 0);
  EXPECT_EQ(win_watchfor(~descriptor, record_.tagged()), 0);
  ASSERT_EQ(record_.at(kSocketWatchCount), 4u);
  const uint32_t expected[] = {events[1], events[2], events[1], events[0]};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(record_.at(kSocketWatchHandles + 4 * i), expected[i]);
  vxm_event_watch(7, 0, record_.tagged());

  const int32_t result = win_watchfor(lisp::os::kStopWatching, record_.tagged());
  EXPECT_EQ(result, static_cast<int32_t>(reinterpret_cast<uintptr_t>(&record_.at(kWatchCount))));
  EXPECT_EQ(record_.at(kWatchCount), 0u);
  EXPECT_EQ(record_.at(kSocketWatchCount), 0u);
  for (int i = 0; i < 3; ++i) platform::closeHandle(events[i]);
}

// ---- waking the Lisp thread ----

class Wakeup : public os_test::HostTableTest {};

TEST_F(Wakeup, WakeLispThreadEndsAMessageAwareWaitOfAnotherThread) {
  Watchdog watchdog("wake the Lisp thread", 10s);
  std::atomic<uint32_t> lispThread{0};
  int32_t result = -5;
  std::thread lisp([&] {
    platform::ensureMessageQueue();
    lispThread = platform::currentThreadId();
    result = vxm_process_single_event();
  });
  while (lispThread == 0) std::this_thread::sleep_for(1ms);
  record_.lispThreadId = lispThread;
  std::this_thread::sleep_for(20ms);
  win_timersig();
  lisp.join();
  EXPECT_EQ(result, 0) << "woken by a message, with no watched events";
}

TEST_F(Wakeup, TimerSignalWithoutALispThreadPostsNothing) {
  drainQueue();
  record_.lispThreadId = 0;
  win_timersig();
  EXPECT_EQ(process_pending_events(1), 0);
  record_.lispThreadId = platform::currentThreadId();
  wake_lisp_thread();
  EXPECT_EQ(process_pending_events(1), 1);
  platform::Message message;
  ASSERT_TRUE(platform::peekMessage(&message, true));
  EXPECT_EQ(message.message, platform::kUserMessage);
  EXPECT_EQ(message.wParam, 0u);
}

TEST_F(Wakeup, ASingleEventWaitEndsOnAWatchedEvent) {
  Watchdog watchdog("single event", 10s);
  RecordInMemory record;
  os_test::CallingThreadRecord calling(record);
  drainQueue();
  const platform::Handle first = platform::createEvent(true, false);
  const platform::Handle second = platform::createEvent(true, true);
  vxm_event_watch(first, 0, record.tagged());
  vxm_event_watch(second, 0, record.tagged());
  EXPECT_EQ(vxm_process_single_event(), 1);
  platform::closeHandle(first);
  platform::closeHandle(second);
}

// ---- pumping ----

std::vector<uint32_t> seen;  // window procedure log: message numbers

uint32_t recordingProcedure(platform::Handle, uint32_t message, uint32_t wParam, uint32_t) {
  seen.push_back(message);
  // The first message asks for one more to another window, so one pass
  // is not enough.
  if (wParam != 0) platform::postWindowMessage(wParam, message + 1, 0, 0);
  return message * 2;
}

class Pump : public os_test::HostTableTest {
 protected:
  void SetUp() override {
    HostTableTest::SetUp();
    drainQueue();
    seen.clear();
    first_ = platform::createWindow(recordingProcedure);
    second_ = platform::createWindow(recordingProcedure);
    windows_[0] = first_;
    windows_[1] = second_;
    record_.peekWindows = windows_;
  }
  void TearDown() override {
    platform::closeHandle(first_);
    platform::closeHandle(second_);
    drainQueue();
    HostTableTest::TearDown();
  }
  platform::Handle first_ = 0, second_ = 0;
  uint32_t windows_[3] = {};
};

TEST_F(Pump, WindowModesPassOverTheWindowsUntilAPassFindsNone) {
  platform::postWindowMessage(second_, 2000, first_, 0);
  platform::postThreadMessage(platform::currentThreadId(), 3000, 0, 0);
  EXPECT_EQ(vxm_message_peek_loop(4), 0);
  EXPECT_EQ(seen, (std::vector<uint32_t>{2000, 2001}));
  EXPECT_EQ(process_pending_events(1), 1) << "the thread's own message stays";
  vxm_message_peek_loop(0);
  EXPECT_EQ(process_pending_events(1), 0);
}

TEST_F(Pump, OtherModesAndACollectionPumpNothing) {
  platform::postWindowMessage(first_, 2000, 0, 0);
  vxm_message_peek_loop(8);
  vxm_message_peek_loop(1);
  InScavenge = 1;
  vxm_message_peek_loop(0);
  InScavenge = 0;
  EXPECT_TRUE(seen.empty());
  vxm_message_peek_loop(0);
  EXPECT_EQ(seen, (std::vector<uint32_t>{2000}));
}

TEST_F(Pump, WaitSigioWaitsThenPumpsWithTheMode) {
  static std::vector<int32_t> calls;
  calls.clear();
  record_.singleEventHook = [] { calls.push_back(-1); return 0; };
  record_.peekLoopHook = [](int32_t mode) { calls.push_back(mode); return 7; };
  EXPECT_EQ(win_waitsigio(5), 7);
  EXPECT_EQ(process_pending_events(0), 0);
  EXPECT_EQ(calls, (std::vector<int32_t>{-1, 5, 0}));
}

TEST_F(Pump, AQuitMessageEndsTheLispWithStatusZero) {
  // A fresh process: a forked child's thread does not own the parent's queue.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        record_.exitHook = nullptr;
        platform::ensureMessageQueue();  // the child's thread is a new one
        platform::postThreadMessage(platform::currentThreadId(), platform::kQuitMessage, 3, 0);
        vxm_message_peek_loop(0);
        std::exit(9);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Pump, WindowWrappers) {
  EXPECT_EQ(vxm_mp_sendmessage(first_, 21, 0, 0), 42u);
  vxm_mp_setfocus(first_);
  EXPECT_EQ(vxm_mp_setfocus(second_), first_);
  EXPECT_EQ(vxm_mp_setfocus(0), 0u) << "no window: refused";
  EXPECT_EQ(vxm_mp_setfocus(first_), second_) << "the refusal left the focus";
  uint32_t refused = 1;
  std::thread other([&] { refused = vxm_mp_sendmessage(first_, 21, 0, 0); });
  other.join();
  EXPECT_EQ(refused, 0u) << "another thread's window is refused";

  platform::postWindowMessage(first_, 2000, 0, 0);
  platform::postWindowMessage(second_, 2500, 7, 9);
  unsigned char out[32];
  std::memset(out, 0xcc, sizeof out);
  EXPECT_EQ(vxm_mp_getmessage(out, second_, 0, 0), 1);
  platform::Message message;
  std::memcpy(&message, out, sizeof message);
  EXPECT_EQ(message.window, second_);
  EXPECT_EQ(message.message, 2500u);
  EXPECT_EQ(message.lParam, 9u);
  EXPECT_EQ(out[28], 0xcc) << "28 bytes copied";
  EXPECT_EQ(vxm_mp_getmessage(out, 0, 1999, 2001), 1);
  platform::postThreadMessage(platform::currentThreadId(), platform::kQuitMessage, 0, 0);
  EXPECT_EQ(vxm_mp_getmessage(out, 0, 0, 0), 0);
}

}  // namespace
