#include "runtime/os/memory_status.h"

#include <cstdint>
#include <cstdio>

#include "platform/address_space_regions.h"
#include "runtime/os/console_printing.h"

namespace {

namespace text {
constexpr const char* kHeading = "Mappings from MEMORY_BASIC_INFORMATION struct in winnt.h:\n";
constexpr const char* kRegion = "%9x - %9x  %10d  ";
constexpr const char* kName = "%7s ";
constexpr const char* kLastName = "%7s";
constexpr const char* kNoName = " ";
constexpr const char* kModule = "  %s";
constexpr const char* kTotals = "\nCommitted:\n  image: %11d (0x%x)\n  other: %11d (0x%x)\n";
constexpr const char* kTotal = "  Total: %11d  (0x%x)\n";
}  // namespace text

struct Flag {
  uint32_t bit;
  const char* name;
};
// The bits and their names, in the report's order.
constexpr uint32_t kCommit = 0x1000, kFree = 0x10000, kReserve = 0x2000;
constexpr Flag kStates[] = {{kCommit, "commit"}, {kFree, "free"}, {kReserve, "reserve"}};
constexpr uint32_t kImage = 0x1000000, kMapped = 0x40000, kPrivate = 0x20000;
constexpr Flag kKinds[] = {{kImage, "image"}, {kMapped, "mapped"}, {kPrivate, "private"}};
constexpr uint32_t kNoAccess = 0x1, kRead = 0x2, kReadWrite = 0x4, kExecute = 0x10,
                   kReadExecute = 0x20, kAll = 0x40;
constexpr Flag kProtections[] = {{kRead, "r---"},      {kReadWrite, "rw--"},   {0x8, "rw-c"},
                                 {kExecute, "--x-"},   {kReadExecute, "r-x-"}, {kAll, "rwx-"},
                                 {0x80, "rwxc"},       {kNoAccess, "----"},    {0x100, " (guard)"},
                                 {0x200, " (nocache)"}};

uint32_t stateBits(const platform::AddressRegion& r) {
  switch (r.state) {
    case platform::RegionState::Free:
      return kFree;
    case platform::RegionState::Reserved:
      return kReserve;
    case platform::RegionState::Committed:
      return kCommit;
  }
  return 0;
}
uint32_t kindBits(const platform::AddressRegion& r) {
  switch (r.kind) {
    case platform::RegionKind::Image:
      return kImage;
    case platform::RegionKind::Mapped:
      return kMapped;
    case platform::RegionKind::Private:
      return kPrivate;
    case platform::RegionKind::None:
      return 0;
  }
  return 0;
}
// Free memory allows no access; reserved memory has no protection of its own.
uint32_t protectionBits(const platform::AddressRegion& r) {
  if (r.state == platform::RegionState::Free) return kNoAccess;
  if (r.state == platform::RegionState::Reserved) return 0;
  if (r.execute) return r.write ? kAll : r.read ? kReadExecute : kExecute;
  return r.write ? kReadWrite : r.read ? kRead : kNoAccess;
}

template <size_t N>
void printNames(FILE* out, const Flag (&flags)[N], uint32_t bits) {
  bool any = false;
  for (size_t i = 0; i < N; ++i)
    if (bits & flags[i].bit) {
      vxmfprintf(out, text::kName, flags[i].name);
      any = true;
    }
  if (!any) vxmfprintf(out, "%s", text::kNoName);
}

}  // namespace

extern "C" {

void memory_status_dump(const char* path) {
  FILE* file = path ? std::fopen(path, "w") : nullptr;
  FILE* out = file ? file : stdout;
  vxmfprintf(out, "%s", text::kHeading);
  uint64_t imageBytes = 0, otherBytes = 0;
  for (const platform::AddressRegion& r : platform::addressSpaceRegions()) {
    const uint64_t size = r.end - r.start;
    vxmfprintf(out, text::kRegion, static_cast<unsigned>(r.start), static_cast<unsigned>(r.end - 1),
               static_cast<int>(size));
    printNames(out, kStates, stateBits(r));
    printNames(out, kKinds, kindBits(r));
    // The last name of the line has no blank after it.
    const uint32_t protection = protectionBits(r);
    const Flag* lastSet = nullptr;
    for (const Flag& f : kProtections)
      if (protection & f.bit) lastSet = &f;
    for (const Flag& f : kProtections)
      if (protection & f.bit)
        vxmfprintf(out, &f == lastSet ? text::kLastName : text::kName, f.name);
    if (!lastSet) vxmfprintf(out, "%s", text::kNoName);
    if (r.kind == platform::RegionKind::Image) vxmfprintf(out, text::kModule, r.file.c_str());
    vxmfprintf(out, "\n");
    if (r.state == platform::RegionState::Committed)
      (r.kind == platform::RegionKind::Image ? imageBytes : otherBytes) += size;
  }
  vxmfprintf(out, text::kTotals, static_cast<int>(imageBytes), static_cast<unsigned>(imageBytes),
             static_cast<int>(otherBytes), static_cast<unsigned>(otherBytes));
  const uint64_t total = imageBytes + otherBytes;
  vxmfprintf(out, text::kTotal, static_cast<int>(total), static_cast<unsigned>(total));
  if (file)
    std::fclose(file);
  else
    std::fflush(stdout);
}

}  // extern "C"
