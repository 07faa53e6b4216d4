// The alarm and descriptor-event entries through their entry slots: the
// arguments they hand to the native halves, the thread words around the
// call, and the value they return.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "launcher/host_record.h"
#include "platform/timer_service.h"
#include "runtime/os/alarm_timer.h"
#include "runtime/os/host_record_services.h"
#include "runtime/rs/clink_layout.h"
#include "testing/lisp_routine_heap.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace tr = lisp::thread_record;

constexpr int32_t kMpWaitSigio = 0x1e7;
constexpr int32_t kMpSetupAlarm = 0x1eb;
constexpr int32_t kMpAlarmOn = 0x1ef;
constexpr int32_t kMpWatchFor = 0x1f3;

// What a host-record hook saw while an entry called it.
struct HookSaw {
  int calls = 0;
  int32_t first = 0;
  uint32_t second = 0;
  uint32_t leafStack = 0, leafFrame = 0;
  uint32_t clinkHead = 0;
  uint32_t clink[tr::kClinkRecordWords] = {};
  uint16_t controlWord = 0;
  bool x87Empty = false;
};
HookSaw g_saw;
uint32_t g_thread = 0;

void noteThreadAndX87() {
  g_saw.leafStack = lisp::wordAt(g_thread, tr::kLeafCallStack);
  g_saw.leafFrame = lisp::wordAt(g_thread, tr::kLeafCallFrame);
  g_saw.clinkHead = lisp::wordAt(g_thread, tr::kClinkHead);
  if (g_saw.clinkHead != tr::kEmptyClinkChain)
    std::memcpy(g_saw.clink, reinterpret_cast<void*>(g_saw.clinkHead), sizeof g_saw.clink);
  uint32_t environment[7];  // fnstenv image: control, status, tag words first
  __asm__ volatile("fnstenv %0\n\tfldcw %0" : "=m"(environment));
  g_saw.controlWord = static_cast<uint16_t>(environment[0]);
  g_saw.x87Empty = (environment[2] & 0xffff) == 0xffff;
}

int32_t watchHook(int32_t descriptor, uint32_t thread) {
  ++g_saw.calls;
  g_saw.first = descriptor;
  g_saw.second = thread;
  noteThreadAndX87();
  return -1;  // c_mpwatchfor returns 0 whatever the hook says
}
int32_t waitHook(int32_t mode) {
  ++g_saw.calls;
  g_saw.first = mode;
  noteThreadAndX87();
  return 5;
}

class AlarmEntries : public gc_test::LispRoutineHeap {
 protected:
  void SetUp() override {
    LispRoutineHeap::SetUp();
    g_saw = {};
    g_thread = thread_;
    threadWord(tr::kLeafCallStack) = nil();
    gc_test::at<uint16_t>(nil() + lisp::nil_block::global::kFloatControlWord) = 0x27f;
    savedService_ = lisp::alarm::useTimerService(&service_);
    lisp::alarm::resetForTests();
    record_.win_watchfor = watchHook;
    record_.win_waitsigio = waitHook;
    savedRecord_ = redir;
    redir = reinterpret_cast<uint32_t*>(&record_);
  }
  void TearDown() override {
    lisp::alarm::resetForTests();
    lisp::alarm::useTimerService(savedService_);
    redir = savedRecord_;
    EXPECT_EQ(threadWord(tr::kLeafCallStack), nil()) << "a leaf call left its mark";
    LispRoutineHeap::TearDown();
  }

  // A call through the slot with two values on the x87 stack; every entry
  // returns one value and reloads esi from the caller's frame.
  LispCallResult callEntry(int32_t slot, uint32_t eax = 0, uint32_t edx = 0) {
    LispCallSetup setup = setupFor(slot, eax, edx, slot == kMpAlarmOn ? 2 : 1);
    setup.x87Count = 2;
    setup.x87Values[0] = 1.5;
    setup.x87Values[1] = 2.5;
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
    EXPECT_EQ(result.ebx, thread_);
    return result;
  }

  testing_support::Watchdog watchdog_{"alarm entries", 20s};
  platform::TimerService service_{[] { return uint64_t{1000}; }};
  platform::TimerService* savedService_ = nullptr;
  host::HostRecord record_{};
  uint32_t* savedRecord_ = nullptr;
};

TEST_F(AlarmEntries, AlarmOnUntagsSecondsAndMicrosecondsAndReturnsFixnumZero) {
  const LispCallResult result = callEntry(kMpAlarmOn, makeFixnum(2), makeFixnum(500000));
  EXPECT_EQ(result.eax, makeFixnum(0));
  EXPECT_EQ(result.x87Depth, 0u);
  const std::vector<platform::PendingTimer> pending = service_.pending();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].delayMs, 2500u);
  EXPECT_EQ(pending[0].callback, &TimerInterrupt);
  EXPECT_EQ(pending[1].delayMs, 3000u);
  EXPECT_EQ(tdebug[lisp::alarm::kDelayRequested].load(), 2500u);
}

TEST_F(AlarmEntries, AlarmOnWithANegativeSecondCountFiresAtOnce) {
  callEntry(kMpAlarmOn, makeFixnum(-3), makeFixnum(0));
  // The due one-shot may already have fired on the timer thread; its backup,
  // 500 ms behind a delay of 0, is still pending. Taken as unsigned, -3
  // would be refused as too long and arm nothing.
  const std::vector<platform::PendingTimer> pending = service_.pending();
  EXPECT_TRUE(std::any_of(pending.begin(), pending.end(),
                          [](const platform::PendingTimer& timer) { return timer.delayMs == 500; }));
}

TEST_F(AlarmEntries, SetUpReturnsFixnumOneOnceAndAgain) {
  EXPECT_EQ(callEntry(kMpSetupAlarm).eax, makeFixnum(1));
  EXPECT_EQ(wTimerRes.load(), 1u);
  EXPECT_EQ(alarm_set_up.load(), 1u);
  EXPECT_EQ(callEntry(kMpSetupAlarm).eax, makeFixnum(1));
}

TEST_F(AlarmEntries, SetUpReturnsFixnumZeroWhenTheDeviceCannotBeQueried) {
  service_.failDeviceQuery(true);
  EXPECT_EQ(callEntry(kMpSetupAlarm).eax, makeFixnum(0));
  EXPECT_EQ(wTimerRes.load(), 0u);
}

struct WatchCase {
  int32_t descriptor;  // as Lisp passes it
};

class WatchFor : public AlarmEntries, public ::testing::WithParamInterface<WatchCase> {};

TEST_P(WatchFor, PassesTheUntaggedDescriptorAndTheThreadRecordAsALeafCall) {
  const int32_t descriptor = GetParam().descriptor;
  const LispCallResult result = callEntry(kMpWatchFor, makeFixnum(descriptor));
  EXPECT_EQ(result.eax, makeFixnum(0));
  ASSERT_EQ(g_saw.calls, 1);
  EXPECT_EQ(g_saw.first, descriptor);
  EXPECT_EQ(g_saw.second, thread_);
  // During the call the leaf words name the entry's own runtime frame, with
  // a record's worth of room at the stack pointer, and no record is linked.
  ASSERT_NE(g_saw.leafStack, nil());
  EXPECT_EQ(lisp::wordAt(g_saw.leafFrame, -4), lisp::nil_block::marker::kRuntimeRoutine);
  EXPECT_EQ(lisp::wordAt(g_saw.leafFrame, -0x1c), thread_);
  EXPECT_LE(g_saw.leafStack + CLINK_BYTES, g_saw.leafFrame - 0x1c);
  EXPECT_EQ(g_saw.clinkHead, tr::kEmptyClinkChain);
  EXPECT_TRUE(g_saw.x87Empty);
  EXPECT_EQ(g_saw.controlWord, 0x27f);
}

INSTANTIATE_TEST_SUITE_P(ReadingAndWriting, WatchFor,
                         ::testing::Values(WatchCase{7}, WatchCase{~7}, WatchCase{-10000}));

TEST_F(AlarmEntries, WaitSigioPassesTheModeAsItIsInsideAForeignCallRecord) {
  constexpr uint32_t kOuterRecord = 0x5678;
  threadWord(tr::kClinkHead) = kOuterRecord;
  const LispCallResult result = callEntry(kMpWaitSigio, makeFixnum(1));
  EXPECT_EQ(result.eax, makeFixnum(0));
  ASSERT_EQ(g_saw.calls, 1);
  EXPECT_EQ(g_saw.first, makeFixnum(1));
  EXPECT_NE(g_saw.clinkHead, kOuterRecord);
  EXPECT_EQ(g_saw.clink[0], kOuterRecord);  // previous record
  EXPECT_EQ(g_saw.clink[1], 0u);            // native code running
  EXPECT_EQ(lisp::wordAt(g_saw.clink[2], -4), lisp::nil_block::marker::kRuntimeRoutine);
  EXPECT_EQ(g_saw.clink[3], nil());  // no throw continuation
  EXPECT_TRUE(g_saw.x87Empty);
  EXPECT_EQ(threadWord(tr::kClinkHead), kOuterRecord) << "the chain as it was found";
  threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
}

TEST_F(AlarmEntries, WithoutAHostRecordTheEventEntriesReturnZero) {
  redir = nullptr;
  EXPECT_EQ(callEntry(kMpWatchFor, makeFixnum(3)).eax, makeFixnum(0));
  EXPECT_EQ(callEntry(kMpWaitSigio, makeFixnum(0)).eax, makeFixnum(0));
  EXPECT_EQ(g_saw.calls, 0);
}

}  // namespace
