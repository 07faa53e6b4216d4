// Code that moves in a global collection: code in an old code vector calls
// the runtime routine `gc` with a flag; garbage below the vector makes the
// compaction move it, and the old place is filled with traps before the
// routine returns, so it must return into the moved vector. Function entry
// words move with their code vector; trampoline entries stay. The stack the
// collection walks there holds no word it cannot read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/global_gc.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/gc/tests/gc_call_probe.h"
#include "runtime/gc/tests/walk_fixture.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_call_harness.h"

namespace {

using namespace gc;
using gc_test::at;
using lisp::lispval;
using lisp::Tag;

constexpr uint8_t kTrap = 0xcc;

uint32_t g_gcEntry = 0;  // what the code calls through: call [g_gcEntry]

// After the collection: the free space of every open area becomes traps.
void trapFreedSpace() {
  for (GsOldArea* area = GsOpenOldAreaFence; area; area = area->next)
    std::memset(reinterpret_cast<void*>(static_cast<uintptr_t>(area->frontier)), kTrap,
                area->lowestConsPage - area->frontier);
}

// After the collection: the words the walk of this thread's stack reads as
// Lisp values and as return addresses.
struct StackWalkRecord {
  std::vector<uint32_t> values, returns;
};
StackWalkRecord g_walk;
void recordStackWalk() {
  g_walk = {};
  scan_activestack([](uint32_t slot) { g_walk.values.push_back(at(slot)); },
                   [](uint32_t slot) { g_walk.returns.push_back(at(slot)); });
}

class GlobalFrames : public gc_test::WalkHeap {
 protected:
  // GlobGcAfterHooks: a list of one raw vector holding the hook (in new space,
  // which the collection does not move).
  void installAfterHook(void (*hook)() = trapFreedSpace) {
    global(gc_test::kGcAfterHooksWord) =
        gc_test::hookListAt(other_from_new_xsmp(16), cons_from_new_page(), hook);
  }

  // An old code vector holding the probe's code.
  uint32_t codeVector() {
    const uint32_t vector = other_from_old_xsmp(gc_test::kProbeCodeVectorBytes);
    std::memset(reinterpret_cast<void*>(vector), kTrap, gc_test::kProbeCodeVectorBytes);
    gc_test::writeGcCallingCode(vector, &g_gcEntry);
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
  g_gcEntry = global(gc_test::kGcRoutine);
  deadString(200);
  const uint32_t vector = codeVector();  // only the return address keeps it

  const testing_support::LispCallResult result =
      gc_test::runGcCallingCode(vector, lisp::nil_block::tFor(nil()));

  EXPECT_EQ(result.espDelta, 0);
  EXPECT_EQ(result.edi, nil());
  EXPECT_EQ(ggc_last_hole_aucount[lisp::type_code::SimpleString], 8u * ((200 + 8) >> 2));
  EXPECT_EQ(at(vector), 0xccccccccu) << "the vector did not move";
  EXPECT_EQ(at(GsOpenOldAreaFence->firstObject) & 0xff, lisp::type_code::CodeVector);
}

// The return address into the harness lies where no walk reads a Lisp value
// (a raw code address there stops the collection whenever its low bits
// happen to be the unused tag), and the walk ends at the harness's own
// frame: the gc routine's, the code's and the harness's frame each give
// their return address and the word below their caller's frame pointer.
TEST_F(GlobalFrames, StackWalkReadsReturnAddressesOnlyAsSuch) {
  installAfterHook(recordStackWalk);
  g_gcEntry = global(gc_test::kGcRoutine);
  gc_test::runGcCallingCode(codeVector(),
                            lisp::nil_block::tFor(nil()));

  const uint32_t harnessReturn = addressOf(reinterpret_cast<void*>(&lisp_harness_return));
  EXPECT_THAT(g_walk.returns, ::testing::Contains(harnessReturn));
  EXPECT_THAT(g_walk.values, ::testing::Not(::testing::Contains(harnessReturn)));
  EXPECT_EQ(g_walk.returns.size(), 2u * 3);
  for (const lispval value : g_walk.values)
    EXPECT_NE(lisp::tagOf(value), Tag::Unused) << std::hex << value;
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
