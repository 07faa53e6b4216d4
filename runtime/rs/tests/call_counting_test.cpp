// count_call against a model of the call-count table, and flav_send to
// each kind of receiver, through their entry slots.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "runtime/rs/tests/calling_protocol_fixture.h"

extern "C" {
extern uint32_t probe_code_vector_block[];
}

namespace calling_protocol_test {
namespace {

constexpr int32_t kCountCall = 0x67;
constexpr int32_t kFlavSend = 0xdb;
constexpr int32_t kNewSymbol = 0x127;
constexpr int32_t kCallCountTable = -0x1a5;
constexpr int32_t kOverflows = -0x1a9;
constexpr int32_t kEmptyKeySymbol = -0x1ad;
constexpr int32_t kInterpreter = -0x69;
constexpr uint32_t kNotAFunction = 24;
constexpr uint32_t kNoReceiver = 50;
constexpr uint32_t kCallerClosure = makeFixnum(0x5550);

class CallingPathTables : public CallingProtocolHeap {
 protected:
  // A simple vector (type 112) of the words, in the arena.
  lispval simpleVector(const std::vector<uint32_t>& elements) {
    uint32_t* words = arenaWords(static_cast<uint32_t>(elements.size()) + 2);
    words[0] = lisp::type_code::SimpleVector;
    words[1] = makeFixnum(static_cast<int32_t>(elements.size()));
    for (size_t i = 0; i < elements.size(); ++i) words[2 + i] = elements[i];
    return lisp::wordOf(words, lisp::Tag::Other);
  }
  static uint32_t* elements(lispval vector) { return &lisp::wordAt(vector, -0xa); }
  // A function with the serial number and a code vector that enters the recorder.
  lispval countedFunction(uint32_t serial) {
    const lispval function = objects_->makeFunction(0);
    lisp::wordAt(function, -0xa) = serial << 8;
    lisp::wordAt(function, -2) = addressOf(probe_code_vector_block) + 0x12;
    return function;
  }
  // A symbol made in the heap whose value (for this thread) is `value`.
  lispval heapSymbolWithValue(lispval value) {
    const lispval made = call(setupFor(kNewSymbol, nil(), makeFixnum(0), 2)).eax;
    lisp::wordAt(made, -0x13) = value;
    return made;
  }
  LispCallSetup countedCall(lispval function) {
    LispCallSetup setup = setupFor(kCountCall, makeFixnum(1), makeFixnum(2), 3);
    setup.esi = function;
    setup.stack[2] = makeFixnum(3);
    setup.frame[frameIndex(0x14)] = kCallerClosure;
    return setup;
  }
  // The recorder must have been entered once as the function itself.
  void expectEntered(lispval function, const LispCallResult& result) {
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& entered = lisp_recorder_log.calls[0];
    EXPECT_EQ(entered.esi, function);
    EXPECT_EQ(entered.ecx, 3u);
    EXPECT_EQ(entered.eax, makeFixnum(1));
    EXPECT_EQ(entered.edx, makeFixnum(2));
    EXPECT_EQ(entered.stack[2], makeFixnum(3));
    EXPECT_EQ(result.eax, makeFixnum(5));
  }
};

// ---- count_call ----

// The call-count table as the routine must leave it.
struct TableModel {
  std::vector<uint32_t> keys, counts;
  int32_t limit = 0, entries = 0, overflows = 0;

  void count(uint32_t key, uint32_t hash, uint32_t empty) {
    const size_t length = keys.size();
    for (size_t step = 0, i = length ? hash % length : 0; step < length;
         ++step, i = (i + 1) % length) {
      if (keys[i] == key) {
        ++counts[i];
        return;
      }
      if (keys[i] == empty) {
        if (limit < entries) {
          ++overflows;
        } else {
          keys[i] = key;
          counts[i] = 1;
          ++entries;
        }
        return;
      }
    }
    ++overflows;
  }
};

TEST_F(CallingPathTables, CountCallKeepsTheTableAsTheModelDoes) {
  const lispval empty = symbol();
  global(kEmptyKeySymbol) = heapSymbolWithValue(empty);
  // Serials chosen to collide modulo 7 and to wrap from the last slot.
  const uint32_t serials[] = {3, 10, 17, 6, 13, 1, 8, 20, 27};
  std::vector<lispval> functions;
  for (uint32_t serial : serials) functions.push_back(countedFunction(serial));
  const std::vector<size_t> calls = {0, 1, 0, 2, 3, 3, 4, 5, 6, 7, 8, 0, 6, 7};

  const struct {
    const char* name;
    uint32_t slots;
    int32_t limit;
  } tables[] = {{"limit passed", 7, 4}, {"full table", 7, 100}, {"no key slots", 0, 100}};
  for (const auto& t : tables) {
    SCOPED_TRACE(t.name);
    TableModel model;
    model.keys.assign(t.slots, empty);
    model.counts.assign(t.slots, 0);
    model.limit = t.limit;
    const lispval keys = simpleVector(std::vector<uint32_t>(t.slots, empty));
    const lispval counts = simpleVector(std::vector<uint32_t>(t.slots, makeFixnum(0)));
    const lispval table = arenaObject({lisp::headerWord(lisp::type_code::Structure, 8), keys, 0, 0,
                                       0, 0, makeFixnum(t.limit), makeFixnum(0), counts});
    global(kCallCountTable) = table;
    global(kOverflows) = makeFixnum(0);
    for (size_t call : calls) {
      SCOPED_TRACE(call);
      testing_support::resetRecorder(makeFixnum(5));
      const LispCallResult result = this->call(countedCall(functions[call]));
      expectEntered(functions[call], result);
      model.count(functions[call], serials[call], empty);
      for (uint32_t i = 0; i < t.slots; ++i) {
        EXPECT_EQ(elements(keys)[i], model.keys[i]) << "key " << i;
        EXPECT_EQ(elements(counts)[i], makeFixnum(static_cast<int32_t>(model.counts[i]))) << i;
      }
      EXPECT_EQ(lisp::wordAt(table, 0xa), makeFixnum(model.entries));
      EXPECT_EQ(global(kOverflows), makeFixnum(model.overflows));
    }
    EXPECT_GT(model.overflows, 0);
  }
  global(kCallCountTable) = nil();
}

TEST_F(CallingPathTables, CountCallEntersAClosuresTemplateAndCountsItUnderTheTemplate) {
  const lispval empty = symbol();
  global(kEmptyKeySymbol) = heapSymbolWithValue(empty);
  const lispval function = countedFunction(2);
  const lispval closure =
      arenaObject({lisp::headerWord(lisp::type_code::Closure), 0, function, nil()});
  const lispval keys = simpleVector({empty, empty, empty});
  const lispval counts = simpleVector({0, 0, 0});
  global(kCallCountTable) = arenaObject({lisp::headerWord(lisp::type_code::Structure, 8), keys, 0,
                                         0, 0, 0, makeFixnum(5), makeFixnum(0), counts});
  testing_support::resetRecorder(makeFixnum(5));
  const LispCallResult result = call(countedCall(closure));
  expectEntered(function, result);
  EXPECT_EQ(lisp_recorder_log.calls[0].callerFrame[frameIndex(0x14)], closure);
  EXPECT_EQ(elements(keys)[2], function);
  EXPECT_EQ(elements(counts)[2], makeFixnum(1));
  global(kCallCountTable) = nil();
}

TEST_F(CallingPathTables, CountCallWithoutATableOrWithAHookSymbol) {
  const lispval function = countedFunction(1);
  const lispval hook = recorderFunction_;
  const lispval hookName = symbol(hook);
  // nil: entered, nothing changes.
  testing_support::resetRecorder(makeFixnum(5));
  global(kCallCountTable) = nil();
  expectEntered(function, call(countedCall(function)));
  // A symbol: its function becomes the global, the call is not counted.
  testing_support::resetRecorder(makeFixnum(5));
  global(kCallCountTable) = hookName;
  expectEntered(function, call(countedCall(function)));
  EXPECT_EQ(global(kCallCountTable), hook);
  global(kCallCountTable) = nil();
}

TEST_F(CallingPathTables, CountCallHandsTheCallToAHookOnce) {
  const lispval function = countedFunction(1);
  const lispval name = symbol(function);
  const struct {
    const char* name;
    lispval symbolSlot;
    lispval expectedName;
  } cases[] = {{"called by name", name, name},
               {"called directly", nil(), function},
               {"a name of another function", symbol(recorderFunction_), function}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(makeFixnum(6));
    global(kCallCountTable) = recorderFunction_;
    LispCallSetup setup = countedCall(function);
    setup.frame[frameIndex(0x18)] = c.symbolSlot;
    const LispCallResult result = call(setup);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& hookCall = lisp_recorder_log.calls[0];
    EXPECT_EQ(hookCall.esi, recorderFunction_);
    EXPECT_EQ(hookCall.ecx, 2u);
    EXPECT_EQ(hookCall.eax, c.expectedName);
    const lispval arguments = hookCall.edx;
    ASSERT_TRUE(lisp::isCons(arguments));
    EXPECT_EQ(lisp::car(arguments), makeFixnum(1));
    EXPECT_EQ(lisp::car(lisp::cdr(arguments)), makeFixnum(2));
    EXPECT_EQ(lisp::car(lisp::cdr(lisp::cdr(arguments))), makeFixnum(3));
    EXPECT_EQ(lisp::cdr(lisp::cdr(lisp::cdr(arguments))), nil());
    EXPECT_EQ(global(kCallCountTable), nil());  // one shot
    EXPECT_EQ(result.eax, makeFixnum(6));
  }
}

TEST_F(CallingPathTables, CountCallOfAFunctionWithoutCodeIsError24) {
  const lispval function = objects_->makeFunction(0);  // no code vector
  testing_support::resetRecorder(kErrorValue);
  global(kCallCountTable) = nil();
  const LispCallResult result = call(countedCall(function));
  EXPECT_EQ(recorded(), std::vector<Signalled>{error(kNotAFunction, function)});
  EXPECT_EQ(result.eax, kErrorValue);
}

// ---- flav_send ----

class MessageSend : public CallingPathTables {
 protected:
  void SetUp() override {
    CallingPathTables::SetUp();
    global(kInterpreter) = recorderSymbol_;
    message_ = messageSymbol(5);
  }
  lispval messageSymbol(uint32_t hash) {
    const lispval made = symbol();
    lisp::wordAt(made, -0xf) = (hash << 8) | 7;
    return made;
  }
  // A method table of four keys: the message at its hash slot (5 & 3 = 1)
  // unless `withMessage` is false; `fill` fills every other key.
  struct MethodTable {
    lispval keys, values;
  };
  MethodTable methodTable(bool withMessage, lispval fill, lispval method, lispval datum) {
    std::vector<uint32_t> keys(4, fill);
    std::vector<uint32_t> values(8, nil());
    if (withMessage) {
      keys[1] = message_;
      values[2] = cons(nil(), method);
      values[3] = datum;
    }
    return {simpleVector(keys), simpleVector(values)};
  }
  lispval instanceOf(bool alternate, const MethodTable& table, lispval defaultHandler) {
    if (!alternate) {
      const lispval record = arenaObject(
          {lisp::type_code::Structure, 0, table.keys, table.values, 0, 0, defaultHandler});
      return arenaObject({lisp::type_code::Instance, record});
    }
    const lispval inner = arenaObject({lisp::type_code::Structure, 0, 0, 0, 0, 0, 0, 0, table.keys,
                                       table.values, defaultHandler});
    const lispval outer = arenaObject({lisp::type_code::Structure, 0, inner});
    return arenaObject({lisp::type_code::InstanceAlternate, outer});
  }
  LispCallSetup send(lispval receiver, uint32_t count) {
    LispCallSetup setup = setupFor(kFlavSend, receiver, message_, count);
    for (uint32_t i = 2; i < count; ++i) setup.stack[i] = makeFixnum(i + 1);
    setup.frame[frameIndex(0x14)] = kCallerClosure;
    return setup;
  }
  lispval message_ = 0;
};

TEST_F(MessageSend, InstancesCallTheMethodTheirFlavorFindsOrTheDefault) {
  const lispval datum = makeFixnum(42);
  const lispval otherKey = messageSymbol(6);
  const struct {
    const char* name;
    bool alternate, withMessage;
    lispval fill;
    bool expectMethod;
  } cases[] = {
      {"found", false, true, nil(), true},
      {"found, alternate record", true, true, nil(), true},
      {"not found: nil ends the probe", false, false, nil(), false},
      {"not found: keys without nil", false, false, otherKey, false},
      {"not found, alternate record", true, false, otherKey, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const lispval method = symbol(recorderFunction_);
    const lispval defaultHandler = recorderFunction_;
    const lispval instance =
        instanceOf(c.alternate, methodTable(c.withMessage, c.fill, method, datum), defaultHandler);
    testing_support::resetRecorder(makeFixnum(7));
    const LispCallResult result = call(send(instance, 4));
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& called = lisp_recorder_log.calls[0];
    EXPECT_EQ(called.ecx, 4u);
    EXPECT_EQ(called.eax, instance);
    EXPECT_EQ(called.edx, c.expectMethod ? datum : message_);
    EXPECT_EQ(called.stack[2], makeFixnum(3));
    EXPECT_EQ(called.stack[3], makeFixnum(4));
    EXPECT_EQ(called.esi, recorderFunction_);
    EXPECT_EQ(called.callerFrame[frameIndex(0x18)], c.expectMethod ? method : nil());
    EXPECT_EQ(called.callerFrame[frameIndex(0x14)], kCallerClosure);
    EXPECT_EQ(result.eax, makeFixnum(7));
  }
}

TEST_F(MessageSend, OtherReceiversAreCalledWithTheMessageFirst) {
  const lispval named = recorderSymbol_;
  const struct {
    const char* name;
    lispval receiver;
    lispval symbolSlot;
  } cases[] = {{"a function", recorderFunction_, nil()}, {"a symbol", named, named}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(makeFixnum(7));
    call(send(c.receiver, 4));
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& called = lisp_recorder_log.calls[0];
    EXPECT_EQ(called.ecx, 3u);
    EXPECT_EQ(called.eax, message_);
    EXPECT_EQ(called.edx, makeFixnum(3));
    EXPECT_EQ(called.stack[2], makeFixnum(4));
    EXPECT_EQ(called.callerFrame[frameIndex(0x18)], c.symbolSlot);
  }
}

TEST_F(MessageSend, AListReceiverGoesToTheInterpreter) {
  const lispval form = cons(nil(), nil());
  testing_support::resetRecorder(makeFixnum(7));
  call(send(form, 3));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const RecordedCall& interpreter = lisp_recorder_log.calls[0];
  EXPECT_EQ(interpreter.ecx, 4u);
  EXPECT_EQ(interpreter.eax, form);
  EXPECT_EQ(interpreter.edx, makeFixnum(2));
  EXPECT_EQ(interpreter.stack[3], makeFixnum(1));
  // The frame pointer given has the send's arguments at +8.
  EXPECT_EQ(interpreter.stack[2] + 8,
            interpreter.callerLink -
                4 * (testing_support::kHarnessFrameWords + testing_support::kHarnessStackWords));
}

TEST_F(MessageSend, NoReceiverOrAnUncallableMethodIsAnError) {
  const lispval uncallable = makeFixnum(9);
  const lispval instance = instanceOf(false, methodTable(true, nil(), uncallable, nil()), nil());
  const struct {
    const char* name;
    lispval receiver;
    uint32_t count;
    Signalled expected;
  } cases[] = {
      {"count 0", makeFixnum(1), 0, error(kNoReceiver, 0)},
      {"a fixnum receiver", makeFixnum(1), 2, error(kNotAFunction, makeFixnum(1))},
      {"nil receiver", nil(), 2, error(kNotAFunction, nil())},
      {"a method that is a fixnum", instance, 2, error(kNotAFunction, uncallable)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(kErrorValue);
    const LispCallResult result = call(send(c.receiver, c.count));
    EXPECT_EQ(recorded(), std::vector<Signalled>{c.expected});
    EXPECT_EQ(result.eax, kErrorValue);
  }
}

}  // namespace
}  // namespace calling_protocol_test
