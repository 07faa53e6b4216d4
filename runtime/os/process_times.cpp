// Process and collector times. Every reading is taken from one source (the
// system's getrusage unless a test put its own), and the accumulators keep
// their microseconds words within 0 .. 999999 after every addition.

#include "runtime/os/process_times.h"

#include <sys/resource.h>

#include <atomic>
#include <ctime>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/gc_statistics.h"
#include "runtime/os/clock_services.h"

namespace {

constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kMicrosPerMilli = 1000;

bool systemProcessTimes(lisp::os::ProcessTimeReading* reading) {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return false;
  reading->userMicroseconds = usage.ru_utime.tv_sec * kMicrosPerSecond + usage.ru_utime.tv_usec;
  reading->systemMicroseconds = usage.ru_stime.tv_sec * kMicrosPerSecond + usage.ru_stime.tv_usec;
  return true;
}

std::atomic<lisp::os::ProcessTimeSource> g_source{systemProcessTimes};

lisp::os::ProcessTimeReading readProcessTimes() {
  lisp::os::ProcessTimeReading reading{};
  if (!g_source.load()(&reading)) reading = {};
  return reading;
}

int32_t secondsOf(int64_t micros) {
  return static_cast<int32_t>(micros / kMicrosPerSecond);
}
int32_t remainderOf(int64_t micros) {
  return static_cast<int32_t>(micros % kMicrosPerSecond);
}
int32_t millisOf(int32_t seconds, int32_t micros) {
  return static_cast<int32_t>(int64_t{seconds} * 1000 + micros / kMicrosPerMilli);
}

void read(int32_t* words) {
  const lisp::os::ProcessTimeReading now = readProcessTimes();
  words[0] = secondsOf(now.userMicroseconds);
  words[1] = remainderOf(now.userMicroseconds);
  words[2] = secondsOf(now.systemMicroseconds);
  words[3] = remainderOf(now.systemMicroseconds);
  words[4] = 0;
  words[5] = 0;
}

}  // namespace

extern "C" {

int32_t s_gcutime = 0;
int32_t s_gcstime = 0;
int32_t s_usec = 0, s_uusec = 0, s_ssec = 0, s_susec = 0;
int32_t s_gcusec = 0, s_gcuusec = 0, s_gcssec = 0, s_gcsusec = 0;
lisp::lispval s_pfmajor = 0, s_pfminor = 0, s_gcpfmajor = 0, s_gcpfminor = 0;

int32_t gcusec = 0, gcuusec = 0, gcssec = 0, gcsusec = 0, gcpfmajor = 0, gcpfminor = 0;
int32_t starttime[kReadingWords] = {};
int32_t endtime[kReadingWords] = {};

int32_t windows_getrusage(int32_t* usage) {
  lisp::os::ProcessTimeReading reading{};
  if (!g_source.load()(&reading)) {
    usage[0] = static_cast<int32_t>(std::clock());
    usage[1] = 0;
    return 0;
  }
  usage[0] = static_cast<int32_t>(reading.userMicroseconds / kMicrosPerMilli);
  usage[1] = static_cast<int32_t>(reading.systemMicroseconds / kMicrosPerMilli);
  usage[2] = secondsOf(reading.userMicroseconds);
  usage[3] = remainderOf(reading.userMicroseconds);
  usage[4] = secondsOf(reading.systemMicroseconds);
  usage[5] = remainderOf(reading.systemMicroseconds);
  return 1;
}

void sy_rtimes() {
  int32_t usage[6] = {};
  windows_getrusage(usage);
  s_utime = usage[0];
  s_stime = usage[1];
  s_gcutime = millisOf(gcusec, gcuusec);
  s_gcstime = millisOf(gcssec, gcsusec);
}

lisp::lispval sy_mrtimes() {
  int32_t now[kReadingWords] = {};
  read(now);
  s_usec = now[0];
  s_uusec = now[1];
  s_ssec = now[2];
  s_susec = now[3];
  s_gcusec = gcusec;
  s_gcuusec = gcuusec;
  s_gcssec = gcssec;
  s_gcsusec = gcsusec;
  s_pfmajor = s_pfminor = s_gcpfmajor = s_gcpfminor = nilval;
  return nilval;
}

// Decision: no emulated signals are blocked around a collection here; the
// collector runs while its thread owns the heap, and the runtime's handlers
// only note a signal for the heap owner to take later.
void gcstart() {
  read(starttime);
}

void gcend() {
  read(endtime);
  lisp::os::addElapsed(starttime[0], starttime[1], endtime[0], endtime[1], gcusec, gcuusec);
  lisp::os::addElapsed(starttime[2], starttime[3], endtime[2], endtime[3], gcssec, gcsusec);
  // The collector statistics count the same time, user and system together.
  const int64_t micros =
      (int64_t{endtime[0]} - starttime[0] + endtime[2] - starttime[2]) * kMicrosPerSecond +
      (endtime[1] - starttime[1]) + (endtime[3] - starttime[3]);
  if (micros > 0) gc::collectorMicroseconds += static_cast<uint64_t>(micros);
}

}  // extern "C"

namespace lisp::os {

void setProcessTimeSource(ProcessTimeSource source) {
  g_source = source ? source : systemProcessTimes;
}

void addElapsed(int32_t startSeconds, int32_t startMicros, int32_t endSeconds, int32_t endMicros,
                int32_t& seconds, int32_t& micros) {
  int64_t total = (int64_t{seconds} + endSeconds - startSeconds) * kMicrosPerSecond +
                  (int64_t{micros} + endMicros - startMicros);
  if (total < 0) total = 0;  // a clock that went back adds nothing below zero
  seconds = static_cast<int32_t>(total / kMicrosPerSecond);
  micros = static_cast<int32_t>(total % kMicrosPerSecond);
}

}  // namespace lisp::os
