// What the OS primitives use of modules that are not built yet: the
// child-process table. Each is declared as its
// module will provide it; awaited_services.cpp holds stand-ins that answer
// as an empty module would, and each stand-in goes when its module lands.
//
// Routines that cannot give a true answer without such a module (they need
// the heap-ownership lock) end the process with
// "<name>: not available" and status 1 (notAvailable below).
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// Child processes: appends the handles of children not yet seen ended from
// array[start] on, stopping at limit; returns how many.
int add_waiting_proc_handles(uint32_t* array, int start, int limit);
// Marks the child whose handle is at the index the wait result names (within
// [first, end)) as seen ended.
void note_signalled_procs(uint32_t* array, int first, int end, int limit, int32_t waitResult);
}

namespace lisp::os {
// "<routine>: not available" on standard error, status 1.
[[noreturn]] void notAvailable(const char* routine);
}  // namespace lisp::os
