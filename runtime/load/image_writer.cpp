// Writing a heap image: the areas of the Lisp heap, the native heap, the
// native variables and the launcher's splash pictures.
//
// Invariant: the image appears under its name only when it is written whole.
// Everything goes to a new temporary file in the same directory, which is
// synced and then renamed over the name; any failure removes the temporary
// and leaves an earlier image of that name as it was (it may be the very file
// this process was restored from and still maps).

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/load/image_file.h"
#include "runtime/load/image_messages.h"
#include "runtime/load/native_variables.h"
#include "runtime/os/host_record_services.h"

namespace {

namespace text = image_file::text;

// Host record words of the two splash blocks: buffer and length.
constexpr int kSplashBufferWord[2] = {18, 23};
constexpr int kSplashLengthWord[2] = {19, 24};
constexpr uint32_t kMergeLimit = 0x7FFFFFFF;

uint32_t roundDown(uint32_t value) {
  return value & ~(kImageAlignment - 1);
}
uint64_t roundUp(uint64_t value) {
  return (value + kImageAlignment - 1) / kImageAlignment * kImageAlignment;
}

// What the area walk collects: the first 4096 areas, and how many there were.
struct AreaCollection {
  image_area_table* table;
  uint32_t seen;
};

int collectArea(void* data, uint32_t start, uint32_t end) {
  auto& collection = *static_cast<AreaCollection*>(data);
  if (collection.seen < kImageMaxAreas)
    collection.table->entries[collection.seen] = {0, start, end - start};
  ++collection.seen;
  return 0;
}

// Each area grows outward to whole 64 KB blocks; an area that touches or
// overlaps the current one joins it and keeps its address with length 0.
void roundAndMerge(image_area_table& table) {
  for (uint32_t i = 0; i < table.count; ++i) {
    image_area_entry& e = table.entries[i];
    const uint32_t start = roundDown(e.address);
    const uint64_t end = roundUp(uint64_t{e.address} + e.length);
    e.address = start;
    e.length = static_cast<uint32_t>(end - start);
  }
  if (table.count == 0) return;
  image_area_entry* current = &table.entries[0];
  for (uint32_t i = 1; i < table.count; ++i) {
    image_area_entry& e = table.entries[i];
    const int64_t overlap = int64_t{current->address} + current->length - e.address;
    const int64_t merged = int64_t{current->length} + e.length - overlap;
    if (overlap >= 0 && merged < kMergeLimit) {
      current->length = static_cast<uint32_t>(merged);
      e.length = 0;
    } else {
      current = &e;
    }
  }
}

// Moves the file position up to the next multiple of 64 KB; the position, or -1.
int64_t alignPosition(int file) {
  const int64_t here = VXM_SetFilePointer(file, 0, SEEK_CUR);
  if (here < 0) return -1;
  const uint64_t next = roundUp(static_cast<uint64_t>(here));
  if (next > UINT32_MAX) return -1;
  return VXM_SetFilePointer(file, static_cast<int32_t>(next), SEEK_SET);
}

const void* atAddress(uint32_t address) {
  return reinterpret_cast<const void*>(static_cast<uintptr_t>(address));
}

// Writes the splash blocks of the host record; false on a failed write.
bool writeSplash(int file, image_header& header) {
  if (!redir || redir[kSplashLengthWord[0]] < 1) return true;
  for (int i = 0; i < 2; ++i) {
    const int64_t position = VXM_SetFilePointer(file, 0, SEEK_CUR);
    if (position < 0 || position > UINT32_MAX) return false;
    const uint32_t length = redir[kSplashLengthWord[i]];
    const uint32_t buffer = redir[kSplashBufferWord[i]];
    if (length > 0 && (buffer == 0 || !write_all_bytes(file, atAddress(buffer), length)))
      return false;
    header.splash_offset[i] = static_cast<uint32_t>(position);
    header.splash_length[i] = length;
  }
  return true;
}

// Writes everything after the area collection; one of the save results.
int writeImage(int file, image_area_table& table) {
  // Decision: the granularity the image format assumes is 64 KB; on Linux
  // the page size stands for the allocation granularity and is below it.
  const long granularity = sysconf(_SC_PAGESIZE);
  if (granularity > static_cast<long>(kImageAlignment)) {
    std::printf(text::kGranularity, static_cast<int>(kImageAlignment),
                static_cast<int>(granularity));
    std::fflush(stdout);
    return kSaveTooManyAreas;
  }

  image_header header{};
  header.magic = kImageMagic;
  header.version = kImageVersion;
  header.flags = kImageInternationalFlag;
  header.variables_offset = kImageVariablesOffset;
  header.lisp_heap = lisp_heap;
  header.vxmmalloc_heap = vxmmalloc_heap;

  if (VXM_SetFilePointer(file, static_cast<int32_t>(kImageVariablesOffset), SEEK_SET) < 0)
    return kSaveWriteFailed;
  marsh_context context{};
  context.file = file;
  context.saving = 1;
  marshall_c_data(&context);

  if (!writeSplash(file, header)) return kSaveWriteFailed;
  if (context.error) return kSaveWriteFailed;

  roundAndMerge(table);
  for (uint32_t i = 0; i < table.count; ++i) {
    image_area_entry& e = table.entries[i];
    if (e.length == 0) continue;
    const int64_t position = alignPosition(file);
    if (position < 0) return kSaveWriteFailed;
    e.file_offset = static_cast<uint32_t>(position);
    if (!write_all_bytes(file, atAddress(e.address), e.length)) return kSaveWriteFailed;
  }

  if (vxmmalloc_heap.brk > vxmmalloc_heap.base) {
    const int64_t position = alignPosition(file);
    if (position < 0) return kSaveWriteFailed;
    header.native_heap_offset = static_cast<uint32_t>(position);
    const uint64_t bytes = roundUp(uint64_t{vxmmalloc_heap.brk} - vxmmalloc_heap.base);
    if (!write_all_bytes(file, atAddress(vxmmalloc_heap.base), static_cast<uint32_t>(bytes)))
      return kSaveWriteFailed;
  }

  header.checksum = 0;
  if (VXM_SetFilePointer(file, 0, SEEK_SET) != 0) return kSaveWriteFailed;
  if (!write_all_bytes(file, &header, sizeof header)) return kSaveWriteFailed;
  if (!write_all_bytes(file, &table, sizeof table)) return kSaveWriteFailed;
  return kSaveOk;
}

// `name` with `suffix` added to its last component, which is cut short
// first where it would pass the file system's limit for one component: the
// temporary fits wherever the name does. A component already past the limit
// is kept whole, so that the temporary cannot be made either and the name
// is refused before any image is written.
std::string temporaryName(const std::string& name, const std::string& suffix) {
  const size_t slash = name.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  const size_t component = name.size() - base;
  if (component > NAME_MAX) return name + suffix;
  const size_t kept = std::min(component, size_t{NAME_MAX} - suffix.size());
  return name.substr(0, base + kept) + suffix;
}

// A new file beside `name`, created exclusively; -1 when none can be made.
int createTemporary(const std::string& name, std::string& temporary) {
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = temporaryName(
        name, "." + std::to_string(getpid()) + "." + std::to_string(serial++) + ".tmp");
    const int file = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file >= 0 || errno != EEXIST) return file;
  }
  return -1;
}

void terminateChain(uint32_t tail) {
  if (tail != 0) *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(tail)) = 0;
}

}  // namespace

extern "C" {

int save_image_file(const char* name, uint32_t) {
  terminateChain(GsCVC_tail);
  terminateChain(GsSVC_tail);

  auto table = std::make_unique<image_area_table>();
  AreaCollection collection{table.get(), 0};
  gsgcd_walk_areas_save_image(collectArea, &collection);
  if (collection.seen > kImageMaxAreas) return kSaveTooManyAreas;
  table->count = collection.seen;

  if (!name) return kSaveCannotCreate;
  std::string temporary;
  const int file = createTemporary(name, temporary);
  if (file < 0) return kSaveCannotCreate;

  int result = writeImage(file, *table);
  if (result == kSaveOk && fsync(file) != 0) result = kSaveWriteFailed;
  if (close(file) != 0 && result == kSaveOk) result = kSaveWriteFailed;
  if (result == kSaveOk && rename(temporary.c_str(), name) != 0) result = kSaveWriteFailed;
  if (result != kSaveOk) unlink(temporary.c_str());
  return result;
}

}  // extern "C"
