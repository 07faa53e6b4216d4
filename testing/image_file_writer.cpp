#include "testing/image_file_writer.h"

#include <cstring>

namespace testing_support {
namespace {

constexpr uint32_t kBlockOffset = 0xC060;
constexpr uint32_t kTableOffset = 92;
constexpr uint32_t k64K = 0x10000;

void put(std::vector<uint8_t>& file, uint32_t offset, uint32_t value) {
  if (file.size() < offset + 4) file.resize(offset + 4);
  std::memcpy(&file[offset], &value, 4);
}

void putRegion(std::vector<uint8_t>& file, uint32_t offset, const ImageRegion& r) {
  const uint32_t words[] = {r.base, r.brk, r.committedEnd, r.desiredEnd, r.reservedEnd, 0};
  for (uint32_t i = 0; i < 6; ++i) put(file, offset + 4 * i, words[i]);
}

uint32_t roundUp(size_t value) {
  return static_cast<uint32_t>((value + k64K - 1) / k64K * k64K);
}

// Appends `bytes` at the next 64 KB boundary, padded to whole 64 KB; the offset.
uint32_t appendAligned(std::vector<uint8_t>& file, const std::vector<uint8_t>& bytes) {
  const uint32_t offset = roundUp(file.size());
  file.resize(offset);
  file.insert(file.end(), bytes.begin(), bytes.end());
  file.resize(offset + roundUp(bytes.size()));
  return offset;
}

}  // namespace

std::vector<uint8_t> buildImageFile(const ImageDescription& image) {
  std::vector<uint8_t> file(kBlockOffset, 0);
  file[0] = 0x84;  // magic
  file[1] = 37;    // version
  file[2] = 1;     // international character set
  put(file, 4, kBlockOffset);
  put(file, 20, image.checksum);
  putRegion(file, 24, image.lispHeap);
  putRegion(file, 48, image.nativeHeap);

  file.insert(file.end(), image.variables.begin(), image.variables.end());
  if (image.splash.size() == 2) {
    for (int i = 0; i < 2; ++i) {
      put(file, 76 + 4 * i, static_cast<uint32_t>(file.size()));
      put(file, 84 + 4 * i, static_cast<uint32_t>(image.splash[i].size()));
      file.insert(file.end(), image.splash[i].begin(), image.splash[i].end());
    }
  }

  put(file, kTableOffset, static_cast<uint32_t>(image.areas.size()));
  for (size_t i = 0; i < image.areas.size(); ++i) {
    const ImageArea& area = image.areas[i];
    const uint32_t entry = kTableOffset + 4 + 12 * static_cast<uint32_t>(i);
    put(file, entry, area.contents.empty() ? 0 : appendAligned(file, area.contents));
    put(file, entry + 4, area.address);
    put(file, entry + 8, roundUp(area.contents.size()));
  }
  if (!image.nativeContents.empty()) put(file, 72, appendAligned(file, image.nativeContents));
  return file;
}

}  // namespace testing_support
