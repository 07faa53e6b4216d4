// Forgetting every collector and native-heap variable, as in a fresh
// process, so that each test or benchmark run lays its heaps out anew.
#pragma once

#include <cstdint>
#include <cstring>

#include "runtime/gc/gc_data_record.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/native_heap.h"
#include "runtime/load/startup_services.h"

namespace testing_support {

inline constexpr uint32_t kDefaultMaxHeapSize = 0x4000000;

inline void forgetNativeHeap() {
  std::memset(nextf, 0, sizeof nextf);
  std::memset(nmalloc, 0, sizeof nmalloc);
  malloc_low_water = malloc_high_water = 0;
  malloccount = malloccountmatch = 0;
  malloc_bpt_hook = nullptr;
  malloc_sbrk_hook = nullptr;
  native_heap::setScavengerLink(nullptr);
}

inline void forgetHeaps() {
  const uint32_t zeros[gc::kGcDataWords] = {};
  restore_gc_data(zeros);
  maxheapsize = kDefaultMaxHeapSize;
  GsNewTopLV = GsWorstCasePagesize = GsFailedHlimit = GsFailedSbrk = InScavenge = 0;
  vxmmalloc_frees = 0;
  pageallochook = nullptr;
  // Nil lay in the heap just given up; code outside the heaps takes a
  // non-zero nilval for a laid-out nil and reads its globals.
  nilval = 0;
  forgetNativeHeap();
}

}  // namespace testing_support
