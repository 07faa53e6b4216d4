// The file calls' shared words, their error reporting, and the working
// directory.

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error_numbers.h"
#include "runtime/os/file_call_errors.h"
#include "runtime/os/file_calls.h"

namespace {
// The word tcm keeps its first argument in.
int32_t tcm_word = 0;
constexpr size_t kWorkingDirectoryBytes = 512;
}  // namespace

extern "C" {

int32_t cl_error = 0;
// Decision: no remote-command descriptor until tcm names one.
int32_t remote_command_fd = -1;

int32_t tcm(int32_t a, int32_t b) {
  tcm_word = a;
  remote_command_fd = b;
  return a;
}

int32_t computewd(char* buffer, int32_t drive) {
  // Decision: Linux has no drive letters, so a drive other than 0 has no
  // working directory.
  if (!buffer || drive != 0) return 0;
  if (!::getcwd(buffer, kWorkingDirectoryBytes)) return 0;  // errno says why
  return static_cast<int32_t>(std::strlen(buffer));
}

}  // extern "C"

namespace lisp::fio {

void noteRuntimeFailure(int linuxErrno) {
  errno = linuxErrno;
  platform::noteLinuxFailure(linuxErrno);
  cl_error = platform::runtimeErrnoFromLinux(linuxErrno) << 2;
}

void noteSystemFailure(int linuxErrno) {
  noteSystemError(platform::systemErrorFromLinux(linuxErrno));
}

void noteSystemError(uint32_t code) {
  platform::setLastSystemError(code);
  cl_error = static_cast<int32_t>(code << 2);
}

void noteRuntimeError(int32_t runtimeErrno) {
  *platform::runtimeErrnoAddress() = runtimeErrno;
  cl_error = runtimeErrno << 2;
}

}  // namespace lisp::fio

namespace lisp::fio {

void noteErrno(int linuxErrno) {
  errno = linuxErrno;
  *platform::runtimeErrnoAddress() = linuxErrno == 0 ? 0 : platform::runtimeErrnoFromLinux(linuxErrno);
}

}  // namespace lisp::fio
