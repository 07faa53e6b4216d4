// The report of a routine whose module is not built yet (see
// awaited_services.h).

#include "runtime/os/awaited_services.h"

#include <cstdio>

#include "runtime/load/startup_services.h"

namespace lisp::os {

void notAvailable(const char* routine) {
  std::fprintf(stderr, "%s: not available\n", routine);
  std::fflush(stderr);
  lisp_exit(1);
}

}  // namespace lisp::os
