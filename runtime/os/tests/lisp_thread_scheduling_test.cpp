// Lisp threads on real OS threads handing the heap to each other: yields
// between runnable threads, every way a thread ends and what its end leaves
// on the clock queue, and the waits that take a thread out of Lisp. The
// threads' bodies call the thread operations as Lisp code does; every test is
// bounded by a watchdog.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/os/pending_events.h"
#include "runtime/os/runtime_clock.h"
#include "runtime/os/tests/lisp_thread_fixture.h"
#include "runtime/os/thread_operations.h"
#include "runtime/os/thread_start.h"
#include "runtime/rs/catch_frame_layout.h"

namespace {

using namespace lisp_thread_test;
namespace to = lisp::thread_ops;

constexpr int32_t kYield = 23;
constexpr int32_t kThreadExit = 5;
constexpr int32_t kGeneralWait = 14;
constexpr int32_t kProcessInterrupts = 17;
constexpr int32_t kUnwait = 18;

void threadOperation(uint32_t* self, int32_t code, lispval argument = nilval) {
  c_thread_operation(tagged(self), argument, makeFixnum(code), nilval);
}

// The clock queue's alarm is left alone: the tests read the queue itself.
int32_t noAlarmOn(int32_t, int32_t) {
  return 0;
}
void noAlarmOff() {}

// A list cell in test memory.
struct CellInMemory {
  alignas(8) uint32_t words[2] = {};
  lispval tagged() { return lisp::pointerWord(address(words), lisp::Tag::Cons); }
};

// A clock entry whose action interrupts `thread`: its cell holds the pair
// (kind . datum) with a kind that is neither nil nor 0.
struct InterruptEntry {
  ClockEntryInMemory entry;
  CellInMemory cell, pair;
  InterruptEntry(lispval thread, int32_t dueSeconds) { aim(thread, dueSeconds); }
  InterruptEntry() = default;
  void aim(lispval thread, int32_t dueSeconds) {
    pair.words[0] = makeFixnum(7);
    pair.words[1] = nilval;
    cell.words[0] = pair.tagged();
    cell.words[1] = nilval;
    entry.at(tr::kQueueNext) = entry.at(tr::kQueuePrevious) = nilval;
    entry.at(to::kDueSeconds) = makeFixnum(dueSeconds);
    entry.at(to::kDueMilliseconds) = makeFixnum(0);
    entry.at(to::kClockAction) = cell.tagged();
    entry.at(to::kClockThread) = thread;
  }
  lispval tagged() { return entry.tagged(); }
  bool linked() { return entry.at(tr::kQueueNext) != nilval; }
};

// A time-slice entry (kind nil) in test memory, due `dueSeconds`.
struct SliceEntry {
  ClockEntryInMemory entry;
  CellInMemory cell, pair;
  void aim(int32_t dueSeconds) {
    pair.words[0] = pair.words[1] = nilval;
    cell.words[0] = pair.tagged();
    cell.words[1] = nilval;
    entry.at(tr::kQueueNext) = entry.at(tr::kQueuePrevious) = nilval;
    entry.at(to::kDueSeconds) = makeFixnum(dueSeconds);
    entry.at(to::kDueMilliseconds) = makeFixnum(0);
    entry.at(to::kClockAction) = cell.tagged();
    entry.at(to::kClockThread) = nilval;
  }
  lispval tagged() { return entry.tagged(); }
};

lispval noTypeFunction(lispval, lispval*, uint32_t) {
  return nilval;
}

// The Lisp callback of the wait-in-a-callback test.
std::function<uint32_t()> g_callbackBody;
uint32_t callbackBody(uint32_t, int32_t) {
  return g_callbackBody();
}

class LispThreadScheduling : public ThreadStart {
 protected:
  void SetUp() override {
    ThreadStart::SetUp();
    to::services().alarmOn = noAlarmOn;
    to::services().alarmOff = noAlarmOff;
  }
  void TearDown() override {
    to::setRuntimeGlobal(to::global::kClockQueueHeader, 0);
    to::resetServices();
    ThreadStart::TearDown();
  }

  // An empty clock queue headed by clockHeader_.
  void useEmptyClockQueue() {
    clockHeader_.at(tr::kQueueNext) = clockHeader_.at(tr::kQueuePrevious) = clockHeader_.tagged();
    clockHeader_.at(to::kDueSeconds) = clockHeader_.at(to::kDueMilliseconds) = makeFixnum(0);
    to::setRuntimeGlobal(to::global::kClockQueueHeader, clockHeader_.tagged());
  }
  bool clockQueueEmpty() {
    return clockHeader_.at(tr::kQueueNext) == clockHeader_.tagged() &&
           clockHeader_.at(tr::kQueuePrevious) == clockHeader_.tagged();
  }
  static int32_t laterSeconds() {
    return static_cast<int32_t>(lisp::os::runtimeClock().seconds) + 1000;
  }

  // A new runnable thread whose own clock entry (slot 20) is `own`, due
  // later and interrupting it.
  uint32_t* newThreadWithClockEntry(InterruptEntry& own) {
    uint32_t* record = newRunnableThread();
    own.aim(tagged(record), laterSeconds());
    lisp::wordAt(tagged(record), to::kClockEntry) = own.tagged();
    return record;
  }

  // A new record that may run once started: a run list, no hold list, no
  // wait function.
  uint32_t* newRunnableThread() {
    uint32_t* record = newLispThread();
    lisp::wordAt(tagged(record), to::kRunList) = makeFixnum(1);
    return record;
  }

  static std::vector<uint32_t*> readyRecords() {
    std::vector<uint32_t*> records;
    lisp::registry::lockReadyQueue();
    uint32_t* header = ready_thread_header_aligned;
    for (lispval at = word(header, tr::kQueueNext); at != tagged(header) && records.size() < 100;
         at = lisp::wordAt(at, tr::kQueueNext))
      records.push_back(lisp::registry::rawRecord(at));
    lisp::registry::unlockReadyQueue();
    return records;
  }

  // New heaps and registry after a test gave them back, as the fixture's
  // set-up makes them, for the tear-down and the next round.
  void renewHeaps() {
    lisp::registry::forgetRegistry();
    gc_test::forgetHeaps();
    ASSERT_EQ(setup_heaps(0, 0, 0, 0, 0, 0), 1);
    {
      const testing_support::ConsoleRecorder console;
      GsInit(oldSize_, newSize_, gc_test::kSpread, 0);
    }
    initialize_thread_registry(0);
    first_ = vxm_thread_control.registryTable[0];
    lisp::heap_lock::releaseOffQueue(first_, 0, 0);
    to::services().alarmOn = noAlarmOn;
    to::services().alarmOff = noAlarmOff;
  }

  ClockEntryInMemory clockHeader_;
};

// ---- yielding ----

// Each thread takes its turns, yielding after each, and then yields on until
// every thread has had all of its turns. Whoever holds the heap sees every
// thread that has not ended on the ready queue: a yielding thread stays there.
TEST_F(LispThreadScheduling, RunnableThreadsYieldingToEachOtherAllKeepRunning) {
  constexpr int kTurns = 40;
  for (const int threads : {2, 3}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    testing_support::Watchdog watchdog("yielding threads", 60s, [&] { return describe(); });
    std::vector<uint32_t*> records;
    for (int i = 0; i < threads; ++i) records.push_back(newRunnableThread());
    std::array<std::atomic<int>, 3> turns{};
    std::atomic<int> started{0}, ended{0}, missing{0};
    const auto allDone = [&] {
      for (int i = 0; i < threads; ++i)
        if (turns[i] < kTurns) return false;
      return true;
    };
    g_lispBody = [&](uint32_t* self) {
      const auto me = std::find(records.begin(), records.end(), self) - records.begin();
      ++started;
      while (started < threads) threadOperation(self, kYield);
      while (!allDone()) {
        if (readyRecords().size() != static_cast<size_t>(threads - ended)) ++missing;
        if (turns[me] < kTurns) ++turns[me];
        threadOperation(self, kYield);
      }
      ++ended;
    };
    const uint32_t sequence = mplog_sequence;
    for (uint32_t* record : records) ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
    ASSERT_TRUE(eventually([&] {
      return logged(sequence, ev::kLispThreadExit).size() == static_cast<size_t>(threads);
    })) << describe();
    for (int i = 0; i < threads; ++i) EXPECT_EQ(turns[i], kTurns) << "thread " << i;
    EXPECT_EQ(missing, 0) << "a thread that had not ended was off the ready queue";
    EXPECT_TRUE(readyRecords().empty());
    g_lispBody = nullptr;
  }
}

// ---- slicing by clock ticks ----

// Threads whose slices end by clock ticks all get their turns: each round a
// thread's own slice entry falls due while it runs, and processing its
// interrupts then reschedules it. The tick marks the running thread, not
// one that waits for the heap at the head of the ready queue. The resume
// queues the entry again with its old due time (due at once): that tick
// counts once. A thread that runs on alone ends the test at the cap.
TEST_F(LispThreadScheduling, ThreadsSlicingByClockTicksAllGetTheirTurns) {
  constexpr int kTurns = 30;
  constexpr int kCap = 3000;  // turns of one thread while another had too few
  to::services().callTypeFunction = noTypeFunction;
  for (const int threads : {3, 4}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    testing_support::Watchdog watchdog("slicing threads", 120s, [&] { return describe(); });
    useEmptyClockQueue();
    const int32_t past = static_cast<int32_t>(lisp::os::runtimeClock().seconds) - 1;
    std::vector<uint32_t*> records;
    std::array<SliceEntry, 4> slices;
    for (int i = 0; i < threads; ++i) {
      records.push_back(newRunnableThread());
      slices[i].aim(past);
      lisp::wordAt(tagged(records[i]), to::kClockEntry) = slices[i].tagged();
    }
    std::array<std::atomic<int>, 4> turns{};
    std::atomic<int> started{0};
    std::atomic<bool> stop{false};
    const auto over = [&] {
      bool all = true;
      for (int i = 0; i < threads; ++i) {
        if (turns[i] >= kCap) return true;
        all = all && turns[i] >= kTurns;
      }
      return all;
    };
    g_lispBody = [&](uint32_t* self) {
      const auto me = std::find(records.begin(), records.end(), self) - records.begin();
      ++started;
      while (started < threads) threadOperation(self, kYield);
      while (!stop) {
        ++turns[me];
        if (over()) stop = true;
        add_to_clock_queue(slices[me].tagged());  // due: the slice ends
        threadOperation(self, kProcessInterrupts);
      }
      remove_from_clock_queue(slices[me].tagged());
      lisp::wordAt(tagged(self), to::kClockEntry) = nilval;
    };
    const uint32_t sequence = mplog_sequence;
    for (uint32_t* record : records) ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
    ASSERT_TRUE(eventually(
        [&] {
          return logged(sequence, ev::kLispThreadExit).size() == static_cast<size_t>(threads);
        },
        100s))
        << describe();
    for (int i = 0; i < threads; ++i) EXPECT_GE(turns[i], kTurns) << "thread " << i;
    g_lispBody = nullptr;
  }
}

// ---- callbacks ----

// A thread called back from its foreign call runs Lisp: a general wait it
// makes in the callback (operation 14) is ended by an unwait (operation 18)
// from another thread, the callback returns to the foreign call, and the
// thread is out in the foreign call again.
TEST_F(LispThreadScheduling, AWaitInsideANativeCallbackIsEndedByAnUnwait) {
  testing_support::Watchdog watchdog("wait in a callback", 60s, [&] { return describe(); });
  uint32_t* record = newRunnableThread();
  word(record, to::kRetestFlag) = nilval;
  ts::services().callCallback = callbackBody;
  std::atomic<uint32_t> stateInCallback{0}, stateAfterCallback{0}, result{0};
  std::atomic<bool> returned{false};
  g_callbackBody = [&] {
    uint32_t* self = callerRecord();
    stateInCallback = word(self, tr::kState);
    c_thread_operation(tagged(self), makeFixnum(1), makeFixnum(kGeneralWait), nilval);
    return 7u;
  };
  g_lispBody = [&](uint32_t* self) {
    vxm_release_heap_for_sdcall_t(self, 0);  // out into a foreign call, which calls back
    uint32_t argument = 0;
    result = acquire_heap_around_lisp_call(address(&argument), 1);
    stateAfterCallback = word(self, tr::kState);
    vxm_reacquire_heap();
    returned = true;
  };
  const uint32_t sequence = mplog_sequence;
  ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
  ASSERT_TRUE(eventually([&] {
    return word(record, to::kWaitFunction) != nilval && vxm_thread_control.heapOwnerIndex < 0;
  })) << describe();
  EXPECT_EQ(stateInCallback, tr::kStateRunning);

  vxm_grab_heap_control(first_);
  c_thread_operation(tagged(first_), tagged(record), makeFixnum(kUnwait), nilval);
  lisp::heap_lock::releaseOffQueue(first_, 0, 0);
  EXPECT_TRUE(eventually([&] { return returned.load(); })) << "state " << word(record, tr::kState);
  EXPECT_EQ(result, 7u);
  EXPECT_EQ(stateAfterCallback, tr::kStateInForeignCall);
  ASSERT_TRUE(eventually([&] { return !logged(sequence, ev::kLispThreadExit).empty(); }))
      << describe();
  g_lispBody = nullptr;
  g_callbackBody = nullptr;
}

// ---- ending ----

enum class Exit { Return, OperationFive, Kill, ExitHook };

// Each way a Lisp thread ends: the thread had put its own clock entry (slot
// 20) on the clock queue, due later. Once it has ended the queue holds no
// entry of it, and running the queue with an entry that interrupts it readies
// nothing: an ended thread on the ready queue would hold every thread behind
// it back.
TEST_F(LispThreadScheduling,
       EveryWayAThreadEndsTakesItsClockEntryOffAndTheQueueReadiesNothingEnded) {
  const struct {
    const char* what;
    Exit exit;
  } cases[] = {
      {"its start function returns", Exit::Return},
      {"operation 5", Exit::OperationFive},
      {"a kill", Exit::Kill},
      {"the launcher's exit hook", Exit::ExitHook},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::Watchdog watchdog("thread exits", 30s, [&] { return describe(); });
    useEmptyClockQueue();
    InterruptEntry own;
    uint32_t* record = newThreadWithClockEntry(own);
    std::atomic<bool> queued{false}, killed{false};
    int32_t doneFlag = 0;
    g_lispBody = [&](uint32_t* self) {
      add_to_clock_queue(own.tagged());
      queued = true;
      switch (c.exit) {
        case Exit::Return:
          return;
        case Exit::OperationFive:
          threadOperation(self, kThreadExit);
          break;
        case Exit::Kill:
          while (!killed) std::this_thread::sleep_for(1ms);
          lisp::heap_lock::releaseOffQueue(self, 0, 0);
          vxm_reacquire_heap_2(self);
          break;
        case Exit::ExitHook:
          vxm_thread_exit(0, &doneFlag, 0);
      }
      ADD_FAILURE() << "the thread came back from its end";
    };
    const uint32_t sequence = mplog_sequence;
    ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
    ASSERT_TRUE(eventually([&] { return queued.load(); })) << describe();
    if (c.exit == Exit::Kill) {
      kill_os_thread(tagged(record));
      killed = true;
    }
    ASSERT_TRUE(eventually([&] { return !logged(sequence, ev::kLispThreadExit).empty(); }))
        << describe();

    vxm_grab_heap_control(first_);  // the clock queue is run by Lisp code
    EXPECT_TRUE(clockQueueEmpty()) << "the thread's entry is off the queue";
    EXPECT_FALSE(own.linked());
    InterruptEntry other(tagged(record), 0);
    add_to_clock_queue(other.tagged());  // due at once: the queue runs it
    EXPECT_FALSE(other.linked()) << "it was due";
    const std::vector<uint32_t*> ready = readyRecords();
    EXPECT_EQ(std::count(ready.begin(), ready.end(), record), 0) << "an ended thread was readied";
    lisp::heap_lock::releaseOffQueue(first_, 0, 0);
    g_lispBody = nullptr;
  }
}

// ---- foreign calls ----

std::atomic<int> g_interruptsApplied{0};
lispval countingApply(lispval, lispval, lispval*, uint32_t) {
  ++g_interruptsApplied;
  return nilval;
}

// A thread out in a semi-direct foreign call: its clock entry falls due
// meanwhile and schedules an interrupt into it. Coming back through the
// native re-acquire it runs the interrupt and its clock entry is queued
// again, as after any resume.
TEST_F(LispThreadScheduling, ASemiDirectCallWhoseEntryFiredComesBackWithTheEntryQueued) {
  testing_support::Watchdog watchdog("foreign call", 30s, [&] { return describe(); });
  to::services().apply = countingApply;
  g_interruptsApplied = 0;
  useEmptyClockQueue();
  InterruptEntry own;
  uint32_t* record = newThreadWithClockEntry(own);
  std::atomic<bool> out{false}, back{false}, linkedAfter{false};
  std::atomic<int> appliedAfter{-1};
  g_lispBody = [&](uint32_t*) {
    add_to_clock_queue(own.tagged());
    vxm_release_heap_for_sdcall(0);
    out = true;
    while (!back) std::this_thread::sleep_for(1ms);
    vxm_reacquire_heap();
    linkedAfter = own.linked();
    appliedAfter = g_interruptsApplied.load();
  };
  const uint32_t sequence = mplog_sequence;
  ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
  ASSERT_TRUE(eventually([&] { return out.load(); })) << describe();
  vxm_grab_heap_control(first_);
  own.entry.at(to::kDueSeconds) = makeFixnum(0);  // its slice fires
  op_arm_clock_queue(0);
  EXPECT_FALSE(own.linked());
  own.entry.at(to::kDueSeconds) = makeFixnum(laterSeconds());
  lisp::heap_lock::releaseOffQueue(first_, 0, 0);
  back = true;
  ASSERT_TRUE(eventually([&] { return !logged(sequence, ev::kLispThreadExit).empty(); }))
      << describe();
  EXPECT_EQ(appliedAfter, 1) << "the pending interrupt ran";
  EXPECT_TRUE(linkedAfter) << "the clock entry is queued again";
}

// ---- waits out of Lisp ----

// A thread waiting in wait_os_event keeps a list cell of new space in a catch
// frame on its stack. Another thread takes the heap and runs a scavenge,
// which copies the cell: the waiting thread's frame must name the copy.
TEST_F(LispThreadScheduling, ACollectionWhileAThreadWaitsOnAnOsEventUpdatesItsFrames) {
  testing_support::Watchdog watchdog("collection beside a wait", 60s, [&] { return describe(); });
  uint32_t* record = newRunnableThread();
  const uint32_t event = allocate_os_lock(1);
  constexpr lispval kMarker = makeFixnum(4711);
  std::atomic<uint32_t*> frame{nullptr};
  std::atomic<uint32_t> waited{99};
  g_lispBody = [&](uint32_t* self) {
    const uint32_t cell = cons_from_new_page();
    gc_test::at(cell) = kMarker;
    gc_test::at(cell + 4) = nilval;
    alignas(8) uint32_t catchFrame[CATCH_FRAME_BYTES / 4] = {};  // the cons as its tag
    catchFrame[CATCH_TAG / 4] = lisp::pointerWord(cell, lisp::Tag::Cons);
    word(self, tr::kCatchChain) = address(catchFrame);
    frame = catchFrame;
    waited = wait_os_event(event);
    word(self, tr::kCatchChain) = 0;
    frame = nullptr;
  };
  const uint32_t sequence = mplog_sequence;
  ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
  ASSERT_TRUE(eventually([&] { return frame.load() != nullptr; })) << describe();
  const lispval before = frame.load()[CATCH_TAG / 4];
  vxm_grab_heap_control(first_);  // granted once the thread waits without the heap
  scavenge(0);
  const lispval after = frame.load()[CATCH_TAG / 4];
  lisp::heap_lock::releaseOffQueue(first_, 0, 0);
  vxm_open_lock(event);
  ASSERT_TRUE(eventually([&] { return !logged(sequence, ev::kLispThreadExit).empty(); }))
      << describe();
  EXPECT_NE(after, before) << "the scavenge copied the cell and updated the frame";
  ASSERT_TRUE(lisp::isCons(after));
  EXPECT_EQ(lisp::car(after), kMarker);
  EXPECT_EQ(waited, 0u);
  free_os_lock(event);
}

// A thread in the I/O wait (a general wait on descriptors) is woken by a
// finished descriptor it waits on, by name or by -1, and by nothing else.
TEST_F(LispThreadScheduling, TheDescriptorWakeUpsReachAThreadInTheIoWait) {
  const struct {
    const char* what;
    int32_t descriptor;
    bool wakes;
  } cases[] = {
      {"its descriptor", 12, true},
      {"any descriptor (-1)", -1, true},
      {"another descriptor", 13, false},
      {"none (0), outside a scavenge", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::Watchdog watchdog("I/O wait", 30s, [&] { return describe(); });
    uint32_t* record = newRunnableThread();
    CellInMemory waitList;
    waitList.words[0] = makeFixnum(12);
    waitList.words[1] = nilval;
    word(record, tr::kDescriptorWaitList) = waitList.tagged();
    word(record, to::kWaitKind) = to::kWaitWithDescriptors;
    std::atomic<int> returned{0};
    g_lispBody = [&](uint32_t* self) {
      relinquish_heap_io_wait(tagged(self));
      ++returned;
    };
    const uint32_t sequence = mplog_sequence;
    ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
    ASSERT_TRUE(eventually([&] { return word(record, tr::kIoWaitMarker) != 0; })) << describe();
    const uint32_t waitingState = word(record, tr::kState);
    free_waiting_thread(c.descriptor);
    if (c.wakes) {
      EXPECT_TRUE(eventually([&] { return returned == 1; }, 10s)) << "state " << waitingState;
    } else {
      std::this_thread::sleep_for(300ms);
      EXPECT_EQ(returned, 0);
      free_waiting_thread(12);
    }
    ASSERT_TRUE(eventually([&] { return !logged(sequence, ev::kLispThreadExit).empty(); }))
        << describe();
    g_lispBody = nullptr;
  }
}

// A connect that finishes while a thread waits for I/O on its socket wakes
// the thread (and opens the entry's gate).
TEST_F(LispThreadScheduling, AFinishedConnectWakesItsWaiterInTheIoWait) {
  testing_support::Watchdog watchdog("connect waiter", 30s, [&] { return describe(); });
  constexpr int32_t kSocket = 12;
  uint32_t* record = newRunnableThread();
  CellInMemory waitList;
  waitList.words[0] = makeFixnum(kSocket);
  waitList.words[1] = nilval;
  word(record, tr::kDescriptorWaitList) = waitList.tagged();
  word(record, to::kWaitKind) = to::kWaitWithDescriptors;
  alignas(8) uint32_t gate[2] = {0, 0};
  const int32_t index =
      lisp::os::createPendingEvent(lisp::os::kPendingConnect, kSocket, address(gate));
  std::atomic<bool> returned{false};
  g_lispBody = [&](uint32_t* self) {
    relinquish_heap_io_wait(tagged(self));
    returned = true;
  };
  const uint32_t sequence = mplog_sequence;
  ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
  ASSERT_TRUE(eventually([&] { return word(record, tr::kIoWaitMarker) != 0; })) << describe();
  EXPECT_TRUE(lisp::os::finishPendingConnect(kSocket, 0));
  EXPECT_TRUE(eventually([&] { return returned.load(); }, 10s)) << describe();
  EXPECT_EQ(gate[0], 1u) << "the entry's gate is open";
  if (!returned) free_waiting_thread(-1);
  ASSERT_TRUE(eventually([&] { return !logged(sequence, ev::kLispThreadExit).empty(); }))
      << describe();
  lisp::os::dropPendingEvent(index);
}

// ---- the heaps given back ----

// The Lisp ends while a thread waits for I/O and its heaps are given back;
// the waiter's event fires afterwards. It leaves (its OS thread ends)
// without writing into the freed heaps. Also when it was woken just before:
// holding the heap, or waiting for it behind another Lisp thread that holds
// it. Giving the heaps back waits for neither (a holder may never give the
// heap up, or wait for the console thread that gives them back): the heaps
// stay, and the waiter's next I/O wait finds the Lisp gone.
enum class Woken { AfterTheHeapsWent, HoldingTheHeap, BehindAHolder };

TEST_F(LispThreadScheduling, AnIoWaiterWokenAfterTheHeapsAreGivenBackLeavesWithoutAWord) {
  for (const Woken woken :
       {Woken::AfterTheHeapsWent, Woken::HoldingTheHeap, Woken::BehindAHolder}) {
    SCOPED_TRACE("case " + std::to_string(static_cast<int>(woken)));
    testing_support::Watchdog watchdog("I/O waiter at the end", 90s, [&] { return describe(); });
    const bool wokenBefore = woken != Woken::AfterTheHeapsWent;
    uint32_t* record = newRunnableThread();
    uint32_t* holder = woken == Woken::BehindAHolder ? newRunnableThread() : nullptr;
    word(record, to::kWaitKind) = to::kWaitWithDescriptors;
    std::atomic<int> woke{0};
    std::atomic<bool> goOn{false}, holds{false};
    g_lispBody = [&](uint32_t* self) {
      if (self == holder) {
        holds = true;
        while (!goOn) std::this_thread::sleep_for(1ms);
        return;
      }
      relinquish_heap_io_wait(tagged(self));
      ++woke;
      while (!goOn) std::this_thread::sleep_for(1ms);
      relinquish_heap_io_wait(tagged(self));
      ++woke;
    };
    ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
    ASSERT_TRUE(eventually([&] { return word(record, tr::kIoWaitMarker) != 0; })) << describe();
    const uint32_t wakeEvent = word(record, tr::kWakeEvent);
    const uint32_t thread = word(record, tr::kOsThreadHandle);
    const uint32_t sequence = mplog_sequence;
    if (holder) {
      ASSERT_EQ(start_vxm_thread(tagged(holder)), nilval);
      ASSERT_TRUE(eventually([&] { return holds.load(); })) << describe();
      vxm_open_lock(wakeEvent);
      ASSERT_TRUE(eventually([&] { return word(record, tr::kIoWaitMarker) == 0; })) << describe();
    } else if (wokenBefore) {
      vxm_open_lock(wakeEvent);
      ASSERT_TRUE(eventually([&] { return woke == 1; })) << describe();
    }
    std::atomic<bool> heapsGone{false};
    std::thread console([&] {
      free_heaps(0);
      heapsGone = true;
    });
    if (wokenBefore) {
      EXPECT_TRUE(eventually([&] { return heapsGone.load(); }, 30s))
          << "giving the heaps back waited for a Lisp thread" << describe();
      EXPECT_NE(lisp_heap.base, 0u) << "the heaps went under a Lisp thread";
      goOn = true;
    } else {
      while (!heapsGone) std::this_thread::sleep_for(1ms);
      vxm_open_lock(wakeEvent);
    }
    const platform::Handle handles[] = {thread};
    EXPECT_EQ(platform::waitForAny(handles, platform::kWaitForever), 0) << "the waiter ended";
    if (holder)
      EXPECT_TRUE(eventually([&] { return !logged(sequence, ev::kLispThreadExit).empty(); }))
          << "the holder ended" << describe();
    console.join();
    EXPECT_EQ(woke, wokenBefore ? 1 : 0) << "the waiter went on after the heaps went";
    free_heaps(0);  // the heaps kept for the Lisp threads, now that they have ended
    g_lispBody = nullptr;
    renewHeaps();
  }
}

}  // namespace
