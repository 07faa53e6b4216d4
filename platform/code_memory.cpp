#include "platform/code_memory.h"

#include <sys/mman.h>

namespace platform {

void* allocateCodeMemory(size_t bytes) {
  if (bytes == 0) return nullptr;
  void* memory =
      mmap(nullptr, bytes, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

void releaseCodeMemory(void* memory, size_t bytes) {
  if (memory) munmap(memory, bytes);
}

}  // namespace platform
