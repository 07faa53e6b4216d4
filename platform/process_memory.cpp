// Process memory figures from /proc/self/status: the resident set (VmRSS)
// is the working set; the data and stack segments (VmData + VmStk), the
// memory committed for the process alone, stand for the page-file usage.

#include "platform/process_memory.h"

#include <cstdio>
#include <cstring>

namespace platform {

namespace {

constexpr char kStatusFile[] = "/proc/self/status";
constexpr uint64_t kKilobyte = 1024;

struct StatusField {
  const char* name;  // with its colon
  uint64_t kilobytes = 0;
  bool found = false;
};

uint32_t clampedBytes(uint64_t kilobytes) {
  const uint64_t bytes = kilobytes * kKilobyte;
  return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

}  // namespace

bool readProcessMemory(ProcessMemory& memory) {
  memory = {};
  FILE* file = std::fopen(kStatusFile, "r");
  if (!file) return false;
  StatusField fields[] = {{"VmRSS:"}, {"VmData:"}, {"VmStk:"}};
  char line[256];
  while (std::fgets(line, sizeof line, file)) {
    for (StatusField& field : fields) {
      const size_t length = std::strlen(field.name);
      unsigned long long kilobytes = 0;
      if (std::strncmp(line, field.name, length) == 0 &&
          std::sscanf(line + length, "%llu", &kilobytes) == 1) {
        field.kilobytes = kilobytes;
        field.found = true;
      }
    }
  }
  std::fclose(file);
  for (const StatusField& field : fields)
    if (!field.found) return false;
  memory.workingSetBytes = clampedBytes(fields[0].kilobytes);
  memory.privateBytes = clampedBytes(fields[1].kilobytes + fields[2].kilobytes);
  return true;
}

}  // namespace platform
