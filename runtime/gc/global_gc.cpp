// The global collection: one mark-compact collection of the open old areas,
// between two scavenges.
//
// Invariant around it: before the passes, new space holds only live objects
// and the to-space is free (the opening scavenge), so the to-space can hold
// the mark bitmap; after the passes, every pointer into the open old areas
// names a live object where it now lies, and the closing scavenge runs on a
// heap that the scavenger's own invariants hold for.
//
// Sections: state, timing and progress, the bitmap, the collection.

#include "runtime/gc/global_gc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "runtime/gc/allocation.h"
#include "runtime/gc/from_space.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/global_gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/scavenger.h"
#include "runtime/os/clock_services.h"
#include "runtime/os/process_times.h"
#include "runtime/rs/call_glue.h"

namespace gc::ggc {
MarkBitmap bitmap;
Figures figures;
}  // namespace gc::ggc

namespace {

using namespace gc;
using namespace gc::ggc;

constexpr uint32_t kBitmapSlackBytes = 4;
constexpr uint32_t kCommitFailed = 1;  // GsSbrkFailCode's "commit failed"

bool printing() {
  return (GsCtlFlags & flag::kProgress) != 0;
}

// ---- timing and progress ----

struct PassTimes {
  uint64_t user = 0, system = 0;  // microseconds
};

// The process's user and system time as the time service reads it for Lisp
// (milliseconds in s_utime and s_stime).
PassTimes processTimes() {
  sy_rtimes();
  auto micro = [](int32_t milliseconds) {
    return milliseconds < 0 ? 0u : static_cast<uint64_t>(milliseconds) * 1000u;
  };
  return {micro(s_utime), micro(s_stime)};
}

PassTimes g_passStart;

// Milliseconds grouped by thousands: "%d", "%d,%03d" or "%d,%03d,%03d".
void printGrouped(uint64_t milliseconds, const char* one, const char* two, const char* three) {
  const auto value = static_cast<uint32_t>(std::min<uint64_t>(milliseconds, UINT32_MAX));
  if (value < 1000)
    gc_messages::print(one, static_cast<int>(value));
  else if (value < 1000000)
    gc_messages::print(two, static_cast<int>(value / 1000), static_cast<int>(value % 1000));
  else
    gc_messages::print(three, static_cast<int>(value / 1000000),
                       static_cast<int>(value / 1000 % 1000), static_cast<int>(value % 1000));
}

void passTitle(const char* title) {
  if (!printing()) return;
  gc_messages::print("%s", title);
  std::fflush(stdout);
}

// "done", the pass's user and system milliseconds; the caller prints the rest.
void ggc_phasedone() {
  const PassTimes now = processTimes();
  if (printing()) {
    gc_messages::print("%s", gc_messages::kPassDone);
    printGrouped((now.user - g_passStart.user) / 1000, gc_messages::kUserTime1,
                 gc_messages::kUserTime2, gc_messages::kUserTime3);
    printGrouped((now.system - g_passStart.system) / 1000, gc_messages::kSystemTime1,
                 gc_messages::kSystemTime2, gc_messages::kSystemTime3);
  }
  g_passStart = now;
}

// The text after "done" and its figures, printed when the pass is done.
void closing(const char* format, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0) {
  ggc_phasedone();
  if (!printing()) return;
  gc_messages::print(format, static_cast<int>(a), static_cast<int>(b), static_cast<int>(c));
  std::fflush(stdout);
}
void closePlain() {
  closing(gc_messages::kPassEnd);
}

void clearHoleCounts() {
  std::fill(std::begin(ggc_last_hole_count), std::end(ggc_last_hole_count), 0u);
  std::fill(std::begin(ggc_last_hole_aucount), std::end(ggc_last_hole_aucount), 0u);
}

// ---- the bitmap ----

uint32_t bitmapBytes(uint32_t base) {
  return ((GsNewTop - base + 63) >> 6) + kBitmapSlackBytes;
}

// ---- the collection ----

// The passes in order; a step without a title prints nothing (its time
// counts towards the next pass).
struct PassRow {
  const char* title;
  void (*run)();
  void (*close)();
};
const PassRow kPasses[] = {
    {gc_messages::kMarkPass, ggc_pass_mark,
     [] { closing(gc_messages::kMarkPassDone, mark_tally, mark_depth_ov_count, mark_max_depth); }},
    {nullptr, ggc_pass_clean_bindstacks, nullptr},
    {gc_messages::kWeakPass, ggc_pass_clean_weak, closePlain},
    {nullptr, clearHoleCounts, nullptr},
    {gc_messages::kConsSwap, ggc_pass_cons_slots,
     [] { closing(gc_messages::kConsSwapDone, figures.consesMoved); }},
    {gc_messages::kBreakChain, ggc_pass_breakothers,
     [] { closing(gc_messages::kBreakChainDone, figures.holes, figures.holeBytes); }},
    {gc_messages::kPageData, ggc_pass_pages, closePlain},
    {gc_messages::kAdjust, ggc_pass_adjust, closePlain},
    {gc_messages::kCompactOthers, ggc_pass_compactothers, closePlain},
    {gc_messages::kCompactPages, ggc_pass_compact_pages,
     [] { closing(gc_messages::kCompactPagesDone, figures.pagesMoved); }},
    {gc_messages::kNewRootset, ggc_pass_newrootset,
     [] { closing(gc_messages::kNewRootsetDone, rootcount); }},
    {gc_messages::kNewPagemap, ggc_pass_newpagemap, closePlain},
    {gc_messages::kMergeEmpties, ggc_pass_merge_empties,
     [] { closing(gc_messages::kMergeEmptiesDone, figures.merged); }},
    {nullptr, resetOldAllocation, nullptr},
    {nullptr, ggc_remove_bitmap, nullptr},
};

void runPasses() {
  for (const PassRow& pass : kPasses) {
    if (pass.title) passTitle(pass.title);
    pass.run();
    if (pass.close) pass.close();
  }
}

// Leaves the collector after its opening scavenge, as GsExit does, when the
// passes cannot run.
void leaveEarly(uint32_t request) {
  gc::pointAtCurrentGenerationPage();
  GsExit(request);
  sync_shared_cons_pointer();
  restorefloat();
}

}  // namespace

extern "C" {

uint32_t ggc_last_hole_count[kHoleCountSlots] = {};
uint32_t ggc_last_hole_aucount[kHoleCountSlots] = {};
uint32_t MmapBitMap = 0;
uint32_t ZeroBitMap = 0;

void ggc_get_hole_count(uint32_t* counts, uint32_t* sizes) {
  std::copy(std::begin(ggc_last_hole_count), std::end(ggc_last_hole_count), counts);
  std::copy(std::begin(ggc_last_hole_aucount), std::end(ggc_last_hole_aucount), sizes);
}

uint32_t sum_old_free() {
  uint32_t free = 0;
  for (GsOldArea* area = GsOldAreas; area; area = area->next) free += area->freeBytes;
  return free;
}

int ggc_setup_bitmap() {
  const uint32_t base = areaAddress(GsOpenOldAreaFence);
  const uint32_t bytes = bitmapBytes(base);
  if (GsNewSemiSize >= bytes) {
    GsBitMapArea = GsNewScavengeToArea;
    MmapBitMap = 0;
    ZeroBitMap = 1;
  } else {
    const uint32_t region = commitRegion(bytes);
    if (region == 0) return 0;
    GsBitMapArea = region;
    MmapBitMap = bytes;
    ZeroBitMap = 0;  // fresh memory reads as zeros
  }
  GsOldBitMapSize = bytes;
  bitmap = {base, GsNewTop, reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(GsBitMapArea))};
  return 1;
}

void ggc_remove_bitmap() {
  if (MmapBitMap != 0) releaseRegion(GsBitMapArea, MmapBitMap);
  MmapBitMap = 0;
  GsBitMapArea = 0;
  bitmap = {};
}

uint32_t global_gc(uint32_t request) {
  GsCtlFlags &= ~flag::kGlobalRequest;
  savefloat();
  GsInGlobalGc = 1;
  sync_shared_cons_pointer();
  GsEnter(1);

  scavenge1(0);
  setGsNewFrom();
  const uint32_t freeBefore = printing() ? sum_old_free() : 0;
  GsWeakChain = GsFinlzChain = 0;
  figures = {};
  g_passStart = processTimes();

  if (!ggc_setup_bitmap()) {
    const uint32_t needed = bitmapBytes(areaAddress(GsOpenOldAreaFence));
    leaveEarly(request);
    GsFailedSbrkError(request, 0, 0, needed, 0, kCommitFailed);
    return globalWord(global::kConsFill);
  }
  runPasses();

  if (printing()) {
    gc_messages::print(gc_messages::kGlobalRecovered,
                       static_cast<int>(sum_old_free() - freeBefore));
    std::fflush(stdout);
  }
  GsRecentTenures = 0;
  GsInGlobalGc = 2;
  scavenge1(request);
  gc::pointAtCurrentGenerationPage();
  GsExit(request);
  sync_shared_cons_pointer();
  GsOldExpansion = 0;
  restorefloat();
  return globalWord(global::kConsFill);
}

}  // extern "C"
