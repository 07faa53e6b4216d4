// Checking an image's header and area table before anything of it is used.
//
// Invariant: what passes here can be placed without any address, length or
// file offset wrapping, and every byte the reader maps or reads lies inside
// the file.

#include "runtime/load/image_file.h"
#include "runtime/load/image_messages.h"

namespace image_file {
namespace {

bool aligned(uint64_t value) {
  return value % kImageAlignment == 0;
}

uint64_t roundUp(uint64_t value) {
  return (value + kImageAlignment - 1) / kImageAlignment * kImageAlignment;
}

// base <= brk <= committed end <= actual end, desired end >= base, every
// bound 64 KB-aligned but the break, and a region that does not start at 0
// or end past the address space (an end of 0 would be a wrapped one).
bool soundDescriptor(const heap_descriptor& d) {
  return d.base != 0 && d.base <= d.brk && d.brk <= d.committed_end &&
         d.committed_end <= d.reserved_end && d.desired_end >= d.base && aligned(d.base) &&
         aligned(d.committed_end) && aligned(d.desired_end) && aligned(d.reserved_end);
}

// The committed end the reader works with: the break rounded up.
uint64_t committedEnd(const heap_descriptor& d) {
  return roundUp(d.brk);
}

uint64_t nativeHeapBytes(const image_header& header) {
  return roundUp(uint64_t{header.vxmmalloc_heap.brk} - header.vxmmalloc_heap.base);
}

bool soundHeader(const image_header& h) {
  if (h.variables_offset != kImageVariablesOffset) return false;
  if (!soundDescriptor(h.lisp_heap) || !soundDescriptor(h.vxmmalloc_heap)) return false;
  const bool nativeEmpty = h.vxmmalloc_heap.brk == h.vxmmalloc_heap.base;
  if (nativeEmpty != (h.native_heap_offset == 0)) return false;
  if (!nativeEmpty && (!aligned(h.native_heap_offset) || h.native_heap_offset < kImageAlignment))
    return false;
  // Splash blocks lie after the native-variable block, or there are none.
  const bool noSplash = h.splash_offset[0] == 0;
  for (int i = 0; i < 2; ++i) {
    if (noSplash) {
      if (h.splash_offset[i] != 0 || h.splash_length[i] != 0) return false;
    } else if (h.splash_offset[i] < kImageVariablesOffset) {
      return false;
    }
  }
  return true;
}

// Non-empty entries: 64 KB-aligned in address, length and file offset, in
// ascending address order without overlap, inside the Lisp heap's committed
// part, with contents after the native-variable block.
bool soundTable(const image_header& header, const image_area_table& table) {
  if (table.count > kImageMaxAreas) return false;
  const uint64_t heapBase = header.lisp_heap.base;
  const uint64_t heapEnd = committedEnd(header.lisp_heap);
  uint64_t previousEnd = heapBase;
  for (uint32_t i = 0; i < table.count; ++i) {
    const image_area_entry& e = table.entries[i];
    if (e.length == 0) continue;
    const uint64_t end = uint64_t{e.address} + e.length;
    if (!aligned(e.address) || !aligned(e.length) || !aligned(e.file_offset)) return false;
    if (e.file_offset < kImageAlignment) return false;
    if (e.address < previousEnd || end > heapEnd) return false;
    previousEnd = end;
  }
  return true;
}

bool inside(uint64_t offset, uint64_t length, uint64_t fileBytes) {
  return offset + length <= fileBytes;
}

bool wholeFile(const image_header& header, const image_area_table& table, uint64_t fileBytes) {
  for (uint32_t i = 0; i < table.count; ++i) {
    const image_area_entry& e = table.entries[i];
    if (e.length != 0 && !inside(e.file_offset, e.length, fileBytes)) return false;
  }
  if (header.native_heap_offset != 0 &&
      !inside(header.native_heap_offset, nativeHeapBytes(header), fileBytes))
    return false;
  if (header.splash_offset[0] != 0)
    for (int i = 0; i < 2; ++i)
      if (!inside(header.splash_offset[i], header.splash_length[i], fileBytes)) return false;
  return true;
}

}  // namespace

const char* validateImage(const image_header& header, const image_area_table* table,
                          uint64_t fileBytes) {
  if (!soundHeader(header)) return text::kHeaderCorrupted;
  if (!table) return nullptr;
  if (!soundTable(header, *table)) return text::kHeaderCorrupted;
  if (!wholeFile(header, *table, fileBytes)) return text::kTruncated;
  return nullptr;
}

}  // namespace image_file
