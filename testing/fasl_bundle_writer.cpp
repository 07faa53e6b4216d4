// Fasl bundles for tests; see fasl_bundle_writer.h.

#include "testing/fasl_bundle_writer.h"

#include <algorithm>
#include <fstream>

namespace testing_support {

namespace {

constexpr uint8_t kMagic = 0xF1;
constexpr uint8_t kEndByte = 0x1C;
constexpr size_t kCountAt = 2;
constexpr size_t kDirectoryOffsetAt = 48;
constexpr size_t kVersionAt = 84;
constexpr size_t kOffsetAt = 88;

void put16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value);
  out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::vector<uint8_t> faslBundle(const std::vector<BundleFasl>& fasls,
                                const BundleCorruption& corruption) {
  const size_t directoryBytes = kBundleEntryBytes * fasls.size();
  std::vector<uint8_t> out(kBundleHeaderBytes + directoryBytes, 0);
  std::fill(out.begin(), out.begin() + kBundleHeaderBytes, kUnreadFill);
  out[0] = corruption.magic.value_or(kMagic);
  put16(out, kCountAt, corruption.entryCount.value_or(static_cast<uint16_t>(fasls.size())));
  put32(out, kDirectoryOffsetAt,
        corruption.directoryOffset.value_or(static_cast<uint32_t>(kBundleHeaderBytes)));

  for (size_t i = 0; i < fasls.size(); ++i) {
    const size_t entry = kBundleHeaderBytes + kBundleEntryBytes * i;
    const BundleFasl& fasl = fasls[i];
    if (corruption.unterminatedEntry == i) {
      for (size_t k = 0; k < kBundleNameBytes; ++k)
        out[entry + k] = static_cast<uint8_t>(k < fasl.name.size() ? fasl.name[k] : 'x');
    } else {
      const size_t n = std::min(fasl.name.size(), kBundleNameBytes - 1);
      std::copy_n(fasl.name.begin(), n, out.begin() + static_cast<std::ptrdiff_t>(entry));
    }
    put32(out, entry + kVersionAt, fasl.version);
    const uint32_t offset =
        corruption.entryWithOffset == i ? corruption.offset : static_cast<uint32_t>(out.size());
    put32(out, entry + kOffsetAt, offset);
    out.insert(out.end(), fasl.bytes.begin(), fasl.bytes.end());
    out.push_back(kEndByte);
  }
  if (corruption.truncateTo && *corruption.truncateTo < out.size())
    out.resize(*corruption.truncateTo);
  return out;
}

bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

}  // namespace testing_support
