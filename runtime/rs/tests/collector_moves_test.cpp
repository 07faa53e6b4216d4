// A scavenge while the routines wait for Lisp code: the objects that only
// their frames hold must reach the code called afterwards (or the resumed
// code) at their new places. The thread is the one the collector walks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/scavenger.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/tests/calling_protocol_fixture.h"
#include "runtime/rs/tests/collection_probes.h"

extern "C" {
void argerr_probe_owned();
void argerr_probe_unowned();
void argerr_probe_prepare_fp();
extern uint32_t argerr_probe_in[5];
extern uint32_t argerr_probe_before[9];
extern uint32_t argerr_probe_after[9];
extern uint32_t argerr_probe_symbol;
}

namespace calling_protocol_test {
namespace {

constexpr int32_t kQcons = 0x2b;
constexpr int32_t kNewFunction = 0xfb;
constexpr int32_t kUndeffunc = -0x1e5;
constexpr int32_t kMcons = 0x297;
constexpr int32_t kAnnotatingSymbol = -0x59;
constexpr int32_t kConsFill = -0x211;  // the next cons the area hands out
enum { kEax, kEcx, kEdx, kEsi };

class CollectorMoves : public CallingProtocolHeap {
 protected:
  void SetUp() override {
    CallingProtocolHeap::SetUp();
    walked_ = lisp::dummyThreadWord();
    savedClinkHead_ = lisp::wordAt(walked_, lisp::thread_record::kClinkHead);
    lisp::wordAt(walked_, lisp::thread_record::kClinkHead) = lisp::thread_record::kEmptyClinkChain;
    scavenging_ = symbol(objects_->makeFunction(addressOf(scavenging_start)));
  }
  void TearDown() override {
    EXPECT_EQ(lisp::wordAt(walked_, lisp::thread_record::kClinkHead),
              lisp::thread_record::kEmptyClinkChain);
    lisp::wordAt(walked_, lisp::thread_record::kClinkHead) = savedClinkHead_;
    CallingProtocolHeap::TearDown();
  }
  // A call made on the walked thread from a runtime frame (the harness's),
  // which the walk visits last.
  LispCallSetup walkedSetup(int32_t slot, uint32_t eax, uint32_t edx, uint32_t ecx) {
    LispCallSetup setup = setupFor(slot, eax, edx, ecx);
    setup.ebx = walked_;
    setup.frame[frameIndex(0x1c)] = walked_;
    setup.frame[frameIndex(4)] = lisp::nil_block::marker::kRuntimeRoutine;
    return setup;
  }
  LispCallResult run(const LispCallSetup& setup) {
    return testing_support::callAsWalkBase(setup, walked_);
  }
  // A cons in new space (car = fixnum n), which a scavenge moves.
  lispval newCons(int32_t n) {
    LispCallSetup setup = setupFor(kQcons, makeFixnum(n), nil(), 2);
    return call(setup).eax;
  }
  // A moved copy of the cons (n . nil) first made at `original`.
  static testing::AssertionResult movedCopy(lispval copy, lispval original, int32_t n) {
    if (copy == original) return testing::AssertionFailure() << "not moved";
    if (!lisp::isCons(copy)) return testing::AssertionFailure() << "not a cons";
    if (lisp::car(copy) != makeFixnum(n))
      return testing::AssertionFailure() << "car 0x" << std::hex << lisp::car(copy);
    return testing::AssertionSuccess();
  }

  lispval walked_ = 0, savedClinkHead_ = 0, scavenging_ = 0;
};

TEST_F(CollectorMoves, UndefinedFunctionPassesTheMovedArgumentsOn) {
  const lispval a = newCons(71), b = newCons(72), c = newCons(73);
  const lispval name = symbol();
  const lispval replacement = symbol(recorderFunction_);
  global(-0x2a5) = scavenging_;
  testing_support::resetRecorder(replacement);
  const uint32_t scavenges = ScavengeCt;
  LispCallSetup setup = walkedSetup(kUndeffunc, a, b, 3);
  setup.esi = objects_->makeFunction(0);
  setup.stack[2] = c;
  setup.frame[frameIndex(0x18)] = name;
  run(setup);
  EXPECT_EQ(ScavengeCt, scavenges + 1);
  ASSERT_EQ(lisp_recorder_log.count, 2u);
  const RecordedCall& again = lisp_recorder_log.calls[1];
  EXPECT_EQ(again.ecx, 3u);
  EXPECT_TRUE(movedCopy(again.eax, a, 71));
  EXPECT_TRUE(movedCopy(again.edx, b, 72));
  EXPECT_TRUE(movedCopy(again.stack[2], c, 73));
  // The placeholder, made in new space, moved with its frame word.
  EXPECT_EQ(lisp::wordAt(again.callerFrame[frameIndex(4)], -6), name);
}

TEST_F(CollectorMoves, ArgerrResumesWithTheMovedRegisters) {
  global(-0x4cd) = scavenging_;
  for (bool owned : {true, false}) {
    SCOPED_TRACE(owned ? "frame owned" : "no frame yet");
    const lispval a = newCons(81), b = newCons(82);
    const lispval function = call(setupFor(kNewFunction, makeFixnum(0), 0x80, 2)).eax;
    argerr_probe_prepare_fp();
    const uint32_t in[5] = {a, 2, b, function, 0x8d5};
    std::copy(in, in + 5, argerr_probe_in);
    argerr_probe_symbol = symbol(function);
    LispCallSetup setup = walkedSetup(0, 0, 0, 0);
    setup.target = addressOf(owned ? argerr_probe_owned : argerr_probe_unowned);
    setup.frame[frameIndex(0x18)] = argerr_probe_symbol;
    testing_support::resetRecorder(makeFixnum(5));
    const uint32_t scavenges = ScavengeCt;
    run(setup);
    EXPECT_EQ(ScavengeCt, scavenges + 1);
    EXPECT_TRUE(movedCopy(argerr_probe_after[kEax], a, 81));
    EXPECT_TRUE(movedCopy(argerr_probe_after[kEdx], b, 82));
    EXPECT_NE(argerr_probe_after[kEsi], function);
    EXPECT_EQ(lisp::typeCodeOf(lisp::wordAt(argerr_probe_after[kEsi], lisp::kHeaderOffset)),
              lisp::type_code::Function);
    EXPECT_EQ(argerr_probe_after[kEcx], 2u);
  }
}

TEST_F(CollectorMoves, ApplySpreadsTheMovedElements) {
  const lispval a = newCons(91), b = newCons(92);
  const lispval items = list({a, b});
  LispCallSetup setup = walkedSetup(0x53, scavenging_, makeFixnum(1), 3);
  setup.stack[2] = items;
  testing_support::resetRecorder(makeFixnum(5));
  run(setup);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const RecordedCall& callee = lisp_recorder_log.calls[0];
  EXPECT_EQ(callee.ecx, 3u);
  EXPECT_TRUE(movedCopy(callee.edx, a, 91));
  EXPECT_TRUE(movedCopy(callee.stack[2], b, 92));
}

TEST_F(CollectorMoves, KeywordScanningFindsItsDescriptorAfterTheFunctionMoved) {
  // A function in new space whose constants are the descriptor: allow
  // nothing, one keyword.
  const lispval function = call(setupFor(kNewFunction, makeFixnum(3), 0x80, 2)).eax;
  const lispval keyword = symbol();
  lisp::wordAt(function, 0x12) = nil();
  lisp::wordAt(function, 0x16) = makeFixnum(1);
  lisp::wordAt(function, 0x1a) = keyword;
  global(lisp::nil_block::global::kErrorSymbol) = scavenging_;
  uint32_t* words = arenaWords(3);
  words[0] = keyword;
  words[1] = makeFixnum(7);
  words[2] = keyword;  // an odd count: error 45, which scavenges
  uint32_t* area = arenaWords(2);
  LispCallSetup setup = walkedSetup(0x4f, addressOf(words), addressOf(area), 3);
  setup.ebx = makeFixnum(0x12);
  setup.frame[frameIndex(4)] = function;
  testing_support::resetRecorder(makeFixnum(5));
  const uint32_t scavenges = ScavengeCt;
  const LispCallResult result = run(setup);
  EXPECT_EQ(ScavengeCt, scavenges + 1);
  EXPECT_NE(result.frame[frameIndex(4)], function);  // the caller's function moved
  EXPECT_EQ(area[0], t());
  EXPECT_EQ(area[1], makeFixnum(7));
}

TEST_F(CollectorMoves, MconsHandsTheAnnotationFunctionTheMovedCons) {
  const lispval car = newCons(101), cdr = newCons(102);
  global(kAnnotatingSymbol) = scavenging_;
  testing_support::resetRecorder(makeFixnum(5));
  const lispval made = global(kConsFill);
  const uint32_t scavenges = ScavengeCt;
  const LispCallResult result = run(walkedSetup(kMcons, car, cdr, 2));
  EXPECT_EQ(ScavengeCt, scavenges + 1);
  EXPECT_EQ(result.eax, makeFixnum(5));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const RecordedCall& annotation = lisp_recorder_log.calls[0];
  EXPECT_EQ(annotation.ecx, 3u);
  EXPECT_TRUE(movedCopy(annotation.eax, car, 101));
  EXPECT_TRUE(movedCopy(annotation.edx, cdr, 102));
  const lispval cons = annotation.stack[2];
  EXPECT_NE(cons, made) << "the cons left in the old semispace";
  ASSERT_TRUE(lisp::isCons(cons));
  EXPECT_EQ(lisp::car(cons), annotation.eax);
  EXPECT_EQ(lisp::cdr(cons), annotation.edx);
}

}  // namespace
}  // namespace calling_protocol_test
