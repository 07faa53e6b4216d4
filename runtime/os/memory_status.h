// The memory map report: every region of the address space with its state,
// kind and access, then the committed totals.
#pragma once

#include "runtime/rs/exports.h"

extern "C" {
// Writes the report to the file (standard output when there is no path or it
// cannot be opened for writing).
KORVANE_EXPORT void memory_status_dump(const char* path);
}
