// Opening, creating, reading, writing, seeking and truncating files.
//
// Opens build their Linux flags from the open-mode bits one by one: the
// C runtime's text and binary bits (0x4000, 0x8000) are never passed on,
// since 0x4000 is O_DIRECT on Linux. Linux files have no line-end
// convention, so text mode reads and writes the bytes as they are.
// Reads, writes and closes go through the host record's hooks, so the
// launcher serves its console descriptors itself.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "launcher/host_record.h"
#include "platform/error_numbers.h"
#include "runtime/os/errno_values.h"
#include "runtime/os/file_call_errors.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/os/console_printing.h"
#include "runtime/rs/exports.h"

using lisp::lispval;
using namespace lisp::fio;

namespace {

constexpr char kBadOpenModeMessage[] = "internal open got bad mode\n";

constexpr mode_t kCreatePermission = 0666;
constexpr int kLastSeekOrigin = SEEK_END;  // 0 start, 1 current, 2 end

// Error numbers reported as the runtime's own choice.
constexpr uint32_t kSystemTooManyOpenFiles = 4;

// -10 minus the error: how a failed transfer reaches Lisp code (wrapping,
// whatever number a hook left).
int32_t transferFailure(int32_t error) {
  return static_cast<int32_t>(static_cast<uint32_t>(-10) - static_cast<uint32_t>(error));
}

// Why a transfer of `count` bytes from `start` of `buffer` cannot start,
// or 0. A negative start would reach in front of the caller's data.
int32_t refusedTransfer(const void* buffer, int32_t start, int32_t count) {
  if (start < 0 || count < 0) return kRuntimeInvalid;
  if (!buffer && count > 0) return kRuntimeInvalid;
  return 0;
}

host::HostRecord* hooks() {
  return lisp::os::hostRecord();
}

// ---- opening ----

struct AccessFlags {
  bool input;
  bool output;
};

int accessOf(AccessFlags access) {
  if (access.input && access.output) return O_RDWR;
  return access.output ? O_WRONLY : O_RDONLY;
}

// The pseudo descriptor of a newly opened file as a fixnum; with the table
// full the file is closed again and `noteFull` reports it.
template <class NoteFull>
lispval registerOpened(int fd, uint16_t kind, NoteFull noteFull) {
  const int32_t pseudofd = allocate_pseudofd(static_cast<uint32_t>(fd), kind);
  if (pseudofd < 0) {
    ::close(fd);
    noteFull();
    return nilval;
  }
  cl_error = 0;
  return lisp::makeFixnum(pseudofd);
}

lispval registerRuntimeDescriptor(int fd) {
  if (fd < 0) {
    noteRuntimeFailure(errno);
    return nilval;
  }
  return registerOpened(fd, host::kKindRuntimeDescriptor, [] { noteRuntimeFailure(EMFILE); });
}

lispval registerSystemHandle(int fd) {
  if (fd < 0) {
    noteSystemFailure(errno);
    return nilval;
  }
  return registerOpened(fd, host::kKindFileHandle,
                        [] { noteSystemError(kSystemTooManyOpenFiles); });
}

// The runtime-path flags of the mode bits other than access and truncation.
int runtimeModeFlags(uint32_t bits) {
  int flags = 0;
  if (bits & kModeAppend) flags |= O_APPEND;
  if (!(bits & kModeInherited)) flags |= O_CLOEXEC;
  return flags;
}

// Opens an existing file. Decision: a directory is refused as the C
// runtime's open refuses it (access denied), not handed out as a
// descriptor whose every read fails.
int openExisting(const char* path, int flags) {
  int fd = ::open64(path, flags);
  struct stat64 status;
  if (fd >= 0 && ::fstat64(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    ::close(fd);
    fd = -1;
    errno = EACCES;
  }
  // Writing to a directory fails before it is opened, with the same meaning.
  if (fd < 0 && errno == EISDIR) errno = EACCES;
  return fd;
}

lispval openSystemHandle(const char* path, AccessFlags access, bool truncate) {
  int flags = accessOf(access) | O_CLOEXEC;
  if (truncate) {
    // Decision: truncation needs write access (Linux would empty a file
    // opened only for reading).
    if (!access.output) {
      noteSystemError(platform::system_error::kInvalidParameter);
      return nilval;
    }
    flags |= O_TRUNC;
  }
  return registerSystemHandle(openExisting(path, flags));
}

lispval openRuntimeDescriptor(const char* path, AccessFlags access, uint32_t bits) {
  if (!access.input && !access.output) vxmprintf("%s", kBadOpenModeMessage);
  int flags = accessOf(access) | runtimeModeFlags(bits);
  if (bits & kModeTruncate) {
    if (!access.output) {  // as for system handles
      noteRuntimeError(kRuntimeInvalid);
      return nilval;
    }
    flags |= O_TRUNC;
  }
  return registerRuntimeDescriptor(openExisting(path, flags));
}

// ---- seeking and sizes ----

// The kind-1 descriptor's C-runtime descriptor, or -1 with errno EBADF.
int runtimeDescriptorOf(int32_t descriptor) {
  const int32_t fd = pseudofd_to_fd(static_cast<uint32_t>(descriptor), host::kKindRuntimeDescriptor);
  if (fd < 0) noteErrno(EBADF);
  return fd;
}

bool validOrigin(int32_t origin) {
  return origin >= SEEK_SET && origin <= kLastSeekOrigin;
}

int64_t joinHalves(uint32_t low, int32_t high) {
  return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
}

// A failed step of fio_ftruncate: errno is noted, the step's code returned.
int32_t truncateFailure(int32_t code) {
  noteErrno(errno);
  return code;
}

}  // namespace

extern "C" {

// ---- opening and closing ----

lispval cl_open(const char* path, lispval input, lispval output, lispval mode) {
  if (!path || !lisp::isFixnum(mode)) {
    noteRuntimeError(kRuntimeInvalid);
    return nilval;
  }
  const uint32_t bits = static_cast<uint32_t>(lisp::fixnumValue(mode));
  const AccessFlags access{input != nilval, output != nilval};
  if (bits & kModeSystemHandle) return openSystemHandle(path, access, (bits & kModeTruncate) != 0);
  return openRuntimeDescriptor(path, access, bits);
}

// Decision: this creates or empties the file (create-always), as the
// system-handle path does; it does not fail on an existing file.
lispval cl_create_x(const char* path, int32_t mode) {
  if (!path) {
    noteRuntimeError(kRuntimeInvalid);
    return nilval;
  }
  const uint32_t bits = static_cast<uint32_t>(mode);
  if (bits & kModeSystemHandle)
    return registerSystemHandle(
        ::open64(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, kCreatePermission));
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | runtimeModeFlags(bits);
  return registerRuntimeDescriptor(::open64(path, flags, kCreatePermission));
}

int32_t cl_creat(const char* path, int32_t permission) {
  if (!path) {
    noteErrno(EINVAL);
    return -1;
  }
  const int fd = ::open64(path, O_WRONLY | O_CREAT | O_TRUNC, static_cast<mode_t>(permission) & 07777);
  if (fd < 0) noteErrno(errno);
  return fd;
}

lispval cl_close(lispval descriptor) {
  host::HostRecord* record = hooks();
  if (!lisp::isFixnum(descriptor) || !record || !record->closeHook) {
    noteRuntimeError(kRuntimeBadDescriptor);
    return tval;
  }
  int32_t error = 0;
  cl_error = record->closeHook(lisp::fixnumValue(descriptor), &error) < 0 ? error << 2 : 0;
  return tval;
}

// ---- reading and writing ----

KORVANE_EXPORT int32_t cl_read(int32_t descriptor, char* buffer, int32_t start, int32_t count) {
  int32_t* error = platform::runtimeErrnoAddress();
  if (const int32_t refused = refusedTransfer(buffer, start, count)) {
    *error = refused;
    return transferFailure(refused);
  }
  host::HostRecord* record = hooks();
  if (!record || !record->readHook) {
    *error = kRuntimeBadDescriptor;
    return transferFailure(kRuntimeBadDescriptor);
  }
  const int32_t got = record->readHook(descriptor, buffer + start, count, error);
  return got >= 0 ? got : transferFailure(*error);
}

KORVANE_EXPORT int32_t cl_write(int32_t descriptor, const char* buffer, int32_t start,
                                int32_t count) {
  int32_t* error = platform::runtimeErrnoAddress();
  if (const int32_t refused = refusedTransfer(buffer, start, count)) {
    *error = refused;
    return transferFailure(refused);
  }
  host::HostRecord* record = hooks();
  // Output before the launcher has installed its hooks is discarded.
  if (!record || !record->writeHook) return count;
  const int32_t wrote = record->writeHook(descriptor, buffer + start, count, error);
  return wrote >= 0 ? wrote : transferFailure(*error);
}

// Waits (profiler gate closed) until the descriptor is ready, then reads.
KORVANE_EXPORT int32_t cl_select_read(int32_t descriptor, char* buffer, int32_t start,
                                      int32_t count) {
  if (const int32_t refused = refusedTransfer(buffer, start, count))
    return transferFailure(refused);
  host::HostRecord* record = hooks();
  if (!record || !record->noHangHook || !record->readHook)
    return transferFailure(kRuntimeBadDescriptor);
  const int32_t clamped = host::clampDescriptor(descriptor);
  int32_t error = 0;
  close_profiler_gate();
  record->noHangHook(clamped, nullptr, 1);
  const int32_t got = record->readHook(clamped, buffer + start, count, &error);
  open_profiler_gate();
  if (got > 0) return got;
  if (got == 0) return count != 0 ? -1 : -3;
  return transferFailure(error);
}

KORVANE_EXPORT int32_t cl_select_write(int32_t descriptor, const char* buffer, int32_t start,
                                       int32_t count) {
  if (const int32_t refused = refusedTransfer(buffer, start, count))
    return transferFailure(refused);
  host::HostRecord* record = hooks();
  if (!record || !record->noHangHook || !record->writeHook)
    return transferFailure(kRuntimeBadDescriptor);
  // Clamped before the complement: a negative descriptor must not turn
  // into a question about reading another one.
  const int32_t clamped = host::clampDescriptor(descriptor);
  int32_t error = 0;
  close_profiler_gate();
  record->noHangHook(~clamped, nullptr, 1);
  const int32_t wrote = record->writeHook(clamped, buffer + start, count, &error);
  open_profiler_gate();
  if (wrote > 0) return wrote;
  if (wrote == 0) return count != 0 ? 0 : -3;
  return transferFailure(error);
}

KORVANE_EXPORT lispval cl_no_hang(int32_t descriptor) {
  host::HostRecord* record = hooks();
  if (!record || !record->noHangHook) {
    noteRuntimeError(kRuntimeBadDescriptor);
    return nilval;
  }
  int32_t error = 0;
  const int32_t ready = record->noHangHook(host::clampDescriptor(descriptor), &error, 0);
  cl_error = error << 2;
  // Any answer but 0, a failed question (-1) too, is t: Lisp then reads and
  // meets the error rather than asking again for ever.
  return ready != 0 ? tval : nilval;
}

int32_t fcntl_ndelay(int32_t, int32_t) {
  return 0;  // no no-delay mode on this platform
}

// ---- seeking ----

int32_t cl_seek(int32_t descriptor, int32_t offset, int32_t origin) {
  noteErrno(0);
  const int fd = runtimeDescriptorOf(descriptor);
  if (fd < 0) return -1;
  if (!validOrigin(origin)) {
    noteErrno(EINVAL);
    return -1;
  }
  const off64_t at = ::lseek64(fd, offset, origin);
  if (at < 0) {
    noteErrno(errno);
    return -1;
  }
  // Decision: a position past the 32-bit range is a failure (the file has
  // moved there; cl_seek64 reports such positions).
  if (at > INT32_MAX) {
    noteErrno(EOVERFLOW);
    return -1;
  }
  return static_cast<int32_t>(at);
}

KORVANE_EXPORT int32_t cl_seek64(int32_t descriptor, int64_t* position, int32_t origin) {
  noteErrno(0);
  if (!position) {
    noteErrno(EINVAL);
    return errno_value();
  }
  const int fd = runtimeDescriptorOf(descriptor);
  if (fd < 0 || !validOrigin(origin)) {
    if (fd >= 0) noteErrno(EINVAL);
    *position = -1;
    return errno_value();
  }
  const off64_t at = ::lseek64(fd, *position, origin);
  if (at < 0) noteErrno(errno);
  *position = at < 0 ? -1 : at;
  return errno_value();
}

// ---- lengths ----

// The steps keep their failure codes; on Linux the two moves only serve to
// report a descriptor that cannot seek as the code says.
KORVANE_EXPORT int32_t fio_ftruncate(int32_t fd, uint32_t lengthLow, int32_t lengthHigh) {
  const int64_t length = joinHalves(lengthLow, lengthHigh);
  const off64_t saved = ::lseek64(fd, 0, SEEK_CUR);
  if (saved < 0) return truncateFailure(-2);
  if (::lseek64(fd, length, SEEK_SET) < 0) return truncateFailure(-3);
  if (::ftruncate64(fd, length) < 0) {
    const int failed = errno;
    // The position goes back even when the length could not be set.
    ::lseek64(fd, saved, SEEK_SET);
    errno = failed;
    return truncateFailure(-4);
  }
  if (::lseek64(fd, saved, SEEK_SET) < 0) return truncateFailure(-5);
  return 0;
}

KORVANE_EXPORT int32_t cl_ftruncate64(int32_t descriptor, const int64_t* length) {
  if (!length) {
    noteErrno(EINVAL);
    return -1;
  }
  const int fd = runtimeDescriptorOf(descriptor);
  if (fd < 0) return -1;
  const uint64_t bits = static_cast<uint64_t>(*length);
  return fio_ftruncate(fd, static_cast<uint32_t>(bits), static_cast<int32_t>(bits >> 32));
}

int32_t VXM_SetFilePointerEx(uint32_t handle, uint32_t distanceLow, int32_t distanceHigh,
                             int64_t* newPosition, int32_t method) {
  platform::setLastSystemError(0);
  if (!validOrigin(method)) {
    platform::setLastSystemError(platform::system_error::kInvalidParameter);
    return 0;
  }
  const off64_t at =
      ::lseek64(static_cast<int>(handle), joinHalves(distanceLow, distanceHigh), method);
  if (at < 0) {
    platform::setLastSystemError(platform::systemErrorFromLinux(errno));
    return 0;
  }
  if (newPosition) *newPosition = at;
  return 1;
}

int32_t VXM_GetFileSizeEx(uint32_t handle, int64_t* size) {
  platform::setLastSystemError(0);
  struct stat64 status;
  if (::fstat64(static_cast<int>(handle), &status) < 0) {
    platform::setLastSystemError(platform::systemErrorFromLinux(errno));
    return 0;
  }
  if (size) *size = status.st_size;
  return 1;
}

int32_t cl_readlink(const char*, char*, int32_t) {
  return 0;  // names are taken as they are: no links are followed here
}

}  // extern "C"
