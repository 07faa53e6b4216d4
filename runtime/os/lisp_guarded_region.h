// The guarded region of the runtime: code run inside it has its machine
// exceptions decided by lisp_exception_filter, so a trap in Lisp code
// becomes a Lisp trap on the faulting thread, another fault a general Lisp
// signal, and what is not the runtime's goes to the next handler. Regions
// nest: a Lisp thread's whole life runs in one (setupstack_xhandler), and
// window procedures, callbacks from foreign threads and the executable-stack
// probe open their own inside or outside it.
#pragma once

#include <cstdint>

#include "platform/faults.h"
#include "runtime/os/exception_filter.h"

namespace lisp::os {

// Runs body(argument) inside an exception frame whose filter is
// lisp_exception_filter. Returns body's result, or 0 when the frame handled
// an exception (the filter never asks for that, so in practice the body's
// result).
inline uint32_t runInLispExceptionFrame(uint32_t (*body)(void* argument), void* argument) {
  return platform::runGuarded(lisp_exception_filter, body, argument);
}

}  // namespace lisp::os
