// What the OS primitives do about routines whose modules are not built yet.
//
// Routines that cannot give a true answer without such a module (they need
// the heap-ownership lock) end the process with
// "<name>: not available" and status 1 (notAvailable below).
#pragma once

namespace lisp::os {
// "<routine>: not available" on the console (standard error), status 1.
[[noreturn]] void notAvailable(const char* routine);
}  // namespace lisp::os
