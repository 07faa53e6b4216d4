// Host records for test programs that start the runtime without the
// launcher: the write hook stands in for the launcher's console and puts
// everything written to a descriptor on the program's standard output (or,
// for death tests, which read standard error, there), so that the runtime's
// console messages (descriptor 1) can be read from there. Every other hook
// is absent, as before the launcher installs its own.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "launcher/host_record.h"

namespace testing_support {

template <int kFd>
int32_t writeToFile(int32_t, const char* buffer, int32_t length, int32_t* error) {
  int32_t written = 0;
  while (written < length) {
    const ssize_t wrote = ::write(kFd, buffer + written, static_cast<size_t>(length - written));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) {
      if (error) *error = errno;
      return -1;
    }
    written += static_cast<int32_t>(wrote);
  }
  return written;
}

template <int kFd>
host::HostRecord& consoleOn() {
  static host::HostRecord record = [] {
    host::HostRecord made{};
    made.writeHook = writeToFile<kFd>;
    return made;
  }();
  return record;
}

inline host::HostRecord& consoleHostRecord() {
  return consoleOn<STDOUT_FILENO>();
}
inline host::HostRecord& consoleOnStandardError() {
  return consoleOn<STDERR_FILENO>();
}

}  // namespace testing_support
