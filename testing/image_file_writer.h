// Heap image files for tests, laid out from the image format's description
// alone (it never includes the runtime's image headers): a 92-byte header,
// the area table at 92 (count and 4096 entries), the native-variable block at
// 0xC060, the splash blocks behind it, then each area and the native heap
// contents on the next 64 KB boundary of the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A reserved region as the image records it.
struct ImageRegion {
  uint32_t base = 0;
  uint32_t brk = 0;
  uint32_t committedEnd = 0;
  uint32_t desiredEnd = 0;
  uint32_t reservedEnd = 0;
};

struct ImageArea {
  uint32_t address = 0;
  std::vector<uint8_t> contents;  // padded with zeros to a multiple of 64 KB
};

struct ImageDescription {
  ImageRegion lispHeap;
  ImageRegion nativeHeap;
  std::vector<ImageArea> areas;         // in table order
  std::vector<uint8_t> nativeContents;  // from the native heap's base; padded to 64 KB
  std::vector<uint8_t> variables;       // the native-variable block, as it is
  std::vector<std::string> splash;      // none, or the first and the second block
  uint32_t checksum = 0;
};

std::vector<uint8_t> buildImageFile(const ImageDescription& image);

}  // namespace testing_support
