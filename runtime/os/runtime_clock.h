// The runtime's wall clock: seconds since 2015-01-01 00:00:00 UTC and the
// milliseconds within that second. The system services' time and the mp
// event log's ticks both read it.
#pragma once

#include <cstdint>

namespace lisp::os {

inline constexpr int64_t kRuntimeEpochUnixSeconds = 1420070400;  // 2015-01-01 00:00:00 UTC

struct RuntimeTime {
  int64_t seconds;
  uint32_t milliseconds;
};

RuntimeTime runtimeClock();

}  // namespace lisp::os
