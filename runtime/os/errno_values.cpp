// A native function on Linux reports its failure in errno only. The
// thread's "last system error" is therefore errno translated into a system
// error code, the same translation the platform layer makes when its own
// calls fail; 0 stays 0 in both numberings.

#include "runtime/os/errno_values.h"

#include <cerrno>

#include "platform/error_numbers.h"

int32_t errno_value() {
  return errno == 0 ? 0 : platform::runtimeErrnoFromLinux(errno);
}

void clear_errno_value() {
  errno = 0;
  *platform::runtimeErrnoAddress() = 0;
}

uint32_t last_error_value() {
  return errno == 0 ? 0 : platform::systemErrorFromLinux(errno);
}
