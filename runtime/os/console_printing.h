// The runtime's console printer: every message of the runtime is formatted
// into one line buffer and written to pseudo descriptor 1, so that it reaches
// the launcher's console rather than the process's standard output.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "runtime/rs/exports.h"

extern "C" {
// Formats into a 1024-byte buffer (a longer text is cut to its first 1023
// characters) and writes it with cl_write (1, buffer, 0, length); returns
// cl_write's result.
KORVANE_EXPORT int32_t vxmprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The process's standard output and standard error both print as vxmprintf
// does; any other stream gets the text directly (vfprintf's result).
KORVANE_EXPORT int32_t vxmfprintf(FILE* stream, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// vxmprintf with zero to three word arguments, for Lisp code, which calls
// with a fixed argument count.
KORVANE_EXPORT int32_t dovxmprint0(const char* format);
KORVANE_EXPORT int32_t dovxmprint1(const char* format, uint32_t a);
KORVANE_EXPORT int32_t dovxmprint2(const char* format, uint32_t a, uint32_t b);
KORVANE_EXPORT int32_t dovxmprint3(const char* format, uint32_t a, uint32_t b, uint32_t c);
}

namespace lisp::os {
// vxmprintf for runtime modules that hand on their own argument list.
int32_t vprintToConsole(const char* format, va_list arguments);
// A start-up failure's message (no image, an image not found or not
// restored): through the console, in order with its other text, while a
// console window is up; without one on the process's standard error
// (flushed), where scripts that start the Lisp without a console read it.
void printStartupFailure(const char* format, ...) __attribute__((format(printf, 1, 2)));
// printStartupFailure for modules that hand on their own argument list.
void vprintStartupFailure(const char* format, va_list arguments);
}  // namespace lisp::os
