// Allocation figures, the heap map and the efficiency of collections.
//
// Invariant: AllocToDate plus the current figures is everything allocated
// since start-up, because each collection adds the figures before it and
// subtracts them after it (what it freed or moved stays counted).
//
// Decisions where the figures are not spelled out: the native-heap figure is
// the native heap's used extent (break minus base); the map's Lisp heap
// descriptor words are base and reserved end (6, 7) and committed end (17),
// its native heap words base, break and reserved end (13 to 15).

#include "runtime/gc/gc_statistics.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/root_scan.h"
#include "runtime/load/pure_library_bounds.h"

extern "C" {
uint32_t new_copy = 0;
uint32_t old_copy = 0;
uint32_t AllocToDate[4] = {};
uint32_t gspid = 0;
}

namespace gc {
uint64_t collectorMicroseconds = 0;
}

namespace {

using namespace gc;

constexpr uint64_t kMicrosecondsPerSecond = 1000000;

// ---- cons counts ----

uint32_t usedCells(uint32_t page) {
  const ConsPageHeader* header = consPage(page);
  return (header->fill - (page + kConsPageFirstCell)) / kConsCellBytes;
}
uint32_t freeCells(uint32_t page) {
  return (page + kPageBytes - consPage(page)->fill) / kConsCellBytes;
}

uint32_t newSpaceConses() {
  uint32_t conses = 0;
  const GsNewArea& semispace = GsNewAllocationArea;
  for (uint32_t page = semispace.pageLowMark; page < semispace.end; page += kPageBytes)
    if (wordAt(GsNewPagemap + 4 * pageOf(page)) == kPageCons) conses += usedCells(page);
  return conses;
}

uint32_t lowestNewPageFreeCells() {
  const GsNewArea& semispace = GsNewAllocationArea;
  return semispace.pageLowMark < semispace.end ? freeCells(semispace.pageLowMark) : 0;
}

bool hasConsPages(const GsOldArea* area) {
  return area->consPageCount != 0 && area->lowestConsPage < area->end;
}

uint32_t areaConses(const GsOldArea* area) {
  if (!hasConsPages(area)) return 0;
  return kConsesPerPage * area->consPageCount - freeCells(area->lowestConsPage);
}

uint32_t areaOtherBytes(const GsOldArea* area) {
  return area->frontier - area->firstObject;
}

uint32_t newOtherBytes() {
  return globalWord(global::kNewOtherTop) - GsNewOther1;
}

uint32_t nativeHeapBytes() {
  return vxmmalloc_heap.brk - vxmmalloc_heap.base;
}

// ---- process times ----

ProcessTimes rusageTimes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto micro = [](const timeval& t) {
    return static_cast<uint64_t>(t.tv_sec) * kMicrosecondsPerSecond +
           static_cast<uint64_t>(t.tv_usec);
  };
  return {micro(usage.ru_utime) + micro(usage.ru_stime), collectorMicroseconds};
}

ProcessTimesSource g_timesSource = rusageTimes;
ProcessTimes g_baseline = {};

uint32_t efficiency(const ProcessTimes& now) {
  const int64_t run = static_cast<int64_t>(now.runMicroseconds - g_baseline.runMicroseconds);
  const int64_t collector =
      static_cast<int64_t>(now.collectorMicroseconds - g_baseline.collectorMicroseconds);
  const int64_t r = run > 0 ? run : 1;
  const int64_t percent = 100 * (r - collector) / r;
  return percent < 0 ? 0 : static_cast<uint32_t>(percent);
}

}  // namespace

namespace gc {
void setProcessTimesSource(ProcessTimesSource source) {
  g_timesSource = source ? source : rusageTimes;
}
}  // namespace gc

extern "C" {

void GsCurAlloc(uint32_t record[4]) {
  uint32_t conses = 0, otherBytes = 0;
  if (GsNewSemiSize != 0) {
    sync_shared_cons_pointer();
    conses = newSpaceConses();
    otherBytes = newOtherBytes();
  }
  for (const GsOldArea* area = GsOldAreas; area; area = area->next) {
    conses += areaConses(area);
    otherBytes += areaOtherBytes(area);
  }
  record[0] = conses;
  record[1] = 0;
  record[2] = otherBytes;
  record[3] = nativeHeapBytes();
}

void GsAdjTotAlloc(int add) {
  uint32_t current[4];
  GsCurAlloc(current);
  for (int i = 0; i < 4; ++i) AllocToDate[i] += add ? current[i] : 0u - current[i];
}

void GsReportAlloc(uint32_t record[4], int withTotals) {
  GsCurAlloc(record);
  if (withTotals)
    for (int i = 0; i < 4; ++i) record[i] += AllocToDate[i];
}

void GsBuildMap(uint32_t* record, int full) {
  sync_shared_cons_pointer();
  const GsNewArea& semispace = GsNewAllocationArea;
  const uint32_t header[kBuildMapHeaderWords] = {
      semispace.start,
      GsNewSemiSize,
      lowestNewPageFreeCells(),
      newSpaceConses(),
      vxm_lso,
      vxm_lsoend,
      lisp_heap.base,
      lisp_heap.reserved_end,
      globalWord(global::kNewFree),
      newOtherBytes(),
      full ? lisp_heap.brk : 0,
      GsNewScavengeToArea,
      full ? count_root_bits() : 0,
      vxmmalloc_heap.base,
      vxmmalloc_heap.brk,
      vxmmalloc_heap.reserved_end,
      areaAddress(GsOpenOldAreaFence),
      lisp_heap.committed_end,
      0,
      GsOldAreaCt,
  };
  std::copy(std::begin(header), std::end(header), record);
  uint32_t* words = record + kBuildMapHeaderWords;
  for (const GsOldArea* area = GsOldAreas; area; area = area->next) {
    const bool closed = areaAddress(area) < areaAddress(GsOpenOldAreaFence);
    const uint32_t areaWords[kBuildMapAreaWords] = {
        areaAddress(area),
        area->size,
        hasConsPages(area) ? freeCells(area->lowestConsPage) : 0,
        areaConses(area),
        0,
        0,
        0,
        0,
        closed ? 0 : area->freeBytes,
        areaOtherBytes(area),
    };
    words = std::copy(std::begin(areaWords), std::end(areaWords), words);
  }
}

void init_ut() {
  g_baseline = {0, 0};
  gspid = static_cast<uint32_t>(getpid());
}

void computeut() {
  const ProcessTimes now = g_timesSource();
  GsUT = efficiency(now);
  if ((GsCtlFlags & flag::kProgress) && (GsCtlFlags & flag::kStatistics)) {
    const uint32_t sum = new_copy + old_copy + vxmmalloc_frees;
    if (GsCtlFlags & flag::kVerbose)
      gc_messages::print(gc_messages::kEfficiencyLong, static_cast<int>(GsUT),
                         static_cast<int>(new_copy), static_cast<int>(old_copy),
                         static_cast<int>(vxmmalloc_frees), static_cast<int>(sum));
    else
      gc_messages::print(gc_messages::kEfficiencyTerse, static_cast<int>(GsUT),
                         static_cast<int>(new_copy), static_cast<int>(old_copy),
                         static_cast<int>(vxmmalloc_frees));
  }
  GsRecentTenures += old_copy;
  g_baseline = now;
}

}  // extern "C"
