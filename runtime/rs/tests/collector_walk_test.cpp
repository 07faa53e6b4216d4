// The collector may walk the stack whenever Lisp code runs. Here every
// Lisp function and error function the routines call walks it first, as
// the collector's stack scan does, and every word the walk would treat as
// a Lisp value must be one: an immediate, nil, t, the thread, or a pointer
// into the heap or the test arena. A raw word there (a code address, a
// count, a floating-point image) would be corrupted or followed by a
// collection.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/jetcode.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/function_fault_services.h"
#include "runtime/rs/tests/calling_protocol_fixture.h"

extern "C" {
void walking_start();
void applyn_probe();
void argerr_probe_owned();
void argerr_probe_unowned();
void argerr_probe_prepare_fp();
extern uint32_t argerr_probe_in[5];
extern uint32_t argerr_probe_symbol;
extern uint32_t applyn_probe_function, applyn_probe_from, applyn_probe_to, applyn_probe_closure;
}

namespace calling_protocol_test {
namespace {

struct WalkState {
  lispval nil = 0, t = 0, thread = 0;
  const testing_support::LispTestObjects* arena = nullptr;
  uint32_t walks = 0, badWords = 0;
  std::vector<uint32_t> slots;
};
WalkState g_walk;

bool lispShaped(uint32_t word) {
  if (lisp::isFixnum(word) || lisp::isCharacter(word)) return true;
  if (word == g_walk.nil || word == g_walk.t || word == g_walk.thread) return true;
  const lisp::Tag tag = lisp::tagOf(word);
  if (tag != lisp::Tag::Cons && tag != lisp::Tag::Other && tag != lisp::Tag::Symbol) return false;
  const uint32_t address = lisp::objectAddress(word);
  const auto heapStart = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(GsOldAreas));
  return g_walk.arena->contains(address) || (address > heapStart && address < GsNewTop);
}

extern "C" void walk_probe_native() {
  ++g_walk.walks;
  g_walk.slots.clear();
  const uint32_t head = lisp::wordAt(g_walk.thread, lisp::thread_record::kClinkHead);
  scan_stackspace(
      head, 0, head, [](uint32_t slot) { g_walk.slots.push_back(slot); }, [](uint32_t) {}, 0);
  for (uint32_t slot : g_walk.slots) {
    const uint32_t word = *reinterpret_cast<const uint32_t*>(static_cast<uintptr_t>(slot));
    if (!lispShaped(word)) {
      ++g_walk.badWords;
      ADD_FAILURE() << std::hex << "raw word 0x" << word << " at 0x" << slot;
    }
  }
}

class CollectorWalk : public CallingProtocolHeap {
 protected:
  void SetUp() override {
    CallingProtocolHeap::SetUp();
    lisp::wordAt(recorderFunction_, -0xe) = addressOf(walking_start);
    global(lisp::nil_block::global::kErrorSymbol) = recorderSymbol_;
    global(lisp::nil_block::global::kErrorSymbolWithDatum) = recorderSymbol_;
    g_walk = WalkState{nil(), t(), thread_, objects_.get(), 0, 0, {}};
  }
  // A call from a frame the walk ends at (its function word is neither a
  // marker nor a function), as a walk ends at native code.
  LispCallSetup walkedSetup(int32_t slot, uint32_t eax, uint32_t edx, uint32_t ecx) {
    LispCallSetup setup = setupFor(slot, eax, edx, ecx);
    setup.frame[frameIndex(4)] = makeFixnum(0);
    return setup;
  }
  // Runs the call; the walk must have run `walks` times and found nothing raw.
  void expectCleanWalks(const char* name, const LispCallSetup& setup, uint32_t walks) {
    SCOPED_TRACE(name);
    testing_support::resetRecorder(makeFixnum(5));
    g_walk.walks = 0;
    g_walk.badWords = 0;
    testing_support::callWithLispConventions(setup);
    EXPECT_EQ(g_walk.walks, walks);
    EXPECT_EQ(g_walk.badWords, 0u);
  }
  lispval simpleVector(const std::vector<uint32_t>& elements) {
    uint32_t* words = arenaWords(static_cast<uint32_t>(elements.size()) + 2);
    words[0] = lisp::type_code::SimpleVector;
    words[1] = makeFixnum(static_cast<int32_t>(elements.size()));
    for (size_t i = 0; i < elements.size(); ++i) words[2 + i] = elements[i];
    return lisp::wordOf(words, lisp::Tag::Other);
  }
};

TEST_F(CollectorWalk, ArgerrsFrameHoldsOnlyLispValuesWhileItReports) {
  global(-0x4cd) = recorderSymbol_;
  const lispval called = objects_->makeFunction(0);
  for (bool owned : {true, false}) {
    argerr_probe_prepare_fp();
    const uint32_t in[5] = {makeFixnum(11), 3, makeFixnum(12), called, 0x8d5};
    std::copy(in, in + 5, argerr_probe_in);
    argerr_probe_symbol = symbol(called);
    LispCallSetup setup = walkedSetup(0, 0, 0, 0);
    setup.target = addressOf(owned ? argerr_probe_owned : argerr_probe_unowned);
    setup.frame[frameIndex(0x18)] = argerr_probe_symbol;
    expectCleanWalks(owned ? "owned" : "inserted frame", setup, 2);  // the report and error 22
  }
}

TEST_F(CollectorWalk, SpreadingRoutinesLeaveNoRawWordInTheirAreas) {
  std::vector<lispval> items;
  for (int i = 0; i < 41; ++i) items.push_back(makeFixnum(i));
  LispCallSetup apply = walkedSetup(0x53, recorderFunction_, makeFixnum(1), 3);
  apply.stack[2] = list(items);
  expectCleanWalks("lisp_apply", apply, 1);

  applyn_probe_function = recorderFunction_;
  applyn_probe_from = 0;
  applyn_probe_to = 12;
  applyn_probe_closure = nil();
  LispCallSetup applyn = walkedSetup(0, makeFixnum(1), makeFixnum(2), 3);
  applyn.target = addressOf(applyn_probe);
  applyn.stack[2] = makeFixnum(3);
  expectCleanWalks("applyn", applyn, 1);

  const lispval closure =
      arenaObject({lisp::headerWord(lisp::type_code::Closure), 0, recorderFunction_, nil()});
  LispCallSetup wrap = walkedSetup(0x1cb, nil(), closure, 5);
  wrap.stack[2] = list({makeFixnum(1), makeFixnum(2), makeFixnum(3)});
  wrap.stack[4] = makeFixnum(3);
  expectCleanWalks("fwrap_apply", wrap, 1);
}

TEST_F(CollectorWalk, KeywordScanningLeavesNoRawWordInItsFrame) {
  // A descriptor with no keywords; three words (odd: error 45) whose key is
  // not allowed (error 46).
  const lispval function =
      arenaObject({lisp::type_code::Function, 0, 0, 0, 0, nil(), makeFixnum(0)});
  const uint32_t offset = makeFixnum(2);  // word 5 (nil: allow nothing), word 6 (no keywords)
  uint32_t* words = arenaWords(3);
  words[0] = symbol();
  words[1] = makeFixnum(1);
  words[2] = symbol();
  LispCallSetup scan = walkedSetup(0x253, makeFixnum(3), function, 5);
  scan.stack[2] = offset;
  scan.stack[3] = addressOf(words);
  scan.stack[4] = addressOf(arenaWords(2));
  expectCleanWalks("kwdscanb", scan, 2);
}

TEST_F(CollectorWalk, StartWordRoutinesLeaveNoRawWordInTheirFrames) {
  const lispval called = objects_->makeFunction(0);
  const lispval name = symbol(called);
  const auto startCall = [&](int32_t entry) {
    LispCallSetup setup = walkedSetup(entry, makeFixnum(1), makeFixnum(2), 3);
    setup.esi = called;
    setup.stack[2] = makeFixnum(3);
    setup.frame[frameIndex(0x18)] = name;
    return setup;
  };
  global(-0x2a5) = recorderSymbol_;  // answers fixnum 5: then error 24
  expectCleanWalks("undeffunc", startCall(-0x1e5), 2);
  global(-0x109) = recorderSymbol_;
  expectCleanWalks("comp_to_byte", startCall(-0x285), 1);
  global(-0x471) = recorderSymbol_;
  expectCleanWalks("fwrap_start", startCall(-0x479), 1);
  code_vector_page_in = [](uint32_t, uint32_t) { return makeFixnum(3); };
  const lispval jettisoned = objects_->makeFunction(addressOf(functionfault));
  lisp::wordAt(jettisoned, -2) = makeFixnum(12);
  LispCallSetup fault = startCall(0x1f7);
  fault.esi = jettisoned;
  expectCleanWalks("function fault", fault, 1);  // error 51
  code_vector_page_in = pageinfcn;
}

TEST_F(CollectorWalk, CountingAndSendingLeaveNoRawWordInTheirFrames) {
  const lispval called = objects_->makeFunction(0);
  global(-0x1a5) = recorderFunction_;  // the hook, with a list of the arguments
  LispCallSetup counted = walkedSetup(0x67, makeFixnum(1), makeFixnum(2), 3);
  counted.esi = called;
  counted.stack[2] = makeFixnum(3);
  expectCleanWalks("count_call hook", counted, 1);

  const lispval message = symbol();
  const lispval keys = simpleVector({nil(), message});
  const lispval values = simpleVector({nil(), nil(), cons(nil(), recorderSymbol_), makeFixnum(9)});
  const lispval record = arenaObject({lisp::type_code::Structure, 0, keys, values, 0, 0, nil()});
  const lispval instance = arenaObject({lisp::type_code::Instance, record});
  lisp::wordAt(message, -0xf) = (1u << 8) | 7;
  LispCallSetup send = walkedSetup(0xdb, instance, message, 3);
  send.stack[2] = makeFixnum(3);
  expectCleanWalks("flav_send", send, 1);
}

}  // namespace
}  // namespace calling_protocol_test
