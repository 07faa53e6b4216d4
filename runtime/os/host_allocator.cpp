#include "runtime/os/host_allocator.h"

#include <atomic>
#include <cstdlib>

namespace lisp::os {
namespace {

std::atomic<HostAllocator> current{HostAllocator{std::malloc, std::free}};

}  // namespace

void setHostAllocator(HostAllocator allocator) {
  current = allocator.allocate && allocator.release ? allocator : HostAllocator{std::malloc, std::free};
}

void* hostAllocate(size_t bytes) {
  return current.load().allocate(bytes);
}

void hostRelease(void* block) {
  if (block) current.load().release(block);
}

}  // namespace lisp::os
