#include "platform/timer_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using platform::PendingTimer;
using platform::TimerService;
using testing_support::Watchdog;

struct Call {
  uint32_t id;
  uint32_t message;
  uintptr_t userWord;
  uintptr_t reserved1;
  uintptr_t reserved2;
  uint64_t at;
};

// A virtual clock and a record of callbacks; callbacks run on the timer thread.
struct Recorder {
  static std::atomic<uint64_t> now;
  static std::mutex lock;
  static std::vector<Call> calls;
  static TimerService* service;  // for callbacks that arm again
  static void record(uint32_t id, uint32_t message, uintptr_t user, uintptr_t r1, uintptr_t r2) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back({id, message, user, r1, r2, now.load()});
  }
  static void rearm(uint32_t id, uint32_t message, uintptr_t user, uintptr_t r1, uintptr_t r2) {
    record(id, message, user, r1, r2);
    service->setOneShot(1000, 250, rearm, user);
  }
};
std::atomic<uint64_t> Recorder::now{0};
std::mutex Recorder::lock;
std::vector<Call> Recorder::calls;
TimerService* Recorder::service = nullptr;

class TimerServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Recorder::now = 5000;
    Recorder::calls.clear();
    Recorder::service = &service_;
  }
  void advance(uint64_t ms) {
    // One step per millisecond is too slow for ten-second runs; step by 50 ms,
    // below any delay the tests use apart from the exact boundaries below.
    for (uint64_t done = 0; done < ms;) {
      const uint64_t step = std::min<uint64_t>(50, ms - done);
      Recorder::now += step;
      done += step;
      service_.settle();
    }
  }
  std::vector<Call> calls() {
    std::lock_guard<std::mutex> guard(Recorder::lock);
    return Recorder::calls;
  }
  Watchdog watchdog_{"timer service test", 10s};
  TimerService service_{[] { return Recorder::now.load(); }};
};

TEST_F(TimerServiceTest, OneShotRunsOnceWhenDueWithItsArguments) {
  const uint32_t id = service_.setOneShot(2500, 1, Recorder::record, 77);
  ASSERT_NE(id, 0u);
  const std::vector<PendingTimer> pending = service_.pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].id, id);
  EXPECT_EQ(pending[0].delayMs, 2500u);
  EXPECT_EQ(pending[0].dueMs, 7500u);
  EXPECT_EQ(pending[0].resolutionMs, 1u);

  Recorder::now = 7499;
  service_.settle();
  EXPECT_TRUE(calls().empty());
  Recorder::now = 7500;
  service_.settle();
  ASSERT_EQ(calls().size(), 1u);
  const Call call = calls()[0];
  EXPECT_EQ(call.id, id);
  EXPECT_EQ(call.userWord, 77u);
  EXPECT_EQ(call.message, 0u);
  EXPECT_EQ(call.reserved1, 0u);
  EXPECT_EQ(call.reserved2, 0u);
  EXPECT_TRUE(service_.pending().empty());
  advance(5000);
  EXPECT_EQ(calls().size(), 1u);
}

TEST_F(TimerServiceTest, TimersRunInOrderOfDueTime) {
  const uint32_t late = service_.setOneShot(300, 1, Recorder::record, 2);
  const uint32_t early = service_.setOneShot(100, 1, Recorder::record, 1);
  advance(400);
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[0].id, early);
  EXPECT_EQ(calls()[1].id, late);
}

TEST_F(TimerServiceTest, KilledTimerNeverRunsAndKillReportsWhetherItFoundOne) {
  const uint32_t id = service_.setOneShot(100, 1, Recorder::record, 0);
  EXPECT_TRUE(service_.kill(id));
  EXPECT_FALSE(service_.kill(id));
  EXPECT_FALSE(service_.kill(0));
  advance(500);
  EXPECT_TRUE(calls().empty());
}

TEST_F(TimerServiceTest, CallbackMayArmAgainFromTheTimerThread) {
  service_.setOneShot(500, 1, Recorder::rearm, 3);
  advance(3500);
  const std::vector<Call> seen = calls();
  ASSERT_EQ(seen.size(), 4u);  // 500, 1500, 2500, 3500
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].at, 5500u + 1000 * i);
  ASSERT_EQ(service_.pending().size(), 1u);
  EXPECT_EQ(service_.pending()[0].resolutionMs, 250u);
}

TEST_F(TimerServiceTest, IdsAreNeverZeroAndDistinct) {
  const uint32_t first = service_.setOneShot(100, 1, Recorder::record, 0);
  const uint32_t second = service_.setOneShot(100, 1, Recorder::record, 0);
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, 0u);
  EXPECT_NE(first, second);
}

TEST_F(TimerServiceTest, InjectedFailuresAndMissingCallbackGiveIdZero) {
  EXPECT_EQ(service_.setOneShot(100, 1, nullptr, 0), 0u);
  service_.failNextCreations(1);
  EXPECT_EQ(service_.setOneShot(100, 1, Recorder::record, 0), 0u);
  EXPECT_NE(service_.setOneShot(100, 1, Recorder::record, 0), 0u);
}

TEST_F(TimerServiceTest, DeviceCapsAndPeriods) {
  platform::TimerDeviceCaps caps{};
  ASSERT_TRUE(service_.deviceCaps(&caps));
  EXPECT_EQ(caps.periodMin, 1u);
  service_.failDeviceQuery(true);
  EXPECT_FALSE(service_.deviceCaps(&caps));

  EXPECT_EQ(service_.periodInForce(), 0u);
  EXPECT_FALSE(service_.beginPeriod(0));
  EXPECT_TRUE(service_.beginPeriod(10));
  EXPECT_TRUE(service_.beginPeriod(1));
  EXPECT_EQ(service_.periodInForce(), 1u);
  EXPECT_TRUE(service_.endPeriod(1));
  EXPECT_FALSE(service_.endPeriod(1));
  EXPECT_EQ(service_.periodInForce(), 10u);
}

TEST(TimerServiceRealClock, FiresAfterItsDelay) {
  Watchdog watchdog("real-clock timer", 5s);
  static std::atomic<uint64_t> firedAt{0};
  TimerService service;
  const uint64_t start = TimerService::monotonicMs();
  service.setOneShot(30, 1, [](uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {
    firedAt = TimerService::monotonicMs();
  }, 0);
  while (firedAt == 0) std::this_thread::sleep_for(1ms);
  EXPECT_GE(firedAt - start, 30u);
  EXPECT_EQ(service.pending().size(), 0u);
}

}  // namespace
