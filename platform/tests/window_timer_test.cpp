// Window timers over a timer service with an injected clock: they post the
// timer message each period until killed, a set anew replaces the period,
// and a timer of a window that is gone stops.

#include "platform/window_timer.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/message_queue.h"

namespace {

using namespace platform;

uint32_t ignoreMessages(Handle, uint32_t, uint32_t, uint32_t) {
  return 0;
}

class WindowTimers : public ::testing::Test {
 protected:
  void SetUp() override { useWindowTimerService(&service); }
  void TearDown() override { useWindowTimerService(nullptr); }

  void advance(uint64_t ms) {
    now += ms;
    service.settle();
  }

  // Timer messages for `window` now queued, removed.
  int takeTicks(Handle window, uint32_t id) {
    int ticks = 0;
    Message message;
    while (peekMessage(&message, true))
      if (message.window == window && message.message == kTimerMessage && message.wParam == id)
        ++ticks;
    return ticks;
  }

  std::atomic<uint64_t> now{0};
  TimerService service{[this] { return now.load(); }};
};

TEST_F(WindowTimers, PostEachPeriodUntilKilled) {
  const Handle window = createWindow(ignoreMessages);
  ASSERT_TRUE(setWindowTimer(window, 385, 40000));
  EXPECT_EQ(windowTimerPeriod(window, 385), 40000u);
  advance(39999);
  EXPECT_EQ(takeTicks(window, 385), 0);
  advance(1);
  EXPECT_EQ(takeTicks(window, 385), 1);
  advance(40000);
  EXPECT_EQ(takeTicks(window, 385), 1);

  ASSERT_TRUE(setWindowTimer(window, 385, 20000));  // set anew: the new period from now
  advance(20000);
  EXPECT_EQ(takeTicks(window, 385), 1);

  EXPECT_TRUE(killWindowTimer(window, 385));
  EXPECT_FALSE(killWindowTimer(window, 385));
  EXPECT_EQ(windowTimerPeriod(window, 385), 0u);
  advance(100000);
  EXPECT_EQ(takeTicks(window, 385), 0);
  closeHandle(window);
}

TEST_F(WindowTimers, RefusedForNoWindowAndStoppedWhenTheWindowGoes) {
  EXPECT_FALSE(setWindowTimer(kNoHandle, 1, 10));
  const Handle window = createWindow(ignoreMessages);
  ASSERT_TRUE(setWindowTimer(window, 1, 10));
  closeHandle(window);
  advance(10);
  EXPECT_EQ(windowTimerPeriod(window, 1), 0u);
  EXPECT_TRUE(service.pending().empty());
}

}  // namespace
