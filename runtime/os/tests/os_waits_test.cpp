#include "runtime/os/os_waits.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/tests/thread_record_fixture.h"
#include "runtime/rs/lisp_presence.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using lisp::thread_record::kIoWaitMarker;
using lisp::thread_record::kSocketWatchCount;
using lisp::thread_record::kSocketWatchHandles;
using lisp::thread_record::kState;
using os_test::RecordInMemory;
using testing_support::Watchdog;

void drainQueue() {
  platform::Message message;
  while (platform::peekMessage(&message, true)) {
  }
}

// Shortens the wait slices for one test.
struct ShortSlices {
  explicit ShortSlices(uint32_t milliseconds) { lisp::os::waitSliceMilliseconds = milliseconds; }
  ~ShortSlices() { lisp::os::waitSliceMilliseconds = lisp::os::kWaitSliceMilliseconds; }
};

TEST(MessageAwareWait, AMessageFromAnotherThreadEndsItWithOne) {
  Watchdog watchdog("wait ended by a message", 10s);
  drainQueue();
  const uint32_t handles[] = {allocate_os_lock(1), allocate_os_lock(1)};
  const uint32_t me = platform::currentThreadId();
  std::thread poster([&] {
    std::this_thread::sleep_for(20ms);
    platform::postThreadMessage(me, platform::kUserMessage, 0, 0);
  });
  int32_t result = -5;
  EXPECT_EQ(wait_but_watch_for_messages(2, handles, 1, &result), 1);
  EXPECT_EQ(result, 2);
  poster.join();
  drainQueue();
  for (uint32_t handle : handles) free_os_lock(handle);
}

TEST(MessageAwareWait, WithSlicesOnlyAHandleOrAMessageEndsIt) {
  Watchdog watchdog("sliced wait", 10s);
  ShortSlices slices(10);
  drainQueue();
  const uint32_t lock = allocate_os_lock(1);
  std::thread opener([&] {
    std::this_thread::sleep_for(120ms);
    vxm_open_lock(lock);
  });
  const auto start = std::chrono::steady_clock::now();
  int32_t result = -5;
  EXPECT_EQ(wait_but_watch_for_messages(1, &lock, 1, &result), 0);
  EXPECT_EQ(result, 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms) << "returned on a time-out";
  opener.join();

  std::thread secondOpener([&] {
    std::this_thread::sleep_for(60ms);
    vxm_open_lock(lock);
  });
  EXPECT_EQ(md_itchy_lock_wait(lock), 0);
  secondOpener.join();
  free_os_lock(lock);
}

TEST(MessageAwareWait, FailureIsReportedNotWaitedOn) {
  const uint32_t closed = allocate_os_lock(0);
  free_os_lock(closed);
  int32_t result = 0;
  EXPECT_EQ(wait_but_watch_for_messages(1, &closed, 1, &result), 0);
  EXPECT_EQ(result, platform::kWaitFailed);
  EXPECT_EQ(breakable_lock_wait(1, &closed), platform::kWaitFailed);
}

TEST(OsLocks, AnOpenLockLetsOneWaiterPass) {
  const uint32_t lock = allocate_os_lock(0);
  EXPECT_EQ(md_lock_wait(lock), 0);
  EXPECT_EQ(platform::waitForAny({&lock, 1}, 0), platform::kWaitTimedOut) << "closed again";
  EXPECT_EQ(vxm_open_lock(lock), 1);
  EXPECT_EQ(breakable_lock_wait(1, &lock), 0);
  free_os_lock(lock);

  const uint32_t semaphore = allocate_os_semaphore();
  EXPECT_EQ(platform::waitForAny({&semaphore, 1}, 0), platform::kWaitTimedOut);
  EXPECT_TRUE(platform::releaseSemaphore(semaphore, 1));
  EXPECT_FALSE(platform::releaseSemaphore(semaphore, 1)) << "maximum 1";
  free_os_lock(semaphore);

  const uint32_t mutex = create_os_mutex();
  EXPECT_EQ(md_lock_wait(mutex), 0);
  EXPECT_TRUE(platform::releaseMutex(mutex));
  EXPECT_EQ(free_os_lock(mutex), 1);
  EXPECT_EQ(free_os_lock(mutex), 0);
}

// A record with its wake event, closed handles it owns released at the end.
class IoWait : public ::testing::Test {
 protected:
  RecordInMemory record;
  std::vector<uint32_t> owned;

  // The I/O wait of a Lisp thread runs while a Lisp exists.
  IoWait() {
    record.at(lisp::thread_record::kWakeEvent) = lock();
    lisp::presence::arrive();
  }
  ~IoWait() override {
    lisp::presence::depart();
    for (uint32_t handle : owned) free_os_lock(handle);
  }
  uint32_t lock() { return owned.emplace_back(allocate_os_lock(1)); }
  std::string describe() {
    return "state " + std::to_string(record.at(kState)) + " marker " +
           std::to_string(record.at(kIoWaitMarker));
  }
};

TEST_F(IoWait, WithoutWatchesItWaitsOnTheWakeEventAlone) {
  Watchdog watchdog("I/O wait on the wake event", 10s, [&] { return describe(); });
  uint32_t stateWhileWaiting = 0;
  std::thread waker([&] {
    while (record.at(kState) != lisp::thread_record::kStateWaitingOnDescriptors) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);
    stateWhileWaiting = record.at(kState);
    vxm_open_lock(record.at(lisp::thread_record::kWakeEvent));
  });
  EXPECT_EQ(md_io_wait(record.raw()), 0);
  waker.join();
  EXPECT_EQ(stateWhileWaiting, lisp::thread_record::kStateWaitingOnDescriptors);
  EXPECT_EQ(record.at(kState), lisp::thread_record::kStateRunning);
  EXPECT_EQ(record.at(kIoWaitMarker), lisp::thread_record::kIoWaitMarked);
}

TEST_F(IoWait, WatchedEventsFollowTheWakeEvent) {
  Watchdog watchdog("I/O wait on watched events", 10s, [&] { return describe(); });
  record.at(lisp::thread_record::kWatchCount) = 3;
  for (int i = 0; i < 3; ++i) record.at(lisp::thread_record::kEventWatchList + 4 * i) = lock();
  vxm_open_lock(record.at(lisp::thread_record::kEventWatchList + 8));
  EXPECT_EQ(md_io_wait(record.raw()), 3);
}

TEST_F(IoWait, TheSocketListHoldsTwoHundredAndTheWaitTakesWhatFits) {
  Watchdog watchdog("I/O wait on sockets", 10s, [&] { return describe(); });
  const uint32_t ownHandle = 0x1234, wakeEvent = record.at(lisp::thread_record::kWakeEvent);
  record.at(lisp::thread_record::kOsThreadHandle) = ownHandle;
  for (int i = 0; i < 100; ++i) {
    const uint32_t events[3] = {lock(), lock(), lock()};
    lisp::os::watchSocketEvents(record.raw(), events, i % 2 == 0);
    EXPECT_EQ(record.at(kSocketWatchHandles + 8 * i), events[1]);
    EXPECT_EQ(record.at(kSocketWatchHandles + 8 * i + 4), i % 2 == 0 ? events[0] : events[2]);
  }
  EXPECT_EQ(record.at(kSocketWatchCount), 200u);
  const uint32_t more[3] = {1, 2, 3};
  lisp::os::watchSocketEvents(record.raw(), more, true);
  EXPECT_EQ(record.at(kSocketWatchCount), 200u) << "the 201st append is ignored";
  EXPECT_EQ(record.at(lisp::thread_record::kOsThreadHandle), ownHandle);
  EXPECT_EQ(record.at(lisp::thread_record::kWakeEvent), wakeEvent);

  // Wake event and ten watched events leave room for 53 socket handles.
  record.at(lisp::thread_record::kWatchCount) = 10;
  for (int i = 0; i < 10; ++i) record.at(lisp::thread_record::kEventWatchList + 4 * i) = lock();
  vxm_open_lock(record.at(kSocketWatchHandles + 4 * 60));
  vxm_open_lock(record.at(kSocketWatchHandles + 4 * 52));
  EXPECT_EQ(md_io_wait(record.raw()), 11 + 52);
}

TEST_F(IoWait, ANegativeDescriptorEmptiesTheCallersSocketList) {
  os_test::CallingThreadRecord calling(record);
  const uint32_t events[3] = {lock(), lock(), lock()};
  lisp::os::watchSocketEvents(record.raw(), events, false);
  record.at(lisp::thread_record::kSocketWatchList) = 99;
  watch_for_socket_activity(5, 1);  // not a socket: nothing changes
  EXPECT_EQ(record.at(kSocketWatchCount), 2u);
  watch_for_socket_activity(-1, 0);
  EXPECT_EQ(record.at(kSocketWatchCount), 0u);
  EXPECT_EQ(record.at(lisp::thread_record::kSocketWatchList), 0u);
}

// A thread the registry does not know changes the list of index 0's record.
TEST_F(IoWait, AThreadWithoutARecordWatchesThroughIndexZero) {
  os_test::CallingThreadRecord indexZero(record);
  const uint32_t events[3] = {lock(), lock(), lock()};
  lisp::os::watchSocketEvents(record.raw(), events, false);
  ASSERT_EQ(record.at(kSocketWatchCount), 2u);
  std::thread stranger([] { watch_for_socket_activity(-1, 0); });
  stranger.join();
  EXPECT_EQ(record.at(kSocketWatchCount), 0u);
}

}  // namespace
