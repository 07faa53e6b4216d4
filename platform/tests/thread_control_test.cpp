#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/error_numbers.h"
#include "platform/message_queue.h"
#include "platform/thread_block.h"
#include "platform/threads.h"
#include "testing/watchdog.h"

extern "C" {
void jump_landing_sets_flag();
extern volatile uint32_t jump_landing_flag;
}

namespace {

using namespace std::chrono_literals;
using platform::Handle;
using testing_support::Watchdog;

// A thread of this layer that counts until told to stop.
struct Spinner {
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> turns{0};
  Handle thread = platform::kNoHandle;

  Spinner() {
    thread = platform::createThread(
        [](void* raw) -> uint32_t {
          auto* self = static_cast<Spinner*>(raw);
          while (!self->stop.load(std::memory_order_relaxed))
            self->turns.fetch_add(1, std::memory_order_relaxed);
          return 5;
        },
        this, 0, nullptr);
  }
  ~Spinner() {
    stop = true;
    EXPECT_EQ(platform::waitForAny({&thread, 1}, 5000), 0);
    platform::closeHandle(thread);
  }
  bool advancesWithin(std::chrono::milliseconds limit) {
    const uint32_t before = turns;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end)
      if (turns != before) return true;
    return false;
  }
  std::string describe() const { return "spinner turns " + std::to_string(turns.load()); }
};

TEST(ThreadControl, ASuspendedThreadRedirectedToARoutineRunsItWhenResumed) {
  Spinner spinner;
  Watchdog watchdog("forced jump", 10s, [&] { return spinner.describe(); });
  ASSERT_TRUE(spinner.advancesWithin(1s));
  jump_landing_flag = 0;

  ASSERT_EQ(platform::suspendThread(spinner.thread), 0);
  platform::ThreadContext context{};
  context.parts = platform::context_part::kControl;
  ASSERT_TRUE(platform::readThreadContext(spinner.thread, &context));
  // Enter the routine as if the interrupted instruction had called it.
  context.esp -= 4;
  *reinterpret_cast<uint32_t*>(context.esp) = context.eip;
  context.eip = reinterpret_cast<uint32_t>(&jump_landing_sets_flag);
  ASSERT_TRUE(platform::writeThreadContext(spinner.thread, context));
  EXPECT_EQ(jump_landing_flag, 0u);
  ASSERT_EQ(platform::resumeThread(spinner.thread), 1);

  const auto end = std::chrono::steady_clock::now() + 5s;
  while (jump_landing_flag == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::yield();
  EXPECT_EQ(jump_landing_flag, 1u);
  EXPECT_TRUE(spinner.advancesWithin(1s)) << "the thread went on where it was stopped";
}

TEST(ThreadControl, SuspendCountsNest) {
  Spinner spinner;
  Watchdog watchdog("suspend counts", 10s, [&] { return spinner.describe(); });
  EXPECT_EQ(platform::suspendThread(spinner.thread), 0);
  EXPECT_EQ(platform::suspendThread(spinner.thread), 1);
  EXPECT_FALSE(spinner.advancesWithin(30ms));
  EXPECT_EQ(platform::resumeThread(spinner.thread), 2);
  EXPECT_FALSE(spinner.advancesWithin(30ms)) << "one resume left to go";
  platform::ThreadContext context{};
  context.parts = platform::context_part::kAll;
  EXPECT_TRUE(platform::readThreadContext(spinner.thread, &context));
  EXPECT_NE(context.eip, 0u);
  EXPECT_NE(context.cs, 0u);
  EXPECT_EQ(platform::resumeThread(spinner.thread), 1);
  EXPECT_TRUE(spinner.advancesWithin(1s));
  EXPECT_EQ(platform::resumeThread(spinner.thread), 0) << "not suspended";
  EXPECT_FALSE(platform::readThreadContext(spinner.thread, &context)) << "running";
}

TEST(ThreadControl, AThreadSuspendedInAWaitGoesOnWaitingAfterItIsResumed) {
  struct Packet {
    Handle event = platform::createEvent(false, false);
    std::atomic<int32_t> waited{-2};
  } packet;
  const Handle waiter = platform::createThread(
      [](void* raw) -> uint32_t {
        auto* p = static_cast<Packet*>(raw);
        p->waited = platform::waitForAny({&p->event, 1}, platform::kWaitForever);
        return 0;
      },
      &packet, 0, nullptr);
  Watchdog watchdog("suspension during a wait", 10s,
                    [&] { return "wait result " + std::to_string(packet.waited.load()); });
  std::this_thread::sleep_for(20ms);  // let it reach the wait
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(platform::suspendThread(waiter), 0);
    platform::ThreadContext context{};
    context.parts = platform::context_part::kControl;
    EXPECT_TRUE(platform::readThreadContext(waiter, &context));
    ASSERT_EQ(platform::resumeThread(waiter), 1);
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(packet.waited, -2) << "the interruption ended the wait";
  ASSERT_TRUE(platform::setEvent(packet.event));
  ASSERT_EQ(platform::waitForAny({&waiter, 1}, 5000), 0);
  EXPECT_EQ(packet.waited, 0);
  platform::closeHandle(waiter);
  platform::closeHandle(packet.event);
}

// Threads started while one is suspended write their own thread-pointer and
// block entries; the resumed thread must still come back to its own.
TEST(ThreadControl, AResumedThreadKeepsItsOwnThreadPointerAndBlock) {
  struct Packet {
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::atomic<bool> kept{true};
  } packet;
  const Handle thread = platform::createThread(
      [](void* raw) -> uint32_t {
        auto* p = static_cast<Packet*>(raw);
        const pthread_t self = pthread_self();
        platform::ThreadBlock* const block = platform::ensureThreadBlock();
        uint32_t* expansion = nullptr;
        while (!p->stop.load(std::memory_order_relaxed)) {
          asm volatile("movl %%fs:(%1), %0"
                       : "=r"(expansion)
                       : "r"(platform::kExpansionPointerOffset));
          if (!pthread_equal(pthread_self(), self) || expansion != block->expansionSlots)
            p->kept = false;
          p->rounds.fetch_add(1, std::memory_order_relaxed);
        }
        return pthread_equal(pthread_self(), self) ? 7 : 1;
      },
      &packet, 0, nullptr);
  ASSERT_NE(thread, platform::kNoHandle);
  Watchdog watchdog("own segments", 10s, [&] { return "rounds " + std::to_string(packet.rounds.load()); });
  for (int round = 0; round < 5; ++round) {
    const int before = packet.rounds;
    while (packet.rounds == before) std::this_thread::yield();
    ASSERT_EQ(platform::suspendThread(thread), 0);
    const Handle other = platform::createThread(
        [](void*) -> uint32_t {
          platform::ensureThreadBlock();
          return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_EQ(platform::waitForAny({&other, 1}, 5000), 0);
    platform::closeHandle(other);
    ASSERT_EQ(platform::resumeThread(thread), 1);
  }
  const int before = packet.rounds;
  while (packet.rounds == before) std::this_thread::yield();
  packet.stop = true;
  ASSERT_EQ(platform::waitForAny({&thread, 1}, 5000), 0) << "its end was seen";
  uint32_t code = 0;
  platform::exitCodeOf(thread, &code);
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(packet.kept) << "the thread read another thread's pointer or block";
  platform::closeHandle(thread);
}

TEST(ThreadControl, AThreadCannotSuspendItselfAndHandlesMustBeThreads) {
  const Handle self = platform::currentThreadHandle();
  EXPECT_EQ(platform::threadIdOf(self), platform::currentThreadId());
  EXPECT_EQ(platform::suspendThread(self), -1);
  platform::closeHandle(self);
  const Handle event = platform::createEvent(true, false);
  EXPECT_EQ(platform::suspendThread(event), -1);
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kInvalidHandle);
  EXPECT_EQ(platform::threadIdOf(event), 0u);
  platform::closeHandle(event);
}

TEST(ThreadControl, NewThreadsHaveTheirStackTheirIdTheirBlockAndAQueue) {
  Watchdog watchdog("thread start", 10s);
  struct Seen {
    size_t stackBytes = 0;
    uint32_t id = 0;
    bool hasBlock = false;
  } seen;
  constexpr size_t kAsked = 3 * 1024 * 1024 + 100;
  uint32_t id = 0;
  const Handle thread = platform::createThread(
      [](void* raw) -> uint32_t {
        auto* s = static_cast<Seen*>(raw);
        pthread_attr_t attributes;
        pthread_getattr_np(pthread_self(), &attributes);
        pthread_attr_getstacksize(&attributes, &s->stackBytes);
        pthread_attr_destroy(&attributes);
        s->id = platform::currentThreadId();
        uint16_t fs;
        asm volatile("mov %%fs, %0" : "=r"(fs));
        s->hasBlock = fs != 0;
        platform::Message message{};
        platform::getMessage(&message);  // posted right after the start
        return message.message;
      },
      &seen, kAsked, &id);
  ASSERT_NE(thread, platform::kNoHandle);
  EXPECT_TRUE(platform::postThreadMessage(id, 999, 0, 0)) << "the queue exists from the start";
  ASSERT_EQ(platform::waitForAny({&thread, 1}, 5000), 0);
  uint32_t code = 0;
  platform::exitCodeOf(thread, &code);
  EXPECT_EQ(code, 999u);
  EXPECT_GE(seen.stackBytes, kAsked);
  EXPECT_EQ(seen.id, id);
  EXPECT_TRUE(seen.hasBlock);
  platform::closeHandle(thread);
}

TEST(ThreadControl, ProcessorTimeIsKeptAfterTheThreadEnds) {
  Watchdog watchdog("thread times", 10s);
  const Handle thread = platform::createThread(
      [](void*) -> uint32_t {
        timespec used{};  // spin until this thread has used 100 ms of processor time
        do clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
        while (used.tv_sec == 0 && used.tv_nsec < 100'000'000);
        return 0;
      },
      nullptr, 0, nullptr);
  platform::ThreadTimes running{};
  EXPECT_TRUE(platform::threadTimes(thread, &running));
  ASSERT_EQ(platform::waitForAny({&thread, 1}, 5000), 0);
  platform::ThreadTimes ended{};
  ASSERT_TRUE(platform::threadTimes(thread, &ended));
  const uint64_t total = ended.kernelMicroseconds + ended.userMicroseconds;
  EXPECT_GE(total, 90'000u);
  EXPECT_LE(total, 5'000'000u);
  EXPECT_GE(total, running.kernelMicroseconds + running.userMicroseconds);
  platform::closeHandle(thread);
}

TEST(ThreadControl, PriorityLevelsMapOntoNiceValues) {
  Spinner spinner;
  EXPECT_TRUE(platform::setThreadPriority(spinner.thread, platform::kLowestPriority));
  EXPECT_EQ(platform::threadPriority(spinner.thread), platform::kLowestPriority);
  EXPECT_FALSE(platform::setThreadPriority(spinner.thread, 3));
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kInvalidParameter);
}

}  // namespace
