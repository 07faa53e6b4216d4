// lisp_apply, applyn and fwrap_apply through their entry slots: the callee
// (the recorder) must see the spread arguments in order, the count, and the
// frame words the call sets; errors hand back their value and call nothing.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "runtime/rs/runtime_routines.h"
#include "runtime/rs/tests/calling_protocol_fixture.h"

extern "C" {
void applyn_probe();
void wrong_entry_probe();
extern uint32_t probe_code_vector_block[];
extern uint32_t applyn_probe_function, applyn_probe_from, applyn_probe_to, applyn_probe_closure;
}

namespace calling_protocol_test {
namespace {

constexpr int32_t kLispApply = 0x53;
constexpr int32_t kFwrapApply = 0x1cb;
constexpr int32_t kCompToInterp = -0x1f1;
constexpr int32_t kCompToByte = -0x285;
constexpr int32_t kIllegalCall = -0x1ed;
constexpr int32_t kClosureEntry = -0x1b9;
constexpr uint32_t kNotAFunction = 24;
constexpr uint32_t kBadApplyList = 33;
constexpr uint32_t kTooFewApplyArguments = 49;
constexpr uint32_t kCallerClosure = makeFixnum(0x5550);

class Apply : public CallingProtocolHeap {
 protected:
  std::vector<lispval> fixnums(int from, int count) {
    std::vector<lispval> items;
    for (int i = 0; i < count; ++i) items.push_back(makeFixnum(from + i));
    return items;
  }
  // The arguments the recorded call received, in order.
  static std::vector<uint32_t> argumentsOf(const RecordedCall& call) {
    std::vector<uint32_t> arguments;
    for (uint32_t i = 0; i < call.ecx; ++i)
      arguments.push_back(i == 0 ? call.eax : i == 1 ? call.edx : call.stack[i]);
    return arguments;
  }
  // lisp_apply with eax = function and the further arguments.
  LispCallResult apply(lispval function, const std::vector<lispval>& rest) {
    LispCallSetup setup = setupFor(kLispApply, function, 0, static_cast<uint32_t>(rest.size() + 1));
    for (size_t i = 0; i < rest.size(); ++i) {
      if (i == 0)
        setup.edx = rest[0];
      else
        setup.stack[i + 1] = rest[i];
    }
    setup.frame[frameIndex(0x14)] = kCallerClosure;
    return call(setup);
  }
};

TEST_F(Apply, SpreadsTheListAfterTheFixedArguments) {
  const struct {
    const char* name;
    std::vector<lispval> fixed;
    int listLength;
  } cases[] = {
      {"f 1 2 '(3 4)", {makeFixnum(1), makeFixnum(2)}, 2},
      {"f '()", {}, 0},
      {"f 1 '()", {makeFixnum(1)}, 0},
      {"f '(1)", {}, 1},
      {"f '(1 ... 40)", {}, 40},
      {"f 1 2 3 '(4 ... 45)", {makeFixnum(1), makeFixnum(2), makeFixnum(3)}, 42},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(makeFixnum(5));
    std::vector<lispval> rest = c.fixed;
    const int first = static_cast<int>(c.fixed.size()) + 1;
    rest.push_back(list(fixnums(first, c.listLength)));
    const LispCallResult result = apply(recorderFunction_, rest);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& callee = lisp_recorder_log.calls[0];
    const uint32_t total = static_cast<uint32_t>(c.fixed.size()) + c.listLength;
    EXPECT_EQ(callee.ecx, total);
    EXPECT_EQ(argumentsOf(callee), fixnums(1, static_cast<int>(total)));
    EXPECT_EQ(callee.esi, recorderFunction_);
    EXPECT_EQ(callee.callerFrame[frameIndex(0x14)], kCallerClosure);
    EXPECT_EQ(callee.callerFrame[frameIndex(0x4)], lisp::nil_block::marker::kRuntimeRoutine);
    EXPECT_EQ(result.eax, makeFixnum(5));
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
  }
}

TEST_F(Apply, CallsSymbolsThroughTheirFunctionAndPassesSeveralValuesBack) {
  testing_support::resetRecorder(0);
  testing_support::setRecorderValues(3, makeFixnum(7), makeFixnum(8));
  const LispCallResult result = apply(recorderSymbol_, {makeFixnum(1), list({makeFixnum(2)})});
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].callerFrame[frameIndex(0x18)], recorderSymbol_);
  EXPECT_EQ(argumentsOf(lisp_recorder_log.calls[0]), fixnums(1, 2));
  EXPECT_EQ(result.carry, 1u);
  EXPECT_EQ(result.ecx, 3u);
  EXPECT_EQ(result.eax, makeFixnum(7));
  EXPECT_EQ(result.edx, makeFixnum(8));
  testing_support::resetRecorder(0);
}

TEST_F(Apply, ABadListOrTooFewArgumentsIsAnErrorWhoseValueComesBack) {
  const lispval dotted = list({makeFixnum(1), makeFixnum(2)}, makeFixnum(3));
  const lispval circular = list({makeFixnum(1), makeFixnum(2), makeFixnum(3)});
  lisp::cdr(lisp::cdr(lisp::cdr(circular))) = circular;  // (1 2 3 1 2 3 ...)
  const lispval loopAtTwo = list({makeFixnum(1), makeFixnum(2)});
  lisp::cdr(lisp::cdr(loopAtTwo)) = lisp::cdr(loopAtTwo);
  const lispval selfLoop = list({makeFixnum(1)});
  lisp::cdr(selfLoop) = selfLoop;
  const struct {
    const char* name;
    std::vector<lispval> rest;
    Signalled expected;
  } cases[] = {
      {"dotted", {makeFixnum(0), dotted}, error(kBadApplyList, dotted)},
      {"circular", {circular}, error(kBadApplyList, circular)},
      {"circular from its second cons", {loopAtTwo}, error(kBadApplyList, loopAtTwo)},
      {"circular cons", {selfLoop}, error(kBadApplyList, selfLoop)},
      {"an atom", {makeFixnum(4)}, error(kBadApplyList, makeFixnum(4))},
      {"one argument", {}, error(kTooFewApplyArguments, makeFixnum(1))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(kErrorValue);
    const LispCallResult result = apply(recorderFunction_, c.rest);
    EXPECT_EQ(recorded(), std::vector<Signalled>{c.expected});
    EXPECT_EQ(result.eax, kErrorValue);
    EXPECT_EQ(result.carry, 0u);
  }
}

TEST_F(Apply, ASpreadPastTheStackLimitIsReportedAsStackOverflow) {
  testing_support::resetRecorder(kErrorValue);
  threadWord(lisp::thread_record::kStackLimit) = 0xfffffff0;  // every spread passes it
  const LispCallResult result = apply(recorderFunction_, {list(fixnums(1, 3))});
  threadWord(lisp::thread_record::kStackLimit) = 0;
  EXPECT_EQ(recorded(), std::vector<Signalled>({{makeFixnum(1000), t()}}));
  EXPECT_EQ(result.eax, kErrorValue);
}

TEST_F(Apply, ApplynSpreadsTheCallersOwnArgumentWords) {
  const struct {
    const char* name;
    uint32_t from, to;
    std::vector<lispval> expected;  // after the fixed argument 100
  } cases[] = {
      {"all six", 0, 24, fixnums(1, 6)},      {"two from the second", 4, 12, fixnums(2, 2)},
      {"stacked only", 8, 24, fixnums(3, 4)}, {"to equals from", 8, 8, {}},
      {"to below from", 12, 4, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(makeFixnum(5));
    applyn_probe_function = recorderFunction_;
    applyn_probe_from = c.from;
    applyn_probe_to = c.to;
    applyn_probe_closure = kCallerClosure;
    LispCallSetup setup = setupFor(0, makeFixnum(1), makeFixnum(2), 6);
    setup.target = addressOf(applyn_probe);
    for (int i = 2; i < 6; ++i) setup.stack[i] = makeFixnum(i + 1);
    const LispCallResult result = call(setup);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& callee = lisp_recorder_log.calls[0];
    std::vector<uint32_t> expected{makeFixnum(100)};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(argumentsOf(callee), expected);
    EXPECT_EQ(callee.callerFrame[frameIndex(0x14)], kCallerClosure);
    EXPECT_EQ(result.eax, makeFixnum(5));
  }
}

TEST_F(Apply, ApplynWithoutItsTwoOffsetsIsError49) {
  testing_support::resetRecorder(kErrorValue);
  LispCallSetup setup = setupFor(0x177, recorderFunction_, makeFixnum(0), 2);
  const LispCallResult result = call(setup);
  EXPECT_EQ(recorded(), std::vector<Signalled>{error(kTooFewApplyArguments, makeFixnum(2))});
  EXPECT_EQ(result.eax, kErrorValue);
}

class FwrapApply : public Apply {
 protected:
  void SetUp() override {
    Apply::SetUp();
    for (int32_t entry : {kCompToInterp, kCompToByte, kIllegalCall})
      global(entry) = routineAddress(wrong_entry_probe);
  }
  lispval functionOfKind(uint8_t kind, lispval codeVector) {
    const lispval function = objects_->makeFunction(0);
    lisp::wordAt(function, lisp::kHeaderOffset) = lisp::headerWord(lisp::type_code::Function, kind);
    lisp::wordAt(function, -2) = codeVector;
    return function;
  }
  lispval closureOfKind(uint8_t kind, lispval templateFunction) {
    return arenaObject(
        {lisp::headerWord(lisp::type_code::Closure, kind), 0, templateFunction, nil()});
  }
  LispCallResult wrapApply(lispval function, lispval source, int32_t count) {
    LispCallSetup setup = setupFor(kFwrapApply, kCallerClosure + 4, function, 5);
    setup.stack[2] = source;
    setup.stack[3] = makeFixnum(77);
    setup.stack[4] = makeFixnum(count);
    return call(setup);
  }
};

TEST_F(FwrapApply, EntersTheCodeTheKindOfTheFunctionSelects) {
  const lispval codeVector = addressOf(probe_code_vector_block) + 0x12;
  const lispval compiled = functionOfKind(0x80, codeVector);
  const lispval byteCompiled = functionOfKind(0xc8, nil());
  const lispval interpreted = functionOfKind(0x48, nil());
  const lispval macro = closureOfKind(0x20, recorderFunction_);
  const lispval special = closureOfKind(0x10, recorderFunction_);
  const lispval closure = closureOfKind(0, recorderFunction_);
  const lispval named = symbol(compiled);
  const struct {
    const char* name;
    lispval function;
    int32_t entryGlobal;  // 0: the function's own code
    lispval esi, symbolSlot, closureSlot;
  } cases[] = {
      {"compiled code", compiled, 0, compiled, nil(), kCallerClosure + 4},
      {"through a symbol", named, 0, compiled, named, kCallerClosure + 4},
      {"byte-compiled", byteCompiled, kCompToByte, byteCompiled, nil(), kCallerClosure + 4},
      {"interpreted", interpreted, kCompToInterp, interpreted, nil(), kCallerClosure + 4},
      {"macro", macro, kIllegalCall, macro, nil(), kCallerClosure + 4},
      {"special operator", special, kIllegalCall, special, nil(), kCallerClosure + 4},
      {"closure", closure, kClosureEntry, recorderFunction_, nil(), closure},
  };
  const lispval arguments = list(fixnums(1, 3));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t closureEntry = global(kClosureEntry);
    if (c.entryGlobal && c.entryGlobal != kClosureEntry)
      global(c.entryGlobal) = testing_support::recorderAddress();
    testing_support::resetRecorder(makeFixnum(5));
    const LispCallResult result = wrapApply(c.function, arguments, 3);
    if (c.entryGlobal && c.entryGlobal != kClosureEntry)
      global(c.entryGlobal) = routineAddress(wrong_entry_probe);
    EXPECT_EQ(global(kClosureEntry), closureEntry);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& callee = lisp_recorder_log.calls[0];
    EXPECT_EQ(argumentsOf(callee), fixnums(1, 3));
    EXPECT_EQ(callee.esi, c.esi);
    EXPECT_EQ(callee.callerFrame[frameIndex(0x18)], c.symbolSlot);
    EXPECT_EQ(callee.callerFrame[frameIndex(0x14)], c.closureSlot);
    EXPECT_EQ(result.eax, makeFixnum(5));
  }
}

TEST_F(FwrapApply, SpreadsFromAWordAddressOrAList) {
  const lispval compiled = functionOfKind(0x80, addressOf(probe_code_vector_block) + 0x12);
  uint32_t* words = arenaWords(4);
  for (int i = 0; i < 4; ++i) words[i] = makeFixnum(11 + i);
  const struct {
    const char* name;
    lispval source;
    int32_t count;
    std::vector<lispval> expected;
  } cases[] = {
      {"four words", addressOf(words), 4, fixnums(11, 4)},
      {"no words", addressOf(words), 0, {}},
      {"negative count", addressOf(words), -3, {}},
      {"first two of a list", list(fixnums(1, 3)), 2, fixnums(1, 2)},
      {"nil, no words", nil(), 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(makeFixnum(5));
    wrapApply(compiled, c.source, c.count);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(argumentsOf(lisp_recorder_log.calls[0]), c.expected);
  }
}

TEST_F(FwrapApply, WhatCannotBeEnteredIsAnError) {
  const lispval plain = functionOfKind(0, nil());
  const lispval shortList = list(fixnums(1, 2));
  const lispval compiled = functionOfKind(0x80, addressOf(probe_code_vector_block) + 0x12);
  const lispval undefinedSymbol = symbol(makeFixnum(3));
  const struct {
    const char* name;
    lispval function, source;
    int32_t count;
    Signalled expected;
  } cases[] = {
      {"a fixnum", makeFixnum(3), nil(), 0, error(kNotAFunction, makeFixnum(3))},
      {"nil", nil(), nil(), 0, error(kNotAFunction, nil())},
      {"a symbol without a function", undefinedSymbol, nil(), 0,
       error(kNotAFunction, makeFixnum(3))},
      {"a function of no kind", plain, nil(), 0, error(kNotAFunction, plain)},
      {"a list shorter than the count", compiled, shortList, 3, error(kBadApplyList, shortList)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(kErrorValue);
    const LispCallResult result = wrapApply(c.function, c.source, c.count);
    EXPECT_EQ(recorded(), std::vector<Signalled>{c.expected});
    EXPECT_EQ(result.eax, kErrorValue);
  }
}

}  // namespace
}  // namespace calling_protocol_test
