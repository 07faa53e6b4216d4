// The fasl bundle file: a 92-byte header, a directory of 92-byte entries and
// the entries' fasl bytes, each followed by the end byte. All numbers are
// little-endian. The reader here finds an entry and never reads outside the
// file: a header, directory or entry that does not lie whole inside the
// bundle reads as absent.
//
// Plain C++ over a byte source: no Lisp objects, so the fuzzer builds it
// alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace lisp::fasl::bundle {

inline constexpr uint8_t kMagic = 0xF1;
inline constexpr size_t kNameBytes = 84;

// ---- records ----

struct BundleHeader {
  uint8_t magic;
  uint8_t notRead1;
  uint16_t entryCount;
  uint8_t notRead4[44];
  uint32_t directoryOffset;
  uint8_t notRead52[40];
};
static_assert(sizeof(BundleHeader) == 92);
static_assert(offsetof(BundleHeader, magic) == 0);
static_assert(offsetof(BundleHeader, entryCount) == 2);
static_assert(offsetof(BundleHeader, directoryOffset) == 48);

struct DirectoryEntry {
  char name[kNameBytes];  // canonical relative name, zero-terminated within the field
  uint32_t version;       // the timestamp word of the stored fasl
  uint32_t offset;        // where the entry's fasl bytes begin
};
static_assert(sizeof(DirectoryEntry) == 92);
static_assert(offsetof(DirectoryEntry, name) == 0);
static_assert(offsetof(DirectoryEntry, version) == 84);
static_assert(offsetof(DirectoryEntry, offset) == 88);

// ---- byte sources ----

class BundleBytes {
 public:
  virtual ~BundleBytes() = default;
  // The bytes at `offset`; false unless all `count` of them were read.
  virtual bool readAt(uint64_t offset, void* into, size_t count) = 0;
  virtual uint64_t size() const = 0;
};

// An open file descriptor (left open; the position is not used).
class DescriptorBundle final : public BundleBytes {
 public:
  explicit DescriptorBundle(int fd);
  bool readAt(uint64_t offset, void* into, size_t count) override;
  uint64_t size() const override { return size_; }

 private:
  int fd_;
  uint64_t size_ = 0;  // 0 when the descriptor cannot be measured
};

class MemoryBundle final : public BundleBytes {
 public:
  explicit MemoryBundle(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool readAt(uint64_t offset, void* into, size_t count) override;
  uint64_t size() const override { return bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
};

// ---- lookup ----

struct FoundEntry {
  uint32_t version;
  uint32_t offset;  // inside the bundle: at least one byte of the entry can be read
};

// True when the field holds exactly `name` followed by a zero. The field is
// never read past its 84 bytes: a field without a zero matches nothing.
bool directoryNameMatches(const char (&field)[kNameBytes], std::string_view name);

// The first directory entry, in directory order, whose name is `name` and
// whose version is at least `minimumVersion`. Absent when the header is short
// or its magic byte wrong, or no entry qualifies; the search stops at the
// first entry that cannot be read whole. Decision: an entry whose offset lies
// at or past the bundle's end does not qualify (it holds no fasl), so the
// search goes on past it.
std::optional<FoundEntry> findEntry(BundleBytes& bundle, std::string_view name,
                                    uint32_t minimumVersion);

}  // namespace lisp::fasl::bundle
