// Restoring a heap image: both heaps back at their saved addresses (the Lisp
// heap moved when its place is taken), the native variables, the pure Lisp
// library, then lisp_main_reborn.
//
// Invariant: nothing of the header or area table is used before it has been
// checked (image_validation.cpp); every failure prints one message, flushes
// standard error and returns to lisp_main, which ends the process.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/memory.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_relocation.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/reload_entry_rebase.h"
#include "runtime/gc/weak_objects.h"
#include "runtime/load/image_file.h"
#include "runtime/load/image_messages.h"
#include "runtime/load/native_variables.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/restored_variables.h"
#include "runtime/load/startup.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/exception_frame.h"
#include "runtime/os/profiler_timer.h"
#include "runtime/os/thread_record_access.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/lisp_presence.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/runtime_routines.h"

extern "C" {
extern uint32_t globreg;
extern uint32_t globs[32];
extern lisp::lispval tval;
extern lisp::lispval UnboundValue;
}

namespace {

namespace text = image_file::text;
namespace nb = lisp::nil_block;

constexpr char kStartupDebugVariable[] = "VXM_STARTUP_DEBUG";
constexpr char kReadOption[] = "-Im";

// Global word -N lies at nil - (4N + 0x15).
constexpr int32_t globalOffset(int32_t n) {
  return -(4 * n - nb::global::kThreadSlotIndex);
}
// Words that hold Lisp heap addresses, moved with the heap.
constexpr int32_t kMovedGlobals[] = {globalOffset(47), globalOffset(48), globalOffset(107)};
static_assert(kMovedGlobals[0] == nb::global::kScratchBignum1);
static_assert(kMovedGlobals[1] == nb::global::kScratchBignum2);
static_assert(kMovedGlobals[2] == nb::global::kTrampolineAreaStart);
constexpr int32_t kHeapBasePage = globalOffset(95);
static_assert(kHeapBasePage == nb::global::kFirstHeapPage);
// The collector's before and after hook lists: nil after a restore.
constexpr int32_t kGcHookLists[] = {globalOffset(311), globalOffset(312)};

std::atomic<image_file::RebornHook> g_rebornHook{nullptr};

uint32_t roundUp(uint32_t value) {
  return static_cast<uint32_t>((uint64_t{value} + kImageAlignment - 1) / kImageAlignment *
                               kImageAlignment);
}

uint32_t& word(uint32_t address) {
  return *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
}
void* pointer(uint32_t address) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

// Reads exactly `count` bytes at `offset`; false on a failed or short read.
bool readAt(int file, void* to, uint64_t count, uint64_t offset) {
  auto* bytes = static_cast<uint8_t*>(to);
  while (count > 0) {
    const ssize_t got = pread64(file, bytes, count, static_cast<off64_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    count -= static_cast<uint64_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

bool reserve(uint32_t address, uint32_t bytes) {
  return bytes == 0 || virtual_alloc(address, bytes, 1) == address;
}
bool reserveAndCommit(uint32_t address, uint32_t bytes) {
  return bytes == 0 || virtual_alloc(address, bytes, 3) == address;
}
// Maps file contents copy-on-write exactly at `address`, over a reservation
// of its own.
bool mapAt(uint32_t address, uint32_t bytes, int file, uint32_t offset) {
  if (!reserve(address, bytes)) return false;
  if (platform::mapFileAt(address, bytes, file, offset)) return true;
  platform::releaseAddressSpace(address, bytes);
  return false;
}

bool inside(uint32_t value, const heap_descriptor& heap) {
  return value >= heap.base && value < heap.brk;
}
// The bytes [from, from + bytes) lie in the heap's used part.
bool insideRange(int64_t from, int64_t bytes, const heap_descriptor& heap) {
  return from >= heap.base && from + bytes <= heap.brk;
}

// The nil block, from its lowest global word to the end of the entry table,
// and a cons cell (car and cdr, 0x11 below its word): what the restore
// writes through these words must lie in the heap.
bool nilBlockInside(uint32_t nil, const heap_descriptor& heap) {
  return insideRange(int64_t{nil} + nb::kLowestGlobal, nb::kBlockEnd - nb::kLowestGlobal, heap);
}
bool consInside(uint32_t cons, const heap_descriptor& heap) {
  return insideRange(int64_t{cons} - 0x11, 8, heap);
}
// restoreglobs copies the trampolines to the address in this word.
bool trampolineAreaInside(uint32_t nil, const heap_descriptor& heap) {
  return insideRange(nb::word(nil, nb::global::kTrampolineAreaStart), nb::kTrampolineStretchBytes,
                     heap);
}

// The new-space sysvector chain that the restore walks: every link inside
// the heap's used part, ending within as many steps as objects could fit.
bool sysvectorChainInside(const heap_descriptor& heap) {
  constexpr uint32_t kSmallestObject = 16;  // prefix and header
  uint32_t steps = (heap.brk - heap.base) / kSmallestObject;
  for (uint32_t prefix = GsSVC_head; prefix != 0; prefix = word(prefix)) {
    if (!insideRange(prefix, kSmallestObject + 8, heap) || steps-- == 0) return false;
    if (prefix == GsSVC_tail) break;
  }
  return true;
}

// One restore, step by step; each step returns false after printing its message.
class Restore {
 public:
  Restore(const char* name, int argc, char** argv) : name_(name), argc_(argc), argv_(argv) {}
  ~Restore() {
    if (file_ >= 0 && !keepFile_) close(file_);
  }

  bool run();

 private:
  // Prints the failure's message where start-up failures go (the console
  // while one is up, else standard error): the restore ends here.
  template <class... Arguments>
  bool fail(const char* format, Arguments... arguments) {
    lisp::os::printStartupFailure(format, arguments...);
    return false;
  }
  template <class... Arguments>
  void say(const char* format, Arguments... arguments) {
    lisp::os::printStartupFailure(format, arguments...);
  }

  bool openAndCheckHeader();
  bool placeNativeHeap();
  bool readAreaTable();
  bool checkChecksum();
  void chooseMappingOrReading();
  bool restoreNativeHeap();
  bool restoreNativeVariables();
  bool placeLispHeap();
  bool mapAreas();
  bool commitAndReserveTheRest();
  bool readAreas();
  void reportHeaps();

  const char* name_;
  int argc_;
  char** argv_;
  int debug_ = 0;
  bool mapping_ = false;
  bool keepFile_ = false;
  int file_ = -1;
  image_header header_{};
  std::unique_ptr<image_area_table> table_ = std::make_unique<image_area_table>();
  heap_descriptor savedLispHeap_{};
  int32_t libraryDelta_ = 0;
};

bool Restore::openAndCheckHeader() {
  file_ = open(name_, O_RDONLY | O_CLOEXEC);
  if (file_ < 0) {
    return fail(text::kCannotOpen, name_);
  }
  if (!readAt(file_, &header_, sizeof header_, 0) || header_.magic != kImageMagic)
    return fail(text::kHeaderCorrupted);
  if (header_.version != kImageVersion)
    return fail(text::kWrongVersion, name_, header_.version, kImageVersion);
  if (!(header_.flags & kImageInternationalFlag)) return fail(text::kCharacterSetDiffers);
  if (const char* problem = image_file::validateImage(header_, nullptr, 0)) return fail(problem);
  return true;
}

bool Restore::placeNativeHeap() {
  if (verbose_startup) say(text::kSettingUpCHeap);
  if (!locate_free_space(&vxmmalloc_heap, &vxmmalloc_heap_offset))
    return fail(text::kNoSpaceForCHeap);
  if (vxmmalloc_heap_offset != 0)
    say(text::kCHeapRelocated, static_cast<int>(vxmmalloc_heap_offset));
  return true;
}

bool Restore::readAreaTable() {
  if (!readAt(file_, table_.get(), sizeof *table_, sizeof header_))
    return fail(text::kTruncatedTable);
  struct stat64 status {};
  if (fstat64(file_, &status) != 0) return fail(text::kTruncatedTable);
  if (const char* problem =
          image_file::validateImage(header_, table_.get(), static_cast<uint64_t>(status.st_size)))
    return fail(problem);
  return true;
}

bool Restore::checkChecksum() {
  if (header_.checksum != 0) {
    if (VXM_SetFilePointer(file_, static_cast<int32_t>(kImageVariablesOffset), SEEK_SET) < 0)
      return fail(text::kSeekFailed);
    int readError = 0;
    const uint32_t sum = calc_checksum(file_, &readError);
    if (readError) return fail(text::kChecksumReadError);
    if (sum != header_.checksum) return fail(text::kChecksumFailed);
  }
  if (VXM_SetFilePointer(file_, static_cast<int32_t>(kImageVariablesOffset), SEEK_SET) < 0)
    return fail(text::kSeekFailed);
  return true;
}

// The mapping object of the whole file becomes, here, one private view of
// its first page: it fails where mapping would (a file system that refuses
// executable mappings, for one).
void Restore::chooseMappingOrReading() {
  if (!mapping_) return;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* view = mmap64(nullptr, page, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE, file_, 0);
  if (view == MAP_FAILED) {
    mapping_ = false;
    say(text::kCannotMapPages, errno);
    return;
  }
  munmap(view, page);
}

bool Restore::restoreNativeHeap() {
  heap_descriptor& heap = vxmmalloc_heap;
  const uint32_t used = heap.brk - heap.base;
  const uint32_t rounded = roundUp(used);
  if (mapping_) {
    uint32_t mappedEnd = heap.base;
    if (rounded > 0) {
      if (!mapAt(heap.base, rounded, file_, header_.native_heap_offset))
        return fail(text::kCannotMapCData);
      mappedEnd += rounded;
    }
    if (!reserve(mappedEnd, heap.reserved_end - mappedEnd)) return fail(text::kCannotReserveCSpace);
    if (heap.committed_end > mappedEnd &&
        !platform::commitMemory(mappedEnd, heap.committed_end - mappedEnd))
      return fail(text::kNoSwapForMalloc);
    return true;
  }
  // Mended: the contents are read into memory reserved and committed first.
  if (!reserve(heap.base, heap.reserved_end - heap.base)) return fail(text::kCannotReserveCSpace);
  if (heap.committed_end > heap.base &&
      !platform::commitMemory(heap.base, heap.committed_end - heap.base))
    return fail(text::kNoSwapForMalloc);
  if (used == 0) return true;
  if (VXM_SetFilePointer(file_, static_cast<int32_t>(header_.native_heap_offset), SEEK_SET) < 0)
    return fail(text::kTruncatedCData);
  if (!readAt(file_, pointer(heap.base), used, header_.native_heap_offset))
    return fail(text::kMallocReadFailed);
  return true;
}

bool Restore::restoreNativeVariables() {
  if (VXM_SetFilePointer(file_, static_cast<int32_t>(kImageVariablesOffset), SEEK_SET) < 0)
    return fail(text::kCannotGetToCData);
  marsh_context context{};
  context.file = file_;
  context.saving = 0;
  marshall_c_data(&context);
  GsNewTopLV = GsNewTop + lisp::kPointerBias;
  if (context.error) return fail(text::kErrorRestoringCData);
  // Mended: the words that the rest of the restore follows must name the
  // saved Lisp heap.
  const heap_descriptor& saved = header_.lisp_heap;
  if (nilval != globreg - nb::global::kThreadSlotIndex || !nilBlockInside(nilval, saved) ||
      !inside(tval, saved) || !consInside(UnboundValue, saved))
    return fail(text::kErrorRestoringCData);
  return true;
}

bool Restore::placeLispHeap() {
  if (verbose_startup) say(text::kSettingUpLispHeap);
  savedLispHeap_ = lisp_heap;
  // Mended: a moved library's recorded range is held while the heap is
  // placed, so that no candidate lies there; the relocation would otherwise
  // move words of the new heap again by the library's distance.
  const uint32_t libraryStart = vxm_lso & ~(kImageAlignment - 1);
  const uint32_t libraryBytes = roundUp(vxm_lsoend) - libraryStart;
  const uintptr_t held = libraryDelta_ != 0 && vxm_lso != 0
                             ? platform::reserveAddressSpace(libraryStart, libraryBytes)
                             : 0;
  const bool placed = locate_free_space(&lisp_heap, &lisp_heap_offset) != 0;
  if (held != 0) platform::releaseAddressSpace(held, libraryBytes);
  if (!placed) return fail(text::kNoSpaceForLispHeap);
  if (lisp_heap_offset != 0) {
    if (debug_) say(text::kLispHeapRelocated, static_cast<int>(lisp_heap_offset));
    for (uint32_t i = 0; i < table_->count; ++i)
      if (table_->entries[i].length != 0) table_->entries[i].address += lisp_heap_offset;
  }
  return true;
}

bool Restore::mapAreas() {
  uint32_t position = lisp_heap.base;
  for (uint32_t i = 0; i < table_->count; ++i) {
    const image_area_entry& e = table_->entries[i];
    if (e.length == 0) continue;
    if (!reserveAndCommit(position, e.address - position)) return fail(text::kGapCommitFailed);
    if (!mapAt(e.address, e.length, file_, e.file_offset)) return fail(text::kCannotMapArea);
    position = e.address + e.length;
  }
  if (!reserveAndCommit(position, lisp_heap.committed_end - position))
    return fail(text::kLastRegionCommitFailed);
  return true;
}

bool Restore::commitAndReserveTheRest() {
  if (!mapping_ && !reserveAndCommit(lisp_heap.base, lisp_heap.committed_end - lisp_heap.base))
    return fail(text::kLastRegionCommitFailed);
  heap_descriptor& heap = lisp_heap;
  const uint32_t rest = heap.reserved_end - heap.committed_end;
  if (rest == 0) return true;
  if (ok_to_map(heap.committed_end, heap.reserved_end) && reserve(heap.committed_end, rest))
    return true;
  heap.reserved_end = heap.committed_end + scale_reserve(heap.committed_end, rest);
  say(text::kScalingBack, static_cast<int>(heap.desired_end - heap.base),
      static_cast<int>(heap.reserved_end - heap.base));
  return true;
}

bool Restore::readAreas() {
  for (uint32_t i = 0; i < table_->count; ++i) {
    const image_area_entry& e = table_->entries[i];
    if (e.length == 0) continue;
    if (VXM_SetFilePointer(file_, static_cast<int32_t>(e.file_offset), SEEK_SET) < 0)
      return fail(text::kTruncated);
    if (!readAt(file_, pointer(e.address), e.length, e.file_offset))
      return fail(text::kAreaReadFailed);
  }
  return true;
}

void Restore::reportHeaps() {
  const auto report = [this](const char* format, const heap_descriptor& heap) {
    say(format, static_cast<int>(heap.base), heap.base, static_cast<int>(heap.desired_end),
        heap.desired_end, static_cast<int>(heap.reserved_end), heap.reserved_end,
        static_cast<int>(heap.reserved_end - heap.base));
    say(text::kCurrentlyUsing, static_cast<int>(heap.committed_end - heap.base));
  };
  report(text::kLispHeapReport, lisp_heap);
  report(text::kNativeHeapReport, vxmmalloc_heap);
}

// The runtime's own words that point into the Lisp heap follow it.
bool Restore::run() {
  // The image's nil is named long before its heap is there: signals wait
  // for the end of the restore.
  lisp::presence::depart();
  debug_ = std::getenv(kStartupDebugVariable) ? 1 : 0;
  disallow_mapping = argc_ >= 2 && argv_[1] && std::strcmp(argv_[1], kReadOption) == 0 ? 1 : 0;
  // Where the system refuses to run code in data pages the probe forbids
  // mapping and has the pure library mapped executable (dep_style_vpl).
  probe_executable_stack();
  mapping_ = host_os == 1 && !disallow_mapping;
  if (verbose_startup)
    say(text::kMappingOrReading, mapping_ ? text::kMapping : text::kReading, name_);

  if (!openAndCheckHeader()) return false;
  lisp_heap = header_.lisp_heap;
  vxmmalloc_heap = header_.vxmmalloc_heap;
  lisp_heap.committed_end = roundUp(lisp_heap.brk);
  vxmmalloc_heap.committed_end = roundUp(vxmmalloc_heap.brk);

  if (!placeNativeHeap() || !readAreaTable() || !checkChecksum()) return false;
  chooseMappingOrReading();
  if (!restoreNativeHeap() || !restoreNativeVariables()) return false;
  if (vxmmalloc_heap_offset != 0)
    return fail(vxmmalloc_heap_relocatable() ? text::kCHeapMoveUnsupported
                                             : text::kCHeapNotRelocatable);

  lsoinit();
  reborn_find_lso_file(debug_);
  if (lso_file[0] != '\0') {
    libraryDelta_ = map_lso_file(lisp_heap.base);
    if (libraryDelta_ != 0 && debug_) say(text::kLibraryRelocated, libraryDelta_);
  }

  if (!placeLispHeap()) return false;
  if (mapping_ && !mapAreas()) return false;
  if (!commitAndReserveTheRest()) return false;
  if (!mapping_ && !readAreas()) return false;
  if (verbose_startup) reportHeaps();
  if (lisp_heap.base > vxmmalloc_heap.base)
    return fail(text::kCHeapBelowLispHeap, vxmmalloc_heap.base, lisp_heap.base);
  // Mended: every address the native variables brought back is checked
  // before anything follows it.
  if (!image_file::restoredWordsInside(header_.lisp_heap, vxmmalloc_heap) ||
      !image_file::oldAreasInside(header_.lisp_heap, lisp_heap_offset))
    return fail(text::kErrorRestoringCData);

  if (lisp_heap_offset != 0)
    image_file::moveRuntimeWords(lisp_heap_offset, savedLispHeap_.base,
                                 savedLispHeap_.committed_end);
  // Mended: the trampoline area named by the heap must lie in it; decision:
  // refused as inconsistent runtime data.
  if (!trampolineAreaInside(nilval, lisp_heap)) return fail(text::kErrorRestoringCData);
  // Mended: restoreglobs finds this thread through global word 0, which
  // still holds the saving process's slot offset.
  word(globreg) = lisp_tls_index;
  // The saving library's function-fault entry, before the relink replaces it.
  const uint32_t savedFaultEntry = nb::word(nilval, reload_entry_rebase::kFaultEntrySlot);
  restoreglobs();
  for (const int32_t global : kGcHookLists) nb::word(nilval, global) = nilval;

  if ((lisp_heap_offset != 0 || libraryDelta_ != 0) &&
      !gc_relocate_heap(&lisp_heap, static_cast<int32_t>(lisp_heap_offset), libraryDelta_))
    return false;
  // Jettisoned functions start at this library's reload entries.
  rebase_reload_entries(savedFaultEntry);
  // Mended: the chain comes from the image; a broken one is refused rather
  // than followed.
  if (!sysvectorChainInside(lisp_heap)) return fail(text::kErrorRestoringCData);
  clear_old_stack_sysvectors(vxmmalloc_heap.base, vxmmalloc_heap.brk);
  // A mapped image stays open for the life of the process.
  keepFile_ = mapping_;
  lisp::presence::arrive();
  return true;
}

}  // namespace

namespace image_file {
void moveRuntimeWords(uint32_t offset, uint32_t savedBase, uint32_t savedCommittedEnd) {
  globreg += offset;
  nilval += offset;
  UnboundValue += offset;
  // Mended: t is a heap object too, and nothing else moves this word.
  tval += offset;
  for (const int32_t global : kMovedGlobals) nb::word(nilval, global) += offset;
  set_c_leaf(nilval);
  lisp::car(nilval) = nilval;
  lisp::cdr(nilval) = nilval;
  lisp::car(UnboundValue) += offset;
  lisp::cdr(UnboundValue) = nilval;
  GsOldAreas = reinterpret_cast<gc::GsOldArea*>(
      static_cast<uintptr_t>(gc::areaAddress(GsOldAreas) + offset));
  nb::word(nilval, kHeapBasePage) = gc::pageOf(gc::areaAddress(GsOldAreas));
  GsOpenOldAreaFence = reinterpret_cast<gc::GsOldArea*>(
      static_cast<uintptr_t>(gc::areaAddress(GsOpenOldAreaFence) + offset));
  for (uint32_t& value : globs)
    if (value >= savedBase && value < savedCommittedEnd) value += offset;
}

void setRebornHook(RebornHook hook) {
  g_rebornHook.store(hook);
}
}  // namespace image_file

extern "C" void restore_image_file(const char* imageName, int argc, char** argv, char** envp) {
  {
    Restore restore(imageName, argc, argv);
    if (!restore.run()) return;  // the message is out
  }
  if (const image_file::RebornHook hook = g_rebornHook.load()) {
    hook(argc, argv, envp);
    return;
  }
  lisp_main_reborn(argc, argv, envp);
}
