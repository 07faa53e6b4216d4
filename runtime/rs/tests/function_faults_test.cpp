// Jettisoned functions through the function-fault entries, with a stand-in
// for the code file's reader: the code comes back, the function is entered
// again as it was called; a failed read is error 51 and enters nothing.
// Also residentfunction, dump_codevectors and original_fcn_codevec.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "runtime/gc/jetcode.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/function_fault_services.h"
#include "runtime/rs/tests/calling_protocol_fixture.h"

extern "C" {
extern uint32_t probe_code_vector_block[];
extern uint32_t probe_code_vector_block_2[];
}

namespace calling_protocol_test {
namespace {

constexpr int32_t kFaultEntry1 = 0x1f7;
constexpr int32_t kFaultEntry2 = 0x1fb;
constexpr int32_t kResidentFunction = 0x2df;
constexpr int32_t kDumpCodeVectors = 0x2db;
constexpr int32_t kOriginalCodeVector = 0x2ab;
constexpr int32_t kNewSymbol = 0x127;
constexpr int32_t kEmptyKeySymbol = -0x1ad;
constexpr int32_t kOriginalTableSymbol = -0x1d1;
constexpr uint32_t kPageInFailed = 51;
constexpr int32_t kPlace = 12;

// The stand-in code file: what it answers and what it was asked.
struct CodeFile {
  lispval answer = 0;
  uint32_t calls = 0, place = 0, name = 0;
};
CodeFile codeFile;
lispval pageInFromTheStandIn(uint32_t place, uint32_t name) {
  ++codeFile.calls;
  codeFile.place = place;
  codeFile.name = name;
  return codeFile.answer;
}

class FunctionFaults : public CallingProtocolHeap {
 protected:
  void SetUp() override {
    CallingProtocolHeap::SetUp();
    codeFile = CodeFile{};
    code_vector_page_in = pageInFromTheStandIn;
    nameCharacters_ = arenaWords(4);
    nameCharacters_[0] = lisp::type_code::SimpleString;
    nameCharacters_[1] = makeFixnum(3);
    name_ = symbol();
    lisp::wordAt(name_, -7) = lisp::wordOf(nameCharacters_, lisp::Tag::Other);
  }
  void TearDown() override {
    code_vector_page_in = pageinfcn;
    CallingProtocolHeap::TearDown();
  }
  // A function whose code vector went to the code file at kPlace.
  lispval jettisoned(void (*start)()) {
    const lispval function = objects_->makeFunction(addressOf(start));
    lisp::wordAt(function, -2) = makeFixnum(kPlace);
    lisp::wordAt(function, -6) = name_;
    return function;
  }
  LispCallSetup callOf(int32_t entry, lispval function) {
    LispCallSetup setup = setupFor(entry, makeFixnum(1), makeFixnum(2), 3);
    setup.esi = function;
    setup.stack[2] = makeFixnum(3);
    setup.frame[frameIndex(0x18)] = name_;
    return setup;
  }
  static lispval codeVector(uint32_t* block) { return addressOf(block) + 0x12; }

  uint32_t* nameCharacters_ = nullptr;
  lispval name_ = 0;
};

TEST_F(FunctionFaults, EntriesPageTheCodeInAndEnterItAsCalled) {
  const struct {
    const char* name;
    int32_t entry;
    void (*start)();
    uint32_t* block;
  } cases[] = {
      {"entry 1", kFaultEntry1, functionfault, probe_code_vector_block},
      {"entry 2 enters at start + 6", kFaultEntry2, functionfault_2, probe_code_vector_block_2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const lispval function = jettisoned(c.start);
    codeFile = CodeFile{codeVector(c.block)};
    testing_support::resetRecorder(makeFixnum(5));
    const LispCallResult result = call(callOf(c.entry, function));
    EXPECT_EQ(codeFile.calls, 1u);
    EXPECT_EQ(codeFile.place, static_cast<uint32_t>(kPlace));
    EXPECT_EQ(codeFile.name, addressOf(nameCharacters_) + 8);
    EXPECT_EQ(lisp::wordAt(function, -2), codeVector(c.block));
    EXPECT_EQ(lisp::wordAt(function, -0xe), codeVector(c.block) - 0xe);
    EXPECT_EQ(threadWord(lisp::thread_record::kLeafCallStack), nil());
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& entered = lisp_recorder_log.calls[0];
    EXPECT_EQ(entered.esi, function);
    EXPECT_EQ(entered.ecx, 3u);
    EXPECT_EQ(entered.eax, makeFixnum(1));
    EXPECT_EQ(entered.edx, makeFixnum(2));
    EXPECT_EQ(entered.stack[2], makeFixnum(3));
    EXPECT_EQ(entered.callerFrame[frameIndex(0x18)], name_);
    EXPECT_EQ(entered.callerFrame[frameIndex(4)],
              kCallerFunction);  // entered from the caller itself
    EXPECT_EQ(result.eax, makeFixnum(5));
  }
}

TEST_F(FunctionFaults, AFailedPageInIsError51AndEntersNothing) {
  for (lispval answer : {makeFixnum(2), nil()}) {
    SCOPED_TRACE(answer);
    const lispval function = jettisoned(functionfault);
    codeFile.answer = answer;
    testing_support::resetRecorder(kErrorValue);
    const LispCallResult result = call(callOf(kFaultEntry1, function));
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& error = lisp_recorder_log.calls[0];
    EXPECT_EQ(error.eax, makeFixnum(kPageInFailed));
    ASSERT_TRUE(lisp::isCons(error.edx));
    EXPECT_EQ(lisp::car(error.edx), answer);
    EXPECT_EQ(lisp::cdr(error.edx), function);
    EXPECT_EQ(lisp::wordAt(function, -2), makeFixnum(kPlace));  // still jettisoned
    EXPECT_EQ(result.eax, kErrorValue);
  }
}

TEST_F(FunctionFaults, WithoutACodeFileThePageInCannotOpenIt) {
  code_vector_page_in = pageinfcn;
  const lispval function = jettisoned(functionfault);
  lisp::wordAt(function, -6) = nil();  // no name: address 0
  testing_support::resetRecorder(kErrorValue);
  call(callOf(kFaultEntry1, function));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp::car(lisp_recorder_log.calls[0].edx), jetcode::kReloadCannotOpen);
}

TEST_F(FunctionFaults, ResidentFunctionPagesInOnlyAJettisonedFunction) {
  codeFile.answer = codeVector(probe_code_vector_block);
  const lispval jettisonedFunction = jettisoned(functionfault);
  const lispval resident = objects_->makeFunction(addressOf(probe_code_vector_block) + 4);
  for (lispval function : {jettisonedFunction, resident}) {
    codeFile.calls = 0;
    const LispCallResult result = call(setupFor(kResidentFunction, function, 0, 1));
    EXPECT_EQ(result.eax, function);
    EXPECT_EQ(codeFile.calls, function == resident ? 0u : 1u);
    EXPECT_EQ(lisp::wordAt(function, -0xe), addressOf(probe_code_vector_block) + 4);
  }
}

// Without a path a dump cannot be opened: the writer's error bits come back as they are.
TEST_F(FunctionFaults, DumpCodeVectorsReturnsTheWritersWordUnconverted) {
  LispCallSetup setup = setupFor(kDumpCodeVectors, nil(), nil(), 3);
  setup.stack[2] = t();
  testing::internal::CaptureStdout();
  const uint32_t answer = call(setup).eax;
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(answer, jetcode::kOpenFailed);
}

TEST_F(FunctionFaults, OriginalCodeVectorIsLookedUpInTheThreadsTable) {
  const lispval empty = symbol();
  const lispval emptySymbol = call(setupFor(kNewSymbol, nil(), makeFixnum(0), 2)).eax;
  lisp::wordAt(emptySymbol, -0x13) = empty;
  global(kEmptyKeySymbol) = emptySymbol;
  const lispval tableSymbol = call(setupFor(kNewSymbol, nil(), makeFixnum(0), 2)).eax;
  global(kOriginalTableSymbol) = tableSymbol;

  const lispval wrapped = objects_->makeFunction(0);
  lisp::wordAt(wrapped, -0xa) = 4u << 8;  // serial 4: slot 1 of 3
  const lispval other = objects_->makeFunction(0);
  const auto vectorOf = [&](std::vector<uint32_t> elements) {
    uint32_t* words = arenaWords(static_cast<uint32_t>(elements.size()) + 2);
    words[0] = lisp::type_code::SimpleVector;
    words[1] = makeFixnum(static_cast<int32_t>(elements.size()));
    for (size_t i = 0; i < elements.size(); ++i) words[2 + i] = elements[i];
    return lisp::wordOf(words, lisp::Tag::Other);
  };
  const lispval oldCode = codeVector(probe_code_vector_block);
  const lispval table = arenaObject({lisp::type_code::Structure, vectorOf({empty, wrapped, empty}),
                                     0, 0, 0, 0, 0, 0, vectorOf({nil(), oldCode, nil()})});
  const lispval fullTable =
      arenaObject({lisp::type_code::Structure, vectorOf({other, other, other}), 0, 0, 0, 0, 0, 0,
                   vectorOf({oldCode, oldCode, oldCode})});
  const lispval unbound = global(lisp::nil_block::global::kUnboundMarker);
  const struct {
    const char* name;
    lispval tableValue;
    lispval function;
    lispval expected;
  } cases[] = {
      {"found", table, wrapped, oldCode},
      {"not in the table", table, other, nil()},
      {"a full table without it", fullTable, wrapped, nil()},
      {"no table", nil(), wrapped, nil()},
      {"unbound", unbound, wrapped, nil()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lisp::wordAt(tableSymbol, -0x13) = c.tableValue;
    EXPECT_EQ(call(setupFor(kOriginalCodeVector, c.function, 0, 1)).eax, c.expected);
  }
}

}  // namespace
}  // namespace calling_protocol_test
