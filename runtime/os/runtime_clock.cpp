#include "runtime/os/runtime_clock.h"

#include <ctime>

namespace lisp::os {

RuntimeTime runtimeClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return {static_cast<int64_t>(now.tv_sec) - kRuntimeEpochUnixSeconds,
          static_cast<uint32_t>(now.tv_nsec / 1000000)};
}

}  // namespace lisp::os
