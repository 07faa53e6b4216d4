#include "runtime/os/fast_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/os/os_locks.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using lisp::FastMutex;
using testing_support::Watchdog;

class FastMutexTest : public ::testing::Test {
 protected:
  FastMutex mutex = lisp::makeFastMutex();
  ~FastMutexTest() override { free_os_lock(mutex.semaphore); }
};

TEST_F(FastMutexTest, GrabsAndReleasesTrackOwnerDepthAndContenders) {
  const struct Step {
    bool grab;
    uint32_t id;
    int32_t contenders;
    uint32_t owner;
    uint32_t depth;
    uint32_t acquisitions;
  } steps[] = {
      {true, 7, 1, 7, 1, 1},   // first grab
      {true, 7, 1, 7, 2, 1},   // recursive grab leaves the contender count alone
      {false, 9, 1, 7, 2, 1},  // a release by another id is ignored
      {false, 7, 1, 7, 1, 1},  // first of two releases
      {false, 7, 0, 0, 0, 1},  // second frees it
      {false, 7, 0, 0, 0, 1},  // a release when free changes nothing
      {true, 8, 1, 8, 1, 2},  {false, 8, 0, 0, 0, 2},
  };
  for (const Step& step : steps) {
    if (step.grab)
      grab_fast_mutex(&mutex, step.id);
    else
      release_fast_mutex(&mutex, step.id);
    SCOPED_TRACE(std::string(step.grab ? "grab " : "release ") + std::to_string(step.id));
    EXPECT_EQ(mutex.contenders, step.contenders);
    EXPECT_EQ(mutex.owner, step.owner);
    EXPECT_EQ(mutex.depth, step.depth);
    EXPECT_EQ(mutex.acquisitions, step.acquisitions);
  }
  EXPECT_EQ(platform::waitForAny({&mutex.semaphore, 1}, 0), platform::kWaitTimedOut)
      << "no hand-off without waiters";
}

TEST_F(FastMutexTest, AWaiterIsHandedTheMutexOnRelease) {
  Watchdog watchdog("fast mutex hand-off", 10s, [&] {
    return "owner " + std::to_string(mutex.owner) + " contenders " +
           std::to_string(mutex.contenders);
  });
  const uint32_t me = platform::currentThreadId();
  grab_fast_mutex(&mutex, me);
  std::atomic<uint32_t> waiterOwned{0};
  std::thread waiter([&] {
    const uint32_t id = platform::currentThreadId();
    grab_fast_mutex(&mutex, id);
    waiterOwned = mutex.owner;
    release_fast_mutex(&mutex, id);
  });
  while (std::atomic_ref<int32_t>(mutex.contenders).load() != 2) std::this_thread::yield();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(waiterOwned, 0u) << "the waiter got in while the mutex was held";
  release_fast_mutex(&mutex, me);
  waiter.join();
  EXPECT_NE(waiterOwned, 0u);
  EXPECT_NE(waiterOwned, me);
  EXPECT_EQ(mutex.contenders, 0);
  EXPECT_EQ(mutex.owner, 0u);
}

TEST_F(FastMutexTest, EightThreadsKeepASharedCounterExact) {
  constexpr int kThreads = 8;
  constexpr int kGrabs = 100000;
  uint32_t counter = 0;
  Watchdog watchdog("fast mutex counter", 60s, [&] {
    return "counter " + std::to_string(counter) + " owner " + std::to_string(mutex.owner) +
           " contenders " + std::to_string(mutex.contenders);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      const uint32_t id = platform::currentThreadId();
      for (int i = 0; i < kGrabs; ++i) {
        grab_fast_mutex(&mutex, id);
        grab_fast_mutex(&mutex, id);
        counter = counter + 1;
        release_fast_mutex(&mutex, id);
        release_fast_mutex(&mutex, id);
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, uint32_t{kThreads * kGrabs});
  EXPECT_EQ(mutex.acquisitions, uint32_t{kThreads * kGrabs});
  EXPECT_EQ(mutex.contenders, 0);
}

TEST(SleepySpinlock, CountsAcquisitionsAndContention) {
  Watchdog watchdog("sleepy spinlock", 10s);
  lisp::SleepySpinlock lock{};
  grab_sleepy_spinlock(&lock);
  EXPECT_NE(lock.word, 0u);
  std::atomic<bool> entered{false};
  std::thread other([&] {
    grab_sleepy_spinlock(&lock);
    entered = true;
    release_sleepy_spinlock(&lock);
  });
  // It keeps trying (the watchdog ends the test if it gave up)...
  while (std::atomic_ref<uint32_t>(lock.contentions).load() < 2) std::this_thread::yield();
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(entered);
  const uint32_t triesWhileHeld = std::atomic_ref<uint32_t>(lock.contentions).load();
  release_sleepy_spinlock(&lock);
  other.join();
  EXPECT_TRUE(entered);
  EXPECT_EQ(lock.word, 0u);
  EXPECT_EQ(lock.acquisitions, 2u);
  // ...but sleeps between tries, about a millisecond each.
  EXPECT_LE(triesWhileHeld, 1000u);
}

}  // namespace
