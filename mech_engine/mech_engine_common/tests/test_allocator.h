// An engine allocator for tests that fails its n-th call and tracks live blocks.
#pragma once

#include <cstdlib>
#include <set>

#include "mech_engine_common/engine_allocation.h"

struct TestAllocator {
  static inline int callsBeforeFailure = -1;  // -1: never fail
  static inline int calls = 0;
  static inline std::set<void*> live;

  static void* allocate(std::size_t count, std::size_t size) {
    ++calls;
    if (callsBeforeFailure == 0) return nullptr;
    if (callsBeforeFailure > 0) --callsBeforeFailure;
    void* block = std::calloc(count, size);
    live.insert(block);
    return block;
  }
  static void release(void* block) {
    live.erase(block);
    std::free(block);
  }
  static void install(int failAfter = -1) {
    callsBeforeFailure = failAfter;
    calls = 0;
    live.clear();
    setEngineAllocator(&allocate, &release);
  }
  static void uninstall() { setEngineAllocator(nullptr, nullptr); }
};
