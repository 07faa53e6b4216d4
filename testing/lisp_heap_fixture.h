// A fresh Lisp heap for collector tests: both heaps reserved at their default
// addresses and laid out by GsInit, torn down and forgotten afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/thread_block.h"
#include "runtime/gc/gc_data_record.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/native_heap.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/thread_storage.h"
#include "testing/console_recorder.h"
#include "testing/forget_heaps.h"

namespace gc_test {

inline constexpr uint32_t kOldSize = 0x100000;  // 1 MB
inline constexpr uint32_t kNewSize = 0x80000;   // two semispaces of 256 KB
inline constexpr uint32_t kSpread = 2;
using testing_support::forgetHeaps;
using testing_support::kDefaultMaxHeapSize;

template <class T = uint32_t>
T& at(uint32_t address) {
  return *reinterpret_cast<T*>(static_cast<uintptr_t>(address));
}

class LispHeap : public ::testing::Test {
 protected:
  void SetUp() override {
    forgetHeaps();
    slot_ = platform::allocateThreadSlot();
    ASSERT_GE(slot_, 0);
    lisp_tls_index = static_cast<uint32_t>(slot_) * 4;
    ASSERT_EQ(setup_heaps(0, 0, 0, 0, 0, 0), 1);
    {
      const testing_support::ConsoleRecorder console;
      GsInit(oldSize_, newSize_, kSpread, 0);
      initOutput_ = testing_support::ConsoleRecorder::console();
    }
  }
  void TearDown() override {
    free_heaps(0);
    forgetHeaps();
    platform::freeThreadSlot(slot_);
  }

  lisp::lispval nil() const { return nilval; }
  uint32_t& global(int32_t offset) { return gc::globalWord(offset); }
  int32_t newFree() { return static_cast<int32_t>(global(gc::global::kNewFree)); }
  uint32_t pagemapEntry(const gc::GsOldArea* area, uint32_t address) {
    return at(area->pagemapBase + 4 * gc::pageOf(address));
  }
  uint32_t newPagemapEntry(uint32_t address) { return at(GsNewPagemap + 4 * gc::pageOf(address)); }

  uint32_t oldSize_ = kOldSize, newSize_ = kNewSize;
  int32_t slot_ = -1;
  std::string initOutput_;  // what GsInit printed on the console
};

}  // namespace gc_test
