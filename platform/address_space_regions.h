// The process's address space as a list of regions from address 0 to the top
// of the 32-bit space: the mappings /proc/self/maps shows, and the free gaps
// between them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class RegionState { Free, Reserved, Committed };
enum class RegionKind { None, Image, Mapped, Private };

struct AddressRegion {
  uint64_t start;
  uint64_t end;  // one past the last byte
  RegionState state;
  RegionKind kind;
  bool read, write, execute;
  std::string file;  // the mapped file, or empty
};

// Regions in address order, covering [0, 2^32) without holes. A mapping
// without access is reserved; a file mapping is an image when its file is
// mapped executable somewhere or holds a loaded module, else mapped;
// anonymous memory is private.
// Empty when the map cannot be read.
std::vector<AddressRegion> addressSpaceRegions();

}  // namespace platform
