#include "sim/logging/log_memory.h"

#include <cstdlib>

namespace sim {

namespace {

void* callocBytes(std::size_t bytes) {
  return std::calloc(1, bytes);
}

constexpr LogAllocator kLibraryAllocator = {callocBytes, std::realloc, std::free};

const LogAllocator* currentAllocator = &kLibraryAllocator;

}  // namespace

void setLogAllocator(const LogAllocator* allocator) {
  currentAllocator = allocator != nullptr ? allocator : &kLibraryAllocator;
}

void* logAllocate(std::size_t bytes) {
  return currentAllocator->allocateZeroed(bytes == 0 ? 1 : bytes);
}

void* logReallocate(void* block, std::size_t bytes) {
  return currentAllocator->reallocate(block, bytes == 0 ? 1 : bytes);
}

void logFree(void* block) {
  if (block != nullptr) currentAllocator->release(block);
}

}  // namespace sim
