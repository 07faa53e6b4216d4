// File access of the image writer and reader: whole writes, 32-bit seeks and
// the checksum, with the test hook that makes writes fail.

#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "runtime/load/image_file.h"

extern "C" {
uint32_t lisp_heap_offset = 0;
uint32_t vxmmalloc_heap_offset = 0;
int disallow_mapping = 0;
}

namespace {

std::atomic<image_file::WriteFaultHook> g_writeFault{nullptr};

constexpr size_t kChecksumChunkBytes = 8192;

}  // namespace

namespace image_file {
void setWriteFaultHook(WriteFaultHook hook) {
  g_writeFault.store(hook);
}
}  // namespace image_file

extern "C" {

int write_all_bytes(int file, const void* buffer, uint32_t count) {
  const image_file::WriteFaultHook hook = g_writeFault.load();
  if (hook && hook(count)) return 0;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t written = write(file, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return 0;
    bytes += written;
    count -= static_cast<uint32_t>(written);
  }
  return 1;
}

// Decision: with SEEK_SET the distance is taken unsigned, so that every offset
// of a 32-bit image file can be reached; the other methods move by a signed
// distance.
int64_t VXM_SetFilePointer(int file, int32_t distance, int method) {
  const off64_t moved = method == SEEK_SET ? static_cast<off64_t>(static_cast<uint32_t>(distance))
                                           : static_cast<off64_t>(distance);
  const off64_t position = lseek64(file, moved, method);
  return position < 0 ? -1 : static_cast<int64_t>(position);
}

uint32_t calc_checksum(int file, int* readError) {
  uint8_t chunk[kChecksumChunkBytes];
  uint32_t sum = 0;
  *readError = 0;
  for (;;) {
    const ssize_t got = read(file, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *readError = 1;
      return sum;
    }
    if (got == 0) return sum;
    // Only the complete words of each chunk count.
    for (ssize_t i = 0; i + 4 <= got; i += 4)
      sum += uint32_t{chunk[i]} | uint32_t{chunk[i + 1]} << 8 | uint32_t{chunk[i + 2]} << 16 |
             uint32_t{chunk[i + 3]} << 24;
  }
}

}  // extern "C"
