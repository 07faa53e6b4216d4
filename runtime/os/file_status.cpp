// Status, existence, deletion, renaming, modes and times of files by name,
// and the Lisp stat record.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "launcher/host_record.h"
#include "runtime/load/dos_file_names.h"
#include "runtime/os/file_call_errors.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/file_names.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/rs/object_layout.h"

using lisp::lispval;
using namespace lisp::fio;

extern "C" {
// The one result record of the stat calls; finishstat copies from it.
struct stat64 mystat;
}

namespace {

// What cl_stat and cl_fnstat return on success (a fixnum word).
constexpr lispval kStatDone = 4;
constexpr int32_t kRuntimeNoMemory = 12;

// The caller's stat record: a vector of raw 32-bit integers with room for
// the 15 words, or null. Decision: vectors whose elements are Lisp values
// (or anything but raw 32-bit integers) are refused, since raw words in them
// would mislead the collector.
cl_stat_buf* statRecordOf(lispval record) {
  if (!lisp::isOther(record)) return nullptr;
  const uint32_t header = lisp::wordAt(record, lisp::kHeaderOffset);
  const lisp::VectorType* type = lisp::vectorType(lisp::typeCodeOf(header));
  if (!type || (type->element != lisp::ElementKind::Unsigned32 &&
                type->element != lisp::ElementKind::Signed32))
    return nullptr;
  constexpr int32_t kLengthWordOffset = lisp::kHeaderOffset + 4;
  const uint32_t length =
      type->fixnumLength
          ? static_cast<uint32_t>(lisp::fixnumValue(lisp::wordAt(record, kLengthWordOffset)))
          : lisp::headerLength(header);
  if (length < sizeof(cl_stat_buf) / 4) return nullptr;
  return reinterpret_cast<cl_stat_buf*>(static_cast<uintptr_t>(
      record + lisp::kHeaderOffset + static_cast<int32_t>(lisp::vectorDataOffset(*type))));
}

int32_t fileTypeOf(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return kFileTypeRegular;
    case S_IFDIR: return kFileTypeDirectory;
    case S_IFCHR: return kFileTypeCharacterDevice;
    default: return kFileTypeOther;
  }
}

// Decision: times outside the 32-bit range of the record are held at its
// ends rather than wrapped.
int32_t recordTime(int64_t unixSeconds) {
  const int64_t seconds = unixSeconds - kRuntimeEpoch;
  return static_cast<int32_t>(std::clamp<int64_t>(seconds, INT32_MIN, INT32_MAX));
}

// The error of a name that could not be prepared: none given, or no memory
// for the long copy.
lispval preparationFailure(const char* path) {
  noteRuntimeError(path ? kRuntimeNoMemory : kRuntimeInvalid);
  return nilval;
}

lispval succeeded(lispval result) {
  cl_error = 0;
  return result;
}

}  // namespace

extern "C" {

void finishstat(cl_stat_buf* record) {
  const uint64_t size = static_cast<uint64_t>(mystat.st_size);
  record->sizeLow = static_cast<int32_t>(static_cast<uint32_t>(size));
  record->sizeHigh = static_cast<int32_t>(static_cast<uint32_t>(size >> 32));
  record->mode = static_cast<int32_t>(mystat.st_mode & 0xffff);
  record->user = static_cast<int32_t>(mystat.st_uid);
  record->group = static_cast<int32_t>(mystat.st_gid);
  record->fileType = fileTypeOf(mystat.st_mode);
  record->inode = static_cast<int32_t>(mystat.st_ino & 0xffff);
  record->device = static_cast<int32_t>(mystat.st_dev);
  record->zero = 0;
  record->modified = recordTime(mystat.st_mtim.tv_sec);
  record->accessed = recordTime(mystat.st_atim.tv_sec);
  record->changed = recordTime(mystat.st_ctim.tv_sec);
  cl_error = 0;
}

int32_t cl_existsp(const char* path) {
  const PreparedPath prepared(path, kCanonicalFile);
  struct stat64 status;
  const bool exists = prepared.text() && ::stat64(prepared.text(), &status) == 0;
  cl_error = 0;
  return exists ? 4 : 0;
}

lispval cl_stat(const char* path, lispval record, lispval) {
  cl_stat_buf* out = statRecordOf(record);
  if (!out) {
    noteRuntimeError(kRuntimeInvalid);
    return nilval;
  }
  const PreparedPath prepared(path, kCanonicalFile);
  char* name = prepared.text();
  if (!name) return preparationFailure(path);
  if (::stat64(name, &mystat) < 0) {
    // Once more with backslashes, as the name may have been written.
    uncanonicalize_dos_filename(name, static_cast<int>(std::strlen(name)));
    if (::stat64(name, &mystat) < 0) {
      noteRuntimeFailure(errno);
      return nilval;
    }
  }
  finishstat(out);
  return kStatDone;
}

lispval cl_fnstat(lispval descriptor, lispval record) {
  cl_stat_buf* out = statRecordOf(record);
  if (!out) {
    noteRuntimeError(kRuntimeInvalid);
    return nilval;
  }
  const int32_t fd =
      lisp::isFixnum(descriptor)
          ? pseudofd_to_fd(static_cast<uint32_t>(lisp::fixnumValue(descriptor)),
                           host::kKindRuntimeDescriptor)
          : -1;
  if (fd < 0) {
    noteRuntimeError(kRuntimeBadDescriptor);
    return nilval;
  }
  if (::fstat64(fd, &mystat) < 0) {
    noteRuntimeFailure(errno);
    return nilval;
  }
  finishstat(out);
  int64_t size = 0;
  if (VXM_GetFileSizeEx(static_cast<uint32_t>(fd), &size)) {
    out->sizeLow = static_cast<int32_t>(static_cast<uint32_t>(size));
    out->sizeHigh = static_cast<int32_t>(static_cast<uint64_t>(size) >> 32);
  }
  return kStatDone;
}

lispval cl_delete(char* path) {
  const char* name = canonicalizeInPlace(path);
  if (!name) return preparationFailure(path);
  if (::unlink(name) < 0) {
    noteRuntimeFailure(errno);
    return nilval;
  }
  return succeeded(tval);
}

// rename(2) replaces the new name atomically, and leaves two names of one
// file alone; nothing is removed before it, so a rename that fails loses
// neither file.
lispval cl_rename(char* oldPath, char* newPath) {
  const char* from = canonicalizeInPlace(oldPath);
  const char* to = canonicalizeInPlace(newPath);
  if (!from || !to) return preparationFailure(nullptr);
  if (::rename(from, to) < 0) {
    noteRuntimeFailure(errno);
    return nilval;
  }
  return succeeded(lisp::makeFixnum(0));
}

// Decision: the mode is a Linux permission mode; the C runtime's read and
// write bits (0x100, 0x80) are the owner's 0400 and 0200 there.
lispval cl_chmod(char* path, int32_t mode) {
  const char* name = canonicalizeInPlace(path);
  if (!name) return preparationFailure(path);
  if (::chmod(name, static_cast<mode_t>(mode) & 07777) < 0) {
    noteRuntimeFailure(errno);
    return nilval;
  }
  return succeeded(lisp::makeFixnum(0));
}

lispval cl_set_time_from_file(char* source, char* target) {
  const char* from = canonicalizeInPlace(source);
  const char* to = canonicalizeInPlace(target);
  if (!from || !to) return preparationFailure(nullptr);
  struct stat64 status;
  if (::stat64(from, &status) < 0) {
    noteRuntimeFailure(errno);
    return nilval;
  }
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  if (::utimensat(AT_FDCWD, to, times, 0) < 0) {
    noteRuntimeFailure(errno);
    return nilval;
  }
  return succeeded(lisp::makeFixnum(0));
}

}  // extern "C"
