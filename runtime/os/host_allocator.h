// The platform runtime's allocator as the host-record services use it (the
// remote-command nodes, the splash copies). Tests replace it to count blocks
// or to make an allocation fail.
#pragma once

#include <cstddef>

namespace lisp::os {

struct HostAllocator {
  void* (*allocate)(size_t bytes);
  void (*release)(void* block);
};

// {nullptr, nullptr} puts malloc and free back.
void setHostAllocator(HostAllocator allocator);
void* hostAllocate(size_t bytes);
void hostRelease(void* block);

}  // namespace lisp::os
