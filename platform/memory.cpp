#include "platform/memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace platform {
namespace {

std::atomic<MemoryFaultHook> g_faultHook{nullptr};

bool injectedFault(MemoryOperation operation, uintptr_t address, size_t bytes) {
  const MemoryFaultHook hook = g_faultHook.load();
  return hook && hook(operation, address, bytes);
}

// Top of the 32-bit address space, one past the last byte.
constexpr uint64_t kAddressSpaceEnd = uint64_t{1} << 32;

struct Mapping {
  uint64_t start;
  uint64_t end;
};

// The process's mappings in address order. Lines are read whole: a file name
// may be up to a path's length.
std::vector<Mapping> currentMappings() {
  std::vector<Mapping> mappings;
  FILE* maps = std::fopen("/proc/self/maps", "r");
  if (!maps) return mappings;
  char* line = nullptr;
  size_t capacity = 0;
  unsigned long long start, end;
  while (getline(&line, &capacity, maps) != -1)
    if (std::sscanf(line, "%llx-%llx", &start, &end) == 2) mappings.push_back({start, end});
  std::free(line);
  std::fclose(maps);
  return mappings;
}

}  // namespace

void setMemoryFaultHook(MemoryFaultHook hook) {
  g_faultHook.store(hook);
}

uintptr_t reserveAddressSpace(uintptr_t wanted, size_t bytes) {
  if (bytes == 0 || injectedFault(MemoryOperation::Reserve, wanted, bytes)) return 0;
  if (wanted != 0 && uint64_t{wanted} + bytes > kAddressSpaceEnd) return 0;
  // No MAP_NORESERVE: Linux charges a private mapping against the commit
  // limit only while it is writable, so an inaccessible reservation costs
  // nothing either way, and committing a part of it is then charged the way
  // committing should be. The flag would also hide the reservation under the
  // user-mode i386 emulator: it holds the whole guest address space as one
  // MAP_NORESERVE mapping of its own, the host merges a guest's inaccessible
  // MAP_NORESERVE mapping into it, and the emulated /proc/self/maps leaves out
  // every host mapping that is not wholly the guest's.
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (wanted != 0 ? MAP_FIXED_NOREPLACE : 0);
  void* result = mmap(reinterpret_cast<void*>(wanted), bytes, PROT_NONE, flags, -1, 0);
  if (result == MAP_FAILED) return 0;
  const auto address = reinterpret_cast<uintptr_t>(result);
  if (wanted != 0 && address != wanted) {  // a kernel that ignores the no-replace flag
    munmap(result, bytes);
    return 0;
  }
  return address;
}

bool commitMemory(uintptr_t address, size_t bytes) {
  if (injectedFault(MemoryOperation::Commit, address, bytes)) return false;
  return mprotect(reinterpret_cast<void*>(address), bytes, PROT_READ | PROT_WRITE | PROT_EXEC) == 0;
}

bool decommitMemory(uintptr_t address, size_t bytes) {
  if (injectedFault(MemoryOperation::Decommit, address, bytes)) return false;
  void* memory = reinterpret_cast<void*>(address);
  return madvise(memory, bytes, MADV_DONTNEED) == 0 && mprotect(memory, bytes, PROT_NONE) == 0;
}

bool releaseAddressSpace(uintptr_t address, size_t bytes) {
  if (injectedFault(MemoryOperation::Release, address, bytes)) return false;
  return munmap(reinterpret_cast<void*>(address), bytes) == 0;
}

bool mapFileAt(uintptr_t address, size_t bytes, int fd, uint64_t fileOffset) {
  if (bytes == 0 || injectedFault(MemoryOperation::MapFile, address, bytes)) return false;
  const uint64_t pageMask = static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) - 1;
  if ((address & pageMask) != 0 || (fileOffset & pageMask) != 0) return false;
  if (uint64_t{address} + bytes > kAddressSpaceEnd) return false;
  struct stat64 status {};
  if (fstat64(fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  if (fileOffset + bytes > static_cast<uint64_t>(status.st_size)) return false;
  void* result = mmap64(reinterpret_cast<void*>(address), bytes, PROT_READ | PROT_WRITE | PROT_EXEC,
                        MAP_PRIVATE | MAP_FIXED, fd, static_cast<off64_t>(fileOffset));
  return result == reinterpret_cast<void*>(address);
}

size_t freeBytesAt(uintptr_t address) {
  uint64_t nextStart = kAddressSpaceEnd;
  for (const Mapping& mapping : currentMappings()) {
    if (mapping.start <= address && address < mapping.end) return 0;
    if (mapping.start > address && mapping.start < nextStart) nextStart = mapping.start;
  }
  const uint64_t free = nextStart - address;
  return free > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(free);
}

uintptr_t findFreeRange(uintptr_t lowest, size_t bytes, size_t alignment) {
  const uint64_t mask = alignment - 1;
  uint64_t candidate = (uint64_t{lowest} + mask) & ~mask;
  for (const Mapping& mapping : currentMappings()) {
    if (mapping.end <= candidate) continue;
    if (mapping.start >= candidate + bytes) break;
    candidate = (mapping.end + mask) & ~mask;
  }
  if (candidate == 0 || candidate + bytes > kAddressSpaceEnd) return 0;
  return static_cast<uintptr_t>(candidate);
}

namespace {

constexpr size_t kCopyPiece = 4096;  // a pipe always holds a piece whole

// One pipe for every checked copy, made before a copy needs it, so that
// copies work also when the process has no descriptor left. Copies take
// turns; a failed one empties it again.
struct CopyPipe {
  std::mutex lock;
  int ends[2] = {-1, -1};
  bool open() { return ends[0] >= 0 || pipe2(ends, O_CLOEXEC) == 0; }
};

CopyPipe& copyPipe() {
  static CopyPipe pipe;
  return pipe;
}

void drain(int end, size_t count) {
  char scratch[kCopyPiece];
  while (count > 0) {
    const ssize_t got = read(end, scratch, std::min(count, sizeof scratch));
    if (got <= 0) return;
    count -= static_cast<size_t>(got);
  }
}

}  // namespace

bool prepareCheckedCopies() {
  const int savedErrno = errno;
  CopyPipe& pipe = copyPipe();
  const std::lock_guard hold(pipe.lock);
  const bool ready = pipe.open();
  errno = savedErrno;
  return ready;
}

bool copyChecked(void* into, const void* from, size_t count) {
  if (count == 0) return true;
  const int savedErrno = errno;
  CopyPipe& pipe = copyPipe();
  const std::lock_guard hold(pipe.lock);
  bool whole = pipe.open();
  for (size_t done = 0; whole && done < count; done += kCopyPiece) {
    const size_t piece = std::min(count - done, kCopyPiece);
    const ssize_t written = write(pipe.ends[1], static_cast<const char*>(from) + done, piece);
    const ssize_t got = written > 0 ? read(pipe.ends[0], static_cast<char*>(into) + done,
                                           static_cast<size_t>(written))
                                    : 0;
    whole = written == static_cast<ssize_t>(piece) && got == written;
    if (!whole)
      drain(pipe.ends[0],
            static_cast<size_t>(std::max<ssize_t>(written, 0) - std::max<ssize_t>(got, 0)));
  }
  errno = savedErrno;
  return whole;
}

}  // namespace platform
