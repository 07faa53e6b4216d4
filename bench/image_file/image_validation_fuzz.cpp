// libFuzzer target: any bytes as a heap image's header and area table,
// checked by the reader's validator against a file size taken from the input.
// What the validator accepts must be safe to place: every area inside the
// Lisp heap's committed part, ascending, inside the file, and the native heap
// contents inside the file. A violation traps.
//
// Input: 8 bytes of file size, then the header and the table (missing bytes
// are zeros). Run by hand, bounded:
//   mkdir -p corpus && build/bin/fuzz_image_validation -max_total_time=600 -max_len=2048 \
//     corpus bench/image_file/seeds
#include <cstdint>
#include <cstring>

#include "runtime/load/image_file.h"

namespace {

struct Image {
  image_header header;
  image_area_table table;
};

uint64_t roundUp(uint64_t value) {
  return (value + kImageAlignment - 1) / kImageAlignment * kImageAlignment;
}

void require(bool condition) {
  if (!condition) __builtin_trap();
}

void checkAccepted(const Image& image, uint64_t fileBytes) {
  const image_header& h = image.header;
  require(image.table.count <= kImageMaxAreas);
  const uint64_t heapEnd = roundUp(h.lisp_heap.brk);
  uint64_t previousEnd = h.lisp_heap.base;
  for (uint32_t i = 0; i < image.table.count; ++i) {
    const image_area_entry& e = image.table.entries[i];
    if (e.length == 0) continue;
    require(e.address >= previousEnd);
    require(uint64_t{e.address} + e.length <= heapEnd);
    require(uint64_t{e.file_offset} + e.length <= fileBytes);
    require(e.address % kImageAlignment == 0 && e.file_offset % kImageAlignment == 0);
    previousEnd = uint64_t{e.address} + e.length;
  }
  require(h.lisp_heap.base <= h.lisp_heap.brk && heapEnd <= h.lisp_heap.reserved_end);
  require(roundUp(h.vxmmalloc_heap.brk) <= h.vxmmalloc_heap.reserved_end);
  if (h.native_heap_offset != 0)
    require(h.native_heap_offset + roundUp(h.vxmmalloc_heap.brk - h.vxmmalloc_heap.base) <=
            fileBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint64_t fileBytes;
  std::memcpy(&fileBytes, data, 8);
  static Image image;
  std::memset(&image, 0, sizeof image);
  std::memcpy(&image, data + 8, size - 8 < sizeof image ? size - 8 : sizeof image);
  if (image_file::validateImage(image.header, nullptr, fileBytes) != nullptr) return 0;
  if (image_file::validateImage(image.header, &image.table, fileBytes) != nullptr) return 0;
  checkAccepted(image, fileBytes);
  return 0;
}
