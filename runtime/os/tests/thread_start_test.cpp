// Lisp threads started on real OS threads over a laid-out heap and a set-up
// registry, their exit, callbacks into Lisp from native and from Lisp
// threads, the launcher's exit hook, and the thread test hook. The Lisp
// start function and the Lisp callbacks are recording stand-ins; the start
// function does what the Lisp side does for an immigrant record (thread
// operation 26). Every test is bounded by a watchdog.
#include "runtime/os/thread_start.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "runtime/os/tests/lisp_thread_fixture.h"

namespace {

using namespace lisp_thread_test;

// ---- starting a Lisp thread ----

TEST_F(ThreadStart, AStartedThreadRunsItsStartFunctionWithAFreshBindingStateAndFreesItsRecord) {
  testing_support::Watchdog watchdog("thread life", 30s, [&] { return describe(); });
  uint32_t* record = newLispThread();
  const auto index = word(record, tr::kRegistryIndex);
  const uint32_t sequence = mplog_sequence;
  runToTheEnd(record);

  const StartSeen& s = g_start;
  EXPECT_EQ(s.runs, 1);
  EXPECT_EQ(s.record, address(record));
  EXPECT_TRUE(s.sawItsOwnRecord);
  EXPECT_EQ(s.state, tr::kStateRunning);
  EXPECT_EQ(s.heapOwner, static_cast<int32_t>(index));
  EXPECT_TRUE(lisp::isFixnum(s.osIdSlot) && s.osIdSlot != makeFixnum(0));
  EXPECT_EQ(s.bindingTop, 0u);
  EXPECT_EQ(s.bindingRoom, ts::kBindingStackRoom);
  EXPECT_EQ(s.specialFill, 0u);
  EXPECT_EQ(s.word65, 0u);
  EXPECT_EQ(s.catchChain, 0u);
  EXPECT_EQ(s.leafCallStack, nilval);
  EXPECT_EQ(s.clinkHead, tr::kEmptyClinkChain);
  EXPECT_EQ(s.skipStackScan, 0);
  EXPECT_NE(s.stackBase, 0u);
  // The stack limit lies in the thread's own stack, under its base.
  EXPECT_LT(s.stackLimit, s.stackBase);
  EXPECT_GT(s.stackLimit, s.stackBase - 64 * 1024 * 1024);
  EXPECT_EQ(s.startMarker, nilval);
  EXPECT_TRUE(lisp::isOther(s.bindingStack)) << "a 512-word direct sysvector";
  EXPECT_EQ(lisp::wordAt(s.bindingStack, -0x12) >> 8, 4u * 512 + 12);
  EXPECT_EQ(s.bindingElement, index + 1);
  EXPECT_EQ(s.bindingIndex, makeFixnum(static_cast<int32_t>(index) + 1));

  // The record is back on the available list; the count is the test thread's.
  EXPECT_TRUE(onAvailableList(record));
  EXPECT_EQ(word(record, tr::kState), tr::kStateDead);
  EXPECT_EQ(word(record, tr::kBindingStack), nilval) << "left to the collector";
  EXPECT_EQ(word(record, tr::kWakeEvent), 0u);
  EXPECT_EQ(word(record, tr::kOsThreadHandle), 0u);
  EXPECT_EQ(word(record, tr::kOsIdSlot), nilval);
  EXPECT_EQ(vxm_thread_control.lispThreadCount, 1u);
  EXPECT_EQ(lisp::heap_lock::readyHead(), nullptr);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, -2);
  const auto entries = loggedSince(sequence);
  const auto entry = std::find(entries.begin(), entries.end(), std::pair{ev::kLispThreadEntry, index});
  const auto exit = std::find(entries.begin(), entries.end(), std::pair{ev::kLispThreadExit, 1u});
  EXPECT_NE(entry, entries.end());
  EXPECT_NE(exit, entries.end());
  EXPECT_LT(entry, exit);
}

bool failCreation() {
  return true;
}

TEST_F(ThreadStart, AStartIsRefusedForANonRecordOrARecordThatIsNotNewAndUndoneWhenNoThreadCanBeMade) {
  testing_support::Watchdog watchdog("refused starts", 30s, [&] { return describe(); });
  uint32_t* record = newLispThread();
  constexpr uint32_t kNotARecord = 0xbad;
  struct Case {
    const char* what;
    lispval value;
    uint32_t state;
    lispval expected;
  } cases[] = {
      {"a fixnum", makeFixnum(4), kNotARecord, makeFixnum(-1)},
      {"nil", nilval, kNotARecord, makeFixnum(-1)},
      {"a running record", tagged(record), tr::kStateRunning, makeFixnum(-2)},
      {"a starting record", tagged(record), tr::kStateStarting, makeFixnum(-2)},
      {"a dead record", tagged(record), tr::kStateDead, makeFixnum(-2)},
  };
  for (const Case& c : cases) {
    if (c.state != kNotARecord) word(record, tr::kState) = c.state;
    EXPECT_EQ(start_vxm_thread(c.value), c.expected) << c.what;
    if (c.state != kNotARecord) {
      EXPECT_EQ(word(record, tr::kState), c.state) << c.what;
    }
  }

  word(record, tr::kState) = tr::kStateNew;
  platform::setThreadCreationFaultHook(failCreation);
  const lispval failed = start_vxm_thread(tagged(record));
  platform::setThreadCreationFaultHook(nullptr);
  EXPECT_TRUE(lisp::isFixnum(failed) && failed != makeFixnum(0)) << failed;
  EXPECT_EQ(word(record, tr::kState), tr::kStateNew);
  EXPECT_EQ(word(record, tr::kWakeEvent), 0u);
  EXPECT_EQ(word(record, tr::kSecondHandle), 0u);
  EXPECT_EQ(word(record, tr::kOsThreadId), 0u);

  // New again, it starts later; a second start meanwhile is refused.
  std::atomic<bool> release{false};
  g_lispBody = [&](uint32_t*) {
    while (!release) std::this_thread::sleep_for(1ms);
  };
  const uint32_t sequence = mplog_sequence;
  ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
  EXPECT_EQ(start_vxm_thread(tagged(record)), makeFixnum(-2));
  release = true;
  ASSERT_TRUE(eventually([&] { return !logged(sequence, ev::kLispThreadExit).empty(); }))
      << describe();
  EXPECT_EQ(g_start.runs, 1);
}

// ---- callbacks ----

struct NativeCaller {
  std::atomic<int> calls{0};
  std::vector<uint32_t> results;
};

TEST_F(ThreadStart, ANativeThreadCallingInBeforeMultiprocessingWaitsThenRegistersOnce) {
  testing_support::Watchdog watchdog("immigrant", 30s, [&] { return describe(); });
  const uint32_t sequence = mplog_sequence;
  std::vector<uint32_t> results;
  std::vector<uint32_t> states;
  std::atomic<bool> done{false};
  bool limitInItsStack = false;
  std::thread native([&] {
    for (uint32_t argument : {10u, 20u, 30u}) {
      results.push_back(acquire_heap_around_lisp_call(address(&argument), 5));
      states.push_back(word(callerRecord(), tr::kState));
    }
    const uint32_t limit = word(callerRecord(), tr::kStackLimit), here = address(&limit);
    limitInItsStack = limit < here && limit > here - 64 * 1024 * 1024;
    done = true;
  });
  std::this_thread::sleep_for(1s);
  EXPECT_FALSE(done) << "it waits for multiprocessing";
  EXPECT_EQ(g_callbacks, 0);
  EXPECT_EQ(mp_test_action(-4, 0), 0);
  ASSERT_TRUE(eventually([&] { return done.load(); })) << describe();
  native.join();
  EXPECT_EQ(results, (std::vector<uint32_t>{15, 25, 35}));
  EXPECT_EQ(states, (std::vector<uint32_t>(3, tr::kStateCallbackDone)));
  EXPECT_TRUE(limitInItsStack) << "its record's stack limit";
  EXPECT_EQ(logged(sequence, ev::kFirstCallback).size(), 1u);
  EXPECT_EQ(mp_test_action(-2, 0), 1) << "one immigrant";
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, -2) << "the heap is free again";
  EXPECT_EQ(lisp::heap_lock::readyHead(), nullptr);
  EXPECT_EQ(g_ownerFaults, 0);
  uint32_t* immigrant = vxm_thread_control.registryTable[logged(sequence, ev::kFirstCallback)[0].second];
  EXPECT_EQ(word(immigrant, tr::kCallbackFlag), 1u);
  EXPECT_EQ(word(immigrant, ts::kSlot18), makeFixnum(2));
  EXPECT_EQ(word(immigrant, ts::kSlot25), makeFixnum(1));
  EXPECT_EQ(word(immigrant, tr::kCallbackMarker), makeFixnum(1));
  EXPECT_EQ(word(immigrant, tr::kPriority), 0u);
}

TEST_F(ThreadStart, ALispThreadOutInAForeignCallOwnsTheHeapDuringItsCallbackAndReturnsInState14) {
  testing_support::Watchdog watchdog("native callback", 30s, [&] { return describe(); });
  // The test thread is the first Lisp thread; it goes out into a foreign call.
  vxm_grab_heap_control(first_);
  vxm_release_heap_for_sdcall_t(first_, 0);
  ASSERT_EQ(word(first_, tr::kState), tr::kStateInForeignCall);
  uint32_t argument = 7;
  EXPECT_EQ(acquire_heap_around_lisp_call(address(&argument), 2), 9u);
  EXPECT_EQ(g_callbacks, 1);
  EXPECT_EQ(g_ownerFaults, 0) << "it owned the heap during the callback";
  EXPECT_EQ(word(first_, tr::kState), tr::kStateInForeignCall);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, -2);
  EXPECT_EQ(lisp::heap_lock::readyHead(), nullptr);
  // A callback slot without a function reaches the missing-callback report.
  EXPECT_EQ(lisp_missing_stub_1(), kMissingCallbackResult);
  EXPECT_EQ(word(first_, tr::kState), tr::kStateInForeignCall);
}

TEST_F(ThreadStart, ACallbackOnTheHeapOwnerKeepsTheHeap) {
  testing_support::Watchdog watchdog("owner callback", 30s, [&] { return describe(); });
  vxm_grab_heap_control(first_);
  uint32_t argument = 40;
  EXPECT_EQ(acquire_heap_around_lisp_call(address(&argument), 2), 42u);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 0);
  EXPECT_EQ(word(first_, tr::kState), tr::kStateRunning);
  lisp::heap_lock::releaseOffQueue(first_, 0, 0);
}

// ---- ending ----

struct ExitRun {
  int32_t doneFlag = 0;
  uint32_t notify = 0;
  uint32_t* record = nullptr;
  bool registerFirst = true;
};

uint32_t exitingThread(void* argument) {
  auto& run = *static_cast<ExitRun*>(argument);
  if (run.registerFirst) {
    vxm_grab_heap();
    lisp::registry::lockReadyQueue();
    run.record = vxm_thread_control.registryTable[vxm_register_thread()];
    lisp::registry::unlockReadyQueue();
    vxm_release_heap();
    vxm_grab_heap_control(run.record);
  }
  vxm_thread_exit(3, &run.doneFlag, run.notify);
}

TEST_F(ThreadStart, TheExitHookEndsTheThreadWithItsStatusAndTellsTheWaiter) {
  testing_support::Watchdog watchdog("exit hook", 30s, [&] { return describe(); });
  platform::ensureMessageQueue();
  for (const bool registered : {true, false}) {
    ExitRun run;
    run.notify = platform::currentThreadId();
    run.registerFirst = registered;
    const uint32_t threadsBefore = vxm_thread_control.lispThreadCount;
    const platform::Handle thread = platform::createThread(exitingThread, &run, 0, nullptr);
    ASSERT_NE(thread, platform::kNoHandle);
    ASSERT_EQ(platform::waitForAny({&thread, 1}, 20000), 0) << describe();
    uint32_t status = 0;
    EXPECT_TRUE(platform::exitCodeOf(thread, &status));
    EXPECT_EQ(status, 3u);
    platform::closeHandle(thread);
    EXPECT_EQ(run.doneFlag, 1);
    platform::Message message{};
    ASSERT_TRUE(platform::peekMessage(&message, true));
    EXPECT_EQ(message.message, platform::kQuitMessage);
    EXPECT_EQ(message.wParam, 3u);
    EXPECT_EQ(message.lParam, ts::kQuitLongParameter);
    if (!registered) continue;
    EXPECT_EQ(word(run.record, tr::kState), tr::kStateDead);
    EXPECT_EQ(word(run.record, tr::kOsThreadHandle), 0u);
    EXPECT_EQ(word(run.record, tr::kWakeEvent), 0u);
    EXPECT_EQ(vxm_thread_control.heapOwnerIndex, -2);
    EXPECT_EQ(lisp::heap_lock::readyHead(), nullptr) << "released off the ready queue";
    EXPECT_EQ(vxm_thread_control.lispThreadCount, threadsBefore - 1);
  }
}

// The first Lisp thread ending with nobody to tell: no Lisp thread is left,
// so the process ends with the status rather than living on in its service
// threads.
TEST_F(ThreadStart, TheLastLispThreadEndingWithNobodyToTellEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(vxm_thread_exit(7, nullptr, 0), testing::ExitedWithCode(7), "");
}

// Thread operation 5, as Lisp code calls it from the thread's start function.
void leaveByOperationFive(uint32_t* self) {
  c_thread_operation(tagged(self), nilval, makeFixnum(5), nilval);
  ADD_FAILURE() << "operation 5 came back";
}

TEST_F(ThreadStart, AThreadLeavingByOperationFiveGivesBackWhatItsEndGivesBack) {
  testing_support::Watchdog watchdog("operation 5", 30s, [&] { return describe(); });
  uint32_t* record = newLispThread();
  // The clock queue: header, another entry, then the thread's own entry.
  ClockEntryInMemory header, other, own;
  const lispval h = header.tagged(), o = other.tagged(), e = own.tagged();
  for (auto [entry, next, previous] : {std::tuple{&header, o, e}, {&other, e, h}, {&own, h, o}}) {
    entry->at(tr::kQueueNext) = next;
    entry->at(tr::kQueuePrevious) = previous;
    entry->at(lisp::thread_ops::kDueSeconds) = makeFixnum(entry == &header ? 0 : 100);
    entry->at(lisp::thread_ops::kDueMilliseconds) = makeFixnum(0);
  }
  lisp::thread_ops::setRuntimeGlobal(lisp::thread_ops::global::kClockQueueHeader, h);
  lisp::wordAt(tagged(record), lisp::thread_ops::kClockEntry) = e;
  g_lispBody = leaveByOperationFive;
  runToTheEnd(record);

  EXPECT_EQ(g_start.runs, 1);
  EXPECT_EQ(vxm_thread_control.lispThreadCount, 1u) << "the test thread's alone";
  EXPECT_EQ(word(record, tr::kState), tr::kStateDead);
  EXPECT_TRUE(onAvailableList(record));
  EXPECT_EQ(word(record, tr::kWakeEvent), 0u);
  EXPECT_EQ(word(record, tr::kOsThreadHandle), 0u);
  EXPECT_EQ(word(record, tr::kOsIdSlot), nilval);
  EXPECT_EQ(word(record, tr::kOsThreadId), 0u);
  EXPECT_EQ(word(record, tr::kBindingStack), nilval);
  EXPECT_EQ(header.at(tr::kQueueNext), o);
  EXPECT_EQ(other.at(tr::kQueueNext), h) << "the thread's entry is off the clock queue";
  EXPECT_EQ(header.at(tr::kQueuePrevious), o);
  EXPECT_EQ(own.at(tr::kQueueNext), nilval);
  EXPECT_EQ(lisp::heap_lock::readyHead(), nullptr);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, -2);
  EXPECT_EQ(vxm_thread_control.environmentIndex, -1);
  // The heap is free for the test thread.
  vxm_grab_heap_control(first_);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 0);
  lisp::heap_lock::releaseOffQueue(first_, 0, 0);
}

// The first Lisp thread has left Lisp; the one Lisp thread still running
// leaves by operation 5: no Lisp thread is left, so the process ends. (Were
// the count left high, the process would live on in its service threads and
// the statement would return.)
TEST_F(ThreadStart, AProcessWhoseLastLispThreadLeavesByOperationFiveEnds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        leave_lisp_thread(first_, tr::kStateDead, 0);
        g_lispBody = leaveByOperationFive;
        uint32_t* record = newLispThread();
        start_vxm_thread(tagged(record));
        eventually([] { return false; }, 20s);
      },
      testing::ExitedWithCode(0), "");
}

// A Lisp thread waiting on an OS event is out of Lisp for the wait: a
// foreign-call record (native code running: frame word 0) heads its chain
// while it waits and is gone after.
TEST_F(ThreadStart, AnOsEventWaitLinksAForeignCallRecordForItsLength) {
  testing_support::Watchdog watchdog("event wait", 60s, [&] { return describe(); });
  uint32_t* record = newLispThread();
  const uint32_t event = allocate_os_lock(1);
  std::atomic<uint32_t> headBefore{0}, headAfter{0}, result{99};
  g_lispBody = [&](uint32_t* self) {
    headBefore = word(self, tr::kClinkHead);
    result = wait_os_event(event);
    headAfter = word(self, tr::kClinkHead);
  };
  const uint32_t sequence = mplog_sequence;
  ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
  ASSERT_TRUE(eventually([&] { return headBefore != 0; })) << describe();
  const bool linked = eventually([&] { return word(record, tr::kClinkHead) != headBefore; });
  uint32_t pushed[2] = {1, 1};
  if (linked) std::memcpy(pushed, reinterpret_cast<const void*>(word(record, tr::kClinkHead)), 8);
  vxm_open_lock(event);
  ASSERT_TRUE(eventually([&] { return !logged(sequence, ev::kLispThreadExit).empty(); }))
      << describe();
  EXPECT_TRUE(linked);
  EXPECT_EQ(pushed[0], headBefore.load()) << "linked to the chain it found";
  EXPECT_EQ(pushed[1], 0u) << "native code runs";
  EXPECT_EQ(headAfter, headBefore) << "and unlinked after the wait";
  EXPECT_EQ(result, 0u);
  free_os_lock(event);
}

TEST_F(ThreadStart, AKilledLispThreadEndsAtItsNextRegrabAndLowersTheCount) {
  testing_support::Watchdog watchdog("kill", 30s, [&] { return describe(); });
  uint32_t* record = newLispThread();
  std::atomic<bool> killed{false};
  g_lispBody = [&](uint32_t* self) {
    while (!killed) std::this_thread::sleep_for(1ms);
    lisp::heap_lock::releaseOffQueue(self, 0, 0);
    vxm_reacquire_heap_2(self);  // ends the thread
    ADD_FAILURE() << "a killed thread came back from its re-grab";
  };
  const uint32_t sequence = mplog_sequence;
  ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
  ASSERT_TRUE(eventually([&] { return g_start.runs == 1; })) << describe();
  EXPECT_EQ(vxm_thread_control.lispThreadCount, 2u);
  EXPECT_EQ(kill_os_thread(tagged(record)), record);
  EXPECT_EQ(kill_os_thread(makeFixnum(1)), nullptr);
  killed = true;
  ASSERT_TRUE(eventually([&] { return word(record, tr::kState) == tr::kStateKilled; }))
      << describe();
  ASSERT_TRUE(eventually([&] { return word(record, tr::kWakeEvent) == 0; })) << describe();
  EXPECT_EQ(vxm_thread_control.lispThreadCount, 1u);
  EXPECT_EQ(logged(sequence, ev::kKillOsThread).size(), 1u);
  EXPECT_EQ(logged(sequence, ev::kKilledThreadEnds).size(), 1u);
  // The heap is free for the test thread.
  vxm_grab_heap_control(first_);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 0);
  lisp::heap_lock::releaseOffQueue(first_, 0, 0);
}

// ---- concurrency ----

TEST_F(ThreadStart, SixteenImmigrantsCallBackWhileTwoLispThreadsCycleTheHeap) {
  const int kCallsEach = testing_support::runningUnderEmulator() ? 100 : 1000;
  constexpr int kImmigrants = 16;
  testing_support::Watchdog watchdog("callback stress", 110s, [&] { return describe(); });
  scheduler_started = 1;
  std::atomic<int> immigrantsDone{0};
  g_lispBody = [&](uint32_t* self) {
    while (immigrantsDone < kImmigrants) {
      if (g_owners.fetch_add(1) != 0) ++g_ownerFaults;
      --g_owners;
      lisp::heap_lock::releaseOffQueue(self, 0, 0);
      vxm_reacquire_heap_2(self);
    }
  };
  uint32_t* lisp1 = newLispThread();
  uint32_t* lisp2 = newLispThread();
  const uint32_t sequence = mplog_sequence;
  ASSERT_EQ(start_vxm_thread(tagged(lisp1)), nilval);
  ASSERT_EQ(start_vxm_thread(tagged(lisp2)), nilval);
  std::vector<std::thread> immigrants;
  std::atomic<int> wrongResults{0}, recordChanges{0};
  for (int t = 0; t < kImmigrants; ++t)
    immigrants.emplace_back([&, t] {
      uint32_t* mine = nullptr;
      for (int call = 0; call < kCallsEach; ++call) {
        uint32_t argument = static_cast<uint32_t>(t * 10000 + call);
        if (acquire_heap_around_lisp_call(address(&argument), t) != argument + t) ++wrongResults;
        uint32_t* record = callerRecord();
        if (mine && record != mine) ++recordChanges;
        mine = record;
      }
      ++immigrantsDone;
    });
  for (std::thread& t : immigrants) t.join();
  ASSERT_TRUE(eventually([&] { return logged(sequence, ev::kLispThreadExit).size() == 2; }, 60s))
      << describe();
  EXPECT_EQ(g_ownerFaults, 0) << "never two owners";
  EXPECT_EQ(wrongResults, 0);
  EXPECT_EQ(recordChanges, 0) << "each immigrant keeps one record";
  EXPECT_EQ(g_callbacks, kImmigrants * kCallsEach);
  EXPECT_EQ(vxm_thread_control.registryCount, uint32_t{kImmigrants + 3});
  EXPECT_EQ(vxm_thread_control.immigrantCount, uint32_t{kImmigrants});
  EXPECT_EQ(vxm_thread_control.lispThreadCount, 1u);
}

// ---- native threads for built-in routines and the test hook ----

std::atomic<int> g_countdownCalls{0};
std::vector<std::pair<int32_t, int32_t>> g_countdownSeen;
std::atomic<bool> g_countdownDone{false};
int32_t countdown(int32_t counter, int32_t previous) {
  g_countdownSeen.emplace_back(counter, previous);
  const int32_t result = counter == 96 ? 0 : previous + 1;
  if (result == 0) g_countdownDone = true;
  return result;
}

std::atomic<int> g_doublingCalls{0};
std::atomic<uint32_t> g_doublingLast{0};
uint32_t doubling(uint32_t bits) {
  const uint32_t result = std::bit_cast<uint32_t>(std::bit_cast<float>(bits) * 2.0f);
  g_doublingLast = result;
  ++g_doublingCalls;
  return result;
}

TEST_F(ThreadStart, TheBuiltInRoutinesRunOnNativeThreadsByNumberAndThroughTheTestHook) {
  testing_support::Watchdog watchdog("built-in routines", 30s, [&] { return describe(); });
  struct Case {
    const char* what;
    std::function<int32_t()> start;
  };
  const auto countdownRuns = [&](const std::function<int32_t()>& start) {
    g_countdownSeen.clear();
    g_countdownDone = false;
    EXPECT_EQ(start(), 0);
    ASSERT_TRUE(eventually([] { return g_countdownDone.load(); }));
    EXPECT_EQ(g_countdownSeen,
              (std::vector<std::pair<int32_t, int32_t>>{{100, 1}, {99, 2}, {98, 3}, {97, 4}, {96, 5}}));
  };
  const auto doublingRuns = [&](const std::function<int32_t()>& start) {
    g_doublingCalls = 0;
    EXPECT_EQ(start(), 0);
    ASSERT_TRUE(eventually([] { return g_doublingCalls == 10; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(g_doublingCalls, 10);
    EXPECT_EQ(g_doublingLast, std::bit_cast<uint32_t>(1024.0f));
  };
  const uint32_t countdownAddress = address(reinterpret_cast<void*>(countdown));
  const uint32_t doublingAddress = address(reinterpret_cast<void*>(doubling));
  countdownRuns([&] { return vxm_c_thread_starter(ts::kImmigrantTest, countdownAddress); });
  countdownRuns([&] { return mp_test_action(-1, countdownAddress); });
  doublingRuns([&] { return vxm_c_thread_starter(ts::kImmigrantTest2, doublingAddress); });
  doublingRuns([&] { return mp_test_action(-5, doublingAddress); });

  alignas(8) uint32_t gate[2] = {0, 0};
  const uint32_t sequence = mplog_sequence;
  EXPECT_EQ(vxm_c_thread_starter(ts::kGateTest1, address(gate)), 0);
  ASSERT_TRUE(eventually([&] { return logged(sequence, ev::kGateTestThread).size() == 3; }));
  EXPECT_EQ(gate[0], 1u) << "opened";
  EXPECT_EQ(logged(sequence, ev::kGateTestThread),
            (std::vector<std::pair<uint32_t, uint32_t>>{
                {ev::kGateTestThread, 1}, {ev::kGateTestThread, address(gate)},
                {ev::kGateTestThread, 0xffffffff}}));

  for (const int32_t unknown : {-1, 3, 100})
    EXPECT_EQ(vxm_c_thread_starter(unknown, 0), ts::kUnknownRoutine) << unknown;
}

TEST_F(ThreadStart, TheTestHookCodes) {
  testing_support::Watchdog watchdog("test hook", 30s, [&] { return describe(); });
  vxm_grab_heap_control(first_);  // Lisp code calls the hook
  word(first_, tr::kKillRequest) = 1;
  host::HostRecord host{};
  uint32_t* const savedRedir = redir;
  redir = reinterpret_cast<uint32_t*>(&host);
  struct Case {
    int32_t code;
    int32_t expected;
    std::function<bool()> effect;
  } cases[] = {
      {-8, 0, [&] { return host.lispThreadId == identify_os_thread(); }},
      {-7, static_cast<int32_t>(vxm_thread_control.logAddress), nullptr},
      {-6, static_cast<int32_t>(address(&vxm_thread_control)), nullptr},
      {-4, 0, [] { return scheduler_started == 1; }},
      {-3, 0, [&] { return word(first_, tr::kKillRequest) == 0; }},
      {-2, 0, nullptr},
      {5, 0, [&] { return word(first_, ts::kTestActionResult) == 77u + 5; }},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mp_test_action(c.code, 77), c.expected) << c.code;
    if (c.effect) {
      EXPECT_TRUE(c.effect()) << c.code;
    }
  }
  redir = savedRedir;
  EXPECT_EQ(g_ownerFaults, 0);
  lisp::heap_lock::releaseOffQueue(first_, 0, 0);
}

}  // namespace
