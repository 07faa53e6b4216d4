// Code that moves in a global collection: code in an old code vector calls
// the runtime routine `gc` with a flag; garbage below the vector makes the
// compaction move it, and the old place is filled with traps before the
// routine returns, so it must return into the moved vector. Function entry
// words move with their code vector; trampoline entries stay.
#include <gtest/gtest.h>

#include <cstring>

#include "runtime/gc/allocation.h"
#include "runtime/gc/global_gc.h"
#include "runtime/gc/tests/walk_fixture.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_call_harness.h"

namespace {

using namespace gc;
using gc_test::at;
using lisp::lispval;
using lisp::Tag;

constexpr int32_t kGc = 0x13b;
constexpr int32_t kAfterHooks = -0x15 - 4 * 312;
constexpr uint32_t kCodeVectorH8 = 27;  // 64 bytes
constexpr uint32_t kCodeVectorBytes = 8 * ((kCodeVectorH8 + 5) >> 2);
constexpr uint8_t kTrap = 0xcc;

uint32_t g_gcEntry = 0;  // what the code calls through: call [g_gcEntry]

// After the collection: the free space of every open area becomes traps.
void trapFreedSpace() {
  for (GsOldArea* area = GsOpenOldAreaFence; area; area = area->next)
    std::memset(reinterpret_cast<void*>(static_cast<uintptr_t>(area->frontier)), kTrap,
                area->lowestConsPage - area->frontier);
}

class GlobalFrames : public gc_test::WalkHeap {
 protected:
  // GlobGcAfterHooks: a list of one raw vector holding the hook (in new space,
  // which the collection does not move).
  void installAfterHook() {
    const uint32_t vector = other_from_new_xsmp(16);
    at(vector) = lisp::headerWord(127);
    at(vector + 4) = lisp::makeFixnum(1);
    at(vector + 8) = addressOf(reinterpret_cast<void*>(&trapFreedSpace));
    const uint32_t cell = cons_from_new_page();
    at(cell) = lisp::pointerWord(vector, Tag::Other);
    at(cell + 4) = nil();
    global(kAfterHooks) = lisp::pointerWord(cell, Tag::Cons);
  }

  // An old code vector whose code is: call [g_gcEntry]; ret.
  uint32_t codeVector() {
    const uint32_t vector = other_from_old_xsmp(kCodeVectorBytes);
    std::memset(reinterpret_cast<void*>(vector), kTrap, kCodeVectorBytes);
    at(vector) = kCodeVectorH8 << 8 | lisp::type_code::CodeVector;
    auto* code = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(vector + 4));
    const uint32_t target = addressOf(&g_gcEntry);
    const uint8_t instructions[] = {0xff,
                                    0x15,
                                    static_cast<uint8_t>(target),
                                    static_cast<uint8_t>(target >> 8),
                                    static_cast<uint8_t>(target >> 16),
                                    static_cast<uint8_t>(target >> 24),
                                    0xc3};
    std::copy(std::begin(instructions), std::end(instructions), code);
    return vector;
  }

  void deadString(uint32_t characters) {
    const uint32_t object = other_from_old_xsmp(8 * ((characters + 8) >> 2));
    at(object) = lisp::headerWord(lisp::type_code::SimpleString);
    at(object + 4) = lisp::makeFixnum(static_cast<int32_t>(characters));
  }
};

TEST_F(GlobalFrames, GcReturnsIntoTheMovedOldCodeVector) {
  installAfterHook();
  g_gcEntry = global(kGc);
  deadString(200);
  const uint32_t vector = codeVector();  // only the return address keeps it

  testing_support::LispCallSetup setup;
  setup.target = vector + 4;
  setup.edi = nil();
  setup.ebx = lisp::dummyThreadWord();
  setup.esi = 0x30000102;
  setup.ecx = 1;
  setup.eax = nil() + static_cast<uint32_t>(lisp::nil_block::global::kT);
  setup.frame[0] = lisp::nil_block::marker::kRuntimeRoutine;
  setup.frame[testing_support::frameIndex(0x1c)] = setup.ebx;
  const testing_support::LispCallResult result = testing_support::callWithLispConventions(setup);

  EXPECT_EQ(result.espDelta, 0);
  EXPECT_TRUE(result.ediSurvived(setup));
  EXPECT_EQ(ggc_last_hole_aucount[lisp::type_code::SimpleString], 8u * ((200 + 8) >> 2));
  EXPECT_EQ(at(vector), 0xccccccccu) << "the vector did not move";
  EXPECT_EQ(at(GsOpenOldAreaFence->firstObject) & 0xff, lisp::type_code::CodeVector);
}

TEST_F(GlobalFrames, EntryWordsMoveWithTheirCodeVectorAndTrampolinesStay) {
  deadString(100);
  const uint32_t code = codeVector();
  const lispval codeWord = lisp::pointerWord(code, Tag::Other);
  constexpr uint32_t kTrampoline = 0x08049000;
  constexpr uint32_t kInside = 20;  // an entry 20 bytes into the vector
  uint32_t functions[2];
  for (uint32_t i = 0; i < 2; ++i) {
    functions[i] = other_from_old_xsmp(48);
    for (uint32_t word = 0; word < 12; ++word) at(functions[i] + 4 * word) = nil();
    at(functions[i]) = lisp::type_code::Function | 2u << 16;
    at(functions[i] + 16) = codeWord;
    at(functions[i] + 4) = i == 0 ? code + kInside : kTrampoline;
    global(-0x15 - 4 * (100 + i)) = lisp::pointerWord(functions[i], Tag::Other);
  }
  global_gc(0);
  const uint32_t movedCode =
      lisp::objectAddress(at(lisp::objectAddress(global(-0x15 - 4 * 100)) + 16));
  EXPECT_LT(movedCode, code);
  for (uint32_t i = 0; i < 2; ++i) {
    const uint32_t function = lisp::objectAddress(global(-0x15 - 4 * (100 + i)));
    EXPECT_EQ(at(function + 16), lisp::pointerWord(movedCode, Tag::Other));
    EXPECT_EQ(at(function + 4), i == 0 ? movedCode + kInside : kTrampoline) << "function " << i;
  }
}

}  // namespace
