// Stand-ins for services of other runtime modules; see startup_standins.h.
// Nothing here is meant to stay: each definition goes when its owner lands.

#include "runtime/load/startup_standins.h"

#include <cstdio>

#include "runtime/load/pure_library.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"

extern "C" {

uint32_t cl_debug_flags = 0;

// Replaced by the version over buftostr and Lisp's formatted output, once
// strings can be made: until then the text goes to the console as it is.
void lisp_format(const char* text) {
  vxmprintf("%s", text);
}

uint32_t do_purify = 0;

}  // extern "C"
