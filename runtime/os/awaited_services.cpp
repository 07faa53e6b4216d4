// The report of a routine whose module is not built yet (see
// awaited_services.h).

#include "runtime/os/awaited_services.h"

#include <cstdio>

#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"

namespace lisp::os {

void notAvailable(const char* routine) {
  vxmfprintf(stderr, "%s: not available\n", routine);
  lisp_exit(1);
}

}  // namespace lisp::os
