// Return addresses into new-space code: code in a new-space code vector
// calls the runtime routine `gc`, which scavenges; the routine must return
// into the moved copy of the vector, since the emptied semispace is made
// inaccessible before it returns.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include "runtime/gc/allocation.h"
#include "runtime/gc/scavenger.h"
#include "runtime/gc/tests/walk_fixture.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_call_harness.h"

namespace {

using namespace gc;
using gc_test::at;
using lisp::lispval;
using lisp::Tag;

constexpr int32_t kGc = 0x13b;
constexpr int32_t kAfterHooks = -0x15 - 4 * 312;
constexpr uint32_t kCodeVectorH8 = 27;  // 64 bytes

uint32_t g_gcEntry = 0;  // what the code calls through: call [g_gcEntry]
uint32_t g_protected = 0, g_protectedBytes = 0;

void protectEmptiedSemispace() {
  g_protected = GsNewScavengeToArea;
  g_protectedBytes = GsNewSemiSize;
  mprotect(reinterpret_cast<void*>(g_protected), g_protectedBytes, PROT_NONE);
}
void unprotect() {
  if (g_protected == 0) return;
  mprotect(reinterpret_cast<void*>(g_protected), g_protectedBytes,
           PROT_READ | PROT_WRITE | PROT_EXEC);
  g_protected = 0;
}

class ScavengerFrames : public gc_test::WalkHeap {
 protected:
  void TearDown() override {
    unprotect();
    WalkHeap::TearDown();
  }

  // GlobGcAfterHooks: a list, in old space, of one raw vector holding the hook.
  void installAfterHook() {
    const uint32_t vector = other_from_old_xsmp(16);
    at(vector) = lisp::headerWord(127);
    at(vector + 4) = lisp::makeFixnum(1);
    at(vector + 8) = addressOf(reinterpret_cast<void*>(&protectEmptiedSemispace));
    const uint32_t cell = cons_from_old();
    at(cell) = lisp::pointerWord(vector, Tag::Other);
    at(cell + 4) = nil();
    global(kAfterHooks) = lisp::pointerWord(cell, Tag::Cons);
  }

  // A code vector in new space, chained as its constructor chains it, whose
  // code is: call [g_gcEntry]; ret.
  uint32_t codeVector() {
    const uint32_t bytes = 8 * ((kCodeVectorH8 + 5) >> 2);
    const uint32_t vector = other_from_new_xsmp(bytes);
    for (uint32_t word = 0; word < bytes / 4; ++word) at(vector + 4 * word) = 0xcccccccc;
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
    at(GsCVC_tail) = vector - kPrefixBytes;
    GsCVC_tail = vector - kPrefixBytes;
    ++GsCVC_count;
    return vector;
  }
};

TEST_F(ScavengerFrames, GcReturnsIntoTheMovedCodeVector) {
  installAfterHook();
  g_gcEntry = global(kGc);
  const uint32_t vector = codeVector();
  const uint32_t before = ScavengeCt;

  testing_support::LispCallSetup setup;
  setup.target = vector + 4;
  setup.edi = nil();
  setup.ebx = lisp::dummyThreadWord();
  setup.esi = 0x30000102;
  setup.ecx = 1;
  setup.eax = nil();
  setup.frame[0] = lisp::nil_block::marker::kRuntimeRoutine;
  setup.frame[testing_support::frameIndex(0x1c)] = setup.ebx;
  const testing_support::LispCallResult result = testing_support::callWithLispConventions(setup);
  unprotect();

  EXPECT_EQ(ScavengeCt, before + 1);
  EXPECT_EQ(result.espDelta, 0);
  EXPECT_TRUE(result.ediSurvived(setup));
  // Only the return address kept the vector alive: it was copied.
  ASSERT_TRUE(at(vector - 4) & stamp::kForwarded);
  const uint32_t copy = lisp::objectAddress(at(vector));
  EXPECT_NE(copy, vector);
  EXPECT_EQ(at(copy + 4) & 0xffff, 0x15ffu);
}

}  // namespace
