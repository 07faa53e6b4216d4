#include "runtime/os/clock_services.h"

#include <time.h>

#include <atomic>

namespace {

constexpr int32_t kSecondsPerDay = 86400;
// Day numbers count from 2000-03-01; the Lisp clock's epoch, 2015-01-01, is
// day 5419 (16436 days after 1970-01-01, less 11017).
constexpr int32_t kDayOfLispEpoch = 5419;

lisp::os::ClockReading systemClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return {static_cast<int64_t>(now.tv_sec), static_cast<int32_t>(now.tv_nsec)};
}

std::atomic<lisp::os::RealTimeClock> real_time_clock{systemClock};

// Seconds since the Lisp clock's epoch and the fraction in `unitsPerSecond`.
struct LispTime {
  int32_t seconds;
  int32_t fraction;
};
LispTime now(int32_t unitsPerSecond) {
  const lisp::os::ClockReading reading = real_time_clock.load()();
  const int32_t nanosecondsPerUnit = 1000000000 / unitsPerSecond;
  return {static_cast<int32_t>(reading.seconds - lisp::os::kLispClockEpoch),
          reading.nanoseconds / nanosecondsPerUnit};
}

// The cached day: [day_start, day_end) in Lisp-clock seconds.
int32_t day_start = 1;
int32_t day_end = 0;

// Whole days since the Lisp clock's epoch, rounded down: the second before
// the epoch lies in day -1.
int32_t daysSinceEpoch(int32_t seconds) {
  return seconds >= 0 ? seconds / kSecondsPerDay : -((kSecondsPerDay - 1 - seconds) / kSecondsPerDay);
}
int32_t dayOf(int32_t seconds) {
  return daysSinceEpoch(seconds) + kDayOfLispEpoch;
}
// Lisp-clock seconds at the start of the day numbered `day`.
int32_t dayStart(int32_t day) {
  return (day - kDayOfLispEpoch) * kSecondsPerDay;
}

}  // namespace

extern "C" {

int32_t s_utime = 0;
int32_t s_stime = 0;
int32_t s_days = 0;
int32_t s_secs = 0;

void sy_time_extra() {
  if (s_utime < day_start || s_utime >= day_end) {
    s_days = dayOf(s_utime);
    day_start = dayStart(s_days);
    day_end = day_start + kSecondsPerDay;
  }
  s_secs = s_utime - day_start;
}

void sy_time_extra_smp(int32_t* record) {
  const int32_t day = dayOf(record[0]);
  record[3] = day;
  record[2] = record[0] - dayStart(day);
}

void sy_time() {
  const LispTime time = now(1000);
  s_utime = time.seconds;
  s_stime = time.fraction;
  sy_time_extra();
}

void sy_mtime() {
  const LispTime time = now(1000000);
  s_utime = time.seconds;
  s_stime = time.fraction;
  sy_time_extra();
}

void sy_time_smp(int32_t* record) {
  const LispTime time = now(1000);
  record[0] = time.seconds;
  record[1] = time.fraction;
  sy_time_extra_smp(record);
}

void sy_mtime_smp(int32_t* record) {
  const LispTime time = now(1000000);
  record[0] = time.seconds;
  record[1] = time.fraction;
  sy_time_extra_smp(record);
}

}  // extern "C"

namespace lisp::os {

void setRealTimeClock(RealTimeClock clock) {
  real_time_clock = clock ? clock : systemClock;
}

}  // namespace lisp::os
