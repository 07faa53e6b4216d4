#include "runtime/os/clock_services.h"

#include <time.h>

#include <atomic>

namespace {

constexpr int32_t kSecondsPerDay = 86400;

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

int32_t dayOf(int32_t seconds) {
  // Floor division: the second before the epoch lies in day -1.
  return seconds >= 0 ? seconds / kSecondsPerDay : -((kSecondsPerDay - 1 - seconds) / kSecondsPerDay);
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
    day_start = s_days * kSecondsPerDay;
    day_end = day_start + kSecondsPerDay;
  }
  s_secs = s_utime - day_start;
}

void sy_time_extra_smp(int32_t* record) {
  const int32_t day = dayOf(record[0]);
  record[3] = day;
  record[2] = record[0] - day * kSecondsPerDay;
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
