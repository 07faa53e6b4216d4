// The time zone from the C library's view of TZ: tzset reads it again on
// every question, so a changed TZ counts at once.

#include "runtime/os/time_zone.h"

#include <time.h>

namespace {

constexpr int32_t kSecondsPerMinute = 60;
constexpr int32_t kMinutesPerHour = 60;

int32_t minutesWest() {
  tzset();
  return static_cast<int32_t>(timezone / kSecondsPerMinute);
}

}  // namespace

extern "C" {

lisp::lispval sy_tz_mins() {
  return lisp::makeFixnum(minutesWest());
}

lisp::lispval sy_tz() {
  return lisp::makeFixnum(minutesWest() / kMinutesPerHour);
}

lisp::lispval sy_isdst(int32_t calendarTime) {
  if (calendarTime <= 0) return lisp::makeFixnum(-1);
  tzset();
  const time_t time = calendarTime;
  tm local{};
  if (!localtime_r(&time, &local)) return lisp::makeFixnum(-1);
  return lisp::makeFixnum(local.tm_isdst > 0 ? 1 : 0);
}

}  // extern "C"
