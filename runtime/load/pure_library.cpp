// Finding, mapping and checking the pure Lisp library, and its bounds.
//
// Invariant: vxm_lso..vxm_lsoend are either both 0 or the bounds of a header
// that passed the validity check (magic, every section and fill point inside
// the file), so nothing reads past the mapped file through them.

#include "runtime/load/pure_library.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/memory.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/heap_relocation.h"
#include "runtime/load/image_search.h"
#include "runtime/load/pure_library_messages.h"
#include "runtime/load/startup.h"
#include "runtime/load/startup_messages.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/profiler_timer.h"

extern "C" {

uint32_t vxm_lso = 0;
uint32_t vxm_lsoend = 0;
uint32_t xvxm_cvs[2] = {0, 0};
uint32_t xvxm_str[2] = {0, 0};
uint32_t vxm_cvsh = 0, vxm_cvsp = 0, vxm_cvsend = 0;
uint32_t vxm_strh = 0, vxm_strp = 0, vxm_strend = 0;
uint32_t vxm_timestamp = 0;
uint16_t vxm_lsoversion = 0;
uint32_t vxm_lsoh = 0;
// Decision: this runtime carries no built-in library. The area starts with
// 0, not the magic, so lsoinit_text never takes it.
uint32_t vxm_cvs[9] = {};

char lso_file[kLsoNameBytes] = {};
int use_lso_file = 0;
char vpl_given_arg[kLsoNameBytes] = {};
int dep_style_vpl = 0;
uint32_t print_lso_relocation = 0;

}  // extern "C"

namespace {

namespace text = pure_library::text;

constexpr char kLibraryExtension[] = ".vpl";
// Where a library goes on a host outside the mapping-capable family.
constexpr uint32_t kFixedLibraryAddress = 0x93850000;
constexpr uint32_t kMappingGranularity = 0x10000;
constexpr uint32_t kUpperHalf = 0x80000000;
constexpr int kHostMappingFamily = 1;
constexpr int kHostOtherFamily = 2;

// The view this process mapped, for unmap_lso_file.
uint32_t g_view = 0;
uint32_t g_viewBytes = 0;

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// A refused library ends the process: its reason goes where start-up
// failures go, the console while one is up, else standard error, which
// scripts that start the Lisp without a console read.
[[noreturn]] void failWith(const char* format, va_list arguments) {
  lisp::os::vprintStartupFailure(format, arguments);
  lisp_exit(-1);
}

[[noreturn, gnu::format(printf, 1, 2)]] void fail(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  failWith(format, arguments);
}

// An open library file and, once made, its view.
struct LibraryFile {
  int file = -1;
  uint32_t bytes = 0;
  int protection = PROT_READ;
  uint32_t view = 0;

  // A refused library is given back before the process ends, so that an exit
  // callback that ends only this thread leaves nothing behind.
  void giveBack() {
    if (view != 0) munmap(reinterpret_cast<void*>(static_cast<uintptr_t>(view)), bytes);
    view = 0;
    close(file);
  }
};

[[noreturn, gnu::format(printf, 2, 3)]] void refuse(LibraryFile& library, const char* format, ...) {
  library.giveBack();
  va_list arguments;
  va_start(arguments, format);
  failWith(format, arguments);
}

// Progress goes the way of the image reader's, whose lines it completes.
[[gnu::format(printf, 1, 2)]] void verbose(const char* format, ...) {
  if (!verbose_startup) return;
  va_list arguments;
  va_start(arguments, format);
  lisp::os::vprintStartupFailure(format, arguments);
  va_end(arguments);
}

// True when every section named by the header lies in a file of `fileBytes`
// and each fill point lies in its section.
bool sectionFits(uint32_t start, uint32_t fill, uint32_t length, uint32_t fileBytes) {
  const uint64_t end = uint64_t{start} + length;
  return end <= fileBytes && fill >= start && fill <= end;
}

bool headerIsValid(const lso_header& header, uint32_t fileBytes) {
  if (header.magic != kLsoMagic) return false;
  if (!sectionFits(header.code_start, header.code_fill, header.code_length, fileBytes))
    return false;
  return header.string_start == 0 ||
         sectionFits(header.string_start, header.string_fill, header.string_length, fileBytes);
}

// Maps the file exactly at `address` when that range is free; 0 otherwise.
uint32_t mapAt(int file, uint32_t bytes, int protection, uint32_t address) {
  if (address == 0 || platform::freeBytesAt(address) < bytes) return 0;
  void* view = mmap(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), bytes, protection,
                    MAP_PRIVATE | MAP_FIXED_NOREPLACE, file, 0);
  if (view == MAP_FAILED) return 0;
  if (addressOf(view) != address) {
    munmap(view, bytes);
    return 0;
  }
  return address;
}

uint32_t mapAnywhere(int file, uint32_t bytes, int protection) {
  void* view = mmap(nullptr, bytes, protection, MAP_PRIVATE, file, 0);
  return view == MAP_FAILED ? 0 : addressOf(view);
}

const lso_header& headerAt(uint32_t address) {
  return *reinterpret_cast<const lso_header*>(static_cast<uintptr_t>(address));
}

// The address to map at when the image knows where the library was: its
// old place, unless that lies in the half of the address space this host
// family does not give to programs.
uint32_t restoreTarget(uint32_t addressLimit, uint32_t bytes) {
  const bool movedOutOfReach = (host_os == kHostMappingFamily && vxm_lso > kUpperHalf) ||
                               (host_os == kHostOtherFamily && vxm_lso < kUpperHalf);
  return movedOutOfReach ? preferred_lso_addr(addressLimit, bytes) : vxm_lso;
}

// Opens lso_file; a file too short for a header is refused before mapping.
LibraryFile openLibrary() {
  LibraryFile library;
  library.file = open(lso_file, O_RDONLY | O_CLOEXEC);
  if (library.file < 0) fail(text::kCannotOpen, lso_file, errno);
  struct stat status {};
  if (fstat(library.file, &status) != 0 || status.st_size <= 0 || status.st_size > INT32_MAX)
    refuse(library, text::kCannotMap);
  library.bytes = static_cast<uint32_t>(status.st_size);
  if (library.bytes < sizeof(lso_header)) refuse(library, text::kNotValid, lso_file);
  library.protection = dep_style_vpl ? PROT_READ | PROT_EXEC : PROT_READ;
  return library;
}

// No address known yet: below the limit when that place is free, else
// wherever the system puts it; the header then sets every variable.
int32_t mapFirstTime(LibraryFile& library, uint32_t addressLimit) {
  const uint32_t preferred = preferred_lso_addr(addressLimit, library.bytes);
  library.view = mapAt(library.file, library.bytes, library.protection, preferred);
  if (library.view != 0) {
    verbose(text::kMappedWhereDesired, library.view);
  } else {
    library.view = mapAnywhere(library.file, library.bytes, library.protection);
    if (library.view == 0) refuse(library, text::kCannotMapAnywhere);
    verbose(text::kMappedWhereOsChose, library.view);
  }
  if (!headerIsValid(headerAt(library.view), library.bytes))
    refuse(library, text::kNotValid, lso_file);
  map_lso_from_addr(library.view);
  return 0;
}

// The image knows where the library was: back there when possible, and it
// must be the very library the image was built against. The variables keep
// the old addresses until the heap is relocated; the result is the move.
int32_t mapAgain(LibraryFile& library, uint32_t addressLimit) {
  const uint32_t target = restoreTarget(addressLimit, library.bytes);
  library.view = mapAt(library.file, library.bytes, library.protection, target);
  if (library.view != 0) {
    if (target == vxm_lso) verbose(text::kMappedWhereBefore, library.view);
  } else {
    library.view = mapAnywhere(library.file, library.bytes, library.protection);
    if (library.view == 0) refuse(library, text::kCannotMapAtAll);
  }
  const lso_header header = headerAt(library.view);
  if (!headerIsValid(header, library.bytes)) refuse(library, text::kNotValid, lso_file);
  if (header.timestamp != vxm_timestamp)
    refuse(library, text::kTimestampMismatch, lso_file, vxm_timestamp, header.timestamp);
  if (header.version != vxm_lsoversion)
    refuse(library, text::kVersionMismatch, vxm_lsoversion, header.version, lso_file);
  if (library.view == vxm_lso) return 0;
  verbose(text::kMappedAt, library.view);
  verbose(text::kMustRelocate, vxm_lso);
  return static_cast<int32_t>(library.view - vxm_lso);
}

// ---- the mapping that setup_heaps and free_heaps reach ----

uint32_t mapForHeaps(uint32_t lispAddress) {
  return static_cast<uint32_t>(map_lso_file(lispAddress));
}

const char* libraryName() {
  return lso_file;
}

const pure_library_mapping kHeapsMapping = {mapForHeaps, unmap_lso_file, libraryName};
[[maybe_unused]] const bool g_registered = (set_pure_library_mapping(&kHeapsMapping), true);

}  // namespace

extern "C" {

void lsoinit() {
  if (lso_file[0] != '\0') return;
  vxm_lso = vxm_lsoend = 0;
  vxm_cvsh = vxm_cvsp = vxm_cvsend = addressOf(xvxm_cvs);
  vxm_strh = vxm_strp = vxm_strend = addressOf(xvxm_str);
  lso_hdr_init();
}

void lso_hdr_init() {
  vxm_lsoh = addressOf(vxm_cvs);
}

void lsoinit_text() {
  if (headerAt(vxm_lsoh).magic == kLsoMagic) map_lso_from_addr(vxm_lsoh);
}

void map_lso_from_addr(uint32_t headerAddress) {
  const lso_header& header = headerAt(headerAddress);
  vxm_lso = headerAddress;
  vxm_timestamp = header.timestamp;
  vxm_lsoversion = header.version;
  vxm_cvsh = headerAddress + header.code_start;
  vxm_cvsp = headerAddress + header.code_fill;
  vxm_cvsend = vxm_cvsh + header.code_length;
  vxm_lsoend = vxm_cvsend;
  if (header.string_start != 0) {
    vxm_strh = headerAddress + header.string_start;
    vxm_strp = headerAddress + header.string_fill;
    vxm_strend = vxm_strh + header.string_length;
    vxm_lsoend = vxm_strend;
  } else {
    vxm_strh = vxm_strp = vxm_strend = addressOf(xvxm_str);
  }
}

int32_t map_lso_file(uint32_t addressLimit) {
  LibraryFile library = openLibrary();
  verbose(text::kMapping, lso_file);
  const int32_t moved =
      vxm_lso == 0 ? mapFirstTime(library, addressLimit) : mapAgain(library, addressLimit);
  close(library.file);
  g_view = library.view;
  g_viewBytes = library.bytes;
  return moved;
}

uint32_t preferred_lso_addr(uint32_t addressLimit, uint32_t size) {
  if (host_os != kHostMappingFamily) return kFixedLibraryAddress;
  // Mended: a library larger than the limit has no place below it.
  if (size > addressLimit) return 0;
  return (addressLimit - size) & ~(kMappingGranularity - 1);
}

// Decision: 1 when a view was unmapped, 0 when there was none or it could
// not be unmapped. vxm_lsoend goes with vxm_lso, so that purep answers nil
// for every value once the library is gone.
int unmap_lso_file() {
  if (g_view == 0) return 0;
  const int unmapped =
      munmap(reinterpret_cast<void*>(static_cast<uintptr_t>(g_view)), g_viewBytes) == 0 ? 1 : 0;
  g_view = g_viewBytes = 0;
  vxm_lso = vxm_lsoend = 0;
  return unmapped;
}

// Decision: Linux has no system directory to search as the extra place.
void reborn_find_lso_file(int debug) {
  if (vpl_given_arg[0] == '\0') return;
  char* found = find_image_file(vpl_given_arg, kLibraryExtension, nullptr, debug);
  if (!found) fail(text::kNotFound, vpl_given_arg);
  std::strncpy(lso_file, found, sizeof lso_file - 1);
  lso_file[sizeof lso_file - 1] = '\0';
  std::free(found);
}

// A service for Lisp code: what it says goes to the console.
void set_lso_file(const char* name) {
  if (!name || lso_file[0] != '\0') {
    vxmprintf("%s", text::kUnlinkingRefused);
    return;
  }
  if (std::strlen(name) >= sizeof lso_file) {
    vxmprintf(startup::text::kNameTooLong, name);
    return;
  }
  std::strcpy(lso_file, name);
  if (map_lso_file(lisp_heap.base) != 0) vxmprintf(text::kForcedRelocation, lso_file);
  if (verbose_startup) vxmprintf(text::kLinking, lso_file);
  link_lso_file();
  if (verbose_startup) vxmprintf("%s", text::kLinkingDone);
}

const char* get_lso_file() {
  return lso_file[0] != '\0' ? lso_file : nullptr;
}

}  // extern "C"
