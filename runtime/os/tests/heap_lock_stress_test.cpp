// The heap-ownership lock under real threads: never two owners, no lost
// wake-up, a killed thread does not hold the others back, and the freeze
// never swallows the thaw. Each run is bounded by a watchdog that reports
// the queue, the holds, the owner and the newest log entries.
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "runtime/os/heap_ownership.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/tests/heap_lock_fixture.h"
#include "testing/emulation.h"
#include "testing/watchdog.h"

namespace heap_lock_test {
namespace {

using lisp::makeFixnum;
using namespace std::chrono_literals;

// The watchdogs catch a hang, not slowness: under the emulator on a loaded
// machine a stress run takes over a minute (the park-and-thaw run did, beside
// three builds), so the limit stays below the test's own time limit only.
constexpr auto kHangLimit = 240s;

// Platform threads, each running body(i); joins them all.
class Threads {
 public:
  Threads(int count, std::function<void(int)> body) : body_(std::move(body)) {
    for (int i = 0; i < count; ++i) {
      starts_.push_back(std::make_unique<Start>(Start{this, i}));
      uint32_t handle = 0;
      EXPECT_EQ(create_os_thread(&Threads::run, starts_.back().get(), 0, nullptr, &handle), 0);
      handles_.push_back(handle);
    }
  }
  ~Threads() { join(); }
  void join() {
    for (uint32_t handle : handles_) {
      platform::waitForAny({&handle, 1}, platform::kWaitForever);
      platform::closeHandle(handle);
    }
    handles_.clear();
  }
  bool ended(int i) { return platform::waitForAny({&handles_[i], 1}, 0) == 0; }

 private:
  struct Start {
    Threads* owner;
    int index;
  };
  static uint32_t run(void* argument) {
    auto* start = static_cast<Start*>(argument);
    start->owner->body_(start->index);
    return 0;
  }
  std::function<void(int)> body_;
  std::vector<std::unique_ptr<Start>> starts_;
  std::vector<uint32_t> handles_;
};

// Widens the window between giving up the ready-queue lock and sleeping.
void jitter() {
  thread_local std::minstd_rand random(std::hash<std::thread::id>()(std::this_thread::get_id()));
  switch (random() % 8) {
    case 0: sched_yield(); break;
    case 1: for (int spin = 0; spin < 200; ++spin) asm volatile(""); break;
    default: break;
  }
}

class HeapLockStress : public HeapLock {
 protected:
  // Counts the threads inside the heap, apart from the lock's own words.
  std::atomic<int> inside{0};
  std::atomic<int> faults{0};

  void enter(int i) {
    if (inside.fetch_add(1) != 0) ++faults;
    if (vxm_thread_control.heapOwnerIndex != i) ++faults;
    if (tcp_that_owns_heap != records[i].raw()) ++faults;
  }
  void leave() { inside.fetch_sub(1); }

  void grab(int i) { vxm_grab_heap_control(records[i].raw()); }
  void releaseOffQueue(int i) { vxm_release_heap_for_sdcall_t(records[i].raw(), 1); }
};

// Eight threads with random priorities, each cycling through the plain
// release, the foreign-call release, a wait that others end (by open_lock or
// free_waiting_thread) and a freeze and thaw while it owns the heap.
TEST_F(HeapLockStress, EightThreadsNeverShareTheHeapAndNeverHang) {
  constexpr int kThreads = 8;
  // The emulator runs threads some ten times slower: fewer cycles there keep
  // the run well inside the watchdog's limit.
  const int cycles = testing_support::runningUnderEmulator() ? 4000 : 20000;
  testing_support::Watchdog watchdog("heap lock stress", kHangLimit, [&] { return describe(); });
  lisp::heap_lock::beforeSleepHook = jitter;
  std::minstd_rand seeds(12345);
  const lisp::lispval priorities[] = {nilval, makeFixnum(-1), makeFixnum(0), makeFixnum(0),
                                      makeFixnum(3), records[kRecords - 1].tagged()};
  std::vector<uint32_t> seedOf;
  for (int i = 0; i < kThreads; ++i) {
    records[i].at(tr::kPriority) = priorities[seeds() % std::size(priorities)];
    seedOf.push_back(seeds());
  }
  // Changed only by the heap owner.
  int active = kThreads;
  int waits = 0;
  std::set<int> waiting;

  auto wakeAll = [&] {
    free_waiting_thread(0);
    waiting.clear();
  };
  auto wakeOne = [&](std::minstd_rand& random) {
    auto it = waiting.begin();
    std::advance(it, random() % waiting.size());
    records[*it].at(tr::kState) = tr::kStateRunning;
    open_lock(*it);
    waiting.erase(it);
  };

  Threads threads(kThreads, [&](int i) {
    std::minstd_rand random(seedOf[i]);
    records[i].at(tr::kOsThreadId) = identify_os_thread();
    for (int cycle = 0; cycle < cycles; ++cycle) {
      grab(i);
      enter(i);
      records[i].at(tr::kState) = tr::kStateRunning;
      if (!waiting.empty() && random() % 4 == 0) {
        if (random() % 2)
          wakeOne(random);
        else
          wakeAll();
      }
      switch (random() % 4) {
        case 0:
          leave();
          vxm_release_heap_t(0, 1);
          break;
        case 1:
          leave();
          releaseOffQueue(i);
          break;
        case 2:
          if (active - static_cast<int>(waiting.size()) >= 2) {
            waiting.insert(i);
            ++waits;
            records[i].at(tr::kState) = tr::kStateWaitingForWake;
            leave();
            relinquish_heap_and_wait(records[i].raw(), 0);
            enter(i);
          }
          leave();
          vxm_release_heap_t(0, 1);
          break;
        default:
          freeze_vxm_heap();
          jitter();
          thaw_vxm_heap();
          leave();
          vxm_release_heap_t(0, 1);
          break;
      }
    }
    grab(i);
    enter(i);
    --active;
    if (!waiting.empty() && static_cast<int>(waiting.size()) >= active) wakeAll();
    leave();
    releaseOffQueue(i);
  });
  threads.join();
  EXPECT_EQ(faults, 0) << describe();
  EXPECT_GT(waits, kThreads * cycles / 100) << "the waits were exercised";
  EXPECT_EQ(vxm_thread_control.heapHolds, 0u);
  EXPECT_EQ(vxm_thread_control.freezeCount, 0);
  EXPECT_TRUE(readyOrder().empty());
}

// A thread killed while it waits for the heap ends at its next re-grab; the
// three others keep cycling and end.
TEST_F(HeapLockStress, AKilledThreadEndsAndTheOthersKeepCycling) {
  constexpr int kCycles = 3000;
  testing_support::Watchdog watchdog("killed thread", kHangLimit, [&] { return describe(); });
  lisp::heap_lock::beforeSleepHook = jitter;
  std::atomic<int> finished{0};
  std::atomic<bool> killed{false};
  Threads threads(4, [&](int i) {
    records[i].at(tr::kOsThreadId) = identify_os_thread();
    // Record 0 cycles until it is killed.
    for (int cycle = 0; i == 0 || cycle < kCycles; ++cycle) {
      vxm_reacquire_heap_2(records[i].raw());  // a killed thread ends here
      enter(i);
      if (i == 1 && cycle == kCycles / 3) {
        records[0].at(tr::kKillRequest) = 1;
        killed = true;
      }
      leave();
      if (cycle % 2)
        vxm_release_heap_t(0, 1);
      else
        releaseOffQueue(i);
    }
    vxm_reacquire_heap_2(records[i].raw());
    ++finished;
    releaseOffQueue(i);
  });
  ASSERT_TRUE([&] {
    const auto end = std::chrono::steady_clock::now() + 55s;
    while (!threads.ended(0))
      if (std::chrono::steady_clock::now() > end) return false;
      else std::this_thread::sleep_for(1ms);
    return true;
  }()) << describe();
  threads.join();
  EXPECT_TRUE(killed);
  EXPECT_EQ(records[0].at(tr::kState), tr::kStateKilled);
  EXPECT_EQ(records[0].at(tr::kQueueNext), nilval) << "the dead record left the ready queue";
  EXPECT_EQ(records[0].at(tr::kWakeEvent), 0u) << "closed and forgotten";
  EXPECT_EQ(vxm_thread_control.lispThreadCount, uint32_t{kRecords - 1});
  EXPECT_EQ(finished, 3) << "record 0 was killed before it finished";
  EXPECT_EQ(faults, 0);
  EXPECT_TRUE(readyOrder().empty());
}

// An owner that freezes and thaws while grabbers of higher priority go ahead
// of it and find the heap frozen: every park ends. Every eighth freeze is held
// until a grabber has parked on it, or until none can: each grabber still
// cycling already passed the freeze check and waits for the heap mutex. The
// grabbers' first grab waits for the first freeze, so that one is parked on.
TEST_F(HeapLockStress, ParkAndThawRacesEnd) {
  constexpr int kCycles = 10000;
  constexpr int kGrabbers = 2;
  testing_support::Watchdog watchdog("park and thaw", kHangLimit, [&] { return describe(); });
  lisp::heap_lock::beforeSleepHook = jitter;
  records[1].at(tr::kPriority) = records[2].at(tr::kPriority) = makeFixnum(1);
  std::atomic<int> grabbersCycling{kGrabbers};
  std::atomic<bool> frozenOnce{false};
  int parkedOn = 0;  // freezes a grabber parked on; owner only

  // Called by the owner while it holds the freeze; true once a grabber parked.
  auto holdUntilParkedOn = [&] {
    for (;;) {
      lock_lisp_ready_queue();
      const bool parked = vxm_thread_control.parkedThread != 0;
      const int waitingForMutex = static_cast<int>(vxm_thread_control.heapHolds) - 1;
      unlock_lisp_ready_queue();
      if (parked) return true;
      if (waitingForMutex >= grabbersCycling) return false;
      sched_yield();
    }
  };

  Threads threads(1 + kGrabbers, [&](int i) {
    records[i].at(tr::kOsThreadId) = identify_os_thread();
    if (i != 0)
      while (!frozenOnce) sched_yield();
    for (int cycle = 0; cycle < kCycles; ++cycle) {
      grab(i);
      enter(i);
      if (i == 0) {
        freeze_vxm_heap();
        frozenOnce = true;
        for (int pause = 0; pause < 3; ++pause) sched_yield();
        if (cycle % 8 == 0 && holdUntilParkedOn()) ++parkedOn;
        thaw_vxm_heap();
        leave();
        vxm_release_heap_t(0, 1);
      } else {
        leave();
        releaseOffQueue(i);
      }
    }
    grab(i);
    releaseOffQueue(i);
    if (i != 0) --grabbersCycling;
  });
  threads.join();
  EXPECT_EQ(faults, 0);
  EXPECT_EQ(vxm_thread_control.freezeCount, 0);
  EXPECT_EQ(vxm_thread_control.parkedThread, 0u);
  EXPECT_GT(parkedOn, 0) << "the first freeze was parked on";
}

}  // namespace
}  // namespace heap_lock_test
