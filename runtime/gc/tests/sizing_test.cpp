// Sizing new space and old space: the required free space, old-space
// expansions, hiding and revealing new space, growth at the top of the heap
// and the forced global collection.
#include "runtime/gc/sizing.h"

#include <gtest/gtest.h>

#include "platform/memory.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/scavenger.h"
#include "testing/lisp_heap_fixture.h"

namespace {

using namespace gc;
using gc_test::LispHeap;
using testing_support::ConsoleRecorder;

class Sizing : public LispHeap {
 protected:
  // Pretends `bytes` of cons pages are in use (the object region empty).
  void pretendUsed(uint32_t bytes) {
    saved_ = GsNewAllocationArea;
    savedTop_ = global(global::kNewOtherTop);
    GsNewAllocationArea.pageLowMark = GsNewAllocationArea.end - bytes;
    global(global::kNewOtherTop) = GsNewOther1;
  }
  void restoreUsed() {
    GsNewAllocationArea = saved_;
    global(global::kNewOtherTop) = savedTop_;
  }
  // The free new space short_space requires for request 0, with the next
  // generation's cons page already made.
  int32_t requiredForNothing() {
    EXPECT_EQ(require_new_cons(static_cast<int32_t>(global(global::kGeneration)) + 1), 1);
    return static_cast<int32_t>(gsgc_min_newavl(0, 0));
  }

  GsNewArea saved_{};
  uint32_t savedTop_ = 0;
};

TEST_F(Sizing, RequiredFreeSpaceWithTheDefaults) {
  pretendUsed(1048576);
  EXPECT_EQ(gsgc_min_newavl(0, 0), 349524u);  // max(1048576 / 75 * 100, 1048576 + 262144) - used
  restoreUsed();
}

TEST_F(Sizing, NinetyNinePercentOnALargeHeapDoesNotWrap) {
  GsMinFreeNewPercent = 99;
  GsExpFreeNewPercent = 99;
  pretendUsed(64 << 20);
  const uint32_t reservation = lisp_heap.reserved_end - lisp_heap.base;
  // 64 MB / 1 * 100 is far beyond 32 bits: the result is the reservation.
  EXPECT_EQ(gsgc_min_newavl(0, 0), reservation);
  EXPECT_EQ(gsgc_min_newavl(0, 1), reservation);
  restoreUsed();
}

TEST_F(Sizing, WaitingConsesGiveAnOldExpansionRoundedToTheQuantum) {
  GsConsTenuresWaiting = 1019;
  GsOtherTenuresWaiting = 0;
  GsOldAreaType = 7;
  gsgc_short_space(0);
  EXPECT_EQ(GsOldExpansion, 12805u);  // (8192 + 172) / 65 * 100 = 12800, + 4 + 1
  EXPECT_EQ(GsOldAreaType, 0u);

  // In the upper half nothing grows now: the rounded request waits a scavenge.
  scavenge(0);
  ASSERT_GT(GsNewAllocationArea.start, GsNewScavengeToArea);
  const uint32_t top = GsNewTop, areas = GsOldAreaCt;
  GsOldExpansion = 12805;
  GsNewExpansion = 0;
  InScavenge = 1;
  pre_adjust_areas();
  InScavenge = 0;
  EXPECT_EQ(GsOldExpansion, 262144u);
  EXPECT_EQ(GsAgingArea, 0u);
  EXPECT_EQ(GsNewTop, top);
  EXPECT_LT(GsNewAllocationArea.start, GsNewScavengeToArea);  // flipped
  post_adjust_areas();
  EXPECT_EQ(GsOldAreaCt, areas);
}

TEST_F(Sizing, GrowthAtTheTopMakesTheAgingAreaAnOldArea) {
  ASSERT_LT(GsNewAllocationArea.start, GsNewScavengeToArea);  // lower half in use
  const uint32_t start = GsNewAllocationArea.start, areas = GsOldAreaCt;
  GsOldExpansion = 1;
  GsNewExpansion = 1;
  GsCtlFlags |= flag::kProgress | flag::kStatistics;
  const ConsoleRecorder console;
  pre_adjust_areas();
  EXPECT_EQ(ConsoleRecorder::console(), "XOXN-");
  EXPECT_EQ(GsAgingArea, start);
  EXPECT_EQ(GsAgingAreaSize, GsNewQuantum);
  EXPECT_EQ(GsNewTop, lisp_heap.brk);
  EXPECT_EQ(GsNewScavengeToArea, start + GsNewQuantum);
  EXPECT_EQ(GsNewAllocationArea.end, GsNewTop);
  EXPECT_EQ(GsNewSemiSize, (GsNewTop - start - GsNewQuantum) / 2);
  EXPECT_EQ(GsOldExpansion + GsNewExpansion, 0u);
  post_adjust_areas();
  EXPECT_EQ(GsOldAreaCt, areas + 1);
  EXPECT_EQ(areaAddress(GsLastOldArea), start);
  EXPECT_EQ(GsNewFence, start + GsNewQuantum);
  EXPECT_EQ(global(global::kNewFence), GsNewFence);
}

TEST_F(Sizing, SomethingAboveNewSpaceMovesNewSpaceToTheTop) {
  const uint32_t oldStart = GsNewFence, oldBytes = 2 * GsNewSemiSize, areas = GsOldAreaCt;
  ASSERT_NE(heap_gssbrk(kPageBytes), heap_reservation::kSbrkFailed);  // a page above new space
  const uint32_t above = lisp_heap.brk;
  GsNewExpansion = 1;
  GsCtlFlags |= flag::kProgress | flag::kStatistics;
  const ConsoleRecorder console;
  pre_adjust_areas();
  EXPECT_EQ(ConsoleRecorder::console(), "XMN-");
  EXPECT_EQ(GsAgingArea, oldStart);
  EXPECT_EQ(GsAgingAreaSize, oldBytes);
  EXPECT_EQ(GsNewAllocationArea.start, roundUp(above, GsWorstCasePagesize));
  EXPECT_EQ(GsNewSemiSize, (oldBytes + GsNewQuantum) / 2);
  EXPECT_EQ(GsNewScavengeToArea, GsNewAllocationArea.end);
  EXPECT_EQ(GsNewTop, lisp_heap.brk);
  EXPECT_EQ(GsNewTop, GsNewScavengeToArea + GsNewSemiSize);
  post_adjust_areas();
  EXPECT_EQ(GsOldAreaCt, areas + 1);
  EXPECT_EQ(areaAddress(GsLastOldArea), oldStart);
  EXPECT_EQ(GsLastOldArea->end, oldStart + oldBytes);
  EXPECT_EQ(GsNewFence, GsNewAllocationArea.start);
}

TEST_F(Sizing, GrowthTextsFollowTheFlags) {
  struct Case {
    uint32_t oldExpansion, newExpansion, flags;
    const char* text;
  } cases[] = {
      {0, 1, 0, "XN-"},
      {1, 0, 0, "XO-"},
      {0, 1, flag::kVerbose, "expanding new space..."},
      {1, 1, flag::kVerbose, "expanding old and new space..."},
  };
  for (const Case& c : cases) {
    // A fresh lower half each time: flip back when the last growth flipped.
    if (GsNewAllocationArea.start > GsNewScavengeToArea) scavenge(0);
    GsOldExpansion = c.oldExpansion;
    GsNewExpansion = c.newExpansion;
    GsCtlFlags = flag::kProgress | flag::kStatistics | c.flags;
    const ConsoleRecorder console;
    pre_adjust_areas();
    post_adjust_areas();
    EXPECT_EQ(ConsoleRecorder::console(), c.text);
    GsCtlFlags = 0;
    scavenge(0);
  }
}

TEST_F(Sizing, HidingTakesOnlyWholePages) {
  GsCtlFlags |= flag::kHideNewSpace;
  const int32_t need = requiredForNothing();
  global(global::kNewFree) = static_cast<uint32_t>(need + 8191);
  EXPECT_EQ(gsgc_short_space(0), 0);
  EXPECT_EQ(GsNewHidden, 0u);
  EXPECT_EQ(newFree(), need + 8191);

  global(global::kNewFree) = static_cast<uint32_t>(need + 8192);
  EXPECT_EQ(gsgc_short_space(0), 0);
  EXPECT_EQ(GsNewHidden, 8192u);
  EXPECT_EQ(newFree(), need);

  // Short by 100 bytes: a whole page comes back.
  global(global::kNewFree) = static_cast<uint32_t>(need - 100);
  EXPECT_EQ(gsgc_short_space(0), 0);
  EXPECT_EQ(GsNewHidden, 0u);
  EXPECT_EQ(newFree(), need - 100 + 8192);
}

TEST_F(Sizing, ShortNewSpaceAsksForAnExpansion) {
  const int32_t need = requiredForNothing();
  global(global::kNewFree) = static_cast<uint32_t>(need - 8);
  GsNewHidden = 16;
  EXPECT_EQ(gsgc_short_space(0), 0);  // the hidden bytes cover it
  global(global::kNewFree) = static_cast<uint32_t>(need - 8);
  GsNewHidden = 0;
  EXPECT_EQ(gsgc_short_space(0), 1);
  EXPECT_GT(GsNewExpansion, 0u);
  EXPECT_EQ(GsNewExpansion % 2, 0u);  // both semispaces

  // Many tenures waiting: old space grows first, new space not yet.
  GsNewExpansion = 0;
  GsOtherTenuresWaiting = 64000;
  global(global::kNewFree) = static_cast<uint32_t>(need - 8);
  EXPECT_EQ(gsgc_short_space(0), 1);
  EXPECT_EQ(GsNewExpansion, 0u);
  EXPECT_GT(GsOldExpansion, 0u);
}

TEST_F(Sizing, ManyRecentTenuresWithFlagGTurnAnOldExpansionIntoAGlobalCollection) {
  GsOtherTenuresWaiting = 1000;
  GsRecentTenures = 0x40001;
  GsCtlFlags |= flag::kAutoGlobal | flag::kProgress;
  const ConsoleRecorder console;
  gsgc_short_space(0);
  EXPECT_EQ(ConsoleRecorder::console().rfind("Forcing a global gc\n", 0), 0u);
  EXPECT_TRUE(GsCtlFlags & flag::kGlobalRequest);
  EXPECT_EQ(GsOldExpansion, 0u);

  GsCtlFlags &= ~flag::kGlobalRequest;
  GsRecentTenures = 0x40000;
  gsgc_short_space(0);
  EXPECT_FALSE(GsCtlFlags & flag::kGlobalRequest);
  EXPECT_GT(GsOldExpansion, 0u);
}

TEST_F(Sizing, OldSpaceMinimumCountsAsWaitingTenures) {
  GsMinFreeOldOther = GsLastOldArea->freeBytes + 100;
  EXPECT_EQ(gsgc_short_space(0), 1);
  EXPECT_EQ(GsOtherTenuresWaiting, 100u);
  EXPECT_GT(GsOldExpansion, 0u);
}

bool failCommits(platform::MemoryOperation operation, uintptr_t, size_t) {
  return operation == platform::MemoryOperation::Commit;
}

TEST_F(Sizing, FailedGrowthFlipsAndRecordsTheSize) {
  GsNewExpansion = 0x100000;
  GsOldExpansion = 0x40000;
  const uint32_t from = GsNewAllocationArea.start, size = GsNewSemiSize;
  platform::setMemoryFaultHook(failCommits);
  pre_adjust_areas();
  platform::setMemoryFaultHook(nullptr);
  EXPECT_EQ(GsFailedSbrk, 0x140000u);
  EXPECT_EQ(GsNewAllocationArea.start, from + size);
  EXPECT_EQ(GsNewSemiSize, size);
  EXPECT_EQ(GsAgingArea, 0u);
  GsFailedSbrk = 0;
  GsNewExpansion = 0;
}

}  // namespace
