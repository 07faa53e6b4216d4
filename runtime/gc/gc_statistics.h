// Allocation and efficiency statistics of the collector, and the heap map
// that Lisp code reads.
#pragma once

#include <cstdint>

extern "C" {

// Bytes copied within new space and tenured by the collection in progress.
extern uint32_t new_copy;
extern uint32_t old_copy;
// What was allocated between collections, accumulated (see GsAdjTotAlloc).
extern uint32_t AllocToDate[4];
extern uint32_t gspid;

// Four words: conses in use, 0, other bytes in use, native bytes in use.
void GsCurAlloc(uint32_t record[4]);
// Adds (at the start of a collection) or subtracts (at its end) the current figures.
void GsAdjTotAlloc(int add);
// GsCurAlloc, plus AllocToDate (everything allocated since start-up) when asked.
void GsReportAlloc(uint32_t record[4], int withTotals);

// 20 words, then 10 per old area (see gc_statistics.cpp for the words).
void GsBuildMap(uint32_t* record, int full);

void init_ut();
// Efficiency of the collection just ended, its statistics line, the
// tenure count; then the new time baselines.
void computeut();
}

namespace gc {

inline constexpr uint32_t kBuildMapHeaderWords = 20;
inline constexpr uint32_t kBuildMapAreaWords = 10;
constexpr uint32_t buildMapWords(uint32_t areaCount) {
  return kBuildMapHeaderWords + kBuildMapAreaWords * areaCount;
}

// Process run time and collector time, in microseconds since start. The
// system layer's process times replace the default, which reads getrusage
// for the run time and collectorMicroseconds for the collector time.
struct ProcessTimes {
  uint64_t runMicroseconds;
  uint64_t collectorMicroseconds;
};
using ProcessTimesSource = ProcessTimes (*)();
void setProcessTimesSource(ProcessTimesSource source);  // nullptr: the default
// Collector time that the collection's start and end accumulate.
extern uint64_t collectorMicroseconds;

}  // namespace gc
