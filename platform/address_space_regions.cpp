#include "platform/address_space_regions.h"

#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace platform {

namespace {

constexpr uint64_t kAddressSpaceEnd = uint64_t{1} << 32;

struct Line {
  uint64_t start, end;
  char permissions[5];
  std::string file;
};

std::vector<Line> readMaps() {
  std::vector<Line> lines;
  FILE* maps = std::fopen("/proc/self/maps", "r");
  if (!maps) return lines;
  char* text = nullptr;
  size_t capacity = 0;
  while (getline(&text, &capacity, maps) != -1) {
    unsigned long long start = 0, end = 0;
    char permissions[5] = {};
    int consumed = 0;
    if (std::sscanf(text, "%llx-%llx %4s %*s %*s %*s%n", &start, &end, permissions, &consumed) < 3)
      continue;
    if (start >= kAddressSpaceEnd) continue;
    std::string file = consumed > 0 ? text + consumed : "";
    const size_t first = file.find_first_not_of(" \t");
    file = first == std::string::npos ? "" : file.substr(first);
    while (!file.empty() && (file.back() == '\n' || file.back() == ' ')) file.pop_back();
    Line line{start, end < kAddressSpaceEnd ? end : kAddressSpaceEnd, {}, file};
    std::memcpy(line.permissions, permissions, sizeof permissions);
    lines.push_back(line);
  }
  std::free(text);
  std::fclose(maps);
  return lines;
}

bool isFile(const std::string& name) {
  return !name.empty() && name[0] == '/';
}

struct Span {
  uint64_t start, end;
};

// The loaded segments of the program and its shared objects, as the dynamic
// loader lists them.
std::vector<Span> moduleSegments() {
  std::vector<Span> segments;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto& found = *static_cast<std::vector<Span>*>(data);
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& header = info->dlpi_phdr[i];
          if (header.p_type != PT_LOAD || header.p_memsz == 0) continue;
          const uint64_t start = uint64_t{info->dlpi_addr} + header.p_vaddr;
          found.push_back({start, start + header.p_memsz});
        }
        return 0;
      },
      &segments);
  return segments;
}

}  // namespace

std::vector<AddressRegion> addressSpaceRegions() {
  const std::vector<Line> lines = readMaps();
  if (lines.empty()) return {};
  // A file is an image when it is mapped executable or holds a loaded
  // module's segment. The second also finds modules whose code the map does
  // not mark executable: under the user-mode i386 emulator a module's code
  // and read-only data are one read-only mapping on the host (guest code
  // never runs directly), listed with the access of its first page.
  const std::vector<Span> segments = moduleSegments();
  const auto holdsASegment = [&](const Line& line) {
    for (const Span& segment : segments)
      if (segment.start < line.end && line.start < segment.end) return true;
    return false;
  };
  std::set<std::string> modules;
  for (const Line& line : lines)
    if (isFile(line.file) && (line.permissions[2] == 'x' || holdsASegment(line)))
      modules.insert(line.file);

  std::vector<AddressRegion> regions;
  uint64_t next = 0;
  const auto gapUpTo = [&](uint64_t start) {
    if (start > next)
      regions.push_back(
          {next, start, RegionState::Free, RegionKind::None, false, false, false, {}});
  };
  for (const Line& line : lines) {
    if (line.start < next) continue;  // overlapping lines: keep the first
    gapUpTo(line.start);
    AddressRegion region{line.start,
                         line.end,
                         RegionState::Committed,
                         RegionKind::Private,
                         line.permissions[0] == 'r',
                         line.permissions[1] == 'w',
                         line.permissions[2] == 'x',
                         {}};
    if (!region.read && !region.write && !region.execute) region.state = RegionState::Reserved;
    if (isFile(line.file)) {
      region.kind = modules.count(line.file) ? RegionKind::Image : RegionKind::Mapped;
      region.file = line.file;
    }
    regions.push_back(region);
    next = line.end;
  }
  gapUpTo(kAddressSpaceEnd);
  return regions;
}

}  // namespace platform
