#include "runtime/gc/gc_statistics.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/tests/walk_fixture.h"
#include "testing/console_recorder.h"

namespace {

using namespace gc;
using namespace gc_test;

class GcStatistics : public WalkHeap {
 protected:
  void SetUp() override {
    WalkHeap::SetUp();
    std::fill(std::begin(AllocToDate), std::end(AllocToDate), 0u);
  }
  void TearDown() override {
    setProcessTimesSource(nullptr);
    new_copy = old_copy = 0;
    GsCtlFlags = 0;
    WalkHeap::TearDown();
  }
  struct Figures {
    uint32_t words[4];
  };
  Figures current() {
    Figures figures{};
    GsCurAlloc(figures.words);
    return figures;
  }
};

TEST_F(GcStatistics, CurrentFiguresGrowByWhatIsAllocated) {
  const Figures before = current();
  EXPECT_EQ(before.words[1], 0u);
  EXPECT_EQ(before.words[3], vxmmalloc_heap.brk - vxmmalloc_heap.base);
  newCons();
  oldCons();
  vector(true, 14);   // 64 bytes, no prefix
  vector(false, 14);  // 64 bytes and its prefix
  const Figures after = current();
  EXPECT_EQ(after.words[0] - before.words[0], 2u);
  EXPECT_EQ(after.words[2] - before.words[2], 64u + 72u);
}

TEST_F(GcStatistics, OldConsesCountWholePagesLessTheLowestPagesFreeCells) {
  populate();  // the closed area's page is full of (nil . nil), the open one holds one cons
  const uint32_t newConses = static_cast<uint32_t>(new_.conses.size());
  EXPECT_EQ(current().words[0], newConses + kConsesPerPage + 1);
}

TEST_F(GcStatistics, RunningTotalsKeepWhatACollectionTookAway) {
  populate();
  const Figures before = current();
  GsAdjTotAlloc(1);
  GsNewAreaSetup(GsNewScavengeToArea, GsNewSemiSize);  // a flip that copied nothing
  const Figures after = current();
  GsAdjTotAlloc(0);
  ASSERT_LT(after.words[0], before.words[0]);
  uint32_t withTotals[4], withoutTotals[4];
  GsReportAlloc(withTotals, 1);
  GsReportAlloc(withoutTotals, 0);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(withoutTotals[i], after.words[i]) << i;
    EXPECT_EQ(withTotals[i], before.words[i]) << i;
  }
}

TEST_F(GcStatistics, TheMapDescribesNewSpaceAndEachArea) {
  populate();
  std::vector<uint32_t> map(buildMapWords(GsOldAreaCt) + 1, 0xdeadbeef);
  GsBuildMap(map.data(), 1);
  const GsNewArea& semispace = GsNewAllocationArea;
  EXPECT_EQ(map[0], semispace.start);
  EXPECT_EQ(map[1], GsNewSemiSize);
  EXPECT_EQ(map[2], (semispace.end - consPage(semispace.pageLowMark)->fill) / 8);
  EXPECT_EQ(map[3], new_.conses.size());
  EXPECT_EQ(map[8], global(global::kNewFree));
  EXPECT_EQ(map[10], lisp_heap.brk);
  EXPECT_EQ(map[11], GsNewScavengeToArea);
  EXPECT_EQ(map[16], areaAddress(GsLastOldArea));
  EXPECT_EQ(map[19], 2u);
  const uint32_t* closed = &map[20];
  const uint32_t* open = &map[30];
  const uint32_t closedWords[] = {areaAddress(GsOldAreas),
                                  GsOldAreas->size,
                                  0,
                                  kConsesPerPage,
                                  0,
                                  0,
                                  0,
                                  0,
                                  0,
                                  GsOldAreas->frontier - GsOldAreas->firstObject};
  EXPECT_TRUE(std::equal(std::begin(closedWords), std::end(closedWords), closed));
  EXPECT_EQ(open[0], areaAddress(GsLastOldArea));
  EXPECT_EQ(open[2], kConsesPerPage - 1);
  EXPECT_EQ(open[3], 1u);
  EXPECT_EQ(open[8], GsLastOldArea->freeBytes);
  EXPECT_EQ(map[40], 0xdeadbeef);  // nothing written past the last area

  GsBuildMap(map.data(), 0);
  EXPECT_EQ(map[10], 0u);
  EXPECT_EQ(map[12], 0u);
}

gc::ProcessTimes g_times;
gc::ProcessTimes injectedTimes() {
  return g_times;
}

TEST_F(GcStatistics, EfficiencyLines) {
  setProcessTimesSource(injectedTimes);
  const uint64_t second = 1000000;
  const struct {
    uint32_t flags;
    ProcessTimes times;  // since init_ut
    uint32_t newCopy, oldCopy, frees;
    uint32_t efficiency;
    const char* line;
  } cases[] = {
      {flag::kProgress | flag::kStatistics | flag::kVerbose,
       {0, 0},
       0,
       0,
       0,
       100,
       " eff: 100%, new copy: 0 + tenure: 0 +  vxmmalloc free: 0 = 0\n"},
      {flag::kProgress | flag::kStatistics,
       {10 * second, 2 * second + second / 2},
       100,
       200,
       300,
       75,
       "E=75% N=100 T+=200 A-=300"},
      {flag::kProgress | flag::kStatistics | flag::kVerbose,
       {100 * second, 50 * second},
       8,
       16,
       0,
       50,
       " eff: 50%, new copy: 8 + tenure: 16 +  vxmmalloc free: 0 = 24\n"},
      {flag::kProgress, {4 * second, 5 * second}, 1, 2, 3, 0, ""},
      {flag::kStatistics, {0, second}, 1, 2, 3, 0, ""},
  };
  for (const auto& c : cases) {
    init_ut();
    GsCtlFlags = c.flags;
    g_times = c.times;
    new_copy = c.newCopy;
    old_copy = c.oldCopy;
    vxmmalloc_frees = c.frees;
    GsRecentTenures = 5;
    const testing_support::ConsoleRecorder console;
    computeut();
    EXPECT_EQ(testing_support::ConsoleRecorder::console(), c.line);
    EXPECT_EQ(GsUT, c.efficiency);
    EXPECT_EQ(GsRecentTenures, 5 + c.oldCopy);
  }
  vxmmalloc_frees = 0;
}

TEST_F(GcStatistics, BaselinesMoveWithEachCall) {
  setProcessTimesSource(injectedTimes);
  init_ut();
  const uint64_t second = 1000000;
  g_times = {10 * second, 5 * second};
  computeut();
  EXPECT_EQ(GsUT, 50u);
  g_times = {20 * second, 5 * second};  // the next ten seconds without collecting
  computeut();
  EXPECT_EQ(GsUT, 100u);
  EXPECT_EQ(gspid, static_cast<uint32_t>(getpid()));
}

}  // namespace
