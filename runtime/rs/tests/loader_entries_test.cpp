// The loaders' native entries into Lisp, called from C++ as the loaders
// call them, with stand-in Lisp functions (recorders) in the global
// symbols; and fix_func_name behind _fix_symdef.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

#include "platform/thread_block.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/scavenger.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/runtime_routines.h"
#include "testing/lisp_constructor_heap.h"

extern "C" {
void clink_probe_entry();
// At the call: the newest record, its word 1, ebp, the frame ebp links to,
// and the words at -4 of those two frames.
extern uint32_t clink_probe_seen[6];
void collecting_probe_entry();
extern uint32_t collecting_probe_args[3];  // home slots and argument 3 after a scavenge
}

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
namespace nbg = lisp::nil_block::global;
namespace tr = lisp::thread_record;

constexpr int32_t kEvalSymbol = -0x65;
constexpr int32_t kNameFixerSymbol = -0xc5;
constexpr int32_t kSetFunctionSymbol = -0xe9;
constexpr int32_t kClearDocSymbol = -0x311;
constexpr int32_t kWordConverterSymbol = -0x39d;
constexpr lispval kAnswer = makeFixnum(4321);

class LoaderEntries : public LispConstructorHeap {
 protected:
  void SetUp() override {
    LispConstructorHeap::SetUp();
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
    probe_ = objects_->makeFunction(
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&clink_probe_entry)));
    for (int32_t symbol :
         {kEvalSymbol, kNameFixerSymbol, kSetFunctionSymbol, kClearDocSymbol, kWordConverterSymbol})
      global(symbol) = objects_->makeSymbol(probe_);
    initialFunction_ = objects_->makeFunction(testing_support::recorderAddress());
    global(nbg::kInitialFunction) = initialFunction_;
    testing_support::resetRecorder(kAnswer);
  }
  void TearDown() override {
    threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
    LispConstructorHeap::TearDown();
  }

  // A symbol whose global value is `value` (its value vector is empty, so
  // every thread sees the global value).
  lispval symbolWithValue(lispval value) {
    auto* empty = static_cast<uint32_t*>(objects_->allocate(8));
    empty[0] = lisp::type_code::SimpleVector;
    empty[1] = makeFixnum(0);
    const lispval symbol = objects_->makeSymbol(nil());
    lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue = value;
    lisp::objectOf<lisp::SymbolObject>(symbol)->valueVector = lisp::wordOf(empty, lisp::Tag::Other);
    return symbol;
  }

  // One recorded call with this count and first argument.
  const testing_support::RecordedCall& calledOnce(uint32_t count, lispval first) {
    EXPECT_EQ(lisp_recorder_log.count, 1u);
    const testing_support::RecordedCall& call = lisp_recorder_log.calls[0];
    EXPECT_EQ(call.ecx, count);
    EXPECT_EQ(call.eax, first);
    EXPECT_EQ(call.edi, nil());
    return call;
  }

  lispval probe_ = 0;
  lispval initialFunction_ = 0;
};

TEST_F(LoaderEntries, EachEntryCallsTheFunctionOfItsSymbolWithItsArguments) {
  const lispval a = makeFixnum(1), b = makeFixnum(2), c = makeFixnum(3);

  EXPECT_EQ(_setfunction(a, b, c), kAnswer);
  const testing_support::RecordedCall& set = calledOnce(3, a);
  EXPECT_EQ(set.edx, b);
  EXPECT_EQ(set.stack[0], a);  // the home slots, then argument 3
  EXPECT_EQ(set.stack[1], b);
  EXPECT_EQ(set.stack[2], c);
  EXPECT_EQ(set.callerFrame[testing_support::frameIndex(0x18)], global(kSetFunctionSymbol));

  testing_support::resetRecorder(kAnswer);
  EXPECT_EQ(_clearfundoc(a), kAnswer);
  calledOnce(1, a);
  EXPECT_EQ(lisp_recorder_log.calls[0].callerFrame[testing_support::frameIndex(0x18)],
            global(kClearDocSymbol));

  testing_support::resetRecorder(kAnswer);
  EXPECT_EQ(_lispeval(c), kAnswer);
  calledOnce(1, c);
  EXPECT_EQ(lisp_recorder_log.calls[0].callerFrame[testing_support::frameIndex(0x18)],
            global(kEvalSymbol));
}

TEST_F(LoaderEntries, ShiftWordAndAddAddsFourTimesYToTheRawResult) {
  testing_support::resetRecorder(makeFixnum(3));
  EXPECT_EQ(_shift_word_and_add(makeFixnum(9), 2), 12u + 8u);
  EXPECT_EQ(calledOnce(2, makeFixnum(9)).edx, makeFixnum(16));
  EXPECT_EQ(lisp_recorder_log.calls[0].callerFrame[testing_support::frameIndex(0x18)],
            global(kWordConverterSymbol));

  testing_support::resetRecorder(makeFixnum(-1));
  EXPECT_EQ(_shift_word_and_add(nil(), -3), static_cast<uint32_t>(-4 - 12));
}

TEST_F(LoaderEntries, NegateResultNegatesTheRawWord) {
  EXPECT_EQ(_negate_result(5), static_cast<uint32_t>(-5));
  EXPECT_EQ(_negate_result(0), 0u);
  EXPECT_EQ(_negate_result(0x80000000u), 0x80000000u);
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

TEST_F(LoaderEntries, LispevalWithTheInitialFunctionTakesASymbolsValue) {
  lisp::objectOf<lisp::SymbolObject>(global(kEvalSymbol))->function = initialFunction_;
  const lispval symbol = symbolWithValue(makeFixnum(77));
  EXPECT_EQ(_lispeval(symbol), makeFixnum(77));
  EXPECT_EQ(_lispeval(nil()), nil());
  EXPECT_EQ(lisp_recorder_log.count, 0u);

  // Any other form is handed to the symbol all the same, here to the
  // initial function in its function cell.
  const lispval list = lisp::pointerWord(cons_from_new_page(), lisp::Tag::Cons);
  lisp::car(list) = lisp::cdr(list) = nil();
  EXPECT_EQ(_lispeval(makeFixnum(8)), kAnswer);
  EXPECT_EQ(_lispeval(list), kAnswer);
  ASSERT_EQ(lisp_recorder_log.count, 2u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(8));
  EXPECT_EQ(lisp_recorder_log.calls[1].eax, list);
}

// ---- the entry's frame in the newest foreign-call record ----

TEST_F(LoaderEntries, WhileLispRunsTheNewestRecordHoldsTheEntrysFrame) {
  uint32_t record[tr::kClinkRecordWords] = {tr::kEmptyClinkChain, 0, 0, nil(), 0, 0};
  threadWord(tr::kClinkHead) = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record));
  const lispval function =
      lisp::pointerWord(other_from_old_xsmp(lisp::functionObjectBytes(0)), lisp::Tag::Other);
  at(function - 0x12) = lisp::headerWord(lisp::type_code::Function);
  at(function - 6) = nil();

  const struct {
    const char* entry;
    lispval (*call)(lispval);
  } entries[] = {
      {"_lispeval", [](lispval x) { return _lispeval(x); }},
      {"_setfunction", [](lispval x) { return _setfunction(x, x, x); }},
      {"_clearfundoc", [](lispval x) { return _clearfundoc(x); }},
      {"_fix_symdef", [](lispval x) { return _fix_symdef(x); }},
      {"_shift_word_and_add", [](lispval x) { return _shift_word_and_add(x, 0); }},
  };
  for (const auto& entry : entries) {
    SCOPED_TRACE(entry.entry);
    std::fill(std::begin(clink_probe_seen), std::end(clink_probe_seen), 0u);
    testing_support::resetRecorder(kAnswer);
    EXPECT_EQ(entry.call(function), kAnswer);
    EXPECT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(clink_probe_seen[0], threadWord(tr::kClinkHead));
    EXPECT_NE(clink_probe_seen[1], 0u);
    // _fix_symdef's Lisp call comes from fix_func_name's frame, whose caller
    // is the entry's frame.
    const bool fromFixFuncName = std::string(entry.entry) == "_fix_symdef";
    const uint32_t entryFrame = fromFixFuncName ? clink_probe_seen[3] : clink_probe_seen[2];
    const uint32_t entryMarker = fromFixFuncName ? clink_probe_seen[5] : clink_probe_seen[4];
    EXPECT_EQ(clink_probe_seen[1], entryFrame);
    EXPECT_EQ(entryMarker, lisp::nil_block::marker::kNativeEntry);
    EXPECT_EQ(record[1], 0u) << "word 1 after the return";
    EXPECT_EQ(record[0], tr::kEmptyClinkChain);
  }
}

TEST_F(LoaderEntries, WithNoRecordOnTheChainNothingIsNoted) {
  clink_probe_seen[1] = 0x1234;
  EXPECT_EQ(_clearfundoc(makeFixnum(1)), kAnswer);
  EXPECT_EQ(clink_probe_seen[0], tr::kEmptyClinkChain);
  EXPECT_EQ(clink_probe_seen[1], 0x1234u);
  EXPECT_EQ(threadWord(tr::kClinkHead), tr::kEmptyClinkChain);
}

// A scavenge while the Lisp function runs walks from its frame into the
// entry's frame, updates the call's arguments there (they lie below the
// entry's raw words) and stops at the record that holds the entry's frame,
// passing over the native code above it.
TEST_F(LoaderEntries, ACollectionWhileLispRunsMovesTheArgumentsOfTheCall) {
  uint32_t record[tr::kClinkRecordWords] = {tr::kEmptyClinkChain, 0, 0, nil(), 0, 0};
  threadWord(tr::kClinkHead) = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record));
  // The collector reads frame sizes only from function objects in the heap.
  const uint32_t function = other_from_old_xsmp(lisp::functionObjectBytes(0));
  auto* probe = reinterpret_cast<lisp::FunctionObject*>(static_cast<uintptr_t>(function));
  *probe = {};
  probe->header = lisp::headerWord(lisp::type_code::Function);
  probe->start = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&collecting_probe_entry));
  probe->lispSlot1 = probe->codeVector = probe->lispSlot2 = nil();
  global(kSetFunctionSymbol) = objects_->makeSymbol(lisp::wordOf(probe, lisp::Tag::Other));
  lispval arguments[3];
  for (int32_t i = 0; i < 3; ++i) {
    arguments[i] = lisp::pointerWord(cons_from_new_page(), lisp::Tag::Cons);
    lisp::car(arguments[i]) = makeFixnum(i + 1);
    lisp::cdr(arguments[i]) = nil();
  }
  const uint32_t scavenges = ScavengeCt;

  const lispval result = _setfunction(arguments[0], arguments[1], arguments[2]);
  EXPECT_EQ(ScavengeCt, scavenges + 1);
  for (int32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(testing::Message() << "argument " << i + 1);
    const lispval moved = collecting_probe_args[i];
    ASSERT_TRUE(lisp::isCons(moved));
    EXPECT_NE(moved, arguments[i]);
    EXPECT_EQ(lisp::car(moved), makeFixnum(i + 1));
  }
  EXPECT_EQ(result, collecting_probe_args[2]);
  EXPECT_EQ(record[1], 0u);
}

// ---- fix_func_name ----

TEST_F(LoaderEntries, FixSymdefReplacesTheNameWordThroughTheBarrier) {
  const uint32_t object = other_from_old_xsmp(lisp::functionObjectBytes(0));
  const lispval function = lisp::pointerWord(object, lisp::Tag::Other);
  at(object) = lisp::headerWord(lisp::type_code::Function);
  const lispval oldName = makeFixnum(5);
  at(function - 6) = oldName;
  const lispval newName = lisp::pointerWord(cons_from_new_page(), lisp::Tag::Cons);
  lisp::car(newName) = lisp::cdr(newName) = nil();
  testing_support::resetRecorder(newName);
  ASSERT_FALSE(gc::rootBitSet(function - 6));

  EXPECT_EQ(_fix_symdef(function), newName);
  EXPECT_EQ(calledOnce(1, oldName).callerFrame[testing_support::frameIndex(0x18)],
            global(kNameFixerSymbol));
  EXPECT_EQ(at(function - 6), newName);
  EXPECT_TRUE(gc::rootBitSet(function - 6));
}

TEST_F(LoaderEntries, FixFuncNameKeepsTheRegisterConventionsAndLeavesNonFunctionsAlone) {
  const lispval function = objects_->makeFunction(0);
  at(function - 6) = makeFixnum(6);
  const testing_support::LispCallResult fixed =
      call(setupForRoutine(fix_func_name, function, nil(), 1));
  EXPECT_EQ(fixed.eax, kAnswer);
  EXPECT_EQ(fixed.carry, 0u);
  EXPECT_EQ(fixed.esi, kCallerFunction);
  EXPECT_EQ(at(function - 6), kAnswer);
  calledOnce(1, makeFixnum(6));

  testing_support::resetRecorder(kAnswer);
  const lispval closureLike = objects_->makeFunction(0);
  at(closureLike - 0x12) = lisp::headerWord(lisp::type_code::Closure);
  at(closureLike - 6) = makeFixnum(6);
  for (lispval notAFunction : {closureLike, makeFixnum(3), nil()}) {
    EXPECT_EQ(call(setupForRoutine(fix_func_name, notAFunction, nil(), 1)).eax, nil());
  }
  EXPECT_EQ(at(closureLike - 6), makeFixnum(6));
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

}  // namespace
