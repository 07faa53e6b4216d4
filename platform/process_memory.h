// How much memory this process uses: its resident pages and its private
// committed bytes.
#pragma once

#include <cstdint>

namespace platform {

struct ProcessMemory {
  uint32_t workingSetBytes = 0;  // pages resident now
  uint32_t privateBytes = 0;     // committed memory of the process's own (data and stack)
};

// False (and zeros) when the figures cannot be read.
bool readProcessMemory(ProcessMemory& memory);

}  // namespace platform
