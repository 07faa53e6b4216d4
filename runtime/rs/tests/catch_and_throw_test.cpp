// Throws through their entry slots, caught by the test catcher (catch frames
// linked in its own frame): which frame a throw arrives at, what arrives
// there (values, carry, restored ebp and esp, the chains), cleanup frames on
// the way, the error for a missing catcher, returns from a given frame, and a
// throw from a callback past the native code that called it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/gc/scavenger.h"
#include "runtime/os/host_record_services.h"
#include "runtime/rs/catch_frames.h"
#include "runtime/rs/dynamic_binding.h"
#include "runtime/rs/foreign_callbacks.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/tests/values_heap.h"
#include "testing/console_host_record.h"
#include "testing/lisp_binding_thread.h"

extern "C" {
void bind_then_throw();
void throwing_callback_code();
void scavenging_callback_code();
void do_c_funcall();
extern uint32_t bind_probe_symbol, bind_probe_count, bind_probe_slot;
extern uint32_t throw_over_setup[5];  // eax, edx, tag, entry slot, ecx
}

namespace calling_protocol_test {
namespace {

namespace cf = lisp::catch_frames;
using catch_test::Arrival;

constexpr int32_t kThrow = 0x6b;
constexpr int32_t kSpecialThrow = 0x24b;
constexpr int32_t kThrowOverC = 0x34f;
constexpr int32_t kQsymeval = 0x63;
constexpr int32_t kCallbackVectorSymbol = -0x111;
constexpr uint32_t kEmptyClinks = tr::kEmptyClinkChain;

class CatchAndThrow : public ValuesHeap {
 protected:
  void SetUp() override {
    ValuesHeap::SetUp();
    testing_support::prepareThreadForBinding(thread_, 4, nil());
    marker_ = symbol();
    frameReturnTag_ = symbol();
    global(cf::kUnwindMarker) = marker_;
    global(cf::kFrameReturnTag) = frameReturnTag_;
    for (lispval& tag : tags_) tag = symbol();
    catch_setup = {};
    catch_log = {};
    error_snapshot = {};
    bind_probe_slot = 0;
    std::fill(std::begin(throw_over_setup), std::end(throw_over_setup), 0u);
  }
  void TearDown() override {
    EXPECT_EQ(threadWord(tr::kCatchChain), 0u);
    ValuesHeap::TearDown();
  }

  // The catcher links frames with these tags (frame 0 the oldest) and calls
  // `target` with `tag` in its frame word -0x18.
  LispCallSetup catcherCall(uint32_t target, std::vector<lispval> frameTags, lispval tag,
                            const std::vector<lispval>& items) {
    catch_setup.target = target;
    catch_setup.frames = static_cast<uint32_t>(frameTags.size());
    for (size_t i = 0; i < frameTags.size(); ++i) catch_setup.tags[i] = frameTags[i];
    catch_setup.callerTag = tag;
    catch_setup.area[0] = catch_setup.area[1] = nil();
    LispCallSetup setup = openForm(0, items);
    setup.target = addressOf(catch_probe);
    return setup;
  }
  lispval& counterWord() { return global(cf::kUnwindCounter); }
  std::vector<lispval> arrivedValues(const Arrival& arrival) {
    std::vector<lispval> items;
    for (uint32_t i = 0; i < arrival.ecx && i < 64; ++i)
      items.push_back(i == 0 ? arrival.eax : i == 1 ? arrival.edx : element(head(), i + 1));
    return items;
  }
  // The values of an arrival land back in the harness's result unchanged.
  void expectArrivalAt(uint32_t frame, const Arrival& arrival, lispval tag) {
    EXPECT_EQ(arrival.frame, frame);
    EXPECT_EQ(arrival.espOffset, 0);
    EXPECT_EQ(arrival.ebpOffset, 0);
    EXPECT_EQ(arrival.esi, kEntryFunction);  // the catcher's frame word -4
    EXPECT_EQ(arrival.ebx, thread_);
    EXPECT_EQ(arrival.catchHead, catch_log.frames[frame]) << "the frame stays linked";
    EXPECT_EQ(arrival.tagWord, tag);
  }

  // L = (T binding-top unused mode . rest), T patched to the catcher's ebp.
  lispval returnList(lispval mode, const std::vector<lispval>& rest) {
    std::vector<lispval> items{makeFixnum(0), nil(), nil(), mode};
    items.insert(items.end(), rest.begin(), rest.end());
    const lispval l = list(items);
    catch_setup.patchList = l;
    return l;
  }
  // A symbol whose value vector is an empty simple vector, as the binders
  // and readers expect.
  lispval specialSymbol(lispval value) {
    const lispval special = symbol();
    auto* vector = static_cast<uint32_t*>(objects_->allocate(8));
    vector[0] = lisp::headerWord(lisp::type_code::SimpleVector);
    vector[1] = makeFixnum(0);
    auto* object = lisp::objectOf<lisp::SymbolObject>(special);
    object->globalValue = value;
    object->valueVector = lisp::wordOf(vector, lisp::Tag::Other);
    return special;
  }

  lispval marker_ = 0, frameReturnTag_ = 0;
  lispval tags_[3] = {};
};

TEST_F(CatchAndThrow, ValuesArriveAtTheFrameWithTheTag) {
  const struct {
    const char* name;
    int count;
  } cases[] = {{"one value", 1}, {"no values", 0}, {"two values", 2}, {"25 values", 25}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    catch_log = {};
    head() = nil();
    counterWord() = 0x7f000000;
    const std::vector<lispval> items = fixnums(1, c.count);
    const LispCallResult result =
        call(catcherCall(global(kThrow), {tags_[0], tags_[1], tags_[2]}, tags_[0], items));
    ASSERT_EQ(catch_log.arrivals, 1u);
    const Arrival& arrival = catch_log.arrival[0];
    expectArrivalAt(0, arrival, tags_[0]);
    EXPECT_EQ(arrival.clinkHead, kEmptyClinks);
    EXPECT_EQ(arrival.ecx, static_cast<uint32_t>(c.count));
    EXPECT_EQ(arrival.carry, c.count == 1 ? 0u : 1u);
    EXPECT_EQ(arrivedValues(arrival), items);
    if (c.count == 1) {
      EXPECT_EQ(arrival.valueWord, makeFixnum(1));
    } else {
      EXPECT_EQ(arrival.valueWord, head()) << "the vector is the head again";
      EXPECT_EQ(arrival.valuesHead, head());
    }
    EXPECT_EQ(counterWord(), 0x007f0000u);
    EXPECT_EQ(result.ecx, arrival.ecx);
    EXPECT_EQ(result.carry, arrival.carry);
    EXPECT_EQ(catch_log.returned, 0u);
  }
}

TEST_F(CatchAndThrow, CleanupFramesOnTheWayAreVisitedNewestFirst) {
  catch_setup.rethrow = 1;
  const std::vector<lispval> items = fixnums(1, 4);
  const LispCallResult result =
      call(catcherCall(global(kThrow), {tags_[0], marker_, marker_}, tags_[0], items));
  ASSERT_EQ(catch_log.arrivals, 3u);
  expectArrivalAt(2, catch_log.arrival[0], tags_[0]);
  expectArrivalAt(1, catch_log.arrival[1], tags_[0]);
  expectArrivalAt(0, catch_log.arrival[2], tags_[0]);
  // A cleanup frame holds the closed vector it was given; the target gets the values.
  EXPECT_EQ(catch_log.arrival[0].valueWord, catch_log.arrival[2].valueWord);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(catch_log.arrival[i].ecx, 4u);
    EXPECT_EQ(catch_log.arrival[i].carry, 1u);
  }
  EXPECT_EQ(arrivedValues(catch_log.arrival[2]), items);
  EXPECT_EQ(result.ecx, 4u);
  EXPECT_EQ(result.eax, makeFixnum(1));
}

TEST_F(CatchAndThrow, AMissingCatcherIsError15BeforeAnythingIsUnwound) {
  global(lisp::nil_block::global::kErrorSymbolWithDatum) =
      symbol(objects_->makeFunction(addressOf(error_snapshot_entry)));
  const lispval stray = symbol();
  const uint32_t bindingTop = threadWord(tr::kBindingStackTop);
  const lispval values = newValuesVector(20);
  head() = values;
  counterWord() = 0x7f000000;
  const LispCallResult result =
      call(catcherCall(global(kThrow), {marker_, tags_[1]}, stray, {makeFixnum(5)}));
  ASSERT_EQ(error_snapshot.count, 1u);
  EXPECT_EQ(error_snapshot.eax, makeFixnum(cf::kNoCatcherError));
  EXPECT_EQ(error_snapshot.edx, stray);
  EXPECT_EQ(error_snapshot.catchHead, catch_log.frames[1]);
  EXPECT_EQ(error_snapshot.clinkHead, kEmptyClinks);
  EXPECT_EQ(error_snapshot.bindingTop, bindingTop);
  EXPECT_EQ(error_snapshot.valuesHead, values);
  // The error returned: the throw goes on to the cleanup frame it met.
  ASSERT_EQ(catch_log.arrivals, 1u);
  expectArrivalAt(0, catch_log.arrival[0], stray);
  EXPECT_EQ(result.eax, makeFixnum(5));
  EXPECT_EQ(result.carry, 0u);
  EXPECT_EQ(counterWord(), 0x007f0000u);
}

using CatchAndThrowDeathTest = CatchAndThrow;

TEST_F(CatchAndThrowDeathTest, AMissingCatcherWithNoCleanupFrameEndsTheProcess) {
  EXPECT_EXIT(
      {
        setup_redir(&testing_support::consoleOnStandardError());  // where death tests look
        call(catcherCall(global(kThrow), {tags_[0]}, symbol(), {nil()}));
      },
      testing::ExitedWithCode(1), "no catcher and no cleanup frame");
}

TEST_F(CatchAndThrow, BindingsMadeInsideAreUndone) {
  const lispval special = specialSymbol(makeFixnum(-1));
  for (uint32_t count : {1u, 1000u}) {
    SCOPED_TRACE(count);
    catch_log = {};
    bind_probe_symbol = special;
    bind_probe_count = 4 * count;
    const LispCallResult result =
        call(catcherCall(addressOf(bind_then_throw), {tags_[0]}, tags_[0], {makeFixnum(3)}));
    ASSERT_EQ(catch_log.arrivals, 1u);
    EXPECT_EQ(catch_log.arrival[0].bindingTop, 0u);
    EXPECT_EQ(result.eax, makeFixnum(3));
    EXPECT_EQ(threadWord(tr::kBindingStackTop), 0u);
    EXPECT_EQ(call(setupFor(kQsymeval, special, 0, 1)).eax, makeFixnum(-1));
  }
}

TEST_F(CatchAndThrow, ThrowOverNativeCodeWithNoNativeCallerThrowsInLispAtOnce) {
  const lispval vector = closedVector(21, fixnums(1, 2));
  LispCallSetup setup = catcherCall(global(kThrowOverC), {tags_[0]}, nil(), {});
  setup.eax = makeFixnum(5);
  setup.edx = vector;
  setup.ecx = 3;
  catch_setup.area[2] = tags_[0];
  const LispCallResult result = call(setup);
  ASSERT_EQ(catch_log.arrivals, 1u);
  expectArrivalAt(0, catch_log.arrival[0], tags_[0]);
  EXPECT_EQ(arrivedValues(catch_log.arrival[0]), fixnums(1, 2));
  EXPECT_EQ(result.ecx, 2u);
}

// ---- frame returns ----

class FrameReturn : public CatchAndThrow {
 protected:
  LispCallResult frameReturn(lispval l, std::vector<lispval> frameTags = {}) {
    return call(catcherCall(global(kSpecialThrow), frameTags, frameReturnTag_, {l}));
  }
};

TEST_F(FrameReturn, ReturnModeDeliversTheCountAndValueToTheFramesCaller) {
  const struct {
    int32_t count;
    uint32_t ecx, carry;
  } cases[] = {{3, static_cast<uint32_t>(-3), 1}, {1, 1, 0}, {0, 0, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    catch_log = {};
    const lispval value = symbol();
    const LispCallResult result =
        frameReturn(returnList(makeFixnum(0), {makeFixnum(c.count), value}));
    EXPECT_EQ(catch_log.arrivals, 0u);
    EXPECT_EQ(catch_log.returned, 0u);
    EXPECT_EQ(result.eax, value);
    EXPECT_EQ(result.ecx, c.ecx);
    EXPECT_EQ(result.carry, c.carry);
    EXPECT_EQ(result.esi, kCallerFunction);
  }
}

TEST_F(FrameReturn, ApplyModeCallsTheFunctionAndReturnsItsValues) {
  testing_support::resetRecorder(makeFixnum(42));
  const LispCallResult result = frameReturn(
      returnList(makeFixnum(1), {recorderFunction_, makeFixnum(7), makeFixnum(8), makeFixnum(9)}));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const RecordedCall& callee = lisp_recorder_log.calls[0];
  EXPECT_EQ(callee.ecx, 3u);
  EXPECT_EQ(callee.eax, makeFixnum(7));
  EXPECT_EQ(callee.edx, makeFixnum(8));
  EXPECT_EQ(callee.stack[2], makeFixnum(9));
  EXPECT_EQ(result.eax, makeFixnum(42));
  EXPECT_EQ(result.carry, 0u);
  EXPECT_EQ(catch_log.arrivals, 0u);
}

TEST_F(FrameReturn, ACleanupFrameInsideTheReturningFrameRunsFirst) {
  catch_setup.rethrow = 1;
  const lispval value = symbol();
  const LispCallResult result =
      frameReturn(returnList(makeFixnum(0), {makeFixnum(1), value}), {marker_});
  ASSERT_EQ(catch_log.arrivals, 1u);
  expectArrivalAt(0, catch_log.arrival[0], frameReturnTag_);
  EXPECT_EQ(result.eax, value);
  EXPECT_EQ(result.ecx, 1u);
  EXPECT_EQ(result.carry, 0u);
}

TEST_F(FrameReturn, TheBindingStackIsUnwoundToTheMarkTheListGives) {
  const lispval special = specialSymbol(makeFixnum(-1));
  bind_probe_symbol = special;
  bind_probe_count = 4 * 3;
  bind_probe_slot = kSpecialThrow;
  const lispval value = symbol();
  const lispval l = returnList(makeFixnum(0), {makeFixnum(1), value});
  lisp::car(lisp::cdr(l)) = 0;  // element 1: the binding-stack top to unwind to
  const LispCallResult result =
      call(catcherCall(addressOf(bind_then_throw), {}, frameReturnTag_, {l}));
  EXPECT_EQ(result.eax, value);
  EXPECT_EQ(threadWord(tr::kBindingStackTop), 0u);
  EXPECT_EQ(call(setupFor(kQsymeval, special, 0, 1)).eax, makeFixnum(-1));
}

// ---- across native code ----

uint32_t g_nativeSaw = 0;
uint32_t g_callbackBlock[4] = {};

extern "C" uint32_t nativeCallsBack(uint32_t) {
  g_nativeSaw = lisp_addr_call(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(g_callbackBlock)), 0);
  return 0x1234;
}

class ThrowOverNative : public CatchAndThrow {
 protected:
  void SetUp() override {
    CatchAndThrow::SetUp();
    std::memcpy(record_, threadRecord_, sizeof threadRecord_);
    thread_ = lisp::pointerWord(addressOf(record_), lisp::Tag::Other);
    threadWord(tr::kLeafCallStack) = nil();
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
    auto* vector = static_cast<uint32_t*>(objects_->allocate(16));
    vector[0] = lisp::headerWord(lisp::type_code::SimpleVector);
    vector[1] = makeFixnum(2);
    vector[2] = callable(throwing_callback_code);
    vector[3] = callable(scavenging_callback_code);
    global(kCallbackVectorSymbol) = specialSymbol(lisp::wordOf(vector, lisp::Tag::Other));
    g_nativeSaw = 0;
  }
  lispval callable(void (*code)()) {
    const lispval function = objects_->makeFunction(addressOf(code));
    lisp::objectOf<lisp::FunctionObject>(function)->header =
        lisp::headerWord(lisp::type_code::Function, lisp::foreign_callback::kForeignCallableBit);
    return function;
  }
  lispval bignum(uint16_t low, uint16_t high, bool negative) {
    auto* words = static_cast<uint32_t*>(objects_->allocate(8));
    words[0] = lisp::bignumHeader(2, negative ? 0xff : 0);
    words[1] = low | (static_cast<uint32_t>(high) << 16);
    return lisp::wordOf(words, lisp::Tag::Other);
  }

  alignas(8) uint8_t record_[tr::kRecordBlockBytes] = {};
};

TEST_F(ThrowOverNative, TheNativeCallerSeesTheIntegerAndTheThrowResumesInLisp) {
  const struct {
    const char* name;
    bool fixnum;
    uint32_t seen;
  } cases[] = {
      {"fixnum", true, static_cast<uint32_t>(-77)},
      {"negative bignum", false, static_cast<uint32_t>(-0x12345678)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    catch_log = {};
    throw_over_setup[0] = c.fixnum ? makeFixnum(-77) : bignum(0x5678, 0x1234, true);
    throw_over_setup[1] = closedVector(21, {makeFixnum(10), makeFixnum(11), makeFixnum(12)});
    throw_over_setup[2] = tags_[0];
    LispCallSetup setup = catcherCall(addressOf(do_c_funcall), {tags_[0]}, nil(), {});
    setup.eax = addressOf(reinterpret_cast<void (*)()>(nativeCallsBack));
    setup.edx = 0;
    setup.ecx = 2;
    const LispCallResult result = call(setup);
    EXPECT_EQ(g_nativeSaw, c.seen);
    ASSERT_EQ(catch_log.arrivals, 1u);
    const Arrival& arrival = catch_log.arrival[0];
    expectArrivalAt(0, arrival, tags_[0]);
    EXPECT_EQ(arrival.clinkHead, kEmptyClinks);
    EXPECT_EQ(arrivedValues(arrival), fixnums(10, 3));
    EXPECT_EQ(result.ecx, 3u);
    EXPECT_EQ(result.carry, 1u);
  }
}

// Callback 0 throws over the native code, which then calls callback 1, a
// scavenge, before it returns: the pending throw's tag (a new-space symbol)
// and values vector (new space too) move with the collection, and the throw
// arrives at its catch frame with its values.
extern "C" uint32_t nativeCallsBackTwice(uint32_t) {
  const auto block = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(g_callbackBlock));
  g_nativeSaw = lisp_addr_call(block, 0);
  lisp_addr_call(block, 1);
  return 0x1234;
}

TEST_F(ThrowOverNative, APendingThrowsTagAndValuesMoveWithACollectionInTheNativeCode) {
  constexpr int32_t kNewSymbol = 0x127;
  const lispval tag = call(setupFor(kNewSymbol, nil(), makeFixnum(0), 2)).eax;
  throw_over_setup[0] = makeFixnum(-77);
  throw_over_setup[1] = closedVector(21, {makeFixnum(10), makeFixnum(11), makeFixnum(12)});
  throw_over_setup[2] = tag;
  global(lisp::nil_block::global::kErrorSymbolWithDatum) =
      symbol(objects_->makeFunction(addressOf(error_snapshot_entry)));
  testing_support::resetRecorder(nil());
  const uint32_t scavenges = ScavengeCt;
  // A cleanup frame under the catch frame: a throw that finds no catcher
  // stops there after error 15.
  LispCallSetup setup = catcherCall(addressOf(do_c_funcall), {marker_, tag}, nil(), {});
  setup.eax = addressOf(reinterpret_cast<void (*)()>(nativeCallsBackTwice));
  setup.edx = 0;
  setup.ecx = 2;
  const LispCallResult result = call(setup);
  EXPECT_EQ(ScavengeCt, scavenges + 1);
  EXPECT_EQ(g_nativeSaw, static_cast<uint32_t>(-77));
  EXPECT_EQ(error_snapshot.count, 0u) << "no error 15";
  ASSERT_EQ(catch_log.arrivals, 1u);
  const Arrival& arrival = catch_log.arrival[0];
  EXPECT_EQ(arrival.frame, 1u) << "at the catch frame, not the cleanup";
  EXPECT_NE(arrival.tagWord, tag) << "the tag moved";
  EXPECT_EQ(arrival.clinkHead, kEmptyClinks);
  EXPECT_EQ(arrivedValues(arrival), fixnums(10, 3));
  EXPECT_EQ(result.ecx, 3u);
}

TEST_F(ThrowOverNative, AFrameReturnFromTheCallbackPopsTheForeignCallRecords) {
  const lispval value = symbol();
  throw_over_setup[0] = returnList(makeFixnum(0), {makeFixnum(1), value});
  throw_over_setup[2] = frameReturnTag_;
  throw_over_setup[3] = kSpecialThrow;
  throw_over_setup[4] = 1;
  LispCallSetup setup = catcherCall(addressOf(do_c_funcall), {}, nil(), {});
  setup.eax = addressOf(reinterpret_cast<void (*)()>(nativeCallsBack));
  setup.edx = 0;
  setup.ecx = 2;
  const LispCallResult result = call(setup);
  EXPECT_EQ(g_nativeSaw, 0u) << "the native code was left, not returned to";
  EXPECT_EQ(result.eax, value);
  EXPECT_EQ(result.ecx, 1u);
  EXPECT_EQ(threadWord(tr::kClinkHead), kEmptyClinks);
}

}  // namespace
}  // namespace calling_protocol_test
