// A writer of fasl bundles for tests, written from the bundle format's
// description alone (it shares no code or header with the runtime's reader).
//
// Layout written: the 92-byte header, the directory right after it (one
// 92-byte entry per fasl, in the order given), then each entry's fasl bytes
// followed by the end byte 0x1C. Header bytes the reader does not look at
// are filled with kUnreadFill, so a reader that depended on them would show.
// A corruption makes one kind of bad bundle for the refusal tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct BundleFasl {
  std::string name;  // the directory's name text, written as given
  uint32_t version;
  std::vector<uint8_t> bytes;  // the fasl file, without the end byte
};

struct BundleCorruption {
  std::optional<uint8_t> magic;             // in place of 0xF1
  std::optional<uint16_t> entryCount;       // in place of the number of fasls
  std::optional<uint32_t> directoryOffset;  // in place of 92
  std::optional<size_t> unterminatedEntry;  // that entry's name fills all 84 bytes, no zero
  std::optional<size_t> entryWithOffset;    // that entry's offset becomes `offset`
  uint32_t offset = 0;
  std::optional<size_t> truncateTo;  // the file ends after this many bytes
};

inline constexpr uint8_t kUnreadFill = 0xA5;
inline constexpr size_t kBundleHeaderBytes = 92;
inline constexpr size_t kBundleEntryBytes = 92;
inline constexpr size_t kBundleNameBytes = 84;

std::vector<uint8_t> faslBundle(const std::vector<BundleFasl>& fasls,
                                const BundleCorruption& corruption = {});

// Writes the bytes to the path, replacing any file there; false on failure.
bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace testing_support
