// Conses, lists and the consing mode, called through their entry slots on a
// real heap, and the fixed sequence around native calls.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/runtime_routines.h"
#include "testing/lisp_routine_heap.h"

extern "C" {
void call_native_probe();
void probe_throw_continuation();
uint32_t native_call_probe(uint32_t first, uint32_t second);
}

namespace {

using namespace gc;
using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace tr = lisp::thread_record;
namespace nbg = lisp::nil_block::global;

constexpr int32_t kQcons = 0x2b;
constexpr int32_t kLispList = 0x2f;
constexpr int32_t kLispCons = 0x13f;
constexpr int32_t kTcons = 0x243;
constexpr int32_t kRestify2 = 0x267;
constexpr int32_t kMcons = 0x297;
constexpr int32_t kSetNormalConsing = 0x29b;
constexpr int32_t kSetAnnotatingConsing = 0x29f;

class Conses : public LispRoutineHeap {
 protected:
  LispCallResult cons(int32_t slot, lispval car, lispval cdr) {
    const LispCallResult result = call(setupFor(slot, car, cdr));
    EXPECT_EQ(result.carry, 0u);
    EXPECT_TRUE(lisp::isCons(result.eax));
    EXPECT_EQ(lisp::car(result.eax), car);
    EXPECT_EQ(lisp::cdr(result.eax), cdr);
    return result;
  }
  // The elements of a proper list.
  std::vector<lispval> elements(lispval list) {
    std::vector<lispval> out;
    for (; lisp::isCons(list); list = lisp::cdr(list)) out.push_back(list ? lisp::car(list) : 0);
    EXPECT_EQ(list, nil());
    return out;
  }
  uint32_t consesLeft() { return (global(nbg::kConsLimit) - global(nbg::kConsFill)) / 8; }
};

TEST_F(Conses, QconsFillsTheAreaThenLispConsTakesAFreshPage) {
  const uint32_t page = pageStart(global(nbg::kConsFill));
  ASSERT_EQ(consesLeft(), kConsesPerPage);
  lispval list = nil();
  for (uint32_t i = 0; i < kConsesPerPage; ++i) {
    const LispCallResult result = cons(kQcons, makeFixnum(i), list);
    ASSERT_EQ(result.eax, page + kConsPageFirstCell + 8 * i + kConsWordBias);
    EXPECT_EQ(result.esi, kEntryFunction);  // the fast path does not touch it
    list = result.eax;
  }
  ASSERT_EQ(consesLeft(), 0u);
  // The 1020th: the area is used up, so lisp_cons makes it with the same car and cdr.
  const LispCallResult slow = cons(kQcons, makeFixnum(1019), list);
  EXPECT_EQ(slow.eax, page - kPageBytes + kConsPageFirstCell + kConsWordBias);
  EXPECT_EQ(slow.esi, kCallerFunction);
  EXPECT_EQ(consesLeft(), kConsesPerPage - 1);
  EXPECT_EQ(elements(slow.eax).size(), 1020u);
}

TEST_F(Conses, TconsReloadsTheFunctionRegisterOnBothPaths) {
  EXPECT_EQ(cons(kTcons, makeFixnum(1), nil()).esi, kCallerFunction);
  global(nbg::kConsFill) = global(nbg::kConsLimit);
  const LispCallResult slow = cons(kTcons, makeFixnum(2), nil());
  EXPECT_EQ(slow.esi, kCallerFunction);
  EXPECT_EQ(pageStart(slow.eax), GsNewAllocationArea.end - 2 * kPageBytes);
}

TEST_F(Conses, LispConsAlwaysTakesItsCellFromTheCollector) {
  // Even with room left in the area: cons_from_new_page hands out the first
  // cell of a fresh page and points the area behind it.
  const LispCallResult result = cons(kLispCons, makeFixnum(5), nil());
  EXPECT_EQ(result.eax, GsNewAllocationArea.end - 2 * kPageBytes + kConsPageFirstCell + 0x11);
  EXPECT_EQ(global(nbg::kConsFill), result.eax + 8);
  EXPECT_EQ(result.esi, kCallerFunction);
}

// ---- lists ----

TEST_F(Conses, LispListMakesAFreshListOfItsArguments) {
  for (uint32_t count : {0u, 1u, 2u, 3u, 9u}) {
    SCOPED_TRACE(count);
    std::vector<lispval> arguments;
    for (uint32_t i = 0; i < count; ++i) arguments.push_back(makeFixnum(100 + i));
    LispCallSetup setup =
        setupFor(kLispList, count > 0 ? arguments[0] : 0, count > 1 ? arguments[1] : 0, count);
    for (uint32_t i = 2; i < count; ++i) setup.stack[i] = arguments[i];
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(elements(result.eax), arguments);
  }
}

TEST_F(Conses, Restify2ListsTheWordsAtAnAddress) {
  uint32_t words[5] = {makeFixnum(1), nil(), makeFixnum(3), makeFixnum(4), makeFixnum(5)};
  const struct {
    int32_t count;
    std::vector<lispval> expected;
  } cases[] = {
      {0, {}}, {-2, {}}, {1, {words[0]}}, {5, {words[0], words[1], words[2], words[3], words[4]}}};
  for (const auto& c : cases) {
    const LispCallResult result =
        call(setupFor(kRestify2, addressOf(words), 0, static_cast<uint32_t>(c.count)));
    EXPECT_EQ(elements(result.eax), c.expected) << c.count;
  }
}

TEST_F(Conses, ListsLongerThanTheAreaContinueOnAFreshPage) {
  global(nbg::kConsFill) = global(nbg::kConsLimit) - 16;  // room for two conses
  LispCallSetup setup = setupFor(kLispList, makeFixnum(1), makeFixnum(2), 5);
  for (uint32_t i = 2; i < 5; ++i) setup.stack[i] = makeFixnum(i + 1);
  const LispCallResult result = call(setup);
  EXPECT_EQ(elements(result.eax), (std::vector<lispval>{makeFixnum(1), makeFixnum(2), makeFixnum(3),
                                                        makeFixnum(4), makeFixnum(5)}));
}

// ---- consing mode ----

TEST_F(Conses, AnnotatingModeNestsAndOnlyTheOutermostSwitchRewritesTheSlots) {
  const uint32_t qcons = global(kQcons), tcons = global(kTcons), mcons = global(kMcons);
  const struct {
    int32_t slot;
    lispval result;
    int32_t counter;
    bool annotating;
  } steps[] = {
      {kSetAnnotatingConsing, makeFixnum(1), -1, true},
      {kSetAnnotatingConsing, nil(), -2, true},
      {kSetNormalConsing, nil(), -1, true},
      {kSetNormalConsing, nil(), 0, false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.counter);
    const LispCallResult result = call(setupFor(step.slot));
    EXPECT_EQ(result.eax, step.result);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(static_cast<int32_t>(global(nbg::kConsingMode)), step.counter);
    EXPECT_EQ(global(kQcons), step.annotating ? mcons : qcons);
    EXPECT_EQ(global(kTcons), step.annotating ? mcons : tcons);
    EXPECT_EQ(threadWord(tr::kAnnotatingConsing), step.annotating ? makeFixnum(1) : nil());
  }
}

TEST_F(Conses, WhileAnnotatingTheConsSlotReturnsTheRecordersValue) {
  global(nbg::kAnnotatingSymbol) =
      objects_->makeSymbol(objects_->makeFunction(testing_support::recorderAddress()));
  call(setupFor(kSetAnnotatingConsing));
  testing_support::resetRecorder(makeFixnum(77));
  const LispCallResult result = call(setupFor(kQcons, makeFixnum(1), makeFixnum(2)));
  EXPECT_EQ(result.eax, makeFixnum(77));
  EXPECT_EQ(result.esi, kCallerFunction);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const testing_support::RecordedCall& annotation = lisp_recorder_log.calls[0];
  EXPECT_EQ(annotation.ecx, 3u);
  EXPECT_EQ(annotation.eax, makeFixnum(1));
  EXPECT_EQ(annotation.edx, makeFixnum(2));
  EXPECT_EQ(annotation.ebx, thread_);  // the stub reloads the thread from the frame
  const lispval cell = annotation.stack[2];
  ASSERT_TRUE(lisp::isCons(cell));
  EXPECT_EQ(lisp::car(cell), makeFixnum(1));
  EXPECT_EQ(lisp::cdr(cell), makeFixnum(2));
  call(setupFor(kSetNormalConsing));
}

TEST_F(Conses, McconsWithTheAreaUsedUpTakesTheConsFromLispCons) {
  global(nbg::kAnnotatingSymbol) =
      objects_->makeSymbol(objects_->makeFunction(testing_support::recorderAddress()));
  global(nbg::kConsFill) = global(nbg::kConsLimit);
  call(setupFor(kMcons, makeFixnum(3), nil()));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const lispval cell = lisp_recorder_log.calls[0].stack[2];
  EXPECT_EQ(pageStart(cell), GsNewAllocationArea.end - 2 * kPageBytes);
  EXPECT_EQ(lisp::car(cell), makeFixnum(3));
}

// ---- compare-and-exchange ----

TEST(ConditionalUpdate, StoresOnlyOverTheExpectedWord) {
  uint32_t word = 5;
  EXPECT_EQ(smp_conditional_update_nat(&word, 4, 9), 0);
  EXPECT_EQ(word, 5u);
  EXPECT_EQ(smp_conditional_update_nat(&word, 5, 9), 1);
  EXPECT_EQ(word, 9u);
}

TEST(ConditionalUpdate, ConcurrentIncrementsAreNeverLost) {
  constexpr int kThreads = 4, kIncrements = 100000;
  alignas(4) uint32_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&counter] {
      for (int i = 0; i < kIncrements; ++i) {
        uint32_t seen;
        do seen = __atomic_load_n(&counter, __ATOMIC_RELAXED);
        while (!smp_conditional_update_nat(&counter, seen, seen + 1));
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, static_cast<uint32_t>(kThreads * kIncrements));
}

// ---- the stretch of runtime code ----

TEST(RuntimeStretch, EveryRoutineFromTheBarrierThroughVectorLiesBetweenTheMarkers) {
  const uint32_t start = routineAddress(start_of_gc_runtime);
  const uint32_t end = routineAddress(end_of_gc_runtime);
  const uint32_t last = routineAddress(vector);
  void (*const routines[])() = {gc_setf_protect,
                                gc_setf_protect_x,
                                gc_set_protect,
                                gc_setf_protect_atomic,
                                gsgc_setf_protect_1,
                                qcons,
                                tcons,
                                mcons,
                                lisp_cons,
                                lisp_list,
                                restify2,
                                set_annotating_consing,
                                set_normal_consing,
                                new_other,
                                new_simple_vector,
                                new_simple_string,
                                new_struct,
                                new_double_float,
                                new_single_float,
                                newbignum,
                                fixnum_or_bignum};
  for (auto routine : routines) {
    EXPECT_GT(routineAddress(routine), start);
    EXPECT_LT(routineAddress(routine), last);
  }
  EXPECT_LT(last, end);
}

// ---- the native-call sequence ----

struct ProbeSeen {
  uint32_t head, record[tr::kClinkRecordWords];
  uint32_t firstArgumentAddress;
  uint16_t controlWord;
  uint32_t first, second;
};
ProbeSeen g_seen;
uint32_t g_probeThread;
uint32_t g_probeContinuation;

}  // namespace

// Called from runtime code, which keeps only 4-byte stack alignment.
extern "C" __attribute__((force_align_arg_pointer)) uint32_t native_call_probe(uint32_t first,
                                                                               uint32_t second) {
  g_seen.head = lisp::wordAt(g_probeThread, tr::kClinkHead);
  std::memcpy(g_seen.record, reinterpret_cast<void*>(g_seen.head), sizeof g_seen.record);
  g_seen.firstArgumentAddress = addressOf(&first);
  __asm__ volatile("fnstcw %0" : "=m"(g_seen.controlWord));
  g_seen.first = first;
  g_seen.second = second;
  if (g_probeContinuation) reinterpret_cast<uint32_t*>(g_seen.head)[3] = g_probeContinuation;
  return first + second;
}

namespace {

class NativeCall : public LispRoutineHeap {
 protected:
  void SetUp() override {
    LispRoutineHeap::SetUp();
    g_probeThread = thread_;
    g_probeContinuation = 0;
    at<uint16_t>(nil() + nbg::kFloatControlWord) = 0x37f;
  }
  LispCallSetup probe(uint32_t first, uint32_t second) {
    LispCallSetup setup = setupFor(0, first, second);
    setup.target = routineAddress(call_native_probe);
    setup.x87Count = 2;
    setup.x87Values[0] = 1.5;
    setup.x87Values[1] = 2.5;
    return setup;
  }
};

TEST_F(NativeCall, LinksARecordDirectlyAboveTheArgumentsAndUnlinksItAfter) {
  threadWord(tr::kClinkHead) = 0x1234;  // an outer record
  const LispCallResult result = call(probe(40, 2));
  EXPECT_EQ(result.eax, 42u);
  EXPECT_EQ(g_seen.first, 40u);
  EXPECT_EQ(g_seen.second, 2u);
  EXPECT_EQ(g_seen.head, g_seen.firstArgumentAddress + 8);
  EXPECT_EQ(g_seen.record[0], 0x1234u);      // previous
  EXPECT_EQ(g_seen.record[1], 0u);           // native frame
  EXPECT_GT(g_seen.record[2], g_seen.head);  // the probe's frame, above the record
  EXPECT_EQ(g_seen.record[3], nil());        // no throw continuation
  EXPECT_EQ(g_seen.controlWord, 0x37f);
  EXPECT_EQ(threadWord(tr::kClinkHead), 0x1234u);
  // st(0) to st(5) are freed before the call; the two loaded values are gone.
  EXPECT_EQ(result.x87Depth, 0u);
  threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
}

TEST_F(NativeCall, AThrowContinuationSetDuringTheCallIsJumpedTo) {
  g_probeContinuation = routineAddress(probe_throw_continuation);
  const LispCallResult result = call(probe(1, 2));
  EXPECT_EQ(result.eax, makeFixnum(-1));
  EXPECT_EQ(result.ebx, thread_);
  EXPECT_EQ(threadWord(tr::kClinkHead), tr::kEmptyClinkChain);
}

}  // namespace
