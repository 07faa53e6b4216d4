#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/error_numbers.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using platform::Handle;
using testing_support::Watchdog;

// Closes the handles a test made.
struct Handles {
  std::vector<Handle> list;
  Handle add(Handle handle) {
    EXPECT_NE(handle, platform::kNoHandle);
    list.push_back(handle);
    return handle;
  }
  ~Handles() {
    for (Handle handle : list) platform::closeHandle(handle);
  }
};

// Runs `body` on a thread of this layer and waits for it to end.
template <typename Body>
uint32_t runOnThread(Body body) {
  struct Packet {
    Body body;
  } packet{body};
  Handle thread = platform::createThread(
      [](void* raw) -> uint32_t { return static_cast<Packet*>(raw)->body(); }, &packet, 0, nullptr);
  EXPECT_EQ(platform::waitForAny({&thread, 1}, 5000), 0);
  uint32_t code = 0;
  platform::exitCodeOf(thread, &code);
  platform::closeHandle(thread);
  return code;
}

TEST(Wait, TheLowestSignalledIndexWinsAndAutomaticEventsReset) {
  Watchdog watchdog("wait-any order", 10s);
  Handles h;
  const Handle events[] = {
      h.add(platform::createEvent(false, false)), h.add(platform::createEvent(false, true)),
      h.add(platform::createEvent(true, false)), h.add(platform::createEvent(false, true))};
  EXPECT_EQ(platform::waitForAny(events, 0), 1);
  EXPECT_EQ(platform::waitForAny(events, 0), 3);
  EXPECT_EQ(platform::waitForAny(events, 0), platform::kWaitTimedOut);
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kWaitTimeout);

  ASSERT_TRUE(platform::setEvent(events[2]));  // manual reset: stays signalled
  EXPECT_EQ(platform::waitForAny(events, 0), 2);
  EXPECT_EQ(platform::waitForAny(events, 0), 2);
  ASSERT_TRUE(platform::resetEvent(events[2]));
  EXPECT_EQ(platform::waitForAny(events, 10), platform::kWaitTimedOut);
}

TEST(Wait, AMutexWhoseOwnerEndedIsReportedAbandonedOnce) {
  Watchdog watchdog("abandoned mutex", 10s);
  Handles h;
  const Handle handles[] = {h.add(platform::createEvent(false, false)),
                            h.add(platform::createMutex(false))};
  EXPECT_EQ(runOnThread([&] { return uint32_t(platform::waitForAny({&handles[1], 1}, 0)); }), 0u);

  EXPECT_EQ(platform::waitForAny(handles, 1000), platform::kWaitAbandoned + 1);
  EXPECT_EQ(platform::waitForAny(handles, 0), 1) << "the owner may take it again";
  EXPECT_TRUE(platform::releaseMutex(handles[1]));
  EXPECT_TRUE(platform::releaseMutex(handles[1]));
  EXPECT_FALSE(platform::releaseMutex(handles[1]));
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kNotOwner);
}

TEST(Wait, AMutexIsExclusiveAndOnlyItsOwnerReleasesIt) {
  Watchdog watchdog("mutex ownership", 10s);
  Handles h;
  const Handle mutex = h.add(platform::createMutex(true));
  EXPECT_EQ(runOnThread([&] {
              const int32_t waited = platform::waitForAny({&mutex, 1}, 20);
              const bool released = platform::releaseMutex(mutex);
              return uint32_t(waited == platform::kWaitTimedOut && !released);
            }),
            1u);
  EXPECT_TRUE(platform::releaseMutex(mutex));
  EXPECT_EQ(runOnThread([&] {
              const int32_t waited = platform::waitForAny({&mutex, 1}, 0);
              platform::releaseMutex(mutex);
              return uint32_t(waited);
            }),
            0u);
}

TEST(Wait, SemaphoresCountUpToTheirMaximum) {
  Handles h;
  const Handle semaphore = h.add(platform::createSemaphore(2, 3));
  EXPECT_EQ(platform::waitForAny({&semaphore, 1}, 0), 0);
  EXPECT_EQ(platform::waitForAny({&semaphore, 1}, 0), 0);
  EXPECT_EQ(platform::waitForAny({&semaphore, 1}, 0), platform::kWaitTimedOut);
  int32_t previous = -1;
  EXPECT_TRUE(platform::releaseSemaphore(semaphore, 3, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_FALSE(platform::releaseSemaphore(semaphore, 1));
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kTooManyPosts);
  EXPECT_EQ(platform::createSemaphore(2, 1), platform::kNoHandle);
}

TEST(Wait, RefusesBadHandleListsWithFailure) {
  Handles h;
  std::vector<Handle> many(platform::kMaximumWaitHandles + 1, platform::kNoHandle);
  for (Handle& handle : many) handle = h.add(platform::createEvent(true, true));
  EXPECT_EQ(platform::waitForAny(many, 0), platform::kWaitFailed);
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kInvalidParameter);
  EXPECT_EQ(platform::waitForAny(std::span(many).first(64), 0), 0);
  EXPECT_EQ(platform::waitForAny({}, 0), platform::kWaitFailed);

  const Handle closed = platform::createEvent(true, true);
  platform::closeHandle(closed);
  for (Handle bad : {closed, Handle{3}, Handle{0x7ffffffc}}) {
    const Handle list[] = {many[0], bad};
    EXPECT_EQ(platform::waitForAny(list, 0), platform::kWaitFailed) << bad;
    EXPECT_EQ(platform::lastSystemError(), platform::system_error::kInvalidHandle);
  }
}

TEST(Wait, ADuplicateOutlivesTheClosedOriginal) {
  const Handle event = platform::createEvent(true, false);
  const Handle duplicate = platform::duplicateHandle(event);
  ASSERT_NE(duplicate, platform::kNoHandle);
  ASSERT_NE(duplicate, event);
  EXPECT_TRUE(platform::closeHandle(event));
  EXPECT_FALSE(platform::setEvent(event));
  EXPECT_TRUE(platform::setEvent(duplicate));
  EXPECT_EQ(platform::waitForAny({&duplicate, 1}, 0), 0);
  EXPECT_TRUE(platform::closeHandle(duplicate));
  EXPECT_FALSE(platform::closeHandle(duplicate));
}

TEST(Wait, AnotherThreadEndsAWaitWithoutLimit) {
  Watchdog watchdog("wait woken by another thread", 10s);
  Handles h;
  const Handle handles[] = {h.add(platform::createEvent(false, false)),
                            h.add(platform::createSemaphore(0, 1))};
  std::thread signaller([&] {
    std::this_thread::sleep_for(30ms);
    platform::releaseSemaphore(handles[1], 1);
  });
  EXPECT_EQ(platform::waitForAny(handles, platform::kWaitForever), 1);
  signaller.join();
}

TEST(Wait, ProducersAndConsumersLoseNoSemaphoreCount) {
  constexpr int kPairs = 4;
  constexpr int kItems = 5000;
  Handles h;
  // A small maximum keeps consumers waiting and producers retrying.
  const Handle semaphore = h.add(platform::createSemaphore(0, 2));
  const Handle event = h.add(platform::createEvent(false, false));  // never set: a second handle
  std::atomic<int> consumed{0};
  Watchdog watchdog("semaphore hand-off", 30s,
                    [&] { return "consumed " + std::to_string(consumed.load()); });
  std::vector<std::thread> threads;
  for (int pair = 0; pair < kPairs; ++pair) {
    threads.emplace_back([&] {
      for (int i = 0; i < kItems; ++i)
        while (!platform::releaseSemaphore(semaphore, 1)) std::this_thread::yield();
    });
    threads.emplace_back([&] {
      const Handle handles[] = {event, semaphore};
      for (int i = 0; i < kItems; ++i)
        if (platform::waitForAny(handles, platform::kWaitForever) == 1) ++consumed;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(consumed, kPairs * kItems);
  EXPECT_EQ(platform::waitForAny({&semaphore, 1}, 0), platform::kWaitTimedOut);
}

TEST(Wait, ThreadHandlesAreSignalledWhenTheThreadEndsAndKeepItsExitCode) {
  Watchdog watchdog("thread handle", 10s);
  static std::atomic<bool> release;
  release = false;
  uint32_t id = 0;
  const Handle thread = platform::createThread(
      [](void*) -> uint32_t {
        while (!release) std::this_thread::sleep_for(1ms);
        platform::exitThread(42);
      },
      nullptr, 0, &id);
  ASSERT_NE(thread, platform::kNoHandle);
  EXPECT_EQ(platform::threadIdOf(thread), id);
  uint32_t code = 0;
  EXPECT_TRUE(platform::exitCodeOf(thread, &code));
  EXPECT_EQ(code, platform::kStillActive);
  EXPECT_EQ(platform::waitForAny({&thread, 1}, 10), platform::kWaitTimedOut);
  release = true;
  EXPECT_EQ(platform::waitForAny({&thread, 1}, 5000), 0);
  EXPECT_EQ(platform::waitForAny({&thread, 1}, 0), 0) << "stays signalled";
  EXPECT_TRUE(platform::exitCodeOf(thread, &code));
  EXPECT_EQ(code, 42u);
  platform::closeHandle(thread);
}

TEST(Wait, ProcessHandlesAreSignalledWhenTheChildEnds) {
  Watchdog watchdog("process handle", 10s);
  const struct {
    int exitStatus;
    int signal;
    uint32_t expected;
  } cases[] = {{7, 0, 7}, {0, SIGKILL, 128 + SIGKILL}};
  for (const auto& c : cases) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (c.signal) raise(c.signal);
      _exit(c.exitStatus);
    }
    const Handle process = platform::watchChildProcess(child);
    EXPECT_EQ(platform::waitForAny({&process, 1}, 5000), 0);
    uint32_t code = 0;
    EXPECT_TRUE(platform::exitCodeOf(process, &code));
    EXPECT_EQ(code, c.expected);
    platform::closeHandle(process);
  }
}

}  // namespace
