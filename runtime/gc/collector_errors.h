// The collector's fatal-error path.
#pragma once

#include <cstdint>

extern "C" {
// Debugging word: when set, a collector error ends the process with status 10
// before its message (as flag D does).
extern uint32_t GsErrDump;

// Shows the formatted message titled as a collector error and ends the
// process with `status`; returns only when status is 0.
void gserror(const char* format, uint32_t value, int status);
void gsbpe();
[[noreturn]] void vxmabort();
}
