// An allocator for the logger that fails on demand, to reach every
// out-of-memory path.
#pragma once

#include <cstdlib>

#include "sim/logging/log_memory.h"

namespace test_allocator {

// While it lives, the logger's allocations succeed `successes` times, then
// fail (a negative count never fails). It counts the allocations it saw.
class FailingAllocator {
 public:
  explicit FailingAllocator(long successes) {
    remaining() = successes;
    seen() = 0;
    sim::setLogAllocator(&kAllocator);
  }
  ~FailingAllocator() { sim::setLogAllocator(nullptr); }
  FailingAllocator(const FailingAllocator&) = delete;
  FailingAllocator& operator=(const FailingAllocator&) = delete;

  static long allocationsSeen() { return seen(); }

 private:
  static long& remaining() {
    static long value = -1;
    return value;
  }
  static long& seen() {
    static long value = 0;
    return value;
  }
  static bool grant() {
    ++seen();
    if (remaining() == 0) return false;
    if (remaining() > 0) --remaining();
    return true;
  }
  static void* allocate(std::size_t bytes) { return grant() ? std::calloc(1, bytes) : nullptr; }
  static void* reallocate(void* block, std::size_t bytes) {
    return grant() ? std::realloc(block, bytes) : nullptr;
  }
  static inline const sim::LogAllocator kAllocator = {allocate, reallocate, std::free};
};

}  // namespace test_allocator
