// Stand-ins for the urgent-interrupt routines, which the trap and signal
// module of the runtime system replaces. A context redirected here ends the
// process with a line saying which routine it reached.

#include <cstdio>

#include "runtime/load/startup_services.h"
#include "runtime/rs/signal_kicker.h"

namespace {
[[noreturn]] void notYet(const char* routine) {
  std::fprintf(stderr, "%s: not available\n", routine);
  std::fflush(stderr);
  lisp_exit(1);
}
}  // namespace

extern "C" {
void urgent_interrupt() {
  notYet("urgent_interrupt");
}
void urgent_interrupt_from_c() {
  notYet("urgent_interrupt_from_c");
}
void urgent_interrupt_from_c_leaf() {
  notYet("urgent_interrupt_from_c_leaf");
}
}
