// The wall-clock pacer's clock, replaceable for tests.
#pragma once

#include <cstdint>

namespace sim {

struct PacerClock {
  std::uint64_t (*frequency)();  // counts per second
  std::uint64_t (*counter)();    // a monotonic count
  void (*sleepMilliseconds)(std::uint32_t milliseconds);
};

// Replaces the clock; null restores the real one (CLOCK_MONOTONIC in
// nanoseconds, nanosleep).
void setPacerClock(const PacerClock* clock);

}  // namespace sim
