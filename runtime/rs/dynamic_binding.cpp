// The native end of the binding routines: a binding stack that cannot grow.

#include "runtime/rs/dynamic_binding.h"

#include <cstdio>

#include "runtime/load/startup_services.h"

extern "C" void binding_stack_exhausted() {
  std::fputs(lisp::dynamic_binding::kBindingStackExhausted, stderr);
  std::fflush(stderr);
  lisp_exit(1);
}
