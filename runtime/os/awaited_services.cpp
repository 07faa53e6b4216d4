// Stand-ins for the services of modules that are not built yet (see
// awaited_services.h). Each answers as its module would with nothing in it:
// there are no remote commands.

#include "runtime/os/awaited_services.h"

#include <cstdio>

#include "runtime/load/startup_services.h"

extern "C" {

int check_pending_remote_command() {
  return 0;
}

}  // extern "C"

namespace lisp::os {

void notAvailable(const char* routine) {
  std::fprintf(stderr, "%s: not available\n", routine);
  std::fflush(stderr);
  lisp_exit(1);
}

}  // namespace lisp::os
