// Finding a place for a heap region on restore: its saved address when that
// is free, else the first probe that can be reserved.
//
// Invariant: a moved region never overlaps its saved range, so that words the
// reader has already moved are not moved again by the heap relocation.

#include "platform/memory.h"
#include "runtime/load/image_file.h"

namespace {

constexpr uint32_t kAlignment = kImageAlignment;
constexpr uint32_t kPageBytes = 0x1000;

uint64_t roundUp(uint64_t value) {
  return (value + kAlignment - 1) / kAlignment * kAlignment;
}

struct Range {
  uint64_t start;
  uint64_t end;
  bool overlaps(uint64_t otherStart, uint64_t otherEnd) const {
    return otherStart < end && start < otherEnd;
  }
};

// Reserves `bytes` at `address` (0: anywhere, then aligned up inside a block
// 64 KB longer); the aligned base, or 0. The probe is given back at once.
uint32_t probe(uint32_t address, uint64_t bytes, const Range& saved) {
  if (bytes == 0 || bytes > UINT32_MAX) return 0;
  if (address != 0) {
    if (uint64_t{address} + bytes > (uint64_t{1} << 32)) return 0;
    if (saved.overlaps(address, address + bytes)) return 0;
    const uintptr_t got = platform::reserveAddressSpace(address, bytes);
    if (got == 0) return 0;
    platform::releaseAddressSpace(got, bytes);
    return address;
  }
  const uintptr_t got = platform::reserveAddressSpace(0, bytes);
  if (got == 0) return 0;
  platform::releaseAddressSpace(got, bytes);
  const uint64_t base = roundUp(got);
  if (!saved.overlaps(base, base + bytes - kAlignment)) return static_cast<uint32_t>(base);
  // The system's choice overlaps the saved range: look above it instead.
  const uintptr_t above =
      platform::findFreeRange(static_cast<uintptr_t>(saved.end), bytes - kAlignment, kAlignment);
  return static_cast<uint32_t>(above);
}

}  // namespace

extern "C" {

// Free as the map shows it, and confirmed by a reservation given back at
// once: the map can leave a mapping out (the user-mode i386 emulator's omits
// inaccessible MAP_NORESERVE ones), the reservation cannot.
int ok_to_map(uint32_t start, uint32_t end) {
  if (end < start) return 0;
  if (end == start) return 1;
  if (platform::freeBytesAt(start) < end - start) return 0;
  const uint32_t first = start & ~(kPageBytes - 1);
  const uintptr_t held = platform::reserveAddressSpace(first, end - first);
  if (held == 0) return 0;
  platform::releaseAddressSpace(held, end - first);
  return 1;
}

int locate_free_space(heap_descriptor* descriptor, uint32_t* offset) {
  heap_descriptor& d = *descriptor;
  const Range saved{d.base, d.reserved_end > d.desired_end ? d.reserved_end : d.desired_end};
  d.reserved_end = d.desired_end;
  if (ok_to_map(d.base, d.committed_end)) {
    *offset = 0;
    return 1;
  }
  const uint64_t desiredBytes = uint64_t{d.desired_end} - d.base;
  const uint64_t committedBytes = uint64_t{d.committed_end} - d.base;
  uint32_t base = probe(static_cast<uint32_t>(roundUp(d.desired_end)), desiredBytes, saved);
  if (base == 0) base = probe(0, desiredBytes + kAlignment, saved);
  if (base == 0) base = probe(0, committedBytes + kAlignment, saved);
  if (base == 0) return 0;
  const uint32_t moved = base - d.base;
  d.base += moved;
  d.brk += moved;
  d.committed_end += moved;
  d.desired_end += moved;
  d.reserved_end += moved;
  *offset = moved;
  return 1;
}

}  // extern "C"
