// Symbols, locatives, function objects and closures made through their
// entry slots on a real heap: their fields, the serial numbers, the start
// words that calls jump through (a compiled function and a closure are
// called through the stub at nil), and the macro mark.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::frameIndex;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace nbg = lisp::nil_block::global;
namespace tc = lisp::type_code;

constexpr int32_t kNewClosure = 0x37;
constexpr int32_t kNewFunction = 0xfb;
constexpr int32_t kMakeInterpFunctionObj = 0xff;
constexpr int32_t kMakeMacroFunctionObj = 0x103;
constexpr int32_t kMakeSpecFunctionObj = 0x117;
constexpr int32_t kNewSymbol = 0x127;
constexpr int32_t kNewCodeVector = 0x16f;
constexpr int32_t kNewCompiledFunction = 0x173;
constexpr int32_t kNewByteCompiledFunction = 0x22f;
constexpr int32_t kNewSpecialClosure = 0x257;
constexpr int32_t kNewLocative = 0x27f;
constexpr int32_t kStubCallFunction = 6;  // nil+6: call the function in esi

// Trampoline copies and the closure entry, as global words.
constexpr int32_t kByteCodeStart = -0x4c9;
constexpr int32_t kUndefinedStart = -0x1cd;
constexpr int32_t kInterpretedStart = -0x1d9;
constexpr int32_t kSpecialFormStart = -0x1d5;
constexpr int32_t kClosureEntry = -0x1b9;

class Functions : public LispConstructorHeap {
 protected:
  void SetUp() override {
    LispConstructorHeap::SetUp();
    initialFunction_ = objects_->makeFunction(0x4321);
    global(nbg::kInitialFunction) = initialFunction_;
  }

  static uint8_t flagsOf(lispval object) { return (header(object) >> 8) & 0xff; }
  static uint32_t countOf(lispval object) { return header(object) >> 16; }

  lispval function(uint32_t constants, uint32_t flags) {
    return make(setupFor(kNewFunction, makeFixnum(constants), flags, 2));
  }
  lispval closure(lispval templateFunction, lispval environment) {
    return make(setupFor(kNewClosure, templateFunction, environment, 2));
  }
  lispval withCount(int32_t slot, lispval a, lispval b, lispval count) {
    LispCallSetup setup = setupFor(slot, a, b, 3);
    setup.stack[2] = count;
    return make(setup);
  }
  lispval list(std::initializer_list<lispval> items) {
    lispval result = nil();
    for (auto item = items.end(); item != items.begin();) {
      auto* cell = static_cast<lisp::ConsCell*>(objects_->allocate(8));
      cell->car = *--item;
      cell->cdr = result;
      result = lisp::wordOf(cell, lisp::Tag::Cons);
    }
    return result;
  }
  // A code vector of `code` bytes (padded with nop) in new space.
  lispval codeVector(std::initializer_list<uint8_t> code) {
    const uint32_t units = static_cast<uint32_t>(code.size() + 1) / 2;
    const lispval vector = make(setupFor(kNewCodeVector, makeFixnum(units), 0, 1));
    auto* bytes = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(vector - 0xe));
    for (uint32_t i = 0; i < 2 * units; ++i) bytes[i] = 0x90;
    uint32_t i = 0;
    for (uint8_t byte : code) bytes[i++] = byte;
    return vector;
  }
  // Raw words laid out as an object in the test arena (tag 2).
  lispval arenaObject(std::initializer_list<uint32_t> words) {
    auto* storage = static_cast<uint32_t*>(objects_->allocate(48));
    uint32_t i = 0;
    for (uint32_t word : words) storage[i++] = word;
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  lispval arenaString() {
    auto* storage = static_cast<uint32_t*>(objects_->allocate(16));
    storage[0] = tc::SimpleString;
    storage[1] = makeFixnum(1);
    storage[2] = 'x';
    return lisp::wordOf(storage, lisp::Tag::Other);
  }

  lispval initialFunction_ = 0;
};

// ---- function objects ----

TEST_F(Functions, NewFunctionFillsEveryWordAndTakesTheNextSerial) {
  const struct {
    uint32_t constants, flags;
    int32_t start;
  } cases[] = {{0, 0x80, kUndefinedStart},
               {1, 0xc8, kByteCodeStart},
               {5, 0x48, kUndefinedStart},
               {2, 0x1c8, kUndefinedStart}};  // not the word 0xc8: only its low byte
  for (const auto& c : cases) {
    SCOPED_TRACE(c.constants);
    const uint32_t serial = global(nbg::kFunctionSerial);
    const lispval f = function(c.constants, c.flags);
    EXPECT_EQ(header(f), lisp::headerWord(tc::Function, c.flags & 0xff, c.constants));
    EXPECT_EQ(at(f - 0xe), global(c.start));
    EXPECT_EQ(global(nbg::kFunctionSerial), serial + 1);
    EXPECT_EQ(at(f - 0xa), (serial + 1) << 8);
    for (int32_t slot : {-6, -2, 2}) EXPECT_EQ(at(f + slot), nil()) << slot;
    for (int32_t raw : {6, 0xa, 0xe}) EXPECT_EQ(at(f + raw), 0u) << raw;
    for (uint32_t i = 0; i < c.constants; ++i) EXPECT_EQ(at(f + 0x12 + 4 * i), nil());
  }
}

TEST_F(Functions, TheSerialNumberWrapsAfter16777215) {
  global(nbg::kFunctionSerial) = 16777214;
  EXPECT_EQ(at(function(0, 0x80) - 0xa), 16777215u << 8);
  EXPECT_EQ(at(function(0, 0x80) - 0xa), 0u);
  EXPECT_EQ(at(function(0, 0x80) - 0xa), 0x100u);
}

TEST_F(Functions, CountsOutside16BitsAreRefused) {
  const uint32_t serial = global(nbg::kFunctionSerial);
  EXPECT_EQ(refused(setupFor(kNewFunction, makeFixnum(65536), 0x80, 2), 56), makeFixnum(65536));
  refused(setupFor(kNewFunction, makeFixnum(-1), 0x80, 2), 13);
  refused(setupFor(kNewFunction, nil(), 0x80, 2), 13);
  LispCallSetup special = setupFor(kNewSpecialClosure, nil(), nil(), 3);
  special.stack[2] = makeFixnum(70000);
  EXPECT_EQ(refused(special, 56), makeFixnum(70000));
  LispCallSetup compiled = setupFor(kNewCompiledFunction, nil(), nil(), 3);
  compiled.stack[2] = makeFixnum(65536);
  EXPECT_EQ(refused(compiled, 56), makeFixnum(65536));
  EXPECT_EQ(global(nbg::kFunctionSerial), serial);
}

TEST_F(Functions, ACompiledFunctionRunsItsCodeVector) {
  // mov eax, 0x28 (fixnum 10); clc; ret
  const lispval code = codeVector({0xb8, 0x28, 0x00, 0x00, 0x00, 0xf8, 0xc3});
  const lispval f = withCount(kNewCompiledFunction, code, nil(), makeFixnum(0));
  EXPECT_EQ(flagsOf(f), 0x80);
  EXPECT_EQ(at(f - 2), code);
  EXPECT_EQ(at(f - 0xe), code - 0xe);
  EXPECT_EQ(at(f - 0xe), (code - 0x12) + 4);

  LispCallSetup setup = setupFor(0);
  setup.target = nil() + kStubCallFunction;
  setup.esi = f;
  const LispCallResult result = call(setup);
  EXPECT_EQ(result.eax, makeFixnum(10));
  EXPECT_EQ(result.carry, 0u);
}

TEST_F(Functions, ConstantsComeFromTheListUpToTheCount) {
  const lispval code = codeVector({0xc3});
  const lispval a = makeFixnum(1), b = lisp::makeCharacter('b'), c = makeFixnum(3);
  const struct {
    const char* what;
    lispval constants;
    uint32_t count;
    std::vector<lispval> expected;
  } cases[] = {
      {"shorter list", list({a, b}), 3, {a, b, nil()}},
      {"longer list", list({a, b, c}), 1, {a}},
      {"exact", list({a, b, c}), 3, {a, b, c}},
      {"not a list", makeFixnum(9), 2, {nil(), nil()}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    for (int32_t slot : {kNewCompiledFunction, kNewByteCompiledFunction}) {
      const lispval f = withCount(slot, code, k.constants, makeFixnum(k.count));
      EXPECT_EQ(countOf(f), k.count);
      uint32_t i = 0;
      for (lispval expected : k.expected) EXPECT_EQ(at(f + 0x12 + 4 * i++), expected) << i;
    }
  }
}

TEST_F(Functions, ByteCompiledAndInterpretedFunctionsStartAtTheirTrampolines) {
  const lispval code = codeVector({0xc3});
  const lispval byteCompiled = withCount(kNewByteCompiledFunction, code, nil(), makeFixnum(0));
  EXPECT_EQ(flagsOf(byteCompiled), 0xc8);
  EXPECT_EQ(at(byteCompiled - 0xe), global(kByteCodeStart));
  EXPECT_EQ(at(byteCompiled - 2), code);

  const lispval definition = list({makeFixnum(1)});
  const lispval interpreted = make(setupFor(kMakeInterpFunctionObj, definition, 0, 1));
  EXPECT_EQ(header(interpreted), lisp::headerWord(tc::Function, 0x48, 0));
  EXPECT_EQ(at(interpreted - 0xe), global(kInterpretedStart));
  EXPECT_EQ(at(interpreted - 2), definition);
}

// ---- symbols and locatives ----

TEST_F(Functions, ASymbolOwnsAOneElementValueVectorMadeBeforeIt) {
  const lispval name = arenaString();
  for (lispval symbolName : {name, nil()}) {
    SCOPED_TRACE(symbolName == nil() ? "nameless" : "named");
    const uint32_t before = next();
    const LispCallResult result = call(setupFor(kNewSymbol, symbolName, makeFixnum(0x1234), 2));
    EXPECT_EQ(lisp_recorder_log.count, 0u);
    const lispval vector = before + 0x1a;
    const lispval symbol = before + 24 + 8 + 0x17;
    ASSERT_EQ(result.eax, symbol);
    EXPECT_EQ(next(), before + 24 + 40);
    EXPECT_EQ(header(vector), tc::SimpleVector);
    EXPECT_EQ(at(vector - 0xe), makeFixnum(1));
    EXPECT_EQ(at(vector - 0xa), symbol);

    EXPECT_EQ(at(symbol - 0x17), 7u);  // type 7, flags 0, 16 bits 0
    EXPECT_EQ(at(symbol - 0x13), global(nbg::kUnboundMarker));
    EXPECT_EQ(at(symbol - 0xf), symbolName == nil() ? 7u : 0x123407u);
    EXPECT_EQ(at(symbol - 0xb), initialFunction_);
    EXPECT_EQ(at(symbol - 7), symbolName);
    EXPECT_EQ(at(symbol - 3), nil());
    EXPECT_EQ(at(symbol + 1), vector);
    EXPECT_EQ(at(symbol + 5), nil());
  }
}

TEST_F(Functions, ALocativeIsASymbolShapedBindingCell) {
  const lispval symbol = objects_->makeSymbol(nil());
  const lispval value = lisp::makeCharacter('v');
  const lispval cell = make(setupFor(kNewLocative, symbol, value, 2), lisp::Tag::Symbol);
  EXPECT_EQ(at(cell - 0x17), 0x87u);
  EXPECT_EQ(at(cell - 0x13), value);
  EXPECT_EQ(at(cell - 0xf), nil());
  EXPECT_EQ(at(cell - 0xb), initialFunction_);
  EXPECT_EQ(at(cell - 7), symbol);
  for (int32_t word : {-3, 1, 5}) EXPECT_EQ(at(cell + word), nil()) << word;
}

// ---- closures ----

TEST_F(Functions, AClosureKeepsTheTemplatesHighFlagsAndMarksANamedTemplate) {
  const lispval symbol = objects_->makeSymbol(nil());
  const struct {
    const char* what;
    lispval templateFunction;
    uint8_t flags;
  } cases[] = {
      {"function named by nil", arenaObject({0xc808, 0, 0, nil()}), 0xc2},
      {"function named by a symbol", arenaObject({0x4808, 0, 0, symbol}), 0x42},
      {"function with a fixnum there", arenaObject({0x8008, 0, 0, makeFixnum(4)}), 0x80},
      {"closure", arenaObject({0xe609, 0, 0, nil()}), 0xc0},
      {"not an object", makeFixnum(3), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const lispval environment = list({makeFixnum(5)});
    const lispval made = closure(c.templateFunction, environment);
    EXPECT_EQ(header(made), lisp::headerWord(tc::Closure, c.flags, 0));
    EXPECT_EQ(at(made - 0xe), global(kClosureEntry));
    EXPECT_EQ(at(made - 0xa), c.templateFunction);
    EXPECT_EQ(at(made - 6), environment);
  }
}

TEST_F(Functions, CallingAClosureReachesItsTemplateWithTheClosureInTheFrame) {
  const lispval templateFunction = objects_->makeFunction(testing_support::recorderAddress());
  const lispval made = closure(templateFunction, nil());
  LispCallSetup setup = setupFor(0, makeFixnum(1), makeFixnum(2), 2);
  setup.target = nil() + kStubCallFunction;
  setup.esi = made;
  testing_support::resetRecorder(makeFixnum(42));
  const LispCallResult result = call(setup);
  EXPECT_EQ(result.eax, makeFixnum(42));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const testing_support::RecordedCall& reached = lisp_recorder_log.calls[0];
  EXPECT_EQ(reached.esi, templateFunction);
  EXPECT_EQ(reached.callerFrame[frameIndex(0x14)], made);
  EXPECT_EQ(reached.eax, makeFixnum(1));
  testing_support::resetRecorder(kErrorValue);
}

TEST_F(Functions, SpecialClosuresAndSpecialFormMarkers) {
  const lispval templateFunction = function(0, 0x80);
  const lispval special =
      withCount(kNewSpecialClosure, templateFunction, makeFixnum(8), makeFixnum(3));
  EXPECT_EQ(header(special), lisp::headerWord(tc::Closure, 0, 3));
  EXPECT_EQ(at(special - 0xe), global(kClosureEntry));
  EXPECT_EQ(at(special - 0xa), templateFunction);
  EXPECT_EQ(at(special - 6), makeFixnum(8));
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(at(special - 2 + 4 * i), nil());

  const lispval marker = make(setupFor(kMakeSpecFunctionObj, templateFunction, 0, 1));
  EXPECT_EQ(header(marker), lisp::headerWord(tc::Closure, 0x10, 0));
  EXPECT_EQ(at(marker - 0xe), global(kSpecialFormStart));
  EXPECT_EQ(at(marker - 0xa), templateFunction);
  EXPECT_EQ(at(marker - 6), nil());
  EXPECT_EQ(at(templateFunction - 0xa) & 0xff, 0u);
}

// ---- the macro mark ----

TEST_F(Functions, TheMacroMarkGoesToTheInnermostFunctionOnly) {
  const lispval expander = function(0, 0x80);
  const lispval inner = closure(expander, nil());
  const lispval outer = closure(inner, nil());
  const uint32_t hash = at(expander - 0xa);
  const lispval marker = make(setupFor(kMakeMacroFunctionObj, outer, 0, 1));
  EXPECT_EQ(header(marker), lisp::headerWord(tc::Closure, 0x20, 0));
  EXPECT_EQ(at(marker - 0xe), global(kSpecialFormStart));
  EXPECT_EQ(at(marker - 0xa), outer);
  EXPECT_EQ(at(expander - 0xa), hash | 4);
  EXPECT_EQ(at(inner - 0xa), expander);
  EXPECT_EQ(at(outer - 0xa), inner);
  EXPECT_EQ(header(inner), lisp::headerWord(tc::Closure, 0x82, 0));  // as new_closure made it
}

TEST_F(Functions, AChainThatEndsInNoFunctionMarksNothing) {
  // A closure as the generic constructor leaves it: template word 0.
  const lispval bare = arenaObject({tc::Closure, 0, 0, nil()});
  const lispval structure = arenaObject({lisp::headerWithLength(tc::Structure, 3), 0, 0, 0});
  for (lispval expander : {bare, closure(bare, nil()), structure, makeFixnum(1), nil()}) {
    const lispval marker = make(setupFor(kMakeMacroFunctionObj, expander, 0, 1));
    EXPECT_EQ(flagsOf(marker), 0x20);
  }
  EXPECT_EQ(at(structure - 0xa), 0u);
}

TEST_F(Functions, MkmacroIsANativeEntryOverTheMacroMarker) {
  ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
  const lispval expander = function(1, 0x80);
  const uint32_t before = next();
  const lispval marker = mkmacro(expander);
  EXPECT_EQ(marker, before + 0x1a);
  EXPECT_EQ(flagsOf(marker), 0x20);
  EXPECT_EQ(at(marker - 0xa), expander);
  EXPECT_EQ(at(expander - 0xa) & 0xff, 4u);
}

// ---- the collector's walk ----

TEST_F(Functions, TheCollectorsWalkVisitsEveryObjectMadeAndNothingElse) {
  ASSERT_EQ(next(), GsNewOther1);
  std::vector<uint32_t> made;
  const lispval symbol = call(setupFor(kNewSymbol, arenaString(), makeFixnum(3), 2)).eax;
  made.push_back(at(symbol + 1) - 0x12);  // its value vector, made first
  made.push_back(symbol - 0x17);
  made.push_back(make(setupFor(kNewLocative, symbol, nil(), 2), lisp::Tag::Symbol) - 0x17);
  const lispval f = function(3, 0x80);
  made.push_back(f - 0x12);
  const lispval code = codeVector({0xc3});
  made.push_back(code - 0x12);
  made.push_back(withCount(kNewCompiledFunction, code, list({f}), makeFixnum(2)) - 0x12);
  made.push_back(make(setupFor(kMakeInterpFunctionObj, nil(), 0, 1)) - 0x12);
  made.push_back(closure(f, nil()) - 0x12);
  made.push_back(withCount(kNewSpecialClosure, f, nil(), makeFixnum(5)) - 0x12);
  made.push_back(make(setupFor(kMakeSpecFunctionObj, f, 0, 1)) - 0x12);
  made.push_back(make(setupFor(kMakeMacroFunctionObj, f, 0, 1)) - 0x12);
  EXPECT_EQ(collectorWalkOfNewSpace(), made);
}

}  // namespace
