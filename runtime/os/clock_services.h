// The clock for Lisp code: the current UTC time in seconds since 2015-01-01
// 00:00 UTC with its milliseconds or microseconds, and the day number and
// seconds into the day that go with it.
#pragma once

#include <cstdint>

extern "C" {
// Result words Lisp code reads after the time services: after sy_time the
// seconds and milliseconds (after sy_mtime, microseconds); s_days and s_secs
// the day number and the seconds into that day.
extern int32_t s_utime;
extern int32_t s_stime;
extern int32_t s_days;
extern int32_t s_secs;

void sy_time();
void sy_mtime();
// Words 0 and 1 of the caller's four-word record take the seconds and the
// milliseconds (microseconds); words 2 and 3 the seconds into the day and
// the day number.
void sy_time_smp(int32_t* record);
void sy_mtime_smp(int32_t* record);

// From s_utime: when it lies outside the cached day, the day number s_days
// and the day's bounds are worked out again; s_secs := seconds into the day.
void sy_time_extra();
void sy_time_extra_smp(int32_t* record);
}

namespace lisp::os {

// Seconds of 2015-01-01 00:00 UTC in the system's epoch.
inline constexpr int64_t kLispClockEpoch = 1420070400;

// The real-time clock the services read, as seconds and nanoseconds of the
// system's epoch; tests put in their own (null puts the system's back).
struct ClockReading {
  int64_t seconds;
  int32_t nanoseconds;
};
using RealTimeClock = ClockReading (*)();
void setRealTimeClock(RealTimeClock clock);

}  // namespace lisp::os
