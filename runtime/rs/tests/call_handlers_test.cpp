// The start-word routines through their global words: each is entered as
// a function's start would be, and must reach its Lisp handler (the
// recorder) with the arguments and frame words the calling protocol gives.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "runtime/rs/tests/calling_protocol_fixture.h"

namespace calling_protocol_test {
namespace {

constexpr int32_t kUndeffunc = -0x1e5;
constexpr int32_t kIllegalCall = -0x1ed;
constexpr int32_t kCompToInterp = -0x1f1;
constexpr int32_t kCompToByte = -0x285;
constexpr int32_t kFwrapStart = -0x479;
constexpr int32_t kInvalidFun = 0x353;
constexpr int32_t kNewClosure = 0x37;
constexpr int32_t kInterpreter = -0x69;
constexpr int32_t kByteCodeEngine = -0x109;
constexpr int32_t kUndefinedHandler = -0x2a5;
constexpr int32_t kInvalidHandler = -0x435;
constexpr int32_t kWrapperDispatcher = -0x471;
constexpr uint32_t kUndefinedFunction = 23;
constexpr uint32_t kNotAFunction = 24;
constexpr uint32_t kMacroCalled = 27;
constexpr uint32_t kSpecialOperatorCalled = 28;
constexpr uint32_t kCallerClosure = makeFixnum(0x5550);

class CallHandlers : public CallingProtocolHeap {
 protected:
  void SetUp() override {
    CallingProtocolHeap::SetUp();
    for (int32_t handler :
         {kInterpreter, kByteCodeEngine, kUndefinedHandler, kInvalidHandler, kWrapperDispatcher})
      global(handler) = recorderSymbol_;
    called_ = objects_->makeFunction(0);
    name_ = symbol(called_);
  }

  // A call of `called_` (through the name in the caller's word -0x18)
  // with three arguments that enters the routine in the global word or
  // entry slot.
  LispCallSetup callThrough(int32_t entry, uint32_t count = 3) {
    LispCallSetup setup = setupFor(entry, makeFixnum(1), makeFixnum(2), count);
    setup.esi = called_;
    setup.stack[2] = makeFixnum(3);
    setup.frame[frameIndex(0x18)] = name_;
    setup.frame[frameIndex(0x14)] = kCallerClosure;
    return setup;
  }
  lispval closureOfKind(uint8_t kind) {
    return arenaObject({lisp::headerWord(lisp::type_code::Closure, kind), 0, called_, nil()});
  }
  // Where the harness laid out the call's arguments, from the frame that
  // the handler's caller (the routine's frame) links to.
  static uint32_t argumentsOfTheHarnessCall(const RecordedCall& handler) {
    return handler.callerLink -
           4 * (testing_support::kHarnessFrameWords + testing_support::kHarnessStackWords);
  }
  // The home slots must hold the arguments while the handler runs.
  static void expectHomed(const LispCallResult& result) {
    EXPECT_EQ(result.stack[0], makeFixnum(1));
    EXPECT_EQ(result.stack[1], makeFixnum(2));
  }

  lispval called_ = 0, name_ = 0;
};

// ---- undeffunc ----

TEST_F(CallHandlers, UndefinedFunctionCallsTheAnsweredSymbolWithTheSameArguments) {
  const lispval replacement = symbol(recorderFunction_);
  testing_support::resetRecorder(replacement);  // the handler's answer, and the replacement's value
  const LispCallResult result = call(callThrough(kUndeffunc));
  ASSERT_EQ(lisp_recorder_log.count, 2u);
  const RecordedCall& handler = lisp_recorder_log.calls[0];
  EXPECT_EQ(recorded()[0], error(kUndefinedFunction, name_));
  EXPECT_EQ(handler.ecx, 2u);
  // The frame's function is a placeholder named after the call.
  const lispval placeholder = handler.callerFrame[frameIndex(4)];
  ASSERT_TRUE(lisp::isOther(placeholder));
  EXPECT_EQ(lisp::typeCodeOf(lisp::wordAt(placeholder, lisp::kHeaderOffset)),
            lisp::type_code::Function);
  EXPECT_EQ((lisp::wordAt(placeholder, lisp::kHeaderOffset) >> 8) & 0x08, 0x08u);
  EXPECT_EQ(lisp::wordAt(placeholder, -6), name_);

  const RecordedCall& again = lisp_recorder_log.calls[1];
  EXPECT_EQ(again.ecx, 3u);
  EXPECT_EQ(again.eax, makeFixnum(1));
  EXPECT_EQ(again.edx, makeFixnum(2));
  EXPECT_EQ(again.stack[2], makeFixnum(3));
  EXPECT_EQ(again.esi, recorderFunction_);
  EXPECT_EQ(again.callerFrame[frameIndex(0x18)], replacement);
  EXPECT_EQ(again.callerFrame[frameIndex(0x14)], kCallerClosure);
  EXPECT_EQ(result.eax, replacement);
  EXPECT_EQ(result.esi, kCallerFunction);
  expectHomed(result);
}

TEST_F(CallHandlers, UndefinedFunctionAnsweredWithANonSymbolIsError24) {
  for (lispval answer : {makeFixnum(5), nil(), recorderFunction_}) {
    SCOPED_TRACE(answer);
    testing_support::resetRecorder(answer);
    const LispCallResult result = call(callThrough(kUndeffunc));
    EXPECT_EQ(recorded(), std::vector<Signalled>(
                              {error(kUndefinedFunction, name_), error(kNotAFunction, answer)}));
    EXPECT_EQ(result.eax, answer);  // the value of error 24
  }
}

TEST_F(CallHandlers, UndefinedFunctionPassesLongArgumentListsAndZeroArguments) {
  const lispval replacement = symbol(recorderFunction_);
  for (uint32_t count : {0u, 1u, 14u}) {
    SCOPED_TRACE(count);
    testing_support::resetRecorder(replacement);
    LispCallSetup setup = callThrough(kUndeffunc, count);
    for (uint32_t i = 2; i < count; ++i) setup.stack[i] = makeFixnum(i + 1);
    call(setup);
    ASSERT_EQ(lisp_recorder_log.count, 2u);
    const RecordedCall& again = lisp_recorder_log.calls[1];
    EXPECT_EQ(again.ecx, count);
    for (uint32_t i = 2; i < count; ++i) EXPECT_EQ(again.stack[i], makeFixnum(i + 1)) << i;
    if (count >= 1) {
      EXPECT_EQ(again.eax, makeFixnum(1));
    }
  }
}

// ---- macros, special operators and objects that cannot be called ----

TEST_F(CallHandlers, MacroAndSpecialOperatorCellsSignalThenReachTheInvalidFunctionHandler) {
  const lispval macro = closureOfKind(0x20);
  const lispval special = closureOfKind(0x10);
  const lispval plain = closureOfKind(0);
  const lispval macroName = symbol(macro), specialName = symbol(special);
  const lispval plainName = symbol(plain), functionName = symbol(called_);
  const struct {
    const char* name;
    lispval symbolSlot;  // the caller's word -0x18
    lispval esi;         // the object called
    std::vector<Signalled> expected;
  } cases[] = {
      {"macro", macroName, called_, {error(kMacroCalled, macroName), {macro, 0}}},
      {"special operator",
       specialName,
       called_,
       {error(kSpecialOperatorCalled, specialName), {special, 0}}},
      {"neither bit", plainName, called_, {{plain, 0}}},
      {"not a closure", functionName, called_, {}},
      {"called directly", nil(), macro, {error(kMacroCalled, nil()), {macro, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(makeFixnum(6));
    LispCallSetup setup = callThrough(kIllegalCall);
    setup.frame[frameIndex(0x18)] = c.symbolSlot;
    setup.esi = c.esi;
    const LispCallResult result = call(setup);
    EXPECT_EQ(recorded(), c.expected);
    EXPECT_EQ(result.eax, c.expected.empty() ? nil() : makeFixnum(6));
    expectHomed(result);
  }
}

TEST_F(CallHandlers, InvalidFunCallsTheHandlerWithTheObject) {
  testing_support::resetRecorder(makeFixnum(6));
  const LispCallResult result = call(callThrough(kInvalidFun));
  EXPECT_EQ(recorded(), std::vector<Signalled>({{called_, 0}}));
  EXPECT_EQ(result.eax, makeFixnum(6));
}

// ---- interpreter, byte-code engine, wrapper dispatcher ----

TEST_F(CallHandlers, InterpretedAndByteCompiledCallsReachTheirEngines) {
  // A closure made in the heap, and one outside it.
  LispCallSetup make = setupFor(kNewClosure, called_, nil(), 2);
  const lispval heapClosure = call(make).eax;
  const lispval arenaClosure = closureOfKind(0);
  const struct {
    const char* name;
    int32_t entry;
    lispval callerClosure;
    uint32_t count;  // arguments the engine receives
    lispval fifth;   // its fifth argument
  } cases[] = {
      {"interpreted", kCompToInterp, kCallerClosure, 4, 0},
      {"byte-compiled, no closure", kCompToByte, kCallerClosure, 5, nil()},
      {"byte-compiled, a heap closure", kCompToByte, heapClosure, 5, heapClosure},
      {"byte-compiled, a closure outside the heap", kCompToByte, arenaClosure, 5, nil()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(0);
    testing_support::setRecorderValues(2, makeFixnum(8), makeFixnum(9));
    LispCallSetup setup = callThrough(c.entry);
    setup.frame[frameIndex(0x14)] = c.callerClosure;
    const LispCallResult result = call(setup);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& engine = lisp_recorder_log.calls[0];
    EXPECT_EQ(engine.ecx, c.count);
    EXPECT_EQ(engine.eax, called_);
    EXPECT_EQ(engine.edx, makeFixnum(3));
    EXPECT_EQ(engine.callerFrame[frameIndex(4)], lisp::nil_block::marker::kRuntimeRoutine);
    // The frame pointer passed is the engine caller's: its arguments lie at +8.
    EXPECT_EQ(engine.stack[2] + 8, argumentsOfTheHarnessCall(engine));
    EXPECT_EQ(engine.stack[3], 0u);
    if (c.count == 5) {
      EXPECT_EQ(engine.stack[4], c.fifth);
    }
    EXPECT_EQ(result.carry, 1u);
    EXPECT_EQ(result.ecx, 2u);
    EXPECT_EQ(result.edx, makeFixnum(9));
    expectHomed(result);
  }
  testing_support::resetRecorder(0);
}

TEST_F(CallHandlers, WrappedFunctionsReachTheDispatcherWithNameArgumentsAndCount) {
  const lispval otherName = symbol(recorderFunction_);
  const struct {
    const char* name;
    lispval symbolSlot;
    uint32_t count;
    lispval expectedName;
    bool hasArguments;
  } cases[] = {
      {"its own name", 0, 3, 0, true},
      {"a name it is not the function of", otherName, 3, 0, true},
      {"no name", makeFixnum(4), 2, 0, true},
      {"no arguments", 0, 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(makeFixnum(6));
    LispCallSetup setup = callThrough(kFwrapStart, c.count);
    if (c.symbolSlot) setup.frame[frameIndex(0x18)] = c.symbolSlot;
    const LispCallResult result = call(setup);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& dispatcher = lisp_recorder_log.calls[0];
    EXPECT_EQ(dispatcher.ecx, 4u);
    EXPECT_EQ(dispatcher.eax, kCallerClosure);
    EXPECT_EQ(dispatcher.edx, c.symbolSlot ? called_ : name_);
    EXPECT_EQ(dispatcher.stack[3], makeFixnum(static_cast<int32_t>(c.count)));
    if (c.hasArguments) {
      EXPECT_EQ(dispatcher.stack[2], argumentsOfTheHarnessCall(dispatcher));
    } else {
      EXPECT_EQ(dispatcher.stack[2], nil());
    }
    EXPECT_EQ(result.eax, makeFixnum(6));
  }
}

}  // namespace
}  // namespace calling_protocol_test

namespace calling_protocol_test {
namespace {

// ---- through the trampolines the constructors install ----

class Trampolines : public CallHandlers {};

TEST_F(Trampolines, CallsOfFunctionsThatCannotRunTheirOwnCodeReachTheirHandlers) {
  const lispval replacement = symbol(recorderFunction_);
  const lispval definition = cons(nil(), nil());
  const lispval expander = objects_->makeFunction(0);
  const struct {
    const char* name;
    int32_t constructor;
    lispval first, second;
    uint32_t count;
    std::vector<uint32_t>
        firstArguments;  // of the first call the recorder sees; 0: the function made
  } cases[] = {
      {"a new function", 0xfb, makeFixnum(0), 0x80, 2, {makeFixnum(kUndefinedFunction), 1}},
      {"an interpreted function", 0xff, definition, 0, 1, {0, makeFixnum(3)}},
      {"a byte-compiled function", 0x22f, definition, nil(), 3, {0, makeFixnum(3)}},
      {"a macro", 0x103, expander, 0, 1, {makeFixnum(kMacroCalled), 1}},
      {"a special operator", 0x117, definition, 0, 1, {makeFixnum(kSpecialOperatorCalled), 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LispCallSetup make = setupFor(c.constructor, c.first, c.second, c.count);
    make.stack[2] = makeFixnum(0);
    const lispval made = call(make).eax;
    const lispval name = symbol(made);
    testing_support::resetRecorder(replacement);
    // A call of the name through the stub at nil, as compiled code makes it.
    LispCallSetup setup = setupFor(0, makeFixnum(1), makeFixnum(2), 3);
    setup.target = nil();
    setup.ebx = name;
    setup.stack[2] = makeFixnum(3);
    call(setup);
    ASSERT_GE(lisp_recorder_log.count, 1u);
    const RecordedCall& first = lisp_recorder_log.calls[0];
    EXPECT_EQ(first.eax, c.firstArguments[0] ? c.firstArguments[0] : made);
    EXPECT_EQ(first.edx, c.firstArguments[1] == 1 ? name : c.firstArguments[1]);
  }
}

}  // namespace
}  // namespace calling_protocol_test
