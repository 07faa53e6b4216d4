// Sizing new space and old space around a scavenge.
//
// gsgc_short_space (end of a pass) decides what must grow; pre_adjust_areas
// (start of the next pass) grows the heap, moves new space to the top when
// something lies above it, and makes the to-space the allocation semispace;
// post_adjust_areas (after the copy) turns the aging area into an old area.
//
// Invariants kept: new space is [GsNewFence, GsNewTop) with GsNewTop at the
// break whenever it grew; the aging area overlaps only the from-space, which
// is dead by the time it becomes an old area; a failed growth leaves the
// semispaces flipped and their size unchanged.
//
// Sizes are computed in 64 bits and capped at the heap reservation, so a
// large heap or a percentage of 99 cannot wrap into a small request: an
// expansion larger than the reservation fails as any refused growth does.

#include "runtime/gc/sizing.h"

#include <algorithm>
#include <cstdio>

#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"

extern "C" uint32_t globs[32];

namespace {

using namespace gc;

constexpr uint32_t kNewFenceGlobsWord = 1;
constexpr uint32_t kSymbolsPerPage = 254;
constexpr uint32_t kForcedGlobalTenures = 0x40000;
constexpr int64_t kWaitingTenuresForOldFirst = 64000;

int32_t newFree() {
  return static_cast<int32_t>(globalWord(global::kNewFree));
}
void setNewFree(int64_t bytes) {
  globalWord(global::kNewFree) = static_cast<uint32_t>(static_cast<int32_t>(bytes));
}

bool flagSet(uint32_t bit) {
  return (GsCtlFlags & bit) != 0;
}

// The reservation bounds any growth.
int64_t capAtReservation(int64_t bytes) {
  const int64_t reservation = int64_t{lisp_heap.reserved_end} - lisp_heap.base;
  return std::clamp<int64_t>(bytes, 0, std::max<int64_t>(reservation, 0));
}

int64_t percentOf(int64_t bytes, uint32_t freePercent) {
  const int64_t divisor = 100 - std::min<uint32_t>(freePercent, kMaxPercent);
  return bytes / divisor * 100;
}

uint32_t roundUpTo(uint32_t bytes, uint32_t unit) {
  if (unit == 0) return bytes;
  return static_cast<uint32_t>(capAtReservation((int64_t{bytes} + unit - 1) / unit * unit));
}

// Texts of a growth: long under flag v, terse otherwise; printed with p and s.
struct GrowthTexts {
  const char *newLong, *newTerse, *bothLong, *bothTerse, *oldLong, *oldTerse;
};
constexpr GrowthTexts kGrowAtTop = {gc_messages::kExpandNewLong,    gc_messages::kExpandNewTerse,
                                    gc_messages::kExpandOldNewLong, gc_messages::kExpandOldNewTerse,
                                    gc_messages::kExpandOldLong,    gc_messages::kExpandOldTerse};
constexpr GrowthTexts kGrowAndMove = {gc_messages::kMoveNewLong,    gc_messages::kMoveNewTerse,
                                      gc_messages::kMoveOldNewLong, gc_messages::kMoveOldNewTerse,
                                      gc_messages::kMoveOldLong,    gc_messages::kMoveOldTerse};

void reportGrowth(const GrowthTexts& texts) {
  if (!flagSet(flag::kProgress) || !flagSet(flag::kStatistics)) return;
  const bool verbose = flagSet(flag::kVerbose);
  const char* text;
  if (GsNewExpansion != 0 && GsOldExpansion != 0)
    text = verbose ? texts.bothLong : texts.bothTerse;
  else if (GsNewExpansion != 0)
    text = verbose ? texts.newLong : texts.newTerse;
  else
    text = verbose ? texts.oldLong : texts.oldTerse;
  gc_messages::print("%s", text);
  std::fflush(stdout);
}

// The to-space becomes the allocation semispace; the from-space the next to-space.
void flip() {
  GsNewTopLV = GsNewTop + lisp::kPointerBias;
  const uint32_t to = GsNewScavengeToArea;
  GsNewScavengeToArea = GsNewAllocationArea.start;
  GsNewAreaSetup(to, GsNewSemiSize);
}

void recordFailedGrowth(uint32_t bytes) {
  GsAgingArea = 0;
  GsAgingAreaSize = 0;
  GsFailedSbrk = bytes;
  flip();
}

void setTop(uint32_t top) {
  GsNewTop = top;
  GsNewTopLV = top + lisp::kPointerBias;
}

void clearExpansions() {
  GsNewExpansion = 0;
  GsOldExpansion = 0;
}

// New space at the top of the heap, its allocation semispace the lower half.
void growAtTop() {
  const uint32_t start = GsNewAllocationArea.start;
  if (GsOldExpansion != 0) {
    GsAgingArea = start;
    GsAgingAreaSize = GsOldExpansion;
  }
  const int64_t sum = int64_t{GsNewExpansion} + GsOldExpansion;
  uint32_t newBreak = 0;
  if (sum != capAtReservation(sum) || limited_setbrk(static_cast<uint32_t>(sum), &newBreak) != 0) {
    recordFailedGrowth(static_cast<uint32_t>(std::min<int64_t>(sum, UINT32_MAX)));
    return;
  }
  reportGrowth(kGrowAtTop);
  setTop(newBreak);
  const uint32_t half = (GsNewTop - start - GsOldExpansion) / 2;
  GsNewScavengeToArea = start + GsOldExpansion;
  GsNewAreaSetup(start + GsOldExpansion + half, half);
  clearExpansions();
}

// Something lies above new space: the whole of it becomes the aging area
// and a new, larger new space is made at the break.
void growAndMove() {
  if (heap_sbrk_aligned(&lisp_heap, 0, GsWorstCasePagesize) == heap_reservation::kSbrkFailed) {
    recordFailedGrowth(GsNewExpansion);
    return;
  }
  const uint32_t oldBreak = lisp_heap.brk;
  GsAgingArea = std::min(GsNewAllocationArea.start, GsNewScavengeToArea);
  GsAgingAreaSize = 2 * GsNewSemiSize;
  const int64_t bytes = int64_t{GsNewExpansion} + 2 * int64_t{GsNewSemiSize};
  uint32_t newBreak = 0;
  if (bytes != capAtReservation(bytes) ||
      limited_setbrk(static_cast<uint32_t>(bytes), &newBreak) != 0) {
    recordFailedGrowth(static_cast<uint32_t>(std::min<int64_t>(bytes, UINT32_MAX)));
    return;
  }
  reportGrowth(kGrowAndMove);
  setTop(newBreak);
  const uint32_t half = (newBreak - oldBreak) / 2;
  GsNewScavengeToArea = oldBreak + half;
  GsNewAreaSetup(oldBreak, half);
  clearExpansions();
}

// The write barrier's fence and the copies of it in globs and the collector.
void publishFence(uint32_t fence) {
  GsNewFence = fence;
  GsNewFenceLV = fence + lisp::kPointerBias;
  scavenge_setfence(fence);
  globs[kNewFenceGlobsWord] = fence;
}

}  // namespace

extern "C" {

uint32_t gsgc_min_newavl(uint32_t request, int expand) {
  const GsNewArea& semispace = GsNewAllocationArea;
  const int64_t used = int64_t{semispace.end} - semispace.pageLowMark +
                       (int64_t{globalWord(global::kNewOtherTop)} - GsNewOther1);
  const int64_t a = int64_t{request} + used;
  const int64_t need =
      std::max(percentOf(a, GsMinFreeNewPercent), a + GsMinFreeNewPageSpace + GsMinFreeNewOther) -
      used;
  if (!expand) return static_cast<uint32_t>(capAtReservation(need));
  const int64_t free = newFree();
  const int64_t grow = percentOf(a, GsExpFreeNewPercent) - free - a;
  return static_cast<uint32_t>(capAtReservation(2 * std::max(need - free, grow)));
}

int gsgc_short_space(uint32_t request) {
  int shortage = 0;
  if (GsMinFreeOldOther != 0 || GsMinFreeOldSyms != 0) {
    int64_t want = int64_t{GsMinFreeOldOther} +
                   int64_t{(GsMinFreeOldSyms + kSymbolsPerPage - 1) / kSymbolsPerPage} * kPageBytes;
    for (GsOldArea* area = GsOpenOldAreaFence; area && want > 0; area = area->next)
      want -= area->freeBytes;
    if (want > 0) {
      GsOtherTenuresWaiting += static_cast<uint32_t>(std::min<int64_t>(want, UINT32_MAX));
      shortage = 1;
    }
  }

  if (GsOtherTenuresWaiting != 0 || GsConsTenuresWaiting != 0) {
    GsOldAreaType = 0;
    const int64_t consPages = (int64_t{GsConsTenuresWaiting} + kConsesPerPage - 1) / kConsesPerPage;
    const int64_t x = percentOf(int64_t{GsOtherTenuresWaiting} + consPages * kPageBytes +
                                    static_cast<int64_t>(sizeof(GsOldArea)),
                                GsExpFreeOldPercent);
    GsOldExpansion = static_cast<uint32_t>(capAtReservation(x + (x >> kPageShift) * 4 + 1));
  }

  if (GsInGlobalGc == 0 && GsOldExpansion > 0 && GsRecentTenures > kForcedGlobalTenures &&
      flagSet(flag::kAutoGlobal)) {
    if (flagSet(flag::kProgress)) gc_messages::print(gc_messages::kForcingGlobalGc);
    GsCtlFlags |= flag::kGlobalRequest;
    GsOldExpansion = 0;
  }

  // Room for the next generation's cons page.
  int64_t r = request;
  if (!require_new_cons(static_cast<int32_t>(globalWord(global::kGeneration)) + 1)) r += kPageBytes;
  const int64_t need = gsgc_min_newavl(static_cast<uint32_t>(std::min<int64_t>(r, UINT32_MAX)), 0);
  const int64_t free = newFree();
  const uint32_t progress = flag::kProgress | flag::kStatistics | flag::kVerbose;

  if (free >= need) {
    const int64_t excess = free - need;
    if (flagSet(flag::kHideNewSpace) && excess >= kPageBytes) {
      setNewFree(need);
      GsNewHidden += static_cast<uint32_t>(excess);
      if ((GsCtlFlags & progress) == progress)
        gc_messages::print(gc_messages::kHidingNewSpace, static_cast<int>(excess));
    }
    return shortage;
  }
  if (free + GsNewHidden >= need) {
    const uint32_t reveal =
        std::min<uint32_t>(roundUp(static_cast<uint32_t>(need - free), kPageBytes), GsNewHidden);
    setNewFree(free + reveal);
    GsNewHidden -= reveal;
    if ((GsCtlFlags & progress) == progress)
      gc_messages::print(gc_messages::kRevealingNewSpace, static_cast<int>(reveal));
    return shortage;
  }

  setNewFree(free + GsNewHidden);
  GsNewHidden = 0;
  const int64_t waiting = int64_t{GsOtherTenuresWaiting} + 8 * int64_t{GsConsTenuresWaiting};
  if (!flagSet(flag::kGlobalRequest) && waiting >= kWaitingTenuresForOldFirst) return 1;
  GsNewExpansion = gsgc_min_newavl(static_cast<uint32_t>(std::min<int64_t>(r, UINT32_MAX)), 1);
  return 1;
}

void pre_adjust_areas() {
  GsFailedSbrk = 0;
  GsSbrkFailCode = 0;
  if (GsInGlobalGc != 0) GsOldExpansion = 0;

  if (GsNewExpansion == 0 && GsOldExpansion == 0) {
    if (GsOldShrinkage != 0 || GsNewShrinkage != 0) {
      const uint32_t start = GsNewScavengeToArea - GsOldShrinkage;
      const uint32_t size = GsNewSemiSize - GsNewShrinkage;
      GsNewAreaSetup(start, size);
      GsNewScavengeToArea = start + size;
    } else {
      flip();
    }
    return;
  }

  GsNewExpansion = roundUpTo(GsNewExpansion, GsNewQuantum);
  GsOldExpansion = roundUpTo(GsOldExpansion, GsNewQuantum);

  const uint32_t brk = lisp_heap.brk;
  if (brk == GsNewTop) {
    if (GsNewAllocationArea.start < GsNewScavengeToArea)
      growAtTop();
    else
      flip();  // the upper half is in use: the growth waits a scavenge
  } else if (brk > GsNewTop) {
    growAndMove();
  } else {
    flip();
  }
}

void post_adjust_areas() {
  if (GsOldShrinkage != 0 || GsNewShrinkage != 0) {
    const uint32_t giveBack = GsOldShrinkage + 2 * GsNewShrinkage;
    GsOldShrinkage = GsNewShrinkage = 0;
    publishFence(GsNewAllocationArea.start);
    heap_gssbrk(-static_cast<int32_t>(giveBack));
    setTop(GsNewTop - giveBack);
    return;
  }
  if (GsAgingArea == 0) return;
  GsOldAreaSetup(GsAgingArea, GsAgingAreaSize);
  // A hint that found no room earlier would never see the new area.
  if (!GsOldSmallOtherArea) GsOldSmallOtherArea = GsLastOldArea;
  if (!GsOldBigOtherArea) GsOldBigOtherArea = GsLastOldArea;
  GsOtherTenuresWaiting = GsConsTenuresWaiting = 0;
  GsAgingArea = 0;
  GsAgingAreaSize = 0;
  publishFence(std::min(GsNewAllocationArea.start, GsNewScavengeToArea));
}

void scavenge_setfence(uint32_t fence) {
  globalWord(global::kNewFence) = fence;
}

}  // extern "C"
