// Fasl bundle lookup and the loads through it. A bundle's copy of a fasl is
// used when its version is at least the disk copy's timestamp; a newer disk
// copy, or any numbered copy on disk, wins over the bundle.

#include "runtime/load/fasl_bundles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "runtime/gc/allocation.h"
#include "runtime/load/dos_file_names.h"
#include "runtime/load/fasl_bundle_format.h"
#include "runtime/load/fasl_format.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"
#include "runtime/rs/object_layout.h"

extern "C" lisp::lispval nilval;

namespace {

using lisp::lispval;
namespace bundle = lisp::fasl::bundle;
namespace messages = lisp::fasl::messages;

constexpr int kNotFound = lisp::fasl::kNotFasl;  // the loads' result for "no copy"

// ---- names ----

bool isLispString(lispval word) {
  if (!lisp::isOther(word)) return false;
  const lisp::VectorType* type =
      lisp::vectorType(lisp::typeCodeOf(lisp::wordAt(word, lisp::kHeaderOffset)));
  return type != nullptr && type->element == lisp::ElementKind::Character;
}

// The string as native text. Decision: anything but a Lisp string names no
// entry and no file, so the caller answers "not found".
bool nativeText(lispval string, std::string& text) {
  if (!isLispString(string)) return false;
  const int length = strtobuf(string);
  text.assign(strbuf, static_cast<size_t>(length));
  return true;
}

void canonicalize(std::string& text, bool lowerCase) {
  canonicalize_dos_filename(text.data(), static_cast<int>(text.size()), lowerCase ? 1 : 0);
}

void appendSeparatorUnlessEnding(std::string& text) {
  if (text.empty() || text.back() != '/') text += '/';
}

// A name that does not fit its buffer is refused, never cut. The message is
// printed even for a quiet call: it reports an error, not a skipped file.
bool fitsPathBuffer(const std::string& text) {
  if (text.size() < lisp::fasl::kBundlePathBytes) return true;
  vxmfprintf(stderr, messages::kBundleNameTooLong, text.c_str());
  return false;
}

// ---- the bundle file ----

// The bundle file, open for reading; -1 when it cannot be opened. Its name
// may have been given with backslashes: they become slashes, as in every
// file call, and the case is kept.
int openBundle() {
  if (bundlename == nullptr) return -1;
  std::string path = bundlename;
  canonicalize(path, false);
  int fd;
  do fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// The descriptor positioned at the entry's fasl bytes, or -1 with the
// bundle closed.
int openAtEntry(std::string_view name, uint32_t minimumVersion, uint32_t* version) {
  const int fd = openBundle();
  if (fd < 0) return -1;
  bundle::DescriptorBundle bytes(fd);
  const std::optional<bundle::FoundEntry> entry = bundle::findEntry(bytes, name, minimumVersion);
  if (!entry || lseek64(fd, entry->offset, SEEK_SET) < 0) {
    close(fd);
    return -1;
  }
  if (version) *version = entry->version;
  return fd;
}

}  // namespace

extern "C" {

uint32_t raz_fasl = 0;

std::FILE* bundlefind(const char* relativeName, char* streamBuffer, uint32_t minimumVersion,
                      uint32_t* version) {
  if (relativeName == nullptr) return nullptr;
  const int fd = openAtEntry(relativeName, minimumVersion, version);
  if (fd < 0) return nullptr;
  std::FILE* stream = fdopen(fd, "rb");
  if (stream == nullptr) {
    close(fd);
    return nullptr;
  }
  std::setvbuf(stream, streamBuffer, _IOFBF, lisp::fasl::kBundleStreamBufferBytes);
  return stream;
}

int32_t bundlefind_fd(lispval name) {
  std::string text;
  if (!nativeText(name, text)) return -1;
  return openAtEntry(text, 0, nullptr);
}

int32_t search_bundle(lispval name) {
  std::string text;
  if (!nativeText(name, text)) return -1;
  canonicalize(text, true);
  uint32_t version = 0;
  const int fd = openAtEntry(text, 0, &version);
  if (fd < 0) return -1;
  close(fd);
  return static_cast<int32_t>(version);
}

int load_from_bundle(lispval* segmentCell, lispval name, uint32_t readMode, lispval thread) {
  curreadmode = readMode;
  std::string text;
  if (!nativeText(name, text)) return kNotFound;
  canonicalize(text, true);
  std::FILE* stream = bundlefind(text.c_str(), nullptr, 0, nullptr);
  if (stream == nullptr) return kNotFound;
  return libfasl(stream, segmentCell, 0, thread);
}

int bundfasl(lispval* segmentCell, lispval directory, lispval name, uint32_t readMode,
             int32_t quiet, int32_t numberedVersions, lispval thread) {
  curreadmode = readMode;
  std::string relative, baseName;
  if (!nativeText(directory, relative) || !nativeText(name, baseName)) return kNotFound;
  canonicalize(relative, true);
  appendSeparatorUnlessEnding(relative);
  relative += baseName;
  relative += ".fasl";
  canonicalize(relative, true);
  if (!fitsPathBuffer(relative)) return kNotFound;

  // Only the relative name is folded to lower case: the home directory keeps
  // its own case, which a case-sensitive file system needs.
  std::string disk = home_location;
  canonicalize(disk, false);
  appendSeparatorUnlessEnding(disk);
  disk += relative;
  if (!fitsPathBuffer(disk)) return kNotFound;
  char diskPath[lisp::fasl::kBundlePathBytes];
  std::memcpy(diskPath, disk.c_str(), disk.size() + 1);

  int numberedCopy = 0;
  if (numberedVersions) find_most_recent_version(diskPath, sizeof diskPath, &numberedCopy);
  uint32_t diskTimestamp = 0;
  fasl_validation(diskPath, &diskTimestamp, 1);

  std::FILE* fromBundle =
      numberedCopy ? nullptr : bundlefind(relative.c_str(), nullptr, diskTimestamp, nullptr);
  int result;
  if (fromBundle != nullptr) {
    if (!quiet) {
      if (raz_fasl != 0 && raz_fasl_noisy == 0)
        vxmprintf("%s", messages::kFaslFromBundleQuiet);
      else
        vxmprintf(messages::kFaslFromBundle, relative.c_str());
    }
    result = libfasl(fromBundle, segmentCell, 0, thread);
  } else if (diskTimestamp == 0) {
    if (!quiet) vxmprintf(messages::kSkippingOneFile, relative.c_str());
    return kNotFound;
  } else {
    result = faslname(segmentCell, diskPath, thread);
    if (result != lisp::fasl::kClean && result != lisp::fasl::kCleanOlderRelease && !quiet)
      vxmprintf(messages::kSkippingFile, result, relative.c_str());
  }
  if (auto_gc_count-- > 0) scavenge(0);
  return result;
}

void find_most_recent_version(char* path, size_t room, int* found) {
  const char* dot = std::strrchr(path, '.');
  if (dot == nullptr) {
    // It ends the process, so it stays on standard error without a console,
    // where scripts read it.
    lisp::os::printStartupFailure(messages::kCannotFindDot, path);
    lisp_exit(1);
  }
  const std::string stem(path, static_cast<size_t>(dot - path) + 1);
  const auto numbered = [&stem](int n) {
    char digits[12];  // room for any int, so the formatter never truncates
    std::snprintf(digits, sizeof digits, "%03d", n);
    return stem + digits;
  };
  int n = 1;
  while (n <= lisp::fasl::kHighestNumberedCopy && access(numbered(n).c_str(), R_OK) == 0) ++n;
  if (n < 2) return;
  const std::string newest = numbered(n - 1);
  // A copy whose name would not fit the caller's buffer is not taken.
  if (newest.size() >= room) return;
  std::memcpy(path, newest.c_str(), newest.size() + 1);
  *found = 1;
}

uint32_t fasl_current_read_mode() {
  if (nilval == 0) return 0;
  const lispval symbol =
      lisp::wordAt(nilval, lisp::fasl::runtimeGlobalOffset(lisp::fasl::kReadModeGlobal));
  if (!lisp::isSymbolTagged(symbol)) return 0;
  const lispval value = *symbol_locative(symbol);
  return lisp::isFixnum(value) ? static_cast<uint32_t>(lisp::fixnumValue(value)) : 0;
}

}  // extern "C"
