// The function-group fixups through the Lisp calling conventions, with
// recorders as the Lisp functions of the globals they call.

#include <gtest/gtest.h>

#include <vector>

#include "platform/thread_block.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/function_groups.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/tests/collection_probes.h"
#include "testing/lisp_constructor_heap.h"

extern "C" uint32_t bootmode;

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;

constexpr int32_t globalWord(int32_t n) {
  return -4 * n - 0x15;
}
constexpr int32_t kConverter = globalWord(44);
constexpr int32_t kMarker = globalWord(157);
constexpr int32_t kNotifier = globalWord(160);
constexpr int32_t kSecondNotify = globalWord(195);
constexpr int32_t kEncapsulationCount = globalWord(265);
constexpr int32_t kLookup = globalWord(266);
constexpr int32_t kRegistrar = globalWord(277);
constexpr int32_t kInitial = globalWord(306);
constexpr int32_t kFixupSlot = 0x303;
constexpr int32_t kFunctionName = -6;

class FunctionGroups : public LispConstructorHeap {
 protected:
  void SetUp() override {
    LispConstructorHeap::SetUp();
    savedBootmode_ = bootmode;
    bootmode = 1;
    initial_ = objects_->makeFunction(testing_support::recorderAddress());
    global(kInitial) = initial_;
    recorder_ = objects_->makeFunction(testing_support::recorderAddress());
    for (int32_t g : {kConverter, kNotifier, kLookup, kRegistrar})
      global(g) = objects_->makeSymbol(recorder_);
    global(kMarker) = objects_->makeSymbol(initial_);
    global(kSecondNotify) = objects_->makeSymbol(initial_);
    global(kEncapsulationCount) = symbolWithValue(global(lisp::nil_block::global::kUnboundMarker));
  }
  void TearDown() override {
    bootmode = savedBootmode_;
    LispConstructorHeap::TearDown();
  }

  lispval cons(lispval a, lispval b) {
    auto* cell = static_cast<uint32_t*>(objects_->allocate(8));
    cell[0] = a;
    cell[1] = b;
    return lisp::pointerWord(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(cell)),
                             lisp::Tag::Cons);
  }
  lispval list(std::vector<lispval> items) {
    lispval result = nil();
    for (size_t i = items.size(); i-- > 0;) result = cons(items[i], result);
    return result;
  }
  lispval function(std::vector<lispval> constants) {
    const uint32_t n = static_cast<uint32_t>(constants.size());
    auto* words = static_cast<uint32_t*>(objects_->allocate(lisp::functionObjectBytes(n)));
    words[0] = 8 | (n << 16);
    words[1] = testing_support::recorderAddress();
    for (uint32_t i = 2; i < 9; ++i) words[i] = nil();
    for (uint32_t i = 0; i < n; ++i) words[9 + i] = constants[i];
    return lisp::wordOf(words, lisp::Tag::Other);
  }
  lispval closure(lispval templateFunction, uint8_t kind) {
    auto* words = static_cast<uint32_t*>(objects_->allocate(16));
    words[0] = 9 | (uint32_t{kind} << 8);
    words[1] = 0;
    words[2] = templateFunction;
    words[3] = nil();
    return lisp::wordOf(words, lisp::Tag::Other);
  }
  lispval symbolWithValue(lispval value) {
    auto* empty = static_cast<uint32_t*>(objects_->allocate(8));
    empty[0] = lisp::type_code::SimpleVector;
    empty[1] = makeFixnum(0);
    const lispval symbol = objects_->makeSymbol(nil());
    lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue = value;
    lisp::objectOf<lisp::SymbolObject>(symbol)->valueVector = lisp::wordOf(empty, lisp::Tag::Other);
    return symbol;
  }
  void setEncapsulationCount(lispval value) {
    lisp::objectOf<lisp::SymbolObject>(global(kEncapsulationCount))->globalValue = value;
  }
  static lispval name(lispval f) { return at(f + kFunctionName); }
  static lispval constant(lispval f, uint32_t i) { return at(f + 0x12 + 4 * i); }

  void run(void (*routine)(), lispval argument) {
    testing_support::LispCallSetup setup = setupForRoutine(routine, argument, 0, 1);
    const testing_support::LispCallResult result = call(setup);
    EXPECT_EQ(result.eax, nil());
  }
  void fixup(lispval group) {
    const testing_support::LispCallResult result = call(setupFor(kFixupSlot, group, 0, 1));
    EXPECT_EQ(result.eax, nil());
  }

  uint32_t savedBootmode_ = 0;
  lispval initial_ = 0, recorder_ = 0;
};

TEST_F(FunctionGroups, FunctionCellsAreUsedUnlessEncapsulationIsOn) {
  const lispval nameForm = makeFixnum(11);
  for (lispval count : {global(lisp::nil_block::global::kUnboundMarker), makeFixnum(0)}) {
    setEncapsulationCount(count);
    const lispval f = function({});
    const lispval symbol = objects_->makeSymbol(f);
    fixup(list({cons(symbol, nameForm)}));
    EXPECT_EQ(name(f), nameForm);
    EXPECT_EQ(lisp_recorder_log.count, 0u);
  }
  setEncapsulationCount(makeFixnum(1));
  const lispval cellFunction = function({});
  const lispval unwrapped = function({});
  const lispval symbol = objects_->makeSymbol(cellFunction);
  testing_support::resetRecorder(unwrapped);
  fixup(list({nil(), cons(symbol, nameForm)}));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].ecx, 2u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, symbol);
  EXPECT_EQ(lisp_recorder_log.calls[0].edx, nil());
  EXPECT_EQ(name(unwrapped), nameForm);
  EXPECT_EQ(name(cellFunction), nil());
}

TEST_F(FunctionGroups, AMarkedClosureNamesItsTemplate) {
  const lispval templateFunction = function({});
  const lispval marked = closure(templateFunction, 0x20);
  const lispval plainTemplate = function({});
  const lispval plain = closure(plainTemplate, 0);
  fixup(list({cons(objects_->makeSymbol(marked), makeFixnum(1)),
               cons(objects_->makeSymbol(plain), makeFixnum(2))}));
  EXPECT_EQ(name(templateFunction), makeFixnum(1));
  EXPECT_EQ(at(marked - 0xa), templateFunction);
  EXPECT_EQ(name(plainTemplate), nil());
}

TEST_F(FunctionGroups, UndefinedSymbolsChangeNothing) {
  const lispval symbol = objects_->makeSymbol(initial_);
  fixup(list({cons(symbol, makeFixnum(3)), makeFixnum(4), cons(makeFixnum(5), nil())}));
  EXPECT_EQ(name(initial_), nil());
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

TEST_F(FunctionGroups, OutsideBootModeTheConverterGivesTheName) {
  bootmode = 0;
  const lispval f = function({});
  testing_support::resetRecorder(makeFixnum(99));
  fixup(list({cons(objects_->makeSymbol(f), makeFixnum(7))}));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(7));
  EXPECT_EQ(name(f), makeFixnum(99));
}

TEST_F(FunctionGroups, SiblingReferencesBecomeTheSiblingsFunction) {
  const lispval sibling = function({});
  const lispval siblingSymbol = objects_->makeSymbol(sibling);
  const lispval marker = global(kMarker);
  const lispval loneMarker = list({marker});
  const lispval dotted = cons(marker, makeFixnum(5));
  const lispval f = function({list({marker, siblingSymbol}), loneMarker, dotted, makeFixnum(7)});
  fixup(list({cons(objects_->makeSymbol(f), makeFixnum(1))}));
  EXPECT_EQ(constant(f, 0), sibling);
  EXPECT_EQ(constant(f, 1), loneMarker);
  EXPECT_EQ(constant(f, 2), dotted);
  EXPECT_EQ(constant(f, 3), makeFixnum(7));
}

TEST_F(FunctionGroups, ThePartialFixupNotifiesOnceAfterItsLoop) {
  const lispval notify = list({global(kNotifier)});
  const lispval second = list({global(kSecondNotify), makeFixnum(1)});
  const lispval f = function({notify, makeFixnum(2), second});
  run(fixup_function_specs_partial, f);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, f);
  testing_support::resetRecorder(kErrorValue);
  run(fixup_function_specs_partial, function({makeFixnum(1)}));
  run(fixup_function_specs_partial, makeFixnum(3));
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

TEST_F(FunctionGroups, WrapDataGoToTheRegistrarWhileItIsDefined) {
  const lispval f = function({});
  const lispval symbol = objects_->makeSymbol(f);
  run(fix_fwrap_func, list({cons(symbol, makeFixnum(1))}));
  EXPECT_EQ(lisp_recorder_log.count, 0u);  // one element: nothing after the first
  run(fix_fwrap_func,
      list({nil(), cons(symbol, makeFixnum(1)), makeFixnum(9), cons(symbol, makeFixnum(2))}));
  ASSERT_EQ(lisp_recorder_log.count, 2u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(1));
  EXPECT_EQ(lisp_recorder_log.calls[0].edx, f);
  EXPECT_EQ(lisp_recorder_log.calls[1].eax, makeFixnum(2));
  testing_support::resetRecorder(kErrorValue);
  lisp::objectOf<lisp::SymbolObject>(global(kRegistrar))->function = initial_;
  run(fix_fwrap_func, list({nil(), cons(symbol, makeFixnum(1))}));
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

TEST_F(FunctionGroups, TheNativeEntriesRunTheGroupFromNativeCode) {
  ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
  const lispval sibling = function({});
  const lispval main = function({list({global(kMarker), objects_->makeSymbol(sibling)}),
                                 list({global(kNotifier)})});
  const lispval mainSymbol = objects_->makeSymbol(main);
  const lispval group = list({cons(mainSymbol, makeFixnum(1))});
  EXPECT_EQ(nfgroup(group), nil());
  EXPECT_EQ(name(main), makeFixnum(1));
  EXPECT_EQ(constant(main, 0), sibling);
  ASSERT_EQ(lisp_recorder_log.count, 1u);  // the notifier, from the partial fixup
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, main);
  testing_support::resetRecorder(kErrorValue);
  EXPECT_EQ(fix_fwrap(list({nil(), cons(mainSymbol, makeFixnum(4))})), nil());
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].edx, main);
}

// The stack below the call holds a word tagged as a pointer into the half
// of new space a scavenge copies to, which the collector refuses to meet
// among Lisp values. A scavenge in the notifier, called from the partial
// fixup, walks newfgroup's frame: every word of it the walk visits must
// have been written.
TEST_F(FunctionGroups, ACollectionInsideTheFixupsMeetsNoUnwrittenWordOfNewfgroup) {
  ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
  const uint32_t targetHalf = GsNewAllocationArea.start == GsNewFence ? GsNewAllocationArea.end
                                                                       : GsNewFence;
  stack_planting_word = lisp::pointerWord(targetHalf + 0x100, lisp::Tag::Other);
  stack_planting_target = routineAddress(newfgroup);
  global(kNotifier) = objects_->makeSymbol(
      objects_->makeFunction(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&scavenging_start))));
  const lispval main = function({list({global(kNotifier)})});
  const lispval group = list({cons(objects_->makeSymbol(main), makeFixnum(1))});
  testing_support::LispCallSetup setup = setupForRoutine(stack_planting_probe, group, 0, 1);
  const uint32_t semispace = GsNewAllocationArea.start;
  const testing_support::LispCallResult result =
      testing_support::callAsWalkBase(testing_support::walkedFrame(setup), thread_);
  EXPECT_NE(GsNewAllocationArea.start, semispace) << "no scavenge";
  EXPECT_EQ(result.eax, nil());
  EXPECT_EQ(name(main), makeFixnum(1));
  ASSERT_EQ(lisp_recorder_log.count, 1u);  // the notifier, after its scavenge
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, main);
}

}  // namespace
