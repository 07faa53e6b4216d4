// Reading a fasl bundle's header and directory. Every read is checked
// against the bundle's size before it is made, so no record is taken from
// outside the file and no offset wraps.

#include "runtime/load/fasl_bundle_format.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lisp::fasl::bundle {

namespace {

bool liesInside(uint64_t offset, uint64_t count, uint64_t size) {
  return offset <= size && count <= size - offset;
}

}  // namespace

DescriptorBundle::DescriptorBundle(int fd) : fd_(fd) {
  struct stat64 status {};
  if (fd >= 0 && fstat64(fd, &status) == 0 && status.st_size > 0)
    size_ = static_cast<uint64_t>(status.st_size);
}

bool DescriptorBundle::readAt(uint64_t offset, void* into, size_t count) {
  if (!liesInside(offset, count, size_)) return false;
  auto* bytes = static_cast<uint8_t*>(into);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = pread64(fd_, bytes + done, count - done, static_cast<off64_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool MemoryBundle::readAt(uint64_t offset, void* into, size_t count) {
  if (!liesInside(offset, count, bytes_.size())) return false;
  if (count != 0) std::memcpy(into, bytes_.data() + offset, count);
  return true;
}

bool directoryNameMatches(const char (&field)[kNameBytes], std::string_view name) {
  const void* zero = std::memchr(field, '\0', kNameBytes);
  if (zero == nullptr) return false;
  const size_t length = static_cast<size_t>(static_cast<const char*>(zero) - field);
  return length == name.size() && std::memcmp(field, name.data(), length) == 0;
}

std::optional<FoundEntry> findEntry(BundleBytes& bundle, std::string_view name,
                                    uint32_t minimumVersion) {
  BundleHeader header{};
  if (!bundle.readAt(0, &header, sizeof header) || header.magic != kMagic) return std::nullopt;
  const uint64_t size = bundle.size();
  for (uint32_t i = 0; i < header.entryCount; ++i) {
    DirectoryEntry entry{};
    const uint64_t at = uint64_t{header.directoryOffset} + uint64_t{i} * sizeof entry;
    if (!bundle.readAt(at, &entry, sizeof entry)) return std::nullopt;
    if (!directoryNameMatches(entry.name, name) || entry.version < minimumVersion) continue;
    if (entry.offset >= size) continue;
    return FoundEntry{entry.version, entry.offset};
  }
  return std::nullopt;
}

}  // namespace lisp::fasl::bundle
