#include "platform/program_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace platform {
namespace {

constexpr const char* kLostOutputFormat = "%s: cannot write standard output: %s\n";

// The first failure's error number, kept because stdio drops the unwritten
// buffer and answers a later flush with success.
int firstFailure = 0;

bool isOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// The reason of a failure whose error number stdio did not keep: a closed
// (or read-only placeholder) descriptor, else an unspecified write error.
int reasonOfEarlierFailure() {
  const int flags = fcntl(STDOUT_FILENO, F_GETFL);
  return flags == -1 || (flags & O_ACCMODE) == O_RDONLY ? EBADF : EIO;
}

const char* lastComponent(const char* path) {
  if (path == nullptr || *path == '\0') return "program";
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr && slash[1] != '\0' ? slash + 1 : path;
}

}  // namespace

void reserveStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (isOpen(fd)) continue;
    const int placeholder = open("/dev/null", O_RDONLY);
    if (placeholder < 0) return;
    if (placeholder != fd) {
      dup2(placeholder, fd);
      close(placeholder);
    }
  }
}

int flushStandardOutput() {
  // std::cout is synchronised with stdout: its flush flushes stdout, and a
  // failing write leaves its error number behind.
  errno = 0;
  std::cout.flush();
  const bool flushed = std::fflush(stdout) == 0;
  const int reason = errno;
  if (firstFailure == 0 && (!flushed || std::ferror(stdout) || !std::cout.good())) {
    firstFailure = reason != 0 ? reason : reasonOfEarlierFailure();
  }
  return firstFailure;
}

bool finishStandardOutput(const char* program) {
  const int reason = flushStandardOutput();
  if (reason == 0) return true;
  std::fprintf(stderr, kLostOutputFormat, lastComponent(program), std::strerror(reason));
  return false;
}

}  // namespace platform
