// The native end of the binding routines: a binding stack that cannot grow.

#include "runtime/rs/dynamic_binding.h"

#include <cstdio>

#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"

extern "C" void binding_stack_exhausted() {
  vxmfprintf(stderr, "%s", lisp::dynamic_binding::kBindingStackExhausted);
  lisp_exit(1);
}
