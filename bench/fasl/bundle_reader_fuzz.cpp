// libFuzzer target over the bundle reader: any bytes taken as a bundle, read
// from memory and through a file descriptor, searched for a few names with
// a few minimum versions. AddressSanitizer catches a read outside the input;
// the checks below catch an answer that names bytes outside the bundle or
// that differs between the two sources.
//
// Run by hand, bounded:
//   build/bin/fuzz_bundle_reader -max_total_time=60 -max_len=2048

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>

#include "runtime/load/fasl_bundle_format.h"

namespace {

namespace bundle = lisp::fasl::bundle;

constexpr const char* kNames[] = {"sys/startup.fasl", "a", "", "sys/x.fasl"};
constexpr uint32_t kMinimumVersions[] = {0, 1, 0x7FFFFFFF, 0xFFFFFFFF};

// A descriptor holding the bytes, reused across inputs; -1 when it cannot be had.
int descriptorWith(std::span<const uint8_t> bytes) {
  static const int fd = memfd_create("bundle", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0) return -1;
  if (!bytes.empty() &&
      pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
    return -1;
  return fd;
}

bool sameAnswer(const std::optional<bundle::FoundEntry>& a,
                const std::optional<bundle::FoundEntry>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->version == b->version && a->offset == b->offset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  bundle::MemoryBundle memory(bytes);
  const int fd = descriptorWith(bytes);
  for (const char* name : kNames) {
    for (uint32_t minimum : kMinimumVersions) {
      const std::optional<bundle::FoundEntry> found = bundle::findEntry(memory, name, minimum);
      if (found && (found->offset >= size || found->version < minimum)) std::abort();
      if (fd >= 0) {
        bundle::DescriptorBundle file(fd);
        if (!sameAnswer(found, bundle::findEntry(file, name, minimum))) std::abort();
      }
    }
  }
  return 0;
}
