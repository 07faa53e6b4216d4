// Memory that may hold machine code: readable, writable and executable.
#pragma once

#include <cstddef>

namespace platform {

// Returns page-aligned, zero-filled memory of at least `bytes`, or nullptr.
void* allocateCodeMemory(size_t bytes);
// Gives back memory from allocateCodeMemory with the same size.
void releaseCodeMemory(void* memory, size_t bytes);

}  // namespace platform
