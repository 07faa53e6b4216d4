// An allocator for the logger that fails on demand, to reach every
// out-of-memory path.
#pragma once

#include <cstdlib>

#include "sim/logging/log_memory.h"

namespace test_allocator {

// While it lives, the logger's allocations succeed `successes` times, then
// fail (a negative count never fails). It counts the allocations it saw and
// the blocks still live.
class FailingAllocator {
 public:
  explicit FailingAllocator(long successes) {
    remaining() = successes;
    seen() = 0;
    live() = 0;
    sim::setLogAllocator(&kAllocator);
  }
  ~FailingAllocator() { sim::setLogAllocator(nullptr); }
  FailingAllocator(const FailingAllocator&) = delete;
  FailingAllocator& operator=(const FailingAllocator&) = delete;

  static long allocationsSeen() { return seen(); }
  static long liveBlocks() { return live(); }

 private:
  static long& remaining() {
    static long value = -1;
    return value;
  }
  static long& seen() {
    static long value = 0;
    return value;
  }
  static long& live() {
    static long value = 0;
    return value;
  }
  static bool grant() {
    ++seen();
    if (remaining() == 0) return false;
    if (remaining() > 0) --remaining();
    return true;
  }
  static void* allocate(std::size_t bytes) {
    void* block = grant() ? std::calloc(1, bytes) : nullptr;
    if (block != nullptr) ++live();
    return block;
  }
  static void* reallocate(void* block, std::size_t bytes) {
    void* grown = grant() ? std::realloc(block, bytes) : nullptr;
    if (grown != nullptr && block == nullptr) ++live();
    return grown;
  }
  static void release(void* block) {
    --live();
    std::free(block);
  }
  static inline const sim::LogAllocator kAllocator = {allocate, reallocate, release};
};

}  // namespace test_allocator
