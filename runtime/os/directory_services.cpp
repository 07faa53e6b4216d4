#include "runtime/os/directory_services.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/os/file_call_errors.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/file_names.h"
#include "runtime/os/lisp_text_vectors.h"

namespace {

constexpr int32_t kWorkingDirectoryBuffer = 512;
constexpr mode_t kNewDirectoryMode = 0777;  // less the umask, as a new directory gets

lisp::lispval failedWith(int linuxErrno) {
  lisp::fio::noteRuntimeFailure(linuxErrno);
  return lisp::makeFixnum(-1);
}

// Runs mkdir or rmdir on the directory-to-make form of the name.
template <typename Call>
lisp::lispval onDirectory(const char* path, Call call) {
  if (!path) return failedWith(EINVAL);
  lisp::fio::PreparedPath prepared(path, kCanonicalDirectoryToMake);
  if (!prepared.text()) return failedWith(ENOMEM);
  if (call(prepared.text()) != 0) return failedWith(errno);
  return lisp::makeFixnum(0);
}

const char* baseNameOf(const char* path) {
  const char* slash = find_last_slash(path);
  return slash ? slash + 1 : path;
}

}  // namespace

extern "C" {

lisp::lispval syspwd(lisp::lispval string, int32_t drive) {
  char directory[kWorkingDirectoryBuffer];
  if (computewd(directory, drive) == 0) return nilval;
  return lisp::os::putText(string, directory) ? string : nilval;
}

uint32_t syssetpwd(const char* path) {
  if (!path || ::chdir(path) != 0) {
    lisp::fio::noteSystemFailure(path ? errno : ENOENT);
    return 0;
  }
  return 1;
}

lisp::lispval sy_chdir(const char* path) {
  if (!path) return failedWith(EINVAL);
  return ::chdir(path) == 0 ? nilval : failedWith(errno);
}

lisp::lispval sy_mkdir(const char* path, lisp::lispval) {
  return onDirectory(path, [](const char* name) { return ::mkdir(name, kNewDirectoryMode); });
}

lisp::lispval sy_rmdir(const char* path) {
  return onDirectory(path, [](const char* name) { return ::rmdir(name); });
}

int32_t sy_statfs(const char* path, uint64_t* total, uint64_t* freeToCaller, uint64_t* totalFree) {
  if (!path || !total || !freeToCaller || !totalFree) {
    lisp::fio::noteSystemFailure(EINVAL);
    return -1;
  }
  struct statvfs disk {};
  if (::statvfs(path, &disk) != 0) {
    lisp::fio::noteSystemFailure(errno);
    return -1;
  }
  const uint64_t unit = disk.f_frsize ? disk.f_frsize : disk.f_bsize;
  *total = unit * disk.f_blocks;
  *freeToCaller = unit * disk.f_bavail;
  *totalFree = unit * disk.f_bfree;
  return 0;
}

int32_t sy_file_attributes(const char* path) {
  struct stat status {};
  if (!path || ::stat(path, &status) != 0) {
    lisp::fio::noteSystemFailure(path ? errno : ENOENT);
    return -1;
  }
  int32_t bits = 0;
  if (S_ISDIR(status.st_mode)) bits |= lisp::os::kAttributeDirectory;
  if (::access(path, W_OK) != 0) bits |= lisp::os::kAttributeReadOnly;
  const char* base = baseNameOf(path);
  if (base[0] == '.' && std::strcmp(base, ".") != 0 && std::strcmp(base, "..") != 0)
    bits |= lisp::os::kAttributeHidden;
  return bits ? bits : lisp::os::kAttributeNormal;
}

}  // extern "C"
