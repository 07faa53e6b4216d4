// The thread operations through thread_operation's entry slot, and the
// native queue, gate and clock routines they are built from.

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <thread>

#include "runtime/load/small_services.h"
#include "runtime/os/gotsig.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/tests/thread_operations_fixture.h"
#include "runtime/os/thread_start.h"
#include "runtime/rs/nil_block.h"
#include "testing/lisp_call_harness.h"
#include "testing/watchdog.h"

namespace thread_ops_test {
namespace {

using testing_support::LispCallResult;

// ---- dispatch ----

TEST_F(ThreadOperations, CodesWithoutAnOperationRunOnlyTheBreakpointHook) {
  for (int32_t code : {31, 32, 33, 34, 35, 36, 38, 255}) {
    const uint32_t sequence = mplog_sequence;
    const LispCallResult result = operation(code, rec(1));
    EXPECT_EQ(result.eax, nil()) << code;
    EXPECT_EQ(mplog_sequence, sequence) << code;
  }
  EXPECT_EQ(g_seen.breakpoints, (std::vector<int32_t>{31, 32, 33, 34, 35, 36, 38, 255}));
  EXPECT_EQ(readyOrder(), std::vector<int>{});
}

TEST_F(ThreadOperations, DatumReadsTheSchedulerData) {
  records_[1].at(tr::kChainLink) = gc::addressOf(records_[2].raw());
  threadctl_active = records_[1].raw();
  threadctl_available = records_[3].raw();
  EXPECT_EQ(operation(19, makeFixnum(5)).eax, makeFixnum(1000));
  EXPECT_EQ(operation(19, makeFixnum(0)).eax, waiting_.tagged());
  EXPECT_EQ(operation(19, makeFixnum(1)).eax, ready_.tagged());
  EXPECT_EQ(operation(19, makeFixnum(2)).eax, makeFixnum(2));
  EXPECT_EQ(operation(19, makeFixnum(3)).eax, makeFixnum(1));
  EXPECT_EQ(operation(19, makeFixnum(7)).eax, makeFixnum(75));
  EXPECT_EQ(operation(19, makeFixnum(8)).eax, nil());
  threadctl_active = threadctl_available = nullptr;
}

TEST_F(ThreadOperations, TheLogAddressAndTheTimeUsedComeAsIntegers) {
  const uint32_t address = gc::addressOf(thread_log_address);
  const lispval boxed = operation(19, makeFixnum(4)).eax;
  if (address <= 0x1fffffff) {
    EXPECT_EQ(boxed, makeFixnum(static_cast<int32_t>(address)));
  } else {
    ASSERT_TRUE(lisp::isOther(boxed));  // a bignum of the address
    EXPECT_EQ(lisp::wordAt(boxed, 4 - 0x12), address);
  }
  EXPECT_TRUE(lisp::isFixnum(operation(28, rec(1)).eax));
  EXPECT_EQ(operation(28, makeFixnum(3)).eax, nil());
}

TEST_F(ThreadOperations, SetDatumIsReadBack) {
  operation(20, makeFixnum(0), makeFixnum(3));
  EXPECT_EQ(operation(19, makeFixnum(6)).eax, makeFixnum(3));
  operation(20, makeFixnum(3), makeFixnum(20));
  EXPECT_EQ(operation(19, makeFixnum(7)).eax, makeFixnum(20));
  const lispval g = gate();
  operation(20, makeFixnum(1), g);
  EXPECT_EQ(general_wait_thread, thread_);
  EXPECT_EQ(general_wait_gate, g);
  operation(20, makeFixnum(1), nil());
  EXPECT_EQ(general_wait_gate, 0u);
}

TEST_F(ThreadOperations, AStartIsRefusedForANonRecordOrARecordThatIsNotNew) {
  field(1, tr::kState) = tr::kStateRunning;
  EXPECT_EQ(operation(0, rec(1)).eax, makeFixnum(-2));
  EXPECT_EQ(operation(0, makeFixnum(4)).eax, makeFixnum(-1));
  EXPECT_EQ(lisp_recorder_log.count, 0);
}

TEST_F(ThreadOperations, DestroyTakesTheRecordOffItsQueuesAndAsksItsThreadToEnd) {
  thread_to_ready_queue(rec(2));
  const uint32_t sequence = mplog_sequence;
  EXPECT_EQ(operation(12, rec(2)).eax, nil());
  EXPECT_EQ(field(2, tr::kKillRequest), 1u);
  EXPECT_TRUE(readyOrder().empty());
  EXPECT_EQ(vxm_mplog_last_entry->code, lisp::mp_event::kKillOsThread);
  EXPECT_EQ(vxm_mplog_last_entry->value, 2u);
  EXPECT_GT(mplog_sequence, sequence);
  EXPECT_EQ(operation(12, makeFixnum(2)).eax, nil());
}

uint32_t g_docallArgument = 0;
int32_t g_docallIndex = 0;
uint32_t docallCallback(uint32_t block, int32_t index) {
  g_docallArgument = block;
  g_docallIndex = index;
  return 0x1234;
}
uint32_t docallMissing() {
  return 0x99;
}

TEST_F(ThreadOperations, TheImmigrantCallbackOperationCallsTheRecordsPendingCallback) {
  namespace ts = lisp::thread_start;
  ts::services().callCallback = docallCallback;
  ts::services().missingCallback = docallMissing;
  struct Case {
    int32_t index;
    uint32_t result;
  } cases[] = {{6, 0x1234}, {-1, 0x99}};
  for (const Case& c : cases) {
    field(0, tr::kCallbackArgument) = 0x5000;
    field(0, tr::kCallbackIndex) = static_cast<uint32_t>(c.index);
    EXPECT_EQ(operation(26).eax, nil());
    EXPECT_EQ(field(0, ts::kImmigrantResult), c.result) << c.index;
  }
  EXPECT_EQ(g_docallArgument, 0x5000u);
  EXPECT_EQ(g_docallIndex, 6);
  ts::resetServices();
}

TEST_F(ThreadOperations, StartingANativeThreadForAnUnknownRoutineAnswers22) {
  for (const lispval routine : {makeFixnum(3), makeFixnum(-1), nil()})
    EXPECT_EQ(operation(25, routine, makeFixnum(0)).eax, makeFixnum(22)) << routine;
}

TEST_F(ThreadOperations, TheLogOperationAppendsOnlyWhileLoggingIsOn) {
  operation(24, makeFixnum(600), makeFixnum(9));
  EXPECT_EQ(vxm_mplog_last_entry->code, 600u);
  EXPECT_EQ(vxm_mplog_last_entry->value, makeFixnum(9));
  mp_logging = 0;
  const uint32_t sequence = mplog_sequence;
  operation(24, makeFixnum(601), makeFixnum(9));
  EXPECT_EQ(mplog_sequence, sequence);
}

// ---- queues ----

struct QueueCase {
  const char* name;
  std::vector<lispval> queued;  // priorities already queued, head first
  lispval inserted;
  size_t position;
};

TEST_F(ThreadOperations, QueuingPutsARecordBehindEqualsAndAheadOfLower) {
  const lispval n = nil(), high = gate();
  const QueueCase cases[] = {
      {"empty", {}, makeFixnum(0), 0},
      {"behind equals", {makeFixnum(2), makeFixnum(2)}, makeFixnum(2), 2},
      {"ahead of lower", {makeFixnum(5), makeFixnum(1)}, makeFixnum(3), 1},
      {"nil is lowest", {makeFixnum(-9), n}, n, 2},
      {"number above nil", {n, n}, makeFixnum(-100), 0},
      {"non-number above every number", {high, makeFixnum(1000)}, high, 1},
      {"number below a non-number", {high}, makeFixnum(1000), 1},
  };
  for (const QueueCase& c : cases) {
    for (int i = 0; i < kRecords; ++i) thread_off_queues(rec(i));
    for (size_t i = 0; i < c.queued.size(); ++i) {
      field(static_cast<int>(i) + 1, tr::kPriority) = c.queued[i];
      thread_to_ready_queue(rec(static_cast<int>(i) + 1));
    }
    field(7, tr::kPriority) = c.inserted;
    field(7, tr::kQueueWord1) = 5;
    thread_to_ready_queue(rec(7));
    const std::vector<int> order = readyOrder();
    ASSERT_EQ(order.size(), c.queued.size() + 1) << c.name;
    EXPECT_EQ(order[c.position], 7) << c.name;
    thread_off_queues(rec(7));
    EXPECT_EQ(field(7, tr::kQueueWord1), 0u) << c.name;
    EXPECT_EQ(field(7, tr::kQueueNext), nil()) << c.name;
  }
}

TEST_F(ThreadOperations, RescheduleWithNilByTheOnlyRunnableThreadReturnsWithAFreshSlice) {
  thread_to_ready_queue(thread_);
  field(0, tr::kQueueWord1) = 7;
  field(0, tr::kQueueWord2) = 8;
  const LispCallResult result = operation(1, nil());
  EXPECT_EQ(result.eax, nil());
  EXPECT_EQ(field(0, tr::kQueueWord1), 0u);
  EXPECT_EQ(field(0, tr::kQueueWord2), 0u);
  EXPECT_EQ(readyOrder(), std::vector<int>{0});
}

struct SchedulingPointCase {
  const char* name;
  bool requested, firstSpecial, secondSpecial;
  bool requestCleared, signalPosted;
  // The first special is bound by the caller to a true value while its
  // global value is nil.
  bool firstBoundByCaller = false;
};

// The request and the two specials are the runtime's globals; the posted
// signal is the runtime's post_sig, which leaves the pending word 0.
TEST_F(ThreadOperations, TheSchedulingPointHonoursARequestAsTheSpecialsAllow) {
  const SchedulingPointCase cases[] = {
      {"no request", false, false, false, false, false},
      {"held off", true, true, false, false, false},
      {"rescheduled", true, false, false, true, false},
      {"signal posted", true, false, true, false, true},
      {"held off by the caller's binding", true, false, false, false, false, true},
  };
  constexpr uint32_t kSignalArrived = 0xffffffff;
  uint32_t& pending = lisp::wordAt(nil(), lisp::nil_block::global::kSignalPending);
  const lispval first = symbol(nil()), second = symbol(nil());
  // The caller's binding of the first special: its element of the symbol's
  // value vector (at the caller's binding index) is a binding cell.
  constexpr uint8_t kSimpleLispVector = 96;
  const lispval values = object(2);
  lisp::wordAt(values, lisp::kHeaderOffset) = (2u << 8) | kSimpleLispVector;
  lisp::wordAt(values, lisp::kHeaderOffset + 4) = first;
  lisp::wordAt(values, lisp::kHeaderOffset + 8) = symbol(makeFixnum(1));
  const int32_t savedOwner = vxm_thread_control.heapOwnerIndex;
  vxm_thread_control.heapOwnerIndex = 0;
  field(0, tr::kBindingIndex) = makeFixnum(1);
  to::setRuntimeGlobal(to::global::kSchedulerSpecial0, first);
  to::setRuntimeGlobal(to::global::kSchedulerSpecial1, second);
  thread_to_ready_queue(thread_);
  for (const SchedulingPointCase& c : cases) {
    pending = kSignalArrived;
    to::setRuntimeGlobal(to::global::kRescheduleRequest, c.requested ? makeFixnum(1) : nil());
    lisp::objectOf<lisp::SymbolObject>(first)->globalValue = c.firstSpecial ? makeFixnum(1) : nil();
    lisp::objectOf<lisp::SymbolObject>(first)->valueVector = c.firstBoundByCaller ? values : nil();
    lisp::objectOf<lisp::SymbolObject>(second)->globalValue =
        c.secondSpecial ? makeFixnum(1) : nil();
    field(0, tr::kQueueWord1) = 3;
    EXPECT_EQ(operation(4).eax, nil()) << c.name;
    EXPECT_EQ(to::runtimeGlobal(to::global::kRescheduleRequest) == nil(),
              !c.requested || c.requestCleared)
        << c.name;
    EXPECT_EQ(pending, c.signalPosted ? 0u : kSignalArrived) << c.name;
    EXPECT_EQ(field(0, tr::kQueueWord1) == 0, c.requestCleared) << c.name << ": a fresh slice";
  }
  pending = 0;
  vxm_thread_control.heapOwnerIndex = savedOwner;
}

TEST_F(ThreadOperations, SuspendTakesARecordOffItsQueueAndUnsuspendPutsItBack) {
  thread_to_ready_queue(thread_);
  field(2, to::kWaitFunction) = makeFixnum(1);
  operation(3, rec(2));
  EXPECT_EQ(waitingOrder(), std::vector<int>{2});
  operation(2, rec(2));
  EXPECT_EQ(waitingOrder(), std::vector<int>{});
  field(2, to::kWaitFunction) = nil();
  operation(3, rec(2));
  EXPECT_EQ(readyOrder(), (std::vector<int>{0, 2}));  // behind the caller: it keeps running
  operation(2, rec(2));
  EXPECT_EQ(readyOrder(), std::vector<int>{0});
}

TEST_F(ThreadOperations, AGeneralWaitEndsWhenItsRetestedFunctionSaysSo) {
  testing_support::Watchdog watchdog{"general wait", std::chrono::seconds(20)};
  vxm_thread_control.heapMutex = create_os_mutex();
  vxm_thread_control.heapOwnerIndex = -2;
  field(0, tr::kOsThreadId) = identify_os_thread();
  field(0, to::kRetestFlag) = makeFixnum(1);
  vxm_open_lock(field(0, tr::kWakeEvent));  // the wake-up comes before the wait
  g_seen.applyResult = makeFixnum(1);
  const lispval specials[] = {symbol(makeFixnum(1)), symbol(makeFixnum(2))};
  to::setRuntimeGlobal(to::global::kSchedulerSpecial0, specials[0]);
  to::setRuntimeGlobal(to::global::kSchedulerSpecial1, specials[1]);
  const lispval function = makeFixnum(41), arguments = list({makeFixnum(42)});
  EXPECT_EQ(operation(14, function, arguments).eax, nil());
  EXPECT_EQ(globalValue(specials[0]), nil()) << "the general wait sets both specials to nil";
  EXPECT_EQ(globalValue(specials[1]), nil());
  ASSERT_EQ(g_seen.applied.size(), 1u);
  EXPECT_EQ(g_seen.applied[0], std::make_pair(function, arguments));
  EXPECT_EQ(g_seen.typeFunctionCalls, 1);
  EXPECT_EQ(field(0, to::kWaitFunction), nil());
  EXPECT_EQ(field(0, to::kWaitArguments), nil());
  EXPECT_EQ(field(0, to::kWaitKind), to::kWaitOnWakeEvent);
  EXPECT_EQ(vxm_mplog_last_entry->code, lisp::mp_event::kGeneralWaitEnded);
  EXPECT_EQ(readyOrder(), std::vector<int>{0});
  EXPECT_EQ(waitingOrder(), std::vector<int>{});
  vxm_release_heap_for_sdcall_t(records_[0].raw(), 0);
}

// ---- gates and semaphores ----

// A state word that is a zero float is a closed gate: the thread waits on it.
TEST_F(ThreadOperations, AGateWhoseStateIsZeroByValueIsClosed) {
  testing_support::Watchdog watchdog{"gate wait", std::chrono::seconds(20)};
  vxm_thread_control.heapMutex = create_os_mutex();
  vxm_thread_control.heapOwnerIndex = -2;
  field(0, tr::kOsThreadId) = identify_os_thread();
  vxm_open_lock(field(0, tr::kWakeEvent));  // the wake-up comes before the wait
  for (const lispval closed : {makeFixnum(0), doubleFloat(0.0)}) {
    const lispval g = gate();
    *state(g) = closed;
    const uint32_t sequence = mplog_sequence;
    EXPECT_EQ(operation(9, g).eax, nil());
    bool waited = false;
    for (const auto& e : std::span(vxm_mplog, mplog_size))
      if (e.sequence >= sequence && e.code == lisp::mp_event::kGateWait && e.value == g)
        waited = true;
    EXPECT_TRUE(waited) << std::hex << closed;
    vxm_open_lock(field(0, tr::kWakeEvent));
  }
  vxm_release_heap_for_sdcall_t(records_[0].raw(), 0);
}

TEST_F(ThreadOperations, OpeningAnOpenGateWakesNobody) {
  const lispval g = gate();
  *state(g) = 1;
  waitOn(1, g);
  EXPECT_EQ(open_vxm_gate(state(g)), 0);
  EXPECT_EQ(waitingOrder(), std::vector<int>{1});
  EXPECT_EQ(readyOrder(), std::vector<int>{});
}

TEST_F(ThreadOperations, OpeningAClosedGateFreesEveryWaiterOnIt) {
  const lispval g = gate(), other = gate();
  waitOn(1, g);
  waitOn(2, other);
  waitOn(3, g);
  field(3, to::kHoldList) = cons(makeFixnum(1), nil());  // held: unwaited, not ready
  const LispCallResult result = operation(10, g, makeFixnum(0));
  EXPECT_EQ(result.eax, makeFixnum(1));
  EXPECT_EQ(*state(g), 1u);
  EXPECT_EQ(readyOrder(), std::vector<int>{1});
  EXPECT_EQ(waitingOrder(), std::vector<int>{2});
  EXPECT_EQ(field(3, to::kWaitedObject), 0u);
  EXPECT_EQ(field(3, tr::kQueueNext), nil());
}

TEST_F(ThreadOperations, APostFreesOnlyTheFirstWaiterAndReturnsOneOnlyFromMinusOne) {
  const lispval s = gate();
  waitOn(4, s);
  waitOn(2, s);
  state(s)[1] = 0xffffffff;
  EXPECT_EQ(operation(10, s, makeFixnum(1)).eax, makeFixnum(1));
  EXPECT_EQ(readyOrder(), std::vector<int>{4});
  EXPECT_EQ(waitingOrder(), std::vector<int>{2});
  EXPECT_EQ(state(s)[1], 0u);
  EXPECT_EQ(operation(10, s, makeFixnum(1)).eax, makeFixnum(0));
  EXPECT_EQ(readyOrder(), (std::vector<int>{4, 2}));
  EXPECT_EQ(state(s)[1], 1u);
}

TEST_F(ThreadOperations, AGateOpenedFromANativeThreadWithNothingReadyNudgesTheFirstWaiter) {
  testing_support::Watchdog watchdog{"gate nudge", std::chrono::seconds(20)};
  const lispval g = gate();
  waitOn(5, g);
  waitOn(6, g);
  std::thread native([&] { open_vxm_gate(state(g)); });
  native.join();
  EXPECT_EQ(readyOrder(), (std::vector<int>{5, 6}));
  EXPECT_TRUE(wakeEventSet(5));
  EXPECT_FALSE(wakeEventSet(6));
}

TEST_F(ThreadOperations, AGateOpenedWhileAThreadIsReadyNudgesNobody) {
  const lispval g = gate();
  thread_to_ready_queue(rec(1));
  waitOn(5, g);
  open_vxm_gate(state(g));
  EXPECT_FALSE(wakeEventSet(5));
  EXPECT_FALSE(wakeEventSet(1));
}

TEST_F(ThreadOperations, TheGeneralWaitGateOpensWhenItsThreadWouldSitWithNothingReady) {
  const lispval g = gate();
  general_wait_thread = thread_;
  general_wait_gate = g;
  check_gwh_release(rec(1));
  EXPECT_EQ(*state(g), 0u);
  thread_to_ready_queue(rec(2));
  check_gwh_release(thread_);
  EXPECT_EQ(*state(g), 0u);
  thread_off_queues(rec(2));
  check_gwh_release(thread_);
  EXPECT_EQ(*state(g), 1u);
  EXPECT_EQ(vxm_mplog_last_entry->code, lisp::mp_event::kGateOpened);
}

// ---- clock queue ----

class ClockQueue : public ThreadOperations {
 protected:
  void SetUp() override {
    ThreadOperations::SetUp();
    header_ = entry(0, 0, nil(), nil());
    lisp::wordAt(header_, tr::kQueueNext) = lisp::wordAt(header_, tr::kQueuePrevious) = header_;
    to::setRuntimeGlobal(to::global::kClockQueueHeader, header_);
  }
  lispval entry(int32_t seconds, int32_t milliseconds, lispval kind, lispval datum,
                lispval thread = 0) {
    const lispval e = object(8);
    lisp::wordAt(e, tr::kQueueNext) = lisp::wordAt(e, tr::kQueuePrevious) = nil();
    lisp::wordAt(e, to::kDueSeconds) = makeFixnum(seconds);
    lisp::wordAt(e, to::kDueMilliseconds) = makeFixnum(milliseconds);
    lisp::wordAt(e, to::kClockAction) = cons(cons(kind, datum), nil());
    lisp::wordAt(e, to::kClockThread) = thread ? thread : nil();
    return e;
  }
  std::vector<lispval> entries() {
    std::vector<lispval> out;
    for (lispval at = lisp::wordAt(header_, tr::kQueueNext); at != header_ && out.size() < 50;
         at = lisp::wordAt(at, tr::kQueueNext))
      out.push_back(at);
    return out;
  }
  lispval header_ = 0;
};

TEST_F(ClockQueue, EntriesDueTogetherFireInTheOrderAdded) {
  const lispval first = gate();
  const lispval a = entry(200, 0, makeFixnum(1), nil(), rec(1));
  const lispval b = entry(200, 0, makeFixnum(1), nil(), rec(1));
  const lispval later = entry(200, 1, makeFixnum(0), first);
  operation(6, a);
  operation(6, later);
  operation(6, b);
  EXPECT_EQ(entries(), (std::vector<lispval>{a, b, later}));
  g_seen.nowSeconds = 200;
  g_seen.nowMilliseconds = 0;
  g_seen.applied.clear();
  mp_clock_event_delta = makeFixnum(0);
  operation(15);
  // Both interrupts went to record 1, newest first: b's cell heads the list.
  const std::vector<lispval> pending = elements(field(1, to::kPendingInterrupts));
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0], lisp::car(lisp::wordAt(b, to::kClockAction)));
  EXPECT_EQ(pending[1], lisp::car(lisp::wordAt(a, to::kClockAction)));
  EXPECT_EQ(entries(), std::vector<lispval>{later});
  EXPECT_EQ(lisp::wordAt(a, tr::kQueueNext), nil());
  EXPECT_EQ(*state(first), 0u);
}

TEST_F(ClockQueue, TheHorizonTakesEntriesDueWithinTheDelta) {
  const lispval g = gate(), notYet = gate();
  operation(6, entry(100, 974, makeFixnum(0), g));
  operation(6, entry(101, 1, makeFixnum(0), notYet));
  g_seen.nowSeconds = 100;
  g_seen.nowMilliseconds = 900;  // horizon 100.975
  g_seen.alarmsOn.clear();
  operation(15);
  EXPECT_EQ(*state(g), 1u);
  EXPECT_EQ(*state(notYet), 0u);
  ASSERT_EQ(g_seen.alarmsOn.size(), 1u);
  EXPECT_EQ(g_seen.alarmsOn[0], (std::pair<int32_t, int32_t>{0, 101000}));  // second borrowed
}

// A kind that equals 0 as a number opens its gate, whatever its box; any
// other number is an interrupt for the entry's thread.
TEST_F(ClockQueue, AKindEqualToZeroByValueOpensTheGate) {
  const struct {
    const char* name;
    lispval kind;
    bool opens;
  } cases[] = {
      {"fixnum 0", makeFixnum(0), true},
      {"double 0.0", doubleFloat(0.0), true},
      {"double -0.0", doubleFloat(-0.0), true},
      {"single 0.0", singleFloat(0.0f), true},
      {"bignum of zero digits", bignum({0, 0, 0}), true},
      {"double 1.0", doubleFloat(1.0), false},
      {"single 0.5", singleFloat(0.5f), false},
      {"bignum 2^16", bignum({0, 1}), false},
      {"fixnum 1", makeFixnum(1), false},
  };
  for (const auto& c : cases) {
    const lispval g = gate();
    operation(6, entry(100, 0, c.kind, g));
    operation(15);
    EXPECT_EQ(*state(g), c.opens ? 1u : 0u) << c.name;
    EXPECT_TRUE(entries().empty()) << c.name;
  }
}

TEST_F(ClockQueue, ANilKindMarksTheReadyHeadsClockWord) {
  thread_to_ready_queue(rec(3));
  operation(6, entry(100, 0, nil(), nil()));
  operation(15);
  EXPECT_EQ(field(3, tr::kClockWord), 1u);
  EXPECT_EQ(g_seen.typeFunctionCalls, 1);
  EXPECT_EQ(vxm_mplog_last_entry->code, lisp::mp_event::kSliceMarkedHead);
}

// A tick marks the thread that holds the heap, the one whose slice runs,
// not a thread that asks for the heap and so heads the ready queue.
TEST_F(ClockQueue, ANilKindMarksTheThreadThatHoldsTheHeap) {
  thread_to_ready_queue(rec(3));
  thread_to_ready_queue(rec(2));
  tcp_that_owns_heap = lisp::registry::rawRecord(rec(2));
  operation(6, entry(100, 0, nil(), nil()));
  operation(15);
  tcp_that_owns_heap = nullptr;
  EXPECT_EQ(field(2, tr::kClockWord), 1u);
  EXPECT_EQ(field(3, tr::kClockWord), 0u) << "the ready head waits for the heap";
}

// The thread's resume after a tick queues its own slice entry again with its
// old due time; due at once, that marks the thread anew. The tick counts
// once: the interrupts are processed, the thread rescheduled once.
TEST_F(ClockQueue, ATickDueAgainWhileTheThreadResumesCountsOnce) {
  thread_to_ready_queue(thread_);  // the only runnable thread: it runs on
  const lispval own = entry(50, 0, nil(), nil());  // due long ago
  lisp::wordAt(thread_, to::kClockEntry) = own;
  field(0, tr::kClockWord) = 1;
  const uint32_t sequence = mplog_sequence;
  process_thread_interrupts(thread_);
  int reschedules = 0;
  for (const auto& e : std::span(vxm_mplog, mplog_size))
    if (e.sequence >= sequence && e.code == lisp::mp_event::kSliceReschedule) ++reschedules;
  EXPECT_EQ(reschedules, 1);
  EXPECT_EQ(field(0, tr::kClockWord), 0u);
  lisp::wordAt(thread_, to::kClockEntry) = nil();
}

// A Lisp throw out of an interrupt that ran while a tick was served cuts
// the service short: the ticks that come later, also to a deeper frame,
// end the thread's slice again.
struct ThrownPastTheTick {};

int slicesRescheduledFrom(uint32_t sequence) {
  int count = 0;
  for (const auto& e : std::span(vxm_mplog, mplog_size))
    if (e.sequence >= sequence && e.code == lisp::mp_event::kSliceReschedule) ++count;
  return count;
}

[[gnu::noinline]] void processInterruptsDeeper(lispval thread) {
  volatile char deeper[4096];
  deeper[0] = 0;
  process_thread_interrupts(thread);
  deeper[sizeof deeper - 1] = deeper[0];
}

TEST_F(ClockQueue, TicksAfterAThrowOutOfTheTicksServiceStillCount) {
  thread_to_ready_queue(thread_);                  // the only runnable thread: it runs on
  const lispval own = entry(50, 0, nil(), nil());  // due long ago
  lisp::wordAt(thread_, to::kClockEntry) = own;
  field(0, tr::kClockWord) = 1;
  op_schedule_thread_interrupt(thread_, cons(cons(makeFixnum(99), nil()), nil()));
  to::services().apply = [](lispval, lispval, lispval*, uint32_t) -> lispval {
    throw ThrownPastTheTick{};
  };
  EXPECT_THROW(process_thread_interrupts(thread_), ThrownPastTheTick);
  to::services().apply = apply;
  for (int tick = 0; tick < 2; ++tick) {
    const uint32_t sequence = mplog_sequence;
    field(0, tr::kClockWord) = 1;
    processInterruptsDeeper(thread_);
    EXPECT_EQ(slicesRescheduledFrom(sequence), 1) << "tick " << tick;
  }
  lisp::wordAt(thread_, to::kClockEntry) = nil();
}

TEST_F(ClockQueue, TheAlarmFollowsTheHead) {
  const lispval e = entry(103, 500, makeFixnum(0), gate());
  operation(6, e);
  ASSERT_EQ(g_seen.alarmsOn.size(), 1u);
  EXPECT_EQ(g_seen.alarmsOn[0], (std::pair<int32_t, int32_t>{3, 500000}));
  const lispval far = entry(100 + 2592001, 0, makeFixnum(0), gate());
  operation(6, far);
  EXPECT_EQ(g_seen.alarmsOn.size(), 1u);  // not the first: the alarm stays
  operation(7, e);
  ASSERT_EQ(g_seen.alarmsOn.size(), 2u);
  EXPECT_EQ(g_seen.alarmsOn[1], (std::pair<int32_t, int32_t>{2592000, 0}));
  operation(7, far);
  EXPECT_EQ(g_seen.alarmsOff, 1);
  EXPECT_EQ(lisp::wordAt(far, tr::kQueueNext), nil());
  operation(15);  // mode 0 with nothing due leaves the alarm alone
  EXPECT_EQ(g_seen.alarmsOff, 1);
  operation(37);
  EXPECT_EQ(g_seen.alarmsOff, 2);
}

TEST_F(ClockQueue, SuppressedEventsLeaveDueEntriesQueued) {
  const lispval g = gate();
  suppress_clock_events = 1;
  operation(6, entry(90, 0, makeFixnum(0), g));
  g_seen.alarmsOn.clear();
  operation(37);
  EXPECT_EQ(*state(g), 0u);
  EXPECT_EQ(entries().size(), 1u);
  ASSERT_EQ(g_seen.alarmsOn.size(), 1u);
  EXPECT_EQ(g_seen.alarmsOn[0], (std::pair<int32_t, int32_t>{2592000, 0}));
}

// ---- interrupts ----

struct InterruptCase {
  const char* name;
  bool holdBefore, runBefore, waitBefore;
  bool interruptHolds;  // the interrupt function leaves a hold list of its own
  size_t holdAfter;     // elements of the hold list afterwards
  bool runAfter;        // the run list is not nil afterwards
};

TEST_F(ThreadOperations, InterruptsRunUnblockedAndPutTheThreadsStateBack) {
  static const InterruptCase cases[] = {
      {"runnable", false, true, false, false, 0, true},
      {"held", true, true, false, false, 1, true},
      {"held, interrupt holds too", true, true, false, true, 2, true},
      {"without run list", false, false, false, false, 0, false},
      {"waiting", false, true, true, false, 0, true},
  };
  for (const InterruptCase& c : cases) {
    g_seen.applied.clear();
    g_seen.stateWhileApplied.clear();
    const lispval hold = c.holdBefore ? list({makeFixnum(11)}) : nil();
    const lispval run = c.runBefore ? list({makeFixnum(12)}) : nil();
    const lispval wait = c.waitBefore ? makeFixnum(13) : nil();
    field(0, to::kHoldList) = hold;
    field(0, to::kRunList) = run;
    field(0, to::kWaitFunction) = wait;
    field(0, to::kWaitedObject) = 0x1234;
    const lispval function = makeFixnum(99), arguments = list({makeFixnum(1)});
    lispval cell = cons(cons(function, arguments), nil());
    op_schedule_thread_interrupt(thread_, cell);
    if (c.interruptHolds)
      to::services().apply = [](lispval f, lispval a, lispval* saved, uint32_t count) {
        const lispval result = apply(f, a, saved, count);
        lisp::wordAt(g_seen.caller, to::kHoldList) = consInPool(makeFixnum(21), nilval);
        return result;
      };
    operation(17);
    to::services().apply = apply;
    ASSERT_EQ(g_seen.applied.size(), 1u) << c.name;
    EXPECT_EQ(g_seen.applied[0], std::make_pair(function, arguments)) << c.name;
    EXPECT_EQ(g_seen.stateWhileApplied[0][0], nil()) << c.name << ": no hold list";
    EXPECT_NE(g_seen.stateWhileApplied[0][1], nil()) << c.name << ": a run list";
    EXPECT_EQ(g_seen.stateWhileApplied[0][2], nil()) << c.name << ": no wait";
    EXPECT_EQ(elements(field(0, to::kHoldList)).size(), c.holdAfter) << c.name;
    EXPECT_EQ(field(0, to::kRunList) != nil(), c.runAfter) << c.name;
    if (!c.runBefore) {
      EXPECT_EQ(field(0, to::kRunList), nil()) << c.name << ": marker removed";
    }
    EXPECT_EQ(field(0, to::kWaitFunction), wait) << c.name;
    EXPECT_EQ(field(0, to::kWaitedObject), 0x1234u) << c.name;
    EXPECT_EQ(field(0, to::kPendingInterrupts), nil()) << c.name;
    thread_off_queues(thread_);
  }
}

TEST_F(ThreadOperations, ScheduledInterruptsRunOldestLastAndMakeTheRecordReady) {
  const lispval older = cons(cons(makeFixnum(1), nil()), nil());
  const lispval newer = cons(cons(makeFixnum(2), nil()), nil());
  operation(21, rec(2), older);
  operation(21, rec(2), newer);
  EXPECT_EQ(readyOrder(), std::vector<int>{2});
  EXPECT_EQ(elements(field(2, to::kPendingInterrupts)).size(), 2u);
  g_seen.caller = rec(2);
  process_thread_interrupts(rec(2));
  ASSERT_EQ(g_seen.applied.size(), 2u);
  EXPECT_EQ(g_seen.applied[0].first, makeFixnum(2));
  EXPECT_EQ(g_seen.applied[1].first, makeFixnum(1));
}

// Only a record that may run and whose thread can come to take the heap goes
// on the ready queue, whichever operation puts it back: one that is held or
// has no run list waits where it is, though an interrupt readies it (the
// interrupt runs unblocked); one that has ended or is out in a foreign call
// is never readied (an interrupt stays pending for it).
TEST_F(ThreadOperations, OnlyRecordsThatMayRunAreReadied) {
  struct Case {
    const char* name;
    int32_t offset;
    uint32_t value;
    bool readied, readiedByInterrupt;
  };
  const Case cases[] = {
      {"runnable", tr::kState, tr::kStateRunning, true, true},
      {"waiting for its wake event", tr::kState, tr::kStateWaitingForWake, true, true},
      {"held", to::kHoldList, 0, false, true},
      {"without a run list", to::kRunList, 0, false, true},
      {"ended after a kill", tr::kState, tr::kStateKilled, false, false},
      {"dead", tr::kState, tr::kStateDead, false, false},
      {"new", tr::kState, tr::kStateNew, false, false},
      {"out in a foreign call", tr::kState, tr::kStateInForeignCall, false, false},
  };
  const auto reset = [&] {
    thread_off_queues(rec(3));
    field(3, tr::kState) = tr::kStateRunning;
    field(3, to::kHoldList) = field(3, to::kWaitFunction) = field(3, to::kPendingInterrupts) = nil();
    field(3, to::kRunList) = cons(makeFixnum(3), nil());
  };
  const auto apply = [&](const Case& c) {
    reset();
    field(3, c.offset) = c.offset == to::kHoldList  ? cons(makeFixnum(1), nil())
                         : c.offset == to::kRunList ? nil()
                                                    : c.value;
  };
  const lispval g = gate();
  thread_to_ready_queue(thread_);  // the caller runs on
  const auto queued = [](bool readied) {
    return readied ? std::vector<int>{0, 3} : std::vector<int>{0};
  };
  for (const Case& c : cases) {
    const std::vector<int> expected = queued(c.readied);
    apply(c);
    operation(3, rec(3));  // explicit unsuspend
    EXPECT_EQ(readyOrder(), expected) << c.name << ": unsuspended";
    apply(c);
    waitOn(3, g);
    operation(18, rec(3));  // unwait
    EXPECT_EQ(readyOrder(), expected) << c.name << ": unwaited";
    apply(c);
    operation(21, rec(3), cons(cons(makeFixnum(1), nil()), nil()));
    EXPECT_EQ(readyOrder(), queued(c.readiedByInterrupt)) << c.name << ": interrupted";
    EXPECT_TRUE(lisp::isCons(field(3, to::kPendingInterrupts))) << c.name << ": still pending";
  }
  reset();
}

TEST_F(ThreadOperations, AnInterruptFunctionRunsInLispWithItsArgumentsSpread) {
  ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
  to::resetServices();
  const lispval recorder = objects_->makeFunction(testing_support::recorderAddress());
  testing_support::resetRecorder(nil());
  field(0, to::kRunList) = nil();  // the temporary run list is consed in Lisp
  const lispval hold = list({makeFixnum(5)});
  field(0, to::kHoldList) = hold;
  op_schedule_thread_interrupt(thread_, cons(cons(recorder, list({makeFixnum(7), makeFixnum(8)})), nil()));
  operation(17);
  ASSERT_EQ(lisp_recorder_log.count, 1);
  EXPECT_EQ(lisp_recorder_log.calls[0].ecx, 2u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(7));
  EXPECT_EQ(lisp_recorder_log.calls[0].edx, makeFixnum(8));
  EXPECT_EQ(field(0, to::kRunList), nil());
  EXPECT_EQ(field(0, to::kHoldList), hold);
  EXPECT_EQ(field(0, to::kPendingInterrupts), nil());
  platform::setThreadSlot(slot_, 0);
}

// A signal that arrives while the thread is off (gotsig sets the pending
// word) is processed through the Lisp side's condition function when the
// thread resumes, before its pending interrupts run; with none pending, a
// resume calls nothing for signals.
TEST_F(ThreadOperations, AResumeProcessesArrivedSignalsBeforePendingInterrupts) {
  constexpr int32_t kConditionSymbol = -0xe5;
  ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
  to::resetServices();
  const lispval recorder = objects_->makeFunction(testing_support::recorderAddress());
  global(kConditionSymbol) = objects_->makeSymbol(recorder);
  testing_support::resetRecorder(nil());
  ASSERT_EQ(gotsig(14, nullptr, nullptr), 1);
  op_schedule_thread_interrupt(thread_, cons(cons(recorder, list({makeFixnum(7)})), nil()));
  thread_resume_processing(thread_);
  ASSERT_EQ(lisp_recorder_log.count, 2);
  EXPECT_EQ(lisp_recorder_log.calls[0].ecx, 2u) << "the condition function first";
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, nil());
  EXPECT_EQ(lisp_recorder_log.calls[1].ecx, 1u) << "then the interrupt";
  EXPECT_EQ(lisp_recorder_log.calls[1].eax, makeFixnum(7));
  EXPECT_EQ(global(lisp::nil_block::global::kSignalPending), 0u);

  testing_support::resetRecorder(nil());
  thread_resume_processing(thread_);
  EXPECT_EQ(lisp_recorder_log.count, 0);
  std::fill(std::begin(lsignals), std::end(lsignals), 0);
  platform::setThreadSlot(slot_, 0);
}

// ---- records and locks ----

TEST_F(ThreadOperations, FreeingARecordWhoseThreadMayRunIsRefused) {
  field(3, tr::kState) = tr::kStateRunning;
  thread_to_ready_queue(rec(3));
  EXPECT_EQ(operation(13, rec(3)).eax, nil());
  EXPECT_EQ(readyOrder(), std::vector<int>{3});
}

TEST_F(ThreadOperations, AStructureLockRecordsThePreviousHolder) {
  const lispval structure = object(4);
  lisp::wordAt(structure, tr::wordOffset(3)) = nil();
  operation(29, structure);
  EXPECT_EQ(lisp::wordAt(structure, tr::wordOffset(3)), thread_);
  EXPECT_EQ(field(0, to::kPreviousHolder), nil());
  thread_ = rec(1);
  g_seen.caller = thread_;
  operation(29, structure);
  EXPECT_EQ(lisp::wordAt(structure, tr::wordOffset(3)), rec(1));
  EXPECT_EQ(field(1, to::kPreviousHolder), rec(0));
  EXPECT_EQ(field(1, to::kLockWaitedFor), nil());
  thread_ = rec(0);
}

// Resuming a thread's time accounting puts its clock entry back on the clock
// queue and runs its pending interrupts.
TEST_F(ClockQueue, ResumingPutsTheThreadsClockEntryBackAndRunsItsInterrupts) {
  const lispval own = entry(200, 0, nil(), nil(), rec(1));
  field(1, to::kClockEntry) = own;
  const lispval function = makeFixnum(51), arguments = list({makeFixnum(52)});
  field(1, to::kPendingInterrupts) = cons(cons(function, arguments), nil());
  thread_resume_time_accounting(rec(1));
  EXPECT_EQ(entries(), std::vector<lispval>{own});
  ASSERT_EQ(g_seen.applied.size(), 1u);
  EXPECT_EQ(g_seen.applied[0], std::make_pair(function, arguments));
  EXPECT_EQ(field(1, to::kPendingInterrupts), nil());
  thread_resume_time_accounting(rec(1));
  EXPECT_EQ(entries(), std::vector<lispval>{own}) << "queued once";
  EXPECT_EQ(g_seen.applied.size(), 1u);
}

// Operation 22 starts the caller's accounting, nothing more: its clock entry
// stays off the clock queue and its interrupts stay pending.
TEST_F(ClockQueue, EnsuringAccountingOnlyStartsTheSlice) {
  vxm_accounting_active = 1;
  thread_time_init(thread_);
  g_seen.nowSeconds = 10;
  const lispval own = entry(200, 0, nil(), nil(), thread_);
  field(0, to::kClockEntry) = own;
  field(0, to::kPendingInterrupts) = cons(cons(makeFixnum(51), nil()), nil());
  operation(22);
  EXPECT_EQ(field(0, tr::kSliceStart), 10000u);
  EXPECT_EQ(entries(), std::vector<lispval>{});
  EXPECT_TRUE(g_seen.applied.empty());
  EXPECT_NE(field(0, to::kPendingInterrupts), nil());
  g_seen.nowSeconds = 11;
  operation(22);
  EXPECT_EQ(field(0, tr::kSliceStart), 10000u) << "a running slice goes on";
  vxm_accounting_active = 0;
}

TEST_F(ThreadOperations, TimeIsAccountedOnlyWhileASliceRuns) {
  vxm_accounting_active = 1;
  thread_time_init(rec(1));
  g_seen.nowSeconds = 10;
  g_seen.nowMilliseconds = 0;
  thread_resume_time_accounting(rec(1));
  g_seen.nowMilliseconds = 250;
  thread_suspend_time_accounting(rec(1));
  thread_suspend_time_accounting(rec(1));
  EXPECT_EQ(field(1, tr::kMillisecondsUsed), 250u);
  rs_resume_time_accounting(records_[1].raw());
  rs_suspend_time_accounting(records_[1].raw(), 11, 0);
  EXPECT_EQ(field(1, tr::kMillisecondsUsed), 1000u);
  vxm_accounting_active = 0;
}

}  // namespace
}  // namespace thread_ops_test
