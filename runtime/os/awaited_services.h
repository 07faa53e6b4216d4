// What the OS primitives use of modules that are not built yet: the
// remote-command list. Each is declared as its module will provide it;
// awaited_services.cpp holds stand-ins that answer as an empty module would,
// and each stand-in goes when its module lands.
//
// Routines that cannot give a true answer without such a module (they need
// the heap-ownership lock) end the process with
// "<name>: not available" and status 1 (notAvailable below).
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// Remote commands: 1 when one is queued (it then raises the pseudo-signal).
int check_pending_remote_command();
}

namespace lisp::os {
// "<routine>: not available" on standard error, status 1.
[[noreturn]] void notAvailable(const char* routine);
}  // namespace lisp::os
