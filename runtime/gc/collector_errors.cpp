// The collector's fatal-error path: a collector error is shown as one line on
// standard error, titled as the system-modal box would be, and ends the
// process at once; flag D (or GsErrDump) ends it with status 10 first.

#include "runtime/gc/collector_errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/startup_services.h"

namespace {
constexpr size_t kMessageBytes = 2048;
constexpr int kAbortStatus = 10;
}  // namespace

namespace gc_messages {

void print(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stdout, format, arguments);
  va_end(arguments);
  std::fflush(stdout);
}

void warn(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fflush(stderr);
}

}  // namespace gc_messages

extern "C" {

uint32_t GsErrDump = 0;

void vxmabort() {
  lisp_exit(kAbortStatus);
}

void gsbpe() {
  if (GsErrDump != 0 || (GsCtlFlags & gc::flag::kAbortOnError) != 0) vxmabort();
}

void gserror(const char* format, uint32_t value, int status) {
  gsbpe();
  char message[kMessageBytes];
  std::snprintf(message, sizeof message, format, static_cast<unsigned long>(value));
  gc_messages::warn("%s: %s\n", gc_messages::kErrorTitle, message);
  if (status != 0) std::exit(status);
}

}  // extern "C"
