// The local time zone as Lisp code asks about it: minutes and hours west of
// UTC, and whether daylight-saving time applies at a given time.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// Fixnum: minutes west of UTC (standard time), after reading TZ again.
lisp::lispval sy_tz_mins();
// Fixnum: sy_tz_mins / 60, whole hours.
lisp::lispval sy_tz();
// Fixnum: -1 for a calendar time (seconds since 1970) of 0 or less, else 1
// when daylight-saving time applies at that time in the local zone, else 0.
lisp::lispval sy_isdst(int32_t calendarTime);
}
