// Process and collector times for Lisp code: the user and system time the
// process has used, the part of it spent in collections, and the result words
// the time services leave for Lisp code to read.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// Collector milliseconds after sy_rtimes (s_utime and s_stime hold the
// process's, see clock_services.h).
extern int32_t s_gcutime;
extern int32_t s_gcstime;
// Seconds and microseconds after sy_mrtimes: the process's user and system
// time, then the collector's.
extern int32_t s_usec, s_uusec, s_ssec, s_susec;
extern int32_t s_gcusec, s_gcuusec, s_gcssec, s_gcsusec;
// Page faults: not counted here, always nil after sy_mrtimes.
extern lisp::lispval s_pfmajor, s_pfminor, s_gcpfmajor, s_gcpfminor;

// Time spent in collections: user and system seconds and microseconds, the
// microseconds always 0 .. 999999; the fault counts stay 0.
extern int32_t gcusec, gcuusec, gcssec, gcsusec, gcpfmajor, gcpfminor;

// A reading: user seconds, user microseconds, system seconds, system
// microseconds, major faults (0), minor faults (0).
inline constexpr int kReadingWords = 6;
extern int32_t starttime[kReadingWords];
extern int32_t endtime[kReadingWords];

// The usage record: user milliseconds, system milliseconds, user seconds,
// user microseconds remainder, system seconds, system microseconds remainder.
// 1, or 0 when the system cannot tell (then word 0 := clock (), word 1 := 0).
int32_t windows_getrusage(int32_t* usage);

// s_utime, s_stime := process user and system milliseconds; s_gcutime,
// s_gcstime := the collector's.
void sy_rtimes();
// The seconds and microseconds words of the process and the collector; the
// page-fault words := nil. Returns nil.
lisp::lispval sy_mrtimes();

// Around every collection: gcstart reads starttime, gcend reads endtime and
// adds the difference to the collector's accumulators.
void gcstart();
void gcend();
}

namespace lisp::os {

// The process's user and system time; false when the system cannot tell.
struct ProcessTimeReading {
  int64_t userMicroseconds;
  int64_t systemMicroseconds;
};
using ProcessTimeSource = bool (*)(ProcessTimeReading* reading);
// Tests put in their own source; null puts the system's back.
void setProcessTimeSource(ProcessTimeSource source);

// Adds end - start (seconds, microseconds) to the accumulator pair, borrowing
// and carrying so that the microseconds stay 0 .. 999999.
void addElapsed(int32_t startSeconds, int32_t startMicros, int32_t endSeconds, int32_t endMicros,
                int32_t& seconds, int32_t& micros);

}  // namespace lisp::os
