// Stand-ins for the services of modules that are not built yet (see
// awaited_services.h). Each answers as its module would with nothing in it:
// there are no child processes.

#include "runtime/os/awaited_services.h"

#include <cstdio>

#include "runtime/load/startup_services.h"

extern "C" {

int add_waiting_proc_handles(uint32_t*, int, int) {
  return 0;
}

void note_signalled_procs(uint32_t*, int, int, int, int32_t) {}

}  // extern "C"

namespace lisp::os {

void notAvailable(const char* routine) {
  std::fprintf(stderr, "%s: not available\n", routine);
  std::fflush(stderr);
  lisp_exit(1);
}

}  // namespace lisp::os
