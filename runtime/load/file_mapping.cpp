// File mapping for Lisp code.
//
// Invariant: every view handed out has exactly one record in the table until
// lisp_unmap_file removes it; a handle is only dereferenced after it was found
// in the table, so a stale or foreign handle is refused, never followed.

#include "runtime/load/file_mapping.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

#include "runtime/load/small_services.h"
#include "runtime/load/startup_messages.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/rs/exports.h"

namespace {

namespace text = startup::text;

constexpr int kWindowsFileHandleKind = 6;

struct MappingRecord {
  int fd;
  void* view;
  size_t length;
};

struct MappingTable {
  std::mutex lock;
  std::vector<MappingRecord*> records;
};

MappingTable& table() {
  static MappingTable instance;
  return instance;
}

struct ModeRow {
  int protection;
  bool writable;
};
// Modes 0, 1 and 2; every view is shared, so writes reach the file.
constexpr ModeRow kModes[] = {
    {PROT_READ, false},
    {PROT_READ | PROT_WRITE, true},
    {PROT_READ | PROT_WRITE, true},
};

MappingRecord* recordOfView(void* view) {
  for (MappingRecord* record : table().records)
    if (record->view == view) return record;
  return nullptr;
}

void* refuse(int error) {
  std::fprintf(stderr, text::kMapFileError, error);
  std::fflush(stderr);
  return nullptr;
}

}  // namespace

namespace startup {

// Decisions: modes outside 0 to 2 are refused like a mapping that cannot be
// made (EINVAL); size 0 maps from the offset to the end of the file; a view
// reaching past the end of the file fails (Linux would fault on touching it),
// and so does an offset that is not a multiple of the page size.
void* mapFileDescriptor(int fd, uint32_t size, int mode, void** mappingHandle, uint32_t offsetHigh,
                        uint32_t offsetLow) {
  if (mode < 0 || mode > 2) return refuse(EINVAL);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) return refuse(fd < 0 ? EBADF : errno);

  const int64_t offset = (static_cast<int64_t>(offsetHigh) << 32) | offsetLow;
  const int64_t fileSize = status.st_size;
  const int64_t length = size != 0 ? size : fileSize - offset;
  if (offset < 0 || length <= 0 || offset + length > fileSize) return nullptr;

  const ModeRow& row = kModes[mode];
  void* view = mmap64(nullptr, static_cast<size_t>(length), row.protection, MAP_SHARED, fd, offset);
  if (view == MAP_FAILED) return nullptr;

  auto* record = new MappingRecord{fd, view, static_cast<size_t>(length)};
  {
    std::lock_guard guard(table().lock);
    table().records.push_back(record);
  }
  if (mappingHandle) *mappingHandle = record;
  return view;
}

}  // namespace startup

extern "C" {

KORVANE_EXPORT void* lisp_map_file(uint32_t pseudofd, uint32_t size, int mode, void** mappingHandle,
                                   uint32_t offsetHigh, uint32_t offsetLow) {
  return startup::mapFileDescriptor(pseudofd_to_fd(pseudofd, kWindowsFileHandleKind), size, mode,
                                    mappingHandle, offsetHigh, offsetLow);
}

KORVANE_EXPORT int lisp_sync_mem(void* view) {
  int error = EINVAL;
  {
    std::lock_guard guard(table().lock);
    if (MappingRecord* record = recordOfView(view)) {
      if (msync(record->view, record->length, MS_SYNC) == 0) return 1;
      error = errno;
    }
  }
  std::fprintf(stderr, text::kSyncMemError, error);
  std::fflush(stderr);
  return 0;
}

KORVANE_EXPORT int lisp_unmap_file(void* view, uint32_t, void* mappingHandle) {
  std::lock_guard guard(table().lock);
  auto& records = table().records;
  MappingRecord* record = recordOfView(view);
  const bool handleWasLive =
      mappingHandle && std::find(records.begin(), records.end(), mappingHandle) != records.end();
  if (record && munmap(record->view, record->length) == 0) {
    std::erase(records, record);
    delete record;
  } else {
    std::fprintf(stderr, text::kUnmapFileError, record ? errno : EINVAL);
    std::fflush(stderr);
  }
  // On Linux a handle holds nothing beyond its record, so closing one that
  // names a mapping succeeds; its record goes with its view.
  return handleWasLive ? 1 : 0;
}

}  // extern "C"
