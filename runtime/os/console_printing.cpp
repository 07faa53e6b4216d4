// The console printer (console_printing.h). A text longer than the line
// buffer is cut, never written past it.

#include "runtime/os/console_printing.h"

#include <cstdarg>

#include "launcher/host_record.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/pseudo_descriptors.h"

namespace {

constexpr int32_t kLineBufferBytes = 1024;

}  // namespace

int32_t lisp::os::vprintToConsole(const char* format, va_list arguments) {
  char line[kLineBufferBytes];
  const int formatted = format ? std::vsnprintf(line, sizeof line, format, arguments) : 0;
  // Decision: a format the C library cannot render writes nothing.
  int32_t length = formatted < 0 ? 0 : formatted;
  if (length > kLineBufferBytes - 1) length = kLineBufferBytes - 1;
  return cl_write(host::kStandardOutput, line, 0, length);
}

void lisp::os::vprintStartupFailure(const char* format, va_list arguments) {
  const host::HostRecord* record = hostRecord();
  if (record && record->consoleWindow != 0) {
    vprintToConsole(format, arguments);
  } else {
    std::vfprintf(stderr, format, arguments);
    std::fflush(stderr);
  }
}

void lisp::os::printStartupFailure(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vprintStartupFailure(format, arguments);
  va_end(arguments);
}

namespace {

// Hands fixed word arguments on; the format is Lisp's, not a literal here.
int32_t printWords(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int32_t result = lisp::os::vprintToConsole(format, arguments);
  va_end(arguments);
  return result;
}

}  // namespace

extern "C" {

int32_t vxmprintf(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int32_t result = lisp::os::vprintToConsole(format, arguments);
  va_end(arguments);
  return result;
}

int32_t vxmfprintf(FILE* stream, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int32_t result = -1;  // no stream, or no format for one
  if (stream == stdout || stream == stderr)
    result = lisp::os::vprintToConsole(format, arguments);
  else if (stream && format)
    result = std::vfprintf(stream, format, arguments);
  va_end(arguments);
  return result;
}

int32_t dovxmprint0(const char* format) {
  return printWords(format);
}

int32_t dovxmprint1(const char* format, uint32_t a) {
  return printWords(format, a);
}

int32_t dovxmprint2(const char* format, uint32_t a, uint32_t b) {
  return printWords(format, a, b);
}

int32_t dovxmprint3(const char* format, uint32_t a, uint32_t b, uint32_t c) {
  return printWords(format, a, b, c);
}

}  // extern "C"
