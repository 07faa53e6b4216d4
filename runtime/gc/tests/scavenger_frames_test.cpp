// Return addresses into new-space code: code in a new-space code vector
// calls the runtime routine `gc`, which scavenges; the routine must return
// into the moved copy of the vector, since the emptied semispace is made
// inaccessible before it returns.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>

#include "runtime/gc/allocation.h"
#include "runtime/gc/scavenger.h"
#include "runtime/gc/tests/gc_call_probe.h"
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
    global(gc_test::kGcAfterHooksWord) =
        gc_test::hookListAt(other_from_old_xsmp(16), cons_from_old(), protectEmptiedSemispace);
  }

  // A code vector in new space, chained as its constructor chains it, holding
  // the probe's code.
  uint32_t codeVector() {
    const uint32_t vector = other_from_new_xsmp(gc_test::kProbeCodeVectorBytes);
    for (uint32_t word = 0; word < gc_test::kProbeCodeVectorBytes / 4; ++word)
      at(vector + 4 * word) = 0xcccccccc;
    gc_test::writeGcCallingCode(vector, &g_gcEntry);
    at(GsCVC_tail) = vector - kPrefixBytes;
    GsCVC_tail = vector - kPrefixBytes;
    ++GsCVC_count;
    return vector;
  }
};

TEST_F(ScavengerFrames, GcReturnsIntoTheMovedCodeVector) {
  installAfterHook();
  g_gcEntry = global(gc_test::kGcRoutine);
  const uint32_t vector = codeVector();
  const uint32_t before = ScavengeCt;

  const testing_support::LispCallResult result = gc_test::runGcCallingCode(vector, nil());
  unprotect();

  EXPECT_EQ(ScavengeCt, before + 1);
  EXPECT_EQ(result.espDelta, 0);
  EXPECT_EQ(result.edi, nil());
  // Only the return address kept the vector alive: it was copied.
  ASSERT_TRUE(at(vector - 4) & stamp::kForwarded);
  const uint32_t copy = lisp::objectAddress(at(vector));
  EXPECT_NE(copy, vector);
  const auto code = gc_test::gcCallingCode(&g_gcEntry);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(static_cast<uintptr_t>(copy + 4)), code.data(),
                        code.size()),
            0);
}

}  // namespace
