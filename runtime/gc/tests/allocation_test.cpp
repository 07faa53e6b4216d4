#include "runtime/gc/allocation.h"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/scavenger.h"
#include "testing/lisp_heap_fixture.h"

namespace {

using namespace gc;
using namespace gc_test;

const NewObjectPrefix& prefixOf(uint32_t object) {
  return at<NewObjectPrefix>(object - kPrefixBytes);
}

struct HookCall {
  int kind;
  uint32_t bytes;
};
std::vector<HookCall> g_hookCalls;
void recordHook(int kind, uint32_t bytes) {
  g_hookCalls.push_back({kind, bytes});
}

// ---- conses ----

TEST_F(LispHeap, ANewConsPageHoldsExactly1019Conses) {
  // Lisp's fast path bumps the shared cons pointer up to its limit; the slow
  // path then takes a fresh page.
  const uint32_t cell = cons_from_new_page();
  const uint32_t page = pageStart(cell);
  EXPECT_EQ(cell, page + 40);
  EXPECT_EQ(xxGsAllocConsPage, page);
  EXPECT_EQ(consPage(page)->stamp, global(global::kGeneration));
  EXPECT_EQ(newPagemapEntry(page), kPageCons);
  uint32_t conses = 1;
  while (global(global::kConsFill) != global(global::kConsLimit)) {
    global(global::kConsFill) += 8;
    ++conses;
  }
  EXPECT_EQ(conses, 1019u);
  const uint32_t next = cons_from_new_page();
  EXPECT_EQ(next, page - kPageBytes + 40);
  EXPECT_EQ(consPage(page)->fill, page + kPageBytes);  // synced back before the new page
}

TEST_F(LispHeap, AnOldConsPageHoldsExactly1019Conses) {
  const uint32_t first = cons_from_old();
  const uint32_t page = pageStart(first);
  uint32_t conses = 1;
  for (uint32_t cell = cons_from_old(); pageStart(cell) == page; cell = cons_from_old()) ++conses;
  EXPECT_EQ(conses, 1019u);
  EXPECT_EQ(GsOldAreas->consPageCount, 2u);
  EXPECT_EQ(GsOldConsPage, page - kPageBytes);
  EXPECT_EQ(pagemapEntry(GsOldAreas, GsOldConsPage), kPageCons);
  EXPECT_EQ(GsOldAreas->lowestConsPage, GsOldConsPage);
  EXPECT_EQ(consPage(GsOldConsPage)->fill, GsOldConsPage + 48);
}

TEST_F(LispHeap, ConsPagesOfAGenerationAreStampedAndClamped) {
  EXPECT_EQ(require_new_cons(1), 1);  // the page made at layout still has room
  EXPECT_EQ(GsGenConsPage[1], GsNewAllocationArea.end - kPageBytes);
  EXPECT_EQ(require_new_cons(40), 1);
  ASSERT_NE(GsGenConsPage[25], 0u);
  EXPECT_EQ(consPage(GsGenConsPage[25])->stamp, 25u);
  EXPECT_EQ(require_new_cons(-3), 1);
  EXPECT_EQ(consPage(GsGenConsPage[0])->stamp, 0u);
}

// ---- other objects in new space ----

TEST_F(LispHeap, NewOtherObjectsArePrefixedAndStamped) {
  global(global::kGeneration) = 0x12345;
  const int32_t freeBefore = newFree();
  const uint32_t top = global(global::kNewOtherTop);
  const uint32_t object = other_from_new_xsmp(13);
  EXPECT_EQ(object, top + 8);
  EXPECT_EQ(prefixOf(object).stamp, 0x2345u);
  EXPECT_EQ(prefixOf(object).link, 0u);
  EXPECT_EQ(global(global::kNewOtherTop), top + 8 + 16);
  EXPECT_EQ(newFree(), freeBefore - 24);
}

TEST_F(LispHeap, NewSpacePagemapAfterObjectsThatCrossPages) {
  pageallochook = recordHook;
  g_hookCalls.clear();
  const uint32_t firstPage = pageOf(GsNewOther1);
  // To the end of the first page exactly: the next page starts the next object.
  const uint32_t toPageEnd = (firstPage + 1) * kPageBytes - GsNewOther1 - 8;
  other_from_new_xsmp(toPageEnd);
  EXPECT_EQ(newPagemapEntry((firstPage + 1) * kPageBytes), (firstPage + 1) * kPageBytes);
  // Three and a half pages from there: two pages lie inside it.
  const uint32_t start = global(global::kNewOtherTop);
  other_from_new_xsmp(3 * kPageBytes + 4096 - 8);
  const uint32_t top = global(global::kNewOtherTop);
  EXPECT_EQ(newPagemapEntry(start), start);
  EXPECT_EQ(newPagemapEntry(start + kPageBytes), kPageInsideObject);
  EXPECT_EQ(newPagemapEntry(start + 2 * kPageBytes), kPageInsideObject);
  EXPECT_EQ(newPagemapEntry(top), top);
  // A small object that stays on its page changes nothing.
  other_from_new_xsmp(16);
  EXPECT_EQ(newPagemapEntry(top), top);

  ASSERT_EQ(g_hookCalls.size(), 2u);
  EXPECT_EQ(g_hookCalls[0].kind, 3);
  EXPECT_EQ(g_hookCalls[1].bytes, 3 * kPageBytes + 4096 - 8);
  InScavenge = 1;  // the collector's own copies do not report
  other_from_new_xsmp(kPageBytes);
  EXPECT_EQ(g_hookCalls.size(), 2u);
  InScavenge = 0;
}

TEST_F(LispHeap, ConsPagesAreReportedToTheAllocationHook) {
  pageallochook = recordHook;
  g_hookCalls.clear();
  ASSERT_NE(conspage_from_new(), 0u);
  ASSERT_EQ(g_hookCalls.size(), 1u);
  EXPECT_EQ(g_hookCalls[0].kind, 0);
  EXPECT_EQ(g_hookCalls[0].bytes, 0u);
}

TEST_F(LispHeap, NewSpaceRequestsNeverTakeMoreThanIsFree) {
  const int32_t free = newFree();
  EXPECT_EQ(request_newspace(static_cast<uint32_t>(free) + 1), 0);
  EXPECT_EQ(newFree(), free);
  EXPECT_EQ(request_newspace(static_cast<uint32_t>(free)), 1);
  EXPECT_EQ(newFree(), 0);
  EXPECT_EQ(page_from_new(0), 0u);
  EXPECT_EQ(GsNewspaceFullness(), 0u);
}

TEST_F(LispHeap, FullnessCountsFreeNewSpaceInTwentieths) {
  global(global::kNewFree) = GsNewSemiSize / 2;
  EXPECT_EQ(GsNewspaceFullness(), 10u);
  global(global::kNewFree) = GsNewSemiSize;
  EXPECT_EQ(GsNewspaceFullness(), 20u);
}

TEST_F(LispHeap, ExhaustedNewSpaceScavengesAndTheAllocationSucceeds) {
  // Larger than a semispace: new space grows until it fits.
  const uint32_t big = other_from_new_xsmp(kNewSize);
  EXPECT_GE(big, GsNewAllocationArea.start);
  EXPECT_LE(big + kNewSize, GsNewAllocationArea.end);
  EXPECT_GE(ScavengeCt, 1u);

  global(global::kNewFree) = 0;
  const uint32_t before = ScavengeCt;
  const uint32_t cell = cons_from_new_page();
  EXPECT_EQ(ScavengeCt, before + 1);
  EXPECT_GE(cell, GsNewAllocationArea.pageLowMark);
  EXPECT_LT(cell, GsNewAllocationArea.end);
}

// ---- other objects in old space ----

TEST_F(LispHeap, OldObjectsUpdateThePagemapAsTheyCrossPages) {
  GsOldArea* area = GsOldAreas;
  const uint32_t first = other_from_old_xsmp(20);
  EXPECT_EQ(first, area->firstObject);
  EXPECT_EQ(area->frontier, first + 24);
  const uint32_t big = other_from_old_xsmp(2 * kPageBytes + 100);
  const uint32_t end = big + roundUp(2 * kPageBytes + 100, 8);
  EXPECT_EQ(area->frontier, end);
  for (uint32_t page = pageStart(big) + kPageBytes; page < pageStart(end); page += kPageBytes)
    EXPECT_EQ(pagemapEntry(area, page), kPageInsideObject);
  EXPECT_EQ(pagemapEntry(area, end), end);
  EXPECT_EQ(pagemapEntry(area, first), first);
}

TEST_F(LispHeap, AnObjectThatFillsTheAreaLeavesTheConsPageEntryAlone) {
  GsOldArea* area = GsOldAreas;
  const uint32_t object = other_from_old_xsmp(area->freeBytes);
  EXPECT_NE(object, 0u);
  EXPECT_EQ(area->frontier, area->lowestConsPage);
  EXPECT_EQ(area->freeBytes, 0u);
  EXPECT_EQ(pagemapEntry(area, area->lowestConsPage), kPageCons);
}

TEST_F(LispHeap, ObjectsAbove504BytesSearchFromTheBigObjectHint) {
  // A second area; the first keeps 504 free bytes.
  uint32_t newBreak = 0;
  const uint32_t start = lisp_heap.brk;
  ASSERT_EQ(limited_setbrk(0x40000, &newBreak), 0);
  GsOldAreaSetup(start, newBreak - start);
  GsOldArea* first = GsOldAreas;
  GsOldArea* second = GsLastOldArea;
  other_from_old_xsmp(first->freeBytes - 504);
  ASSERT_EQ(first->freeBytes, 504u);

  GsOldSmallOtherArea = GsOldBigOtherArea = first;
  const uint32_t big = other_from_old_xsmp(505);  // 512 bytes: needs an area with 512 free
  EXPECT_GE(big, areaAddress(second));
  EXPECT_EQ(GsOldBigOtherArea, second);
  const uint32_t small = other_from_old_xsmp(504);
  EXPECT_LT(small, areaAddress(second));
  EXPECT_EQ(GsOldSmallOtherArea, first);
  EXPECT_EQ(first->freeBytes, 0u);
  other_from_old_xsmp(8);
  EXPECT_EQ(GsOldSmallOtherArea, second);  // the empty area is skipped now
}

TEST_F(LispHeap, AFullOldSpaceSendsObjectsToNewSpaceWithGenerationZero) {
  GsOldArea* area = GsOldAreas;
  other_from_old_xsmp(area->freeBytes);
  const uint32_t object = other_from_old_xsmp(100);
  EXPECT_GE(object, GsNewAllocationArea.start);
  EXPECT_LT(object, GsNewAllocationArea.end);
  EXPECT_EQ(prefixOf(object).stamp, 0u);
  EXPECT_EQ(GsOtherTenuresWaiting, 104u);

  while (cons_from_old() != 0) {
  }
  EXPECT_EQ(GsConsTenuresWaiting, 1u);
  EXPECT_EQ(cons_from_old(), 0u);
  EXPECT_EQ(GsConsTenuresWaiting, 2u);
}

TEST_F(LispHeap, AllocatingInAClosedAreaIsFatal) {
  uint32_t newBreak = 0;
  const uint32_t start = lisp_heap.brk;
  ASSERT_EQ(limited_setbrk(0x40000, &newBreak), 0);
  GsOldAreaSetup(start, newBreak - start);
  setOpenOldFence(1);
  char expected[128];
  std::snprintf(expected, sizeof expected,
                "^Vexmora CL: System Error \\(gsgc\\): Tried to allocate old object into closed "
                "old area: 0x%x\n$",
                areaAddress(GsOldAreas));
  EXPECT_EXIT(grab_old_other(GsOldAreas, 8), testing::ExitedWithCode(1), expected);
  GsCtlFlags = flag::kAbortOnError;
  EXPECT_EXIT(grab_old_other(GsOldAreas, 8), testing::ExitedWithCode(10), "^$");
  GsCtlFlags = 0;
}

TEST_F(LispHeap, StaticObjectsLiveInOldSpaceOrTheNativeHeap) {
  const uint32_t inHeap = other_from_static_xsmp(40, 1, nullptr);
  EXPECT_GE(inHeap, GsOldAreas->firstObject);
  EXPECT_LT(inHeap, GsOldAreas->end);
  const uint32_t native = other_from_static_xsmp(40, 0, nullptr);
  EXPECT_GE(native, vxmmalloc_heap.base);
  EXPECT_EQ(malloc_verify_object(reinterpret_cast<void*>(native - 8)), 1);
  const uint32_t grown = other_from_static_xsmp(4000, 0, reinterpret_cast<void*>(native));
  EXPECT_EQ(malloc_verify_object(reinterpret_cast<void*>(grown - 8)), 1);
}

}  // namespace
