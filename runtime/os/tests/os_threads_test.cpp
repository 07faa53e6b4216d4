#include "runtime/os/os_threads.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/gc/gc_state.h"
#include "runtime/os/child_waits.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/os_waits.h"
#include "runtime/os/tests/thread_record_fixture.h"
#include "runtime/os/thread_record_access.h"
#include "runtime/os/thread_registry.h"
#include "testing/console_host_record.h"
#include "testing/watchdog.h"

extern "C" {
void forced_jump_target();
extern volatile uint32_t forced_jump_flag;
}

namespace {

using namespace std::chrono_literals;
using os_test::RecordInMemory;
using testing_support::Watchdog;

std::atomic<uint32_t> g_startedWith{0};

uint32_t noteArgument(void* argument) {
  g_startedWith = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument));
  return 3;
}

TEST(OsThreads, CreateStartsTheThreadAndHandsOutItsIdAndHandle) {
  Watchdog watchdog("thread creation", 10s);
  g_startedWith = 0;
  uint32_t id = 0, handle = 0;
  ASSERT_EQ(create_os_thread(noteArgument, reinterpret_cast<void*>(0x55), 256 * 1024, &id, &handle),
            0);
  ASSERT_EQ(md_lock_wait(handle), 0);
  EXPECT_EQ(g_startedWith, 0x55u);
  EXPECT_EQ(platform::threadIdOf(handle), id);
  free_os_lock(handle);

  g_startedWith = 0;
  ASSERT_EQ(create_os_thread(noteArgument, reinterpret_cast<void*>(0x66), 0, nullptr, nullptr), 0);
  while (g_startedWith == 0) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(g_startedWith, 0x66u);
}

TEST(OsThreads, AFailedCreateReturnsTheRuntimesErrorNumber) {
  uint32_t handle = 0xabcd;
  const int32_t failure = create_os_thread(noteArgument, nullptr, 0xf0000000u, nullptr, &handle);
  EXPECT_TRUE(failure == 11 || failure == 12 || failure == 22) << failure;
  EXPECT_EQ(handle, 0xabcdu);
}

TEST(OsThreads, LispThreadExitEndsTheCallingThread) {
  Watchdog watchdog("thread exit", 10s);
  static std::atomic<bool> passedExit;
  passedExit = false;
  uint32_t handle = 0;
  ASSERT_EQ(create_os_thread(
                [](void*) -> uint32_t {
                  lisp_thread_exit();
                  passedExit = true;
                  return 9;
                },
                nullptr, 0, nullptr, &handle),
            0);
  ASSERT_EQ(md_lock_wait(handle), 0);
  uint32_t code = 1;
  EXPECT_TRUE(platform::exitCodeOf(handle, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(passedExit);
  free_os_lock(handle);
}

TEST(OsThreads, PrioritySlotValuesMapToLevels) {
  const lisp::lispval savedNil = nilval;
  nilval = 0x20000685;
  const struct {
    lisp::lispval priority;
    int level;
  } cases[] = {{lisp::makeFixnum(0), 0},
               {nilval, -2},
               {lisp::makeFixnum(7), 1},
               {lisp::makeFixnum(-3), -1},
               {0x30000012 /* neither nil nor a fixnum */, 2}};
  for (const auto& c : cases)
    EXPECT_EQ(lisp::os::priorityLevelOf(c.priority), c.level) << c.priority;

  RecordInMemory record;
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    record.at(lisp::thread_record::kOsThreadHandle) = handle_for_current_thread();
    while (!stop) std::this_thread::sleep_for(1ms);
  });
  while (record.at(lisp::thread_record::kOsThreadHandle) == 0) std::this_thread::yield();
  record.at(lisp::thread_record::kPriority) = nilval;
  vxm_adjust_priority(record.raw());
  EXPECT_EQ(platform::threadPriority(record.at(lisp::thread_record::kOsThreadHandle)), -2);
  stop = true;
  worker.join();
  free_os_lock(record.at(lisp::thread_record::kOsThreadHandle));
  nilval = savedNil;
}

TEST(OsThreads, ProcessorTimeOfARecordsThread) {
  Watchdog watchdog("thread times", 10s);
  RecordInMemory record;
  ASSERT_EQ(create_os_thread(
                [](void*) -> uint32_t {
                  timespec used{};
                  do clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
                  while (used.tv_sec == 0 && used.tv_nsec < 100'000'000);
                  return 0;
                },
                nullptr, 0, nullptr, &record.at(lisp::thread_record::kOsThreadHandle)),
            0);
  const uint32_t handle = record.at(lisp::thread_record::kOsThreadHandle);
  ASSERT_EQ(md_lock_wait(handle), 0);
  EXPECT_GE(vxm_thread_msec_used(record.raw()), 90u);
  EXPECT_LT(vxm_thread_msec_used(record.raw()), 5000u);
  EXPECT_GE(get_thread_runtime(handle), 90'000u);
  free_os_lock(handle);
  EXPECT_EQ(get_thread_runtime(handle), 0u) << "closed handle";
}

TEST(OsThreads, TheCodeSegmentIsTheOneSuspendedThreadsRunIn) {
  Watchdog watchdog("code segment", 10s);
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> handle{0};
  std::thread spinner([&] {
    handle = handle_for_current_thread();
    while (!stop) {
    }
  });
  while (handle == 0) std::this_thread::yield();
  ASSERT_EQ(platform::suspendThread(handle), 0);
  platform::ThreadContext context{};
  context.parts = platform::context_part::kControl;
  EXPECT_TRUE(platform::readThreadContext(handle, &context));
  platform::resumeThread(handle);
  stop = true;
  spinner.join();
  EXPECT_EQ(current_SegCs(), context.cs);
  free_os_lock(handle);
}

TEST(OsThreads, AThreadForcedToJumpRunsTheRoutine) {
  std::atomic<bool> spinning{false};
  std::atomic<uint32_t> handle{0};
  Watchdog watchdog("forced jump", 10s, [&] {
    return "spinning " + std::to_string(spinning.load()) + " flag " +
           std::to_string(forced_jump_flag);
  });
  forced_jump_flag = 0;
  // A plain thread: the target ends it with a bare exit, which no thread of
  // the platform layer may take.
  std::thread spinner([&] {
    handle = handle_for_current_thread();
    spinning = true;
    for (;;) {
    }
  });
  spinner.detach();
  while (!spinning) std::this_thread::yield();
  EXPECT_TRUE(lisp::os::forceThreadToJump(handle, forced_jump_target));
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (forced_jump_flag == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(forced_jump_flag, 1u);
  EXPECT_FALSE(lisp::os::forceThreadToJump(0x7ffffffc, forced_jump_target)) << "not a handle";
  free_os_lock(handle);
}

TEST(RecordAccess, TheCallingThreadsWordsThroughItsSlot) {
  RecordInMemory record;
  record.at(lisp::thread_record::kClinkHead) = lisp::thread_record::kEmptyClinkChain;
  record.at(lisp::thread_record::kStackBase) = 0xbff00000;
  {
    os_test::CallingThreadRecord calling(record);
    set_clink(0x1000);
    set_c_leaf(0x2000);
    EXPECT_EQ(get_clink(record.raw()), 0x1000u);
    EXPECT_EQ(thread_clink(record.tagged()), 0x1000u);
    EXPECT_EQ(get_c_leaf(), 0x2000u);
    EXPECT_EQ(record.at(lisp::thread_record::kLeafCallStack), 0x2000u);
    EXPECT_EQ(get_stackbase(), 0xbff00000u);
    EXPECT_EQ(thread_mv_slots(), &record.at(lisp::thread_record::kExtraResults));
  }
  EXPECT_EQ(get_clink(nullptr), 0xffffffffu);
  EXPECT_EQ(get_stackbase(), 0u);
  EXPECT_EQ(get_c_leaf(), 0u);
  EXPECT_EQ(thread_mv_slots(), nullptr);
}

// A page record names its allocating thread in word 0 and its own limit in
// word 1; the thread's allocation word (a tagged cons fill) wins when it
// points into or past the page record.
TEST(RecordAccess, APagesConsLimitIsItsThreadsFillWhenThatLiesInThePage) {
  RecordInMemory thread;
  os_test::CallingThreadRecord registered(thread);
  const uint32_t savedLowest = threadctl_lowest, savedHighest = threadctl_highest;
  const uint32_t self = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(thread.raw()));
  threadctl_lowest = threadctl_highest = self;
  alignas(8) uint32_t page[16] = {};
  const uint32_t pageAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(page));
  constexpr uint32_t kOwnLimit = 0x5000;
  const auto consFill = [](uint32_t address) { return address + 0x11; };
  const struct {
    const char* name;
    uint32_t first, fill, expected;
  } cases[] = {
      {"fill inside the page", thread.tagged(), consFill(pageAddress + 24), pageAddress + 24},
      {"fill at the page", thread.tagged(), consFill(pageAddress), pageAddress},
      {"fill below the page", thread.tagged(), consFill(pageAddress - 8), kOwnLimit},
      {"no fill", thread.tagged(), 0, kOwnLimit},
      {"not a thread record", lisp::makeFixnum(3), consFill(pageAddress + 24), kOwnLimit},
  };
  for (const auto& c : cases) {
    page[0] = c.first;
    page[1] = kOwnLimit;
    thread.at(lisp::thread_record::kClearedWord52) = c.fill;
    EXPECT_EQ(thread_page_conslimit(page), c.expected) << c.name;
  }
  threadctl_lowest = savedLowest;
  threadctl_highest = savedHighest;
}

TEST(RecordAccessDeathTest, OnlyTheHeadOfTheActiveRecordsPassesTheTlsCheck) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  RecordInMemory active, other;
  uint32_t* const saved = threadctl_active;
  threadctl_active = active.raw();
  EXPECT_EQ(vxm_validate_inline_tls(active.tagged()),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(active.raw())));
  EXPECT_EXIT(vxm_validate_inline_tls(other.tagged()), testing::ExitedWithCode(1),
              "Vexmora CL: System Error: TLS failure; vxm cannot continue\n");
  threadctl_active = saved;
}

}  // namespace
