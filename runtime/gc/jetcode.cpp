// Code jettisoning and the code file (see jetcode.h for the file formats).
//
// Invariant: a function's code-vector slot holds a fixnum offset only when
// the code file holds at that offset a whole record of the code vector it
// had; every function whose code could not be written keeps its vector, and
// a code vector that some stack holds is never released.
//
// Sections: state, file helpers, connecting the code file, gathering the
// vectors in use, the heap walk, swapping and dumping, reloading, start-up.

#include "runtime/gc/jetcode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_layout.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/jetcode_messages.h"
#include "runtime/gc/object_extent.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"

// ---- state ----

extern "C" {
char jc_swapfile[jetcode::kSwapNameBytes] = {};
uint32_t jc_tstamp = 0;
int32_t jc_state = jetcode::kNoCodeFile;
int32_t jc_tempswap = 0;
int32_t jc_file = -1;
uint32_t jc_errors = 0;
uint32_t page_out_fcn = 0, page_out_bytes = 0;
uint32_t jc_release_fcn = 0, jc_release_bytes = 0;
uint32_t page_in_fcn = 0, page_in_bytes = 0;
uint32_t jc_last_cloc = 0, jc_last_csize = 0;
lisp::lispval jc_cvset = 0;
int32_t jc_fcount1 = 0;
int32_t jc_scount = 0;
}

namespace {

using namespace gc;
using namespace jetcode;
namespace msg = jetcode_messages;

constexpr uint32_t kFirstTypeCode = 7, kLastTypeCode = 242;
constexpr int32_t kStackScans = 1;  // all threads' stacks are scanned in one pass
constexpr uint32_t kCodeSlotOffset = offsetof(lisp::FunctionObject, codeVector);
constexpr uint32_t kStartWordOffset = offsetof(lisp::FunctionObject, start);
constexpr uint32_t kClosureType = 9;
constexpr uint32_t kTemplateOffset = offsetof(lisp::ClosureObject, templateFunction);
static_assert(kCodeSlotOffset == 4 * kCodeSlotWord);
// Reloads up to this share of a semispace go to new space, bigger ones to old space.
constexpr uint32_t kNewSpaceShare = 4;

// ---- file helpers ----

void putWord(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t getWord(const uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool writeAll(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}
// True when all `count` bytes were read (a short file reads short).
bool readAll(int fd, uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t got = ::read(fd, bytes, count);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}
bool readWord(int fd, uint32_t* value) {
  uint8_t bytes[4];
  if (!readAll(fd, bytes, 4)) return false;
  *value = getWord(bytes);
  return true;
}
bool putFileWord(FILE* file, uint32_t value) {
  uint8_t bytes[4];
  putWord(bytes, value);
  return std::fwrite(bytes, 1, 4, file) == 4;
}

// Forgets the code file's name: nothing was created under it.
void forgetCodeFile() {
  jc_swapfile[0] = '\0';
  jc_tempswap = 0;
}

void printErrors() {
  if (jc_errors == 0) return;
  gc_messages::print("%s", msg::kErrorsHead);
  for (const msg::ErrorText& error : msg::kErrorTexts)
    if (jc_errors & error.bit) gc_messages::print("%s", error.text);
  gc_messages::print("%s", msg::kErrorsEnd);
}

// ---- heap objects ----

bool insideHeap(uint32_t address, uint32_t bytes) {
  return address >= lisp_heap.base && address < lisp_heap.brk && bytes <= lisp_heap.brk - address;
}

// The code vector a function's code slot holds inside the heap, or 0.
uint32_t codeVectorOf(uint32_t function) {
  const lisp::lispval code = wordAt(function + kCodeSlotOffset);
  if (!lisp::isOther(code)) return 0;
  const uint32_t vector = lisp::objectAddress(code);
  if (!insideHeap(vector, 4) || (wordAt(vector) & 0xff) != kCodeVectorType) return 0;
  return insideHeap(vector, codeVectorBytes(wordAt(vector))) ? vector : 0;
}

// The code vector a stack word holds: itself, through a function, or
// through a closure's template function (a running closure's frame holds
// the closure); or 0.
uint32_t codeVectorHeldBy(lisp::lispval value) {
  for (int depth = 0; depth < 2 && lisp::isOther(value); ++depth) {
    const uint32_t object = lisp::objectAddress(value);
    if (!insideHeap(object, 4)) return 0;
    const uint32_t type = wordAt(object) & 0xff;
    if (type == kCodeVectorType)
      return insideHeap(object, codeVectorBytes(wordAt(object))) ? object : 0;
    if (type == kFunctionType)
      return insideHeap(object, kCodeSlotOffset + 4) ? codeVectorOf(object) : 0;
    if (type != kClosureType || !insideHeap(object, kTemplateOffset + 4)) return 0;
    value = wordAt(object + kTemplateOffset);
  }
  return 0;
}

uint32_t& lastWord(uint32_t vector) {
  return wordAt(vector + codeVectorBytes(wordAt(vector)) - 4);
}

// Calls visit(object) on every object of the region; a type code no object
// has sets the bad-object bit and ends the walk of the region.
template <class Visit>
void walkRegion(uint32_t first, uint32_t frontier, bool newSpace, Visit visit) {
  for (uint32_t item = first; item < frontier;) {
    if (newSpace && wordAt(item + 4) >= stamp::kFillerFirst) {
      const uint32_t bytes = wordAt(item);
      if (bytes < kPrefixBytes || bytes % 8 != 0 || bytes > frontier - item) {
        jc_errors |= kBadObject;
        return;
      }
      item += bytes;
      continue;
    }
    const uint32_t object = newSpace ? item + kPrefixBytes : item;
    if (object >= frontier) {
      jc_errors |= kBadObject;
      return;
    }
    const uint32_t header = wordAt(object);
    const uint32_t type = header & 0xff;
    const ObjectExtent extent = extentOf(header, wordAt(object + 4));
    if (type < kFirstTypeCode || type > kLastTypeCode || !extent.row || extent.bytes == 0 ||
        extent.bytes > frontier - object) {
      jc_errors |= kBadObject;
      return;
    }
    const uint32_t next = object + extent.bytes;
    visit(object);
    item = next;
  }
}

// ---- gathering the code vectors in use ----

// The scan in progress: how many were found, and whether to store them.
struct StackScan {
  uint32_t found;
  bool fill;
};
StackScan g_scan = {};

uint32_t cvsetData() {
  return lisp::objectAddress(jc_cvset) + 8;
}

void noteStackSlot(uint32_t slot) {
  const uint32_t vector = codeVectorHeldBy(wordAt(slot));
  if (vector == 0) return;
  if (g_scan.fill) {
    if (g_scan.found >= static_cast<uint32_t>(jc_fcount1)) {
      jc_errors |= kNewVectorsAfterTable;
      return;
    }
    wordAt(cvsetData() + 4 * g_scan.found) = lisp::pointerWord(vector, lisp::Tag::Other);
  }
  ++g_scan.found;
}
void ignoreReturnAddress(uint32_t) {}

bool liveOnStack(uint32_t vector) {
  if (jc_fcount1 == 0) return false;
  const lisp::lispval word = lisp::pointerWord(vector, lisp::Tag::Other);
  for (int32_t i = 0; i < jc_fcount1; ++i)
    if (wordAt(cvsetData() + 4 * i) == word) return true;
  return false;
}

// A last word that can be a record's offset (one written earlier).
bool isRecordOffset(uint32_t word) {
  return word != kNeverWritten && word >= kFirstRecord &&
         word <= static_cast<uint32_t>(lisp::kMostPositiveFixnum);
}

// ---- the code file ----

// Appends the vector's record at the file's end; its offset, or 0.
uint32_t appendRecord(uint32_t vector, uint32_t bytes) {
  const off_t end = ::lseek(jc_file, 0, SEEK_END);
  if (end < static_cast<off_t>(kFirstRecord) || end > lisp::kMostPositiveFixnum) return 0;
  const uint32_t offset = static_cast<uint32_t>(end);
  lastWord(vector) = offset;  // the file's copy carries its own offset
  std::vector<uint8_t> record(kLengthBytes + bytes);
  putWord(record.data(), bytes);
  std::memcpy(record.data() + kLengthBytes, reinterpret_cast<const void*>(vector), bytes);
  if (writeAll(jc_file, record.data(), record.size())) return offset;
  // No partial record stays behind at the end (should this fail too, the
  // next record still goes after it, and no function names it).
  [[maybe_unused]] const int truncated = ::ftruncate(jc_file, end);
  lastWord(vector) = kNeverWritten;
  return 0;
}

// Creates the code file under `path`, or under the temporary name, with its stamp.
int32_t createCodeFile(const char* path, int32_t noisy) {
  if (path && path[0]) {
    // A cut name would put the code in a file nobody named: refused.
    if (std::strlen(path) >= kSwapNameBytes) {
      gc_messages::print(msg::kNameTooLong, static_cast<int>(kSwapNameBytes - 1), path);
      jc_errors |= kOpenFailed;
      forgetCodeFile();
      return 0;
    }
    std::strcpy(jc_swapfile, path);
    jc_tempswap = 0;
  } else {
    std::snprintf(jc_swapfile, kSwapNameBytes, msg::kTemporaryName,
                  static_cast<int>(::getpid() & 0xffff));
    jc_tempswap = 1;
  }
  // Whether this call made the file decides whether a failure removes it.
  bool created = true;
  int fd = ::open(jc_swapfile, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = ::open(jc_swapfile, O_RDWR | O_TRUNC | O_CLOEXEC);
  }
  if (fd < 0) {
    jc_errors |= kOpenFailed;
    forgetCodeFile();
    return 0;
  }
  // Linux has no delete-on-close: the temporary file goes now, and reloads
  // read it through the descriptor that stays open.
  if (jc_tempswap && created) ::unlink(jc_swapfile);
  const uint32_t stamp = static_cast<uint32_t>(std::time(nullptr));
  uint8_t bytes[kStampBytes];
  putWord(bytes, stamp);
  if (!writeAll(fd, bytes, kStampBytes)) {
    jc_errors |= kInitializationFailed;
    ::close(fd);
    if (created && !jc_tempswap) ::unlink(jc_swapfile);
    forgetCodeFile();
    return 0;
  }
  jc_file = fd;
  jc_tstamp = stamp;
  jc_state = kCreatedThisRun;
  if (noisy) gc_messages::print(msg::kCreated, jc_swapfile);
  return 1;
}

// ---- reloading ----

// Opens the inherited code file and checks its stamp; 0 or a reload failure.
uint32_t openForReload() {
  const int fd = ::open(jc_swapfile, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kReloadCannotOpen;
  uint32_t stamp = 0;
  if (!readWord(fd, &stamp) || stamp != jc_tstamp) {
    ::close(fd);
    return kReloadBadStamp;
  }
  jc_file = fd;
  return 0;
}

// The name whose 16-bit characters start at `characters` (a Lisp string's;
// its fixnum length is the word before them), as UTF-8.
std::string nameText(uint32_t characters) {
  const int32_t length = lisp::fixnumValue(wordAt(characters - 4));
  const uint32_t shown = std::min(static_cast<uint32_t>(std::max(length, 0)), kNameCharactersShown);
  std::string text;
  const auto* units = reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(characters));
  for (uint32_t i = 0; i < shown; ++i) {
    const uint32_t c = units[i];
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (c < 0x800) {
      text += static_cast<char>(0xc0 | c >> 6);
      text += static_cast<char>(0x80 | (c & 0x3f));
    } else {
      text += static_cast<char>(0xe0 | c >> 12);
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      text += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return text;
}

void printCorruption(uint32_t place, uint32_t name) {
  gc_messages::print(msg::kCorruptAt, jc_swapfile, static_cast<int>(place));
  if (name != 0) gc_messages::print(msg::kCorruptFor, nameText(name).c_str());
  gc_messages::print("%s", msg::kCorruptEnd);
  std::fflush(stdout);
}

// The largest code vector a reload makes: no more than the heap can hold.
uint32_t largestReload() {
  return lisp_heap.reserved_end - lisp_heap.base;
}

}  // namespace

namespace jetcode {

constexpr native_variables::SavedVariable kSavedVariableRows[] = {
    {"jc_swapfile", jc_swapfile, sizeof jc_swapfile, true},
    {"jc_tstamp", &jc_tstamp, 4},
};
const std::span<const native_variables::SavedVariable> kSavedVariables = kSavedVariableRows;

}  // namespace jetcode

extern "C" {

// ---- jettisoning ----

uint32_t jettisoncode(const char* path, int32_t swap, int32_t noisy) {
  jc_errors = 0;
  page_out_fcn = page_out_bytes = 0;
  jc_release_fcn = jc_release_bytes = 0;
  jc_process(path, swap, noisy);
  printErrors();
  if (noisy) {
    const char* written = swap ? jc_swapfile : path;
    gc_messages::print(msg::kDumped, static_cast<int>(page_out_fcn),
                       static_cast<int>(page_out_bytes), written ? written : "");
    gc_messages::print(msg::kReleased, static_cast<int>(jc_release_fcn),
                       static_cast<int>(jc_release_bytes));
  }
  return jc_errors;
}

void jc_process(const char* path, int32_t swap, int32_t noisy) {
  FILE* dump = nullptr;
  if (swap) {
    if (!jc_connect_swap(path, noisy)) return;
    jc_gather(noisy);
  } else {
    dump = path ? std::fopen(path, "wb+") : nullptr;
    if (!dump)
      jc_errors |= kOpenFailed;
    else if (!putFileWord(dump, 0))
      jc_errors |= kWriteFailed;
  }
  if (jc_errors != 0) {
    gc_messages::print("%s", msg::kTerminated);
    if (dump) std::fclose(dump);
    jc_cvset = 0;
    jc_fcount1 = 0;
    return;
  }
  for (const GsOldArea* area = GsOldAreas; area; area = area->next)
    jc_cleararea(area->firstObject, area->frontier, 0, dump);
  if (GsNewSemiSize != 0) jc_cleararea(GsNewOther1, globalWord(global::kNewOtherTop), 1, dump);
  jc_cvset = 0;  // the set is not kept: later collections would move what it names
  jc_fcount1 = 0;
  if (!dump) return;
  // The total length is written only over a whole dump: a dump cut short
  // keeps 0 there.
  if (jc_errors == 0 && std::fflush(dump) != 0) jc_errors |= kWriteFailed;
  if (jc_errors == 0) {
    long length = -1;
    if (std::fseek(dump, 0, SEEK_END) == 0) length = std::ftell(dump);
    if (length < 0)
      jc_errors |= kOpenFailed;
    else if (std::fseek(dump, 0, SEEK_SET) != 0 ||
             !putFileWord(dump, static_cast<uint32_t>(length)))
      jc_errors |= kWriteFailed;
  }
  if (std::fclose(dump) != 0) jc_errors |= kWriteFailed;
}

int32_t jc_connect_swap(const char* path, int32_t noisy) {
  switch (jc_state) {
    case kNoCodeFile:
      return createCodeFile(path, noisy);
    case kCreatedThisRun:
      if (::lseek(jc_file, 0, SEEK_END) < 0) {
        jc_errors |= kPositionFailed;
        return 0;
      }
      return 1;
    default:
      if (noisy) gc_messages::print(msg::kCannotExtend, jc_swapfile);
      return 0;
  }
}

void jc_gather(int32_t noisy) {
  sync_shared_cons_pointer();
  jc_cvset = 0;
  jc_fcount1 = 0;
  const uint32_t counted = jc_scanstacks(0);
  if (counted > 0) {
    // The allocation may scavenge and move what the count saw; the second
    // scan sees the vectors where they are now.
    jc_cvset = new_lisp_obj(112, counted, 0);
    jc_fcount1 = static_cast<int32_t>(counted);
    jc_scanstacks(1);
  }
  jc_scount = kStackScans;
  if (GsNewSemiSize != 0) {
    const ObjectRegion region = allocationRegion();
    walkRegion(region.first, region.frontier, true, [](uint32_t) {});
  }
  if (noisy) gc_messages::print(msg::kFoundOnStacks, static_cast<int>(counted), kStackScans);
}

uint32_t jc_scanstacks(int32_t fill) {
  g_scan = {0, fill != 0};
  scan_os_stacks(noteStackSlot, ignoreReturnAddress);
  return g_scan.found;
}

void jc_cleararea(uint32_t first, uint32_t frontier, int32_t newSpace, FILE* dump) {
  walkRegion(first, frontier, newSpace != 0, [dump](uint32_t object) {
    if ((wordAt(object) & 0xff) == kFunctionType) jc_fixfunc(object, dump);
  });
}

void jc_fixfunc(uint32_t function, FILE* dump) {
  const uint32_t vector = codeVectorOf(function);
  if (vector == 0) return;
  if (dump)
    jc_dump(function, vector, dump);
  else
    jc_flush(function, vector);
}

void jc_flush(uint32_t function, uint32_t vector) {
  if (liveOnStack(vector)) return;
  const uint32_t bytes = codeVectorBytes(wordAt(vector));
  const bool written = vector < GsNewFence && isRecordOffset(lastWord(vector));
  if (!written) {
    if (jc_errors != 0) return;
    if (appendRecord(vector, bytes) == 0) {
      jc_errors |= kWriteFailed;
      return;
    }
    ++page_out_fcn;
    page_out_bytes += bytes;
  }
  // The function now starts at the code-reload trampoline, which brings the
  // code back through pageinfcn on its first call.
  wordAt(function + kCodeSlotOffset) = lisp::makeFixnum(static_cast<int32_t>(lastWord(vector)));
  wordAt(function + kStartWordOffset) = addressOf(reinterpret_cast<const void*>(&functionfault));
  ++jc_release_fcn;
  jc_release_bytes += bytes;
}

void jc_dump(uint32_t function, uint32_t vector, FILE* dump) {
  const uint32_t bytes = codeVectorBytes(wordAt(vector));
  if (!putFileWord(dump, vector) || !putFileWord(dump, bytes) ||
      md_writecv(function, reinterpret_cast<const void*>(vector), bytes, dump) != 0) {
    jc_errors |= kWriteFailed;
    return;
  }
  ++page_out_fcn;
  page_out_bytes += bytes;
}

int32_t md_writecv(uint32_t, const void* data, uint32_t length, FILE* file) {
  return std::fwrite(data, 1, length, file) < length ? 1 : 0;
}

// ---- reloading ----

lisp::lispval pageinfcn(uint32_t place, uint32_t name) {
  if (jc_file < 0)
    if (const uint32_t failure = openForReload()) return failure;
  // Offsets are fixnums; anything larger cannot be one.
  if (place > static_cast<uint32_t>(lisp::kMostPositiveFixnum) ||
      ::lseek(jc_file, static_cast<off_t>(place), SEEK_SET) < 0)
    return kReloadSeekFailed;
  uint32_t length = 0, header = 0;
  if (!readWord(jc_file, &length) || !readWord(jc_file, &header)) return kReloadShortRead;
  // The record must describe a code vector of exactly its length.
  const uint32_t units = header >> 8;
  if ((header & 0xff) != kCodeVectorType || units < lisp::kCodeVectorExtraUnits ||
      length != codeVectorBytes(header) || length > largestReload()) {
    printCorruption(place, name);
    return kReloadShortRead;
  }
  struct stat status {};
  if (::fstat(jc_file, &status) != 0 ||
      static_cast<uint64_t>(status.st_size) < uint64_t{place} + 4 + length)
    return kReloadShortRead;
  std::vector<uint8_t> body(length);
  putWord(body.data(), header);
  if (!readAll(jc_file, body.data() + 4, length - 4)) return kReloadShortRead;

  const bool large = length > GsNewSemiSize / kNewSpaceShare;
  const lisp::lispval vector =
      new_lisp_obj(kCodeVectorType, units - lisp::kCodeVectorExtraUnits, large ? 1 : 0);
  std::memcpy(reinterpret_cast<void*>(lisp::objectAddress(vector)), body.data(), length);
  ++page_in_fcn;
  page_in_bytes += length;
  jc_last_cloc = place;
  jc_last_csize = length;
  return vector;
}

// ---- start-up and image saving ----

void jc_start() {
  jc_file = -1;
  // The state is not saved with an image: a code file named by a restored
  // image is that image's, to be read and never rewritten.
  if (jc_state == kCreatedThisRun || jc_swapfile[0] != '\0') jc_state = kInherited;
}

int32_t jc_dumpcheck() {
  return jc_state == kCreatedThisRun && jc_tempswap ? 0 : 1;
}

}  // extern "C"
