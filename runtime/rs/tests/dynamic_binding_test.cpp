// Special variables through their entry slots: per-thread values, binding
// and unbinding with frame and heap cells, the growth of value vectors and
// binding stacks, the traps of the readers, the write barrier on cell
// stores, and a model of per-thread binding stacks run over long seeded
// sequences of two threads.

#include "runtime/rs/dynamic_binding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "platform/memory.h"
#include "platform/thread_block.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/os/host_record_services.h"
#include "runtime/rs/object_layout.h"
#include "testing/console_host_record.h"
#include "testing/lisp_binding_thread.h"
#include "testing/lisp_constructor_heap.h"

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::frameIndex;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace nbg = lisp::nil_block::global;
namespace tr = lisp::thread_record;

constexpr int32_t kBindSpecs = 0x33;
constexpr int32_t kUnbindOneSpec = 0x3b;
constexpr int32_t kBindOneSpec = 0x47;
constexpr int32_t kQsymeval = 0x63;
constexpr int32_t kUnbindCount = 0x6f;
constexpr int32_t kQsetq = 0x7f;
constexpr int32_t kSymeval = 0xab;
constexpr int32_t kUnbindTo = 0xe7;
constexpr int32_t kNewSymbol = 0x127;
constexpr int32_t kQsymloc = 0x163;
constexpr int32_t kQsetloc = 0x22b;
constexpr int32_t kNewLocative = 0x27f;
constexpr int32_t kContinuableErrorSymbol = -0x2a5;
constexpr uint32_t kUnboundError = 5;
constexpr uint32_t kValueVectorOfANonSymbol = 26;

constexpr uint32_t kFirstElement = 4;  // element numbers of the two threads
constexpr uint32_t kSecondElement = 8;
constexpr uint32_t kCellBytes = 32;
constexpr uint32_t kCellTag = 0x17;  // a cell's tagged word from its first byte
constexpr uint32_t kEntryBytes = 8;

class SpecialBinding : public LispConstructorHeap {
 protected:
  void SetUp() override {
    LispConstructorHeap::SetUp();
    cells_ = std::make_unique<testing_support::LispTestObjects>(nil(), 1 << 20);
    initialFunction_ = objects_->makeFunction(0x4321);
    global(nbg::kInitialFunction) = initialFunction_;
    // The trap entries stay those the block was linked with; their
    // handlers find the thread through its slot and report through the
    // stand-in error functions.
    platform::setThreadSlot(slot_, thread_);
    global(kContinuableErrorSymbol) = global(nbg::kErrorSymbolWithDatum);
    second_ = lisp::pointerWord(gc::addressOf(secondRecord_), lisp::Tag::Other);
    testing_support::prepareThreadForBinding(thread_, kFirstElement, nil());
    testing_support::prepareThreadForBinding(second_, kSecondElement, nil());
    testing_support::resetRecorder(nil());
  }

  void TearDown() override {
    platform::setThreadSlot(slot_, 0);
    LispConstructorHeap::TearDown();
  }

  static uint32_t& word(lispval thread, int32_t offset) { return lisp::wordAt(thread, offset); }

  LispCallSetup on(lispval thread, int32_t slot, uint32_t eax = 0, uint32_t edx = 0,
                   uint32_t ecx = 0) {
    LispCallSetup setup = setupFor(slot, eax, edx, ecx);
    setup.ebx = thread;
    setup.frame[frameIndex(0x1c)] = thread;
    return setup;
  }

  lispval newSymbol(lispval globalValue) {
    const lispval symbol = call(setupFor(kNewSymbol, nil(), makeFixnum(0), 2)).eax;
    at(symbol - 0x13) = globalValue;
    return symbol;
  }
  static lispval vectorOf(lispval symbol) { return at(symbol + 1); }
  static uint32_t lengthOf(lispval vector) {
    return static_cast<uint32_t>(lisp::fixnumValue(at(vector - 0xe)));
  }
  static uint32_t& elementOf(lispval vector, uint32_t k) { return at(vector - 0xa + 4 * k); }
  static uint32_t& globalValue(lispval symbol) { return at(symbol - 0x13); }
  static uint32_t& cellValue(lispval cell) { return at(cell - 0x13); }

  // A fresh 32-byte frame-cell area (or `count` consecutive ones); its tagged word.
  lispval frameCells(uint32_t count = 1) {
    return gc::addressOf(cells_->allocate(kCellBytes * count)) + kCellTag;
  }

  lispval read(lispval thread, lispval symbol) {
    const LispCallResult result = call(on(thread, kQsymeval, symbol));
    EXPECT_EQ(result.carry, 0u);
    return result.eax;
  }
  void setq(lispval thread, lispval symbol, lispval value) {
    const LispCallResult result = call(on(thread, kQsetq, value, symbol));
    EXPECT_EQ(result.eax, value);
  }
  lispval bindInFrame(lispval thread, lispval symbol, lispval value, lispval cell) {
    LispCallSetup setup = on(thread, kBindOneSpec, value, symbol, 0);
    setup.frame[frameIndex(0x18)] = cell;
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.eax, cell);
    EXPECT_EQ(result.carry, 0u);
    return result.eax;
  }
  lispval bindInHeap(lispval thread, lispval symbol, lispval value) {
    const LispCallResult result = call(on(thread, kBindOneSpec, value, symbol, 1));
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(at(result.eax - 0x17), 0x87u);
    return result.eax;
  }
  // bind_specs from a caller whose function holds `symbols` from byte
  // offset m + 4 (m = 14: its constants); cells from `cells` on.
  LispCallResult bindSpecs(lispval thread, const std::vector<lispval>& symbols,
                           const std::vector<lispval>& values, lispval cells) {
    auto* function = static_cast<uint32_t*>(cells_->allocate(36 + 4 * (symbols.size() + 1)));
    const lispval functionWord = lisp::pointerWord(gc::addressOf(function), lisp::Tag::Other);
    for (size_t j = 0; j < symbols.size(); ++j) at(functionWord + 0x12 + 4 * j) = symbols[j];
    LispCallSetup setup = on(thread, kBindSpecs, cells, values.empty() ? nil() : values[0],
                             static_cast<uint32_t>(symbols.size() + 1));
    for (size_t j = 1; j < values.size(); ++j) setup.stack[1 + j] = values[j];
    setup.frame[frameIndex(4)] = functionWord;
    setup.frame[frameIndex(0x18)] = makeFixnum(14);
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.eax, nil());
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, functionWord);
    return result;
  }
  // An unbinder with the caller's ebp-0x18 = `extra` and values to keep.
  LispCallResult unbind(lispval thread, int32_t slot, uint32_t extra, uint32_t ecx = 1) {
    LispCallSetup setup = on(thread, slot, 0x11110001, 0x22220002, ecx);
    setup.frame[frameIndex(0x18)] = extra;
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.eax, 0x11110001u);
    EXPECT_EQ(result.edx, 0x22220002u);
    EXPECT_EQ(result.ecx, ecx);
    EXPECT_EQ(result.carry, ecx != 1 ? 1u : 0u);
    return result;
  }

  static lispval block(lispval thread) { return word(thread, tr::kBindingStack); }
  static uint32_t blockEntries(lispval thread) {
    return ((header(block(thread)) >> 8) - 12) / kEntryBytes;
  }
  static uint32_t top(lispval thread) { return word(thread, tr::kBindingStackTop); }
  static int32_t room(lispval thread) {
    return static_cast<int32_t>(word(thread, tr::kBindingStackRoom));
  }
  static std::pair<lispval, lispval> entry(lispval thread, uint32_t k) {
    return {at(block(thread) - 2 + kEntryBytes * k), at(block(thread) + 2 + kEntryBytes * k)};
  }

  std::unique_ptr<testing_support::LispTestObjects> cells_;
  lispval initialFunction_ = 0;
  alignas(8) uint32_t secondRecord_[tr::kRecordWords] = {};
  lispval second_ = 0;
};

// ---- reading and setting ----

TEST_F(SpecialBinding, AThreadBeyondTheVectorReadsAndSetsTheGlobalValue) {
  const lispval symbol = newSymbol(makeFixnum(7));
  ASSERT_EQ(lengthOf(vectorOf(symbol)), 1u);
  EXPECT_EQ(read(thread_, symbol), makeFixnum(7));
  setq(thread_, symbol, makeFixnum(8));
  EXPECT_EQ(globalValue(symbol), makeFixnum(8));
  EXPECT_EQ(read(second_, symbol), makeFixnum(8));
  EXPECT_EQ(call(on(thread_, kQsymloc, symbol)).eax, symbol);
  // qsetloc on a vector that does not cover the index stores nothing.
  const lispval vector = vectorOf(symbol);
  call(on(thread_, kQsetloc, frameCells(), symbol));
  EXPECT_EQ(vectorOf(symbol), vector);
  EXPECT_EQ(lengthOf(vector), 1u);
  EXPECT_EQ(read(thread_, symbol), makeFixnum(8));
}

TEST_F(SpecialBinding, TheLeafRoutinesKeepEveryRegisterButTheResult) {
  const lispval symbol = newSymbol(makeFixnum(7));
  bindInHeap(thread_, symbol, makeFixnum(8));
  const lispval cell = frameCells();
  cellValue(cell) = makeFixnum(11);
  struct Case {
    int32_t slot;
    uint32_t eax, edx;
    uint32_t result;
  };
  const Case cases[] = {
      {kQsymeval, symbol, 0x5550, makeFixnum(8)},
      {kQsetq, makeFixnum(9), symbol, makeFixnum(9)},
      {kQsymloc, symbol, 0x5550, 0},  // the heap cell
      {kQsetloc, cell, symbol, cell},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slot);
    LispCallSetup setup = on(thread_, c.slot, c.eax, c.edx, 0x4440);
    setup.esi = 0x3330;
    const LispCallResult result = call(setup);
    if (c.result != 0) {
      EXPECT_EQ(result.eax, c.result);
    }
    EXPECT_EQ(result.edx, c.edx);
    EXPECT_EQ(result.ecx, 0x4440u);
    EXPECT_EQ(result.esi, 0x3330u);
    EXPECT_EQ(result.ebx, thread_);
    EXPECT_EQ(result.carry, 0u);
  }
  EXPECT_EQ(read(thread_, symbol), makeFixnum(11));
}

TEST_F(SpecialBinding, NilReadsAsNilAndAnUnboundValueIsReadByQsymevalAlone) {
  for (int32_t slot : {kQsymeval, kSymeval}) {
    const LispCallResult result = call(on(thread_, slot, nil()));
    EXPECT_EQ(result.eax, nil());
    EXPECT_EQ(result.carry, 0u);
  }
  EXPECT_EQ(lisp_recorder_log.count, 0u);
  const lispval symbol = newSymbol(global(nbg::kUnboundMarker));
  EXPECT_EQ(read(thread_, symbol), global(nbg::kUnboundMarker));
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

// Through the real trap entry: runtime error 26 (the value vector of a
// non-symbol) with the object itself, and the error function's value as
// the answer once it returns.
TEST_F(SpecialBinding, ANonSymbolSignalsError26WithItselfAndAnswersTheErrorsValue) {
  const lispval cons = lisp::pointerWord(gc::addressOf(cells_->allocate(8)), lisp::Tag::Cons);
  const lispval other = lisp::pointerWord(0x10, lisp::Tag::Other);
  for (int32_t slot : {kQsymeval, kSymeval}) {
    for (lispval object : {makeFixnum(3), makeFixnum(0), lisp::makeCharacter('a'), cons, other}) {
      SCOPED_TRACE(testing::Message() << (slot == kQsymeval ? "qsymeval " : "symeval ") << std::hex
                                      << object);
      testing_support::resetRecorder(makeFixnum(99));
      const LispCallResult result = call(on(thread_, slot, object, 0x5550, 0x4440));
      ASSERT_EQ(lisp_recorder_log.count, 1u);
      const testing_support::RecordedCall& error = lisp_recorder_log.calls[0];
      EXPECT_EQ(error.eax, makeFixnum(kValueVectorOfANonSymbol));
      EXPECT_EQ(error.edx, object);
      EXPECT_EQ(error.ecx, 2u);
      EXPECT_EQ(result.eax, makeFixnum(99));
      EXPECT_EQ(result.carry, 0u);
      EXPECT_EQ(result.esi, kCallerFunction);
      EXPECT_EQ(result.ebx, thread_);
      EXPECT_EQ(result.frame[frameIndex(0x10)], 0xffffffffu);
    }
  }
}

// Through the real trap entry: the continuable error 5 with the symbol;
// the value the error function returns comes back in eax. The caller's
// frame word -0x10 is -1 afterwards, as with the non-symbol trap.
TEST_F(SpecialBinding, SymevalOfAnUnboundSymbolAnswersTheContinuableErrorsValue) {
  const lispval symbol = newSymbol(global(nbg::kUnboundMarker));
  testing_support::resetRecorder(makeFixnum(99));
  const LispCallResult result = call(on(thread_, kSymeval, symbol, 0x5550, 0x4440));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const testing_support::RecordedCall& error = lisp_recorder_log.calls[0];
  EXPECT_EQ(error.eax, makeFixnum(kUnboundError));
  EXPECT_EQ(error.edx, symbol);
  EXPECT_EQ(error.ecx, 2u);
  EXPECT_EQ(result.eax, makeFixnum(99));
  EXPECT_EQ(result.ecx, 0x4440u);
  EXPECT_EQ(result.carry, 0u);
  EXPECT_EQ(result.esi, kCallerFunction);
  EXPECT_EQ(result.frame[frameIndex(0x10)], 0xffffffffu);

  setq(thread_, symbol, makeFixnum(4));
  const LispCallResult bound = call(on(thread_, kSymeval, symbol));
  EXPECT_EQ(bound.eax, makeFixnum(4));
  EXPECT_EQ(bound.esi, kCallerFunction);
  EXPECT_EQ(lisp_recorder_log.count, 1u);
}

// ---- binding and unbinding ----

TEST_F(SpecialBinding, BindingExtendsTheVectorWithTheSymbolItself) {
  const lispval symbol = newSymbol(makeFixnum(1));
  const lispval cell = bindInFrame(second_, symbol, makeFixnum(2), frameCells());
  const lispval vector = vectorOf(symbol);
  ASSERT_EQ(lengthOf(vector), kSecondElement + 16);
  EXPECT_EQ(header(vector) & 0xff, 112u);
  for (uint32_t k = 0; k < lengthOf(vector); ++k)
    EXPECT_EQ(elementOf(vector, k), k == kSecondElement ? cell : symbol) << k;
  // The frame cell's eight words.
  const std::vector<uint32_t> words = {0x87,   makeFixnum(2), nil(), initialFunction_,
                                       symbol, nil(),         nil(), nil()};
  for (uint32_t w = 0; w < 8; ++w) EXPECT_EQ(at(cell - kCellTag + 4 * w), words[w]) << w;
  EXPECT_EQ(read(second_, symbol), makeFixnum(2));
  EXPECT_EQ(read(thread_, symbol), makeFixnum(1));
  EXPECT_EQ(top(second_), kEntryBytes);
  EXPECT_EQ(room(second_), 255);
  EXPECT_EQ(entry(second_, 0), std::make_pair(symbol, symbol));
}

TEST_F(SpecialBinding, BindingTwiceAndUnbindingRestoresEachCellInTurn) {
  const lispval symbol = newSymbol(makeFixnum(1));
  const lispval first = bindInHeap(thread_, symbol, makeFixnum(2));
  const lispval second = bindInFrame(thread_, symbol, makeFixnum(3), frameCells());
  EXPECT_EQ(entry(thread_, 1), std::make_pair(symbol, first));
  EXPECT_EQ(elementOf(vectorOf(symbol), kFirstElement), second);
  setq(thread_, symbol, makeFixnum(4));
  EXPECT_EQ(cellValue(second), makeFixnum(4));

  unbind(thread_, kUnbindOneSpec, 0);
  EXPECT_EQ(elementOf(vectorOf(symbol), kFirstElement), first);
  EXPECT_EQ(read(thread_, symbol), makeFixnum(2));
  EXPECT_EQ(top(thread_), kEntryBytes);
  EXPECT_EQ(room(thread_), 255);
  unbind(thread_, kUnbindOneSpec, 0, 3);
  EXPECT_EQ(elementOf(vectorOf(symbol), kFirstElement), symbol);
  EXPECT_EQ(read(thread_, symbol), makeFixnum(1));
  EXPECT_EQ(top(thread_), 0u);
  EXPECT_EQ(room(thread_), 256);
}

TEST_F(SpecialBinding, UnbindCountKeepsTheCallersValuesAndSetsTheCarryForSeveral) {
  const lispval symbols[3] = {newSymbol(makeFixnum(10)), newSymbol(makeFixnum(11)),
                              newSymbol(makeFixnum(12))};
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 3; ++i) bindInHeap(thread_, symbols[i], makeFixnum(20 + i));
    bindInHeap(thread_, symbols[0], makeFixnum(30));
    unbind(thread_, kUnbindCount, 3, round == 0 ? 2 : 1);  // checks registers and carry
    EXPECT_EQ(top(thread_), kEntryBytes);
    EXPECT_EQ(room(thread_), 255);
    EXPECT_EQ(read(thread_, symbols[0]), makeFixnum(20));
    EXPECT_EQ(read(thread_, symbols[1]), makeFixnum(11));
    EXPECT_EQ(read(thread_, symbols[2]), makeFixnum(12));
    // A count of 0 undoes nothing.
    unbind(thread_, kUnbindCount, 0);
    EXPECT_EQ(top(thread_), kEntryBytes);
    unbind(thread_, kUnbindOneSpec, 0);
  }
}

TEST_F(SpecialBinding, UnbindToStopsAtTheMarkAndNeverPassesTheBottom) {
  const lispval symbol = newSymbol(makeFixnum(1));
  for (int i = 0; i < 4; ++i) bindInHeap(thread_, symbol, makeFixnum(10 + i));
  unbind(thread_, kUnbindTo, 2 * kEntryBytes);
  EXPECT_EQ(top(thread_), 2 * kEntryBytes);
  EXPECT_EQ(room(thread_), 254);
  EXPECT_EQ(read(thread_, symbol), makeFixnum(11));
  // A mark above the top leaves the stack as it is.
  unbind(thread_, kUnbindTo, 6 * kEntryBytes, 0);
  EXPECT_EQ(top(thread_), 2 * kEntryBytes);
  EXPECT_EQ(room(thread_), 254);
  // A mark below the first entry stops at the first entry.
  unbind(thread_, kUnbindTo, static_cast<uint32_t>(-16));
  EXPECT_EQ(top(thread_), 0u);
  EXPECT_EQ(room(thread_), 256);
  EXPECT_EQ(read(thread_, symbol), makeFixnum(1));
}

TEST_F(SpecialBinding, NoUnbinderPopsBelowTheFirstEntry) {
  const lispval symbol = newSymbol(makeFixnum(1));
  unbind(thread_, kUnbindOneSpec, 0);
  EXPECT_EQ(top(thread_), 0u);
  EXPECT_EQ(room(thread_), 256);
  for (int i = 0; i < 2; ++i) bindInHeap(thread_, symbol, makeFixnum(10 + i));
  unbind(thread_, kUnbindCount, 5);
  EXPECT_EQ(top(thread_), 0u);
  EXPECT_EQ(room(thread_), 256);
  EXPECT_EQ(read(thread_, symbol), makeFixnum(1));
  unbind(thread_, kUnbindCount, 1);
  EXPECT_EQ(top(thread_), 0u);
  EXPECT_EQ(room(thread_), 256);
}

TEST_F(SpecialBinding, BindSpecsWithOneBindsNothing) {
  bindSpecs(thread_, {}, {}, frameCells());
  EXPECT_EQ(top(thread_), 0u);
  EXPECT_EQ(room(thread_), 256);
}

TEST_F(SpecialBinding, BindSpecsBindsTheCallersConstantsInOrder) {
  const lispval symbols[3] = {newSymbol(makeFixnum(10)), newSymbol(makeFixnum(11)),
                              newSymbol(makeFixnum(12))};
  const lispval cells = frameCells(3);
  bindSpecs(thread_, {symbols[0], symbols[1], symbols[2]},
            {makeFixnum(20), makeFixnum(21), makeFixnum(22)}, cells);
  EXPECT_EQ(top(thread_), 3 * kEntryBytes);
  EXPECT_EQ(room(thread_), 253);
  for (uint32_t j = 0; j < 3; ++j) {
    const lispval cell = cells + 0x20 * j;
    EXPECT_EQ(entry(thread_, j), std::make_pair(symbols[j], symbols[j]));
    EXPECT_EQ(elementOf(vectorOf(symbols[j]), kFirstElement), cell);
    EXPECT_EQ(at(cell - kCellTag), 0x87u);
    EXPECT_EQ(at(cell - 7), symbols[j]);
    EXPECT_EQ(read(thread_, symbols[j]), makeFixnum(20 + static_cast<int32_t>(j)));
  }
  unbind(thread_, kUnbindCount, 3);
  for (uint32_t j = 0; j < 3; ++j)
    EXPECT_EQ(read(thread_, symbols[j]), makeFixnum(10 + static_cast<int32_t>(j)));
}

// ---- the binding stack's growth ----

TEST_F(SpecialBinding, TheBindingStackGrowsKeepingItsEntriesAndUnwindsToTheGlobals) {
  const lispval symbols[3] = {newSymbol(makeFixnum(10)), newSymbol(makeFixnum(11)),
                              newSymbol(makeFixnum(12))};
  std::vector<std::pair<lispval, lispval>> entries;
  for (uint32_t n = 0; n < 256; ++n) bindInHeap(thread_, symbols[n % 3], makeFixnum(n));
  for (uint32_t k = 0; k < 256; ++k) entries.push_back(entry(thread_, k));
  EXPECT_EQ(room(thread_), 0);
  EXPECT_EQ(blockEntries(thread_), 256u);

  bindInHeap(thread_, symbols[256 % 3], makeFixnum(256));
  EXPECT_EQ(blockEntries(thread_), 321u);
  EXPECT_EQ(room(thread_), 64);
  EXPECT_EQ(at(block(thread_) - 6), kFirstElement);
  for (uint32_t k = 0; k < 256; ++k) ASSERT_EQ(entry(thread_, k), entries[k]) << k;

  for (uint32_t n = 257; n < 1000; ++n) bindInHeap(thread_, symbols[n % 3], makeFixnum(n));
  EXPECT_EQ(top(thread_), 1000 * kEntryBytes);
  EXPECT_EQ(read(thread_, symbols[999 % 3]), makeFixnum(999));
  EXPECT_EQ(static_cast<uint32_t>(room(thread_)) + 1000, blockEntries(thread_));

  unbind(thread_, kUnbindTo, 0);
  EXPECT_EQ(top(thread_), 0u);
  EXPECT_EQ(static_cast<uint32_t>(room(thread_)), blockEntries(thread_));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(read(thread_, symbols[i]), makeFixnum(10 + i));
    EXPECT_EQ(elementOf(vectorOf(symbols[i]), kFirstElement), symbols[i]);
  }
}

TEST_F(SpecialBinding, ABindingStackThatCannotGrowEndsTheProcess) {
  // A room so far below 0 that the growth must commit new storage, which
  // the native heap refuses: error 31, then the process ends.
  threadWord(tr::kBindingStackRoom) = static_cast<uint32_t>(-0x100000);
  EXPECT_EXIT(
      {
        setup_redir(&testing_support::consoleOnStandardError());  // where death tests look
        platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t, size_t) {
          return operation == platform::MemoryOperation::Commit;
        });
        call(setupForRoutine(bnp_overflow));
      },
      testing::ExitedWithCode(1), "The binding stack cannot grow");
}

TEST_F(SpecialBinding, BnpOverflowGrowsByAtLeast64Entries) {
  for (int32_t before : {5, -1, -10}) {
    SCOPED_TRACE(before);
    const uint32_t entries = blockEntries(thread_);
    threadWord(tr::kBindingStackRoom) = static_cast<uint32_t>(before);
    const LispCallResult grown = call(setupForRoutine(bnp_overflow));
    const int32_t growth = before < 0 ? 64 - before : 64;
    EXPECT_EQ(blockEntries(thread_), entries + static_cast<uint32_t>(growth));
    EXPECT_EQ(room(thread_), before + growth);
    EXPECT_EQ(grown.eax, static_cast<uint32_t>(before + growth));
    EXPECT_EQ(at(block(thread_) - 6), kFirstElement);
  }
}

// ---- the write barrier ----

TEST_F(SpecialBinding, AHeapCellStoredIntoAnOldVectorMarksItsPageAndAFrameCellNever) {
  const lispval symbol = newSymbol(makeFixnum(1));
  constexpr uint32_t kLength = 20;
  const uint32_t old = other_from_old_xsmp(8 + 4 * kLength);
  at(old) = lisp::type_code::SimpleVector;
  at(old + 4) = makeFixnum(kLength);
  for (uint32_t k = 0; k < kLength; ++k) at(old + 8 + 4 * k) = symbol;
  at(symbol + 1) = lisp::pointerWord(old, lisp::Tag::Other);
  const uint32_t slot = old + 8 + 4 * kFirstElement;

  gc::clearRootBit(slot);
  bindInFrame(thread_, symbol, makeFixnum(2), frameCells());
  EXPECT_FALSE(gc::rootBitSet(slot));
  unbind(thread_, kUnbindOneSpec, 0);
  EXPECT_EQ(at(slot), symbol);
  gc::clearRootBit(slot);

  const lispval cell = bindInHeap(thread_, symbol, makeFixnum(3));
  EXPECT_EQ(at(slot), cell);
  EXPECT_TRUE(gc::rootBitSet(slot));
  EXPECT_EQ(vectorOf(symbol), lisp::pointerWord(old, lisp::Tag::Other));
}

// ---- a model of per-thread binding stacks ----

// Each thread sees, for each symbol, either the global value or a binding
// cell; entries record the cell each binding replaced.
class BindingModel {
 public:
  static constexpr int kGlobal = -1;
  BindingModel(uint32_t threads, uint32_t symbols, std::vector<uint32_t> elements)
      : elements_(std::move(elements)),
        globals_(symbols),
        lengths_(symbols, 1),
        current_(threads, std::vector<int>(symbols, kGlobal)),
        stacks_(threads) {}

  void setGlobal(uint32_t s, lispval value) { globals_[s] = value; }
  lispval value(uint32_t t, uint32_t s) const {
    const int cell = current_[t][s];
    return cell == kGlobal ? globals_[s] : cells_.at(cell);
  }
  lispval global(uint32_t s) const { return globals_[s]; }
  uint32_t depth(uint32_t t) const { return static_cast<uint32_t>(stacks_[t].size()); }
  bool covered(uint32_t t, uint32_t s) const { return elements_[t] < lengths_[s]; }

  void cover(uint32_t t, uint32_t s) {
    if (!covered(t, s)) lengths_[s] = elements_[t] + 16;
  }
  void push(uint32_t t, uint32_t s, lispval value) {
    stacks_[t].push_back({s, current_[t][s]});
    current_[t][s] = newCell(value);
  }
  void bind(uint32_t t, uint32_t s, lispval value) {
    cover(t, s);
    push(t, s, value);
  }
  void unbind(uint32_t t, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      const auto [s, previous] = stacks_[t].back();
      stacks_[t].pop_back();
      current_[t][s] = previous;
    }
  }
  void setq(uint32_t t, uint32_t s, lispval value) {
    const int cell = current_[t][s];
    if (cell == kGlobal)
      globals_[s] = value;
    else
      cells_[cell] = value;
  }
  void setCell(uint32_t t, uint32_t s, lispval value) {
    if (covered(t, s)) current_[t][s] = newCell(value);
  }

 private:
  int newCell(lispval value) {
    cells_[next_] = value;
    return next_++;
  }
  std::vector<uint32_t> elements_;
  std::vector<lispval> globals_;
  std::vector<uint32_t> lengths_;
  std::vector<std::vector<int>> current_;
  std::vector<std::vector<std::pair<uint32_t, int>>> stacks_;
  std::map<int, lispval> cells_;
  int next_ = 0;
};

struct ModelRun {
  uint32_t seed;
  uint32_t steps;
  uint32_t bindPercent;  // chance that a step binds (a high one grows the stacks)
};

class SpecialBindingModel : public SpecialBinding, public testing::WithParamInterface<ModelRun> {};

TEST_P(SpecialBindingModel, EveryThreadSeesTheModelsValues) {
  const ModelRun run = GetParam();
  std::mt19937 random(run.seed);
  auto below = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  auto anyValue = [&]() { return makeFixnum(static_cast<int32_t>(below(1000000))); };

  const lispval threads[2] = {thread_, second_};
  std::vector<lispval> symbols;
  BindingModel model(2, 3, {kFirstElement, kSecondElement});
  for (uint32_t s = 0; s < 3; ++s) {
    symbols.push_back(newSymbol(makeFixnum(static_cast<int32_t>(100 + s))));
    model.setGlobal(s, makeFixnum(static_cast<int32_t>(100 + s)));
  }

  for (uint32_t step = 0; step < run.steps; ++step) {
    const uint32_t t = below(2);
    const lispval thread = threads[t];
    const uint32_t s = below(3);
    const uint32_t depth = model.depth(t);
    const bool binds = below(100) < run.bindPercent;
    const uint32_t choice = binds ? below(3) : 3 + below(5);
    SCOPED_TRACE(testing::Message() << "step " << step << " thread " << t << " operation " << choice
                                    << " depth " << depth);
    const lispval value = anyValue();
    switch (choice) {
      case 0:
        bindInFrame(thread, symbols[s], value, frameCells());
        model.bind(t, s, value);
        break;
      case 1:
        bindInHeap(thread, symbols[s], value);
        model.bind(t, s, value);
        break;
      case 2: {
        const uint32_t count = below(4);
        std::vector<lispval> bound, values;
        std::vector<uint32_t> indices;
        for (uint32_t j = 0; j < count; ++j) {
          indices.push_back(below(3));
          bound.push_back(symbols[indices.back()]);
          values.push_back(anyValue());
        }
        bindSpecs(thread, bound, values, frameCells(count == 0 ? 1 : count));
        for (uint32_t index : indices) model.cover(t, index);
        for (uint32_t j = 0; j < count; ++j) model.push(t, indices[j], values[j]);
        break;
      }
      case 3:
        if (depth == 0) break;
        unbind(thread, kUnbindOneSpec, 0, 1 + below(3));
        model.unbind(t, 1);
        break;
      case 4: {
        if (depth == 0) break;
        const uint32_t count = 1 + below(depth < 4 ? depth : 4);
        unbind(thread, kUnbindCount, count, 1 + below(3));
        model.unbind(t, count);
        break;
      }
      case 5: {
        // Mostly a recent mark, now and then any.
        const uint32_t back = below(10) == 0 ? below(depth + 1) : below(depth < 8 ? depth + 1 : 9);
        const uint32_t mark = depth - back;
        unbind(thread, kUnbindTo, kEntryBytes * mark, 1 + below(3));
        model.unbind(t, depth - mark);
        break;
      }
      case 6:
        setq(thread, symbols[s], value);
        model.setq(t, s, value);
        break;
      case 7: {
        const lispval cell = call(setupFor(kNewLocative, symbols[s], value, 2)).eax;
        const LispCallResult stored = call(on(thread, kQsetloc, cell, symbols[s]));
        EXPECT_EQ(stored.eax, cell);
        model.setCell(t, s, value);
        break;
      }
    }
    ASSERT_EQ(lisp_recorder_log.count, 0u);
    for (uint32_t u = 0; u < 2; ++u) {
      ASSERT_EQ(top(threads[u]), kEntryBytes * model.depth(u));
      ASSERT_EQ(static_cast<uint32_t>(room(threads[u])) + model.depth(u), blockEntries(threads[u]));
      for (uint32_t v = 0; v < 3; ++v)
        ASSERT_EQ(read(threads[u], symbols[v]), model.value(u, v))
            << "thread " << u << " symbol " << v;
    }
    for (uint32_t v = 0; v < 3; ++v) ASSERT_EQ(globalValue(symbols[v]), model.global(v));
  }
  // A run that mostly binds takes a stack past its first block.
  if (run.bindPercent > 50) {
    EXPECT_GT(blockEntries(thread_) + blockEntries(second_), 512u);
  }
}

INSTANTIATE_TEST_SUITE_P(SeededSequences, SpecialBindingModel,
                         testing::Values(ModelRun{1, 3000, 45}, ModelRun{2, 3000, 45},
                                         ModelRun{3, 2000, 85}));

}  // namespace
