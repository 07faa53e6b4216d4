// The allocator behind every record and buffer of the logger. It is
// replaceable so that tests can make any one allocation fail.
#pragma once

#include <cstddef>

namespace sim {

struct LogAllocator {
  void* (*allocateZeroed)(std::size_t bytes);
  void* (*reallocate)(void* block, std::size_t bytes);
  void (*release)(void* block);
};

// Installs `allocator`; null restores the C library's calloc/realloc/free.
void setLogAllocator(const LogAllocator* allocator);

// Zero-filled block, or null when memory is short. A request of 0 bytes
// still gets a block, so null always means failure.
void* logAllocate(std::size_t bytes);
void* logReallocate(void* block, std::size_t bytes);
void logFree(void* block);

}  // namespace sim
