// Stand-ins for services of other runtime modules; see startup_standins.h.
// Nothing here is meant to stay: each definition goes when its owner lands.

#include "runtime/load/startup_standins.h"

#include <cstdio>

#include "runtime/load/pure_library.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"

extern "C" {

// Replaced by the exception frame set-up's probe: until then the stack counts
// as executable and nothing is disallowed.
void probe_executable_stack() {}
// Replaced by the memory status report.
void memory_status_dump(const char*) {
  vxmprintf("memory map not available\n");
}
// Replaced by the first Lisp thread's start-up routines; until then the
// thread cannot start (setupstack_xhandler says so).
void getstorage() {}

// Replaced by the system services (no early entry points to preset yet).
void preset_early_entry_points() {}
// Replaced by the dump support (no signal state survives an image yet).
void reset_signals_after_dumplisp() {}
// Replaced by the exception frame set-up, which runs the first Lisp thread.
void setupstack_xhandler(int) {
  vxmfprintf(stderr, "first Lisp thread not available\n");
  lisp_exit(1);
}
uint32_t cl_debug_flags = 0;

// Replaced by the system services, where it belongs; the answer stays null.
void* sy_getproghandle() {
  return nullptr;
}

// Replaced by the heap relocation's linking: an attached library stays
// mapped, and the heap keeps its own copies of what the library holds.
void link_lso_file() {
  vxmprintf("lso linking not available\n");
}

// Replaced by the heap relocation: until then an image whose Lisp heap or
// pure library had to move cannot be restored.
int gc_relocate_heap(heap_descriptor*, int32_t, int32_t) {
  vxmfprintf(stderr, "lisp heap relocation not available\n");
  return 0;
}

// Replaced by the version over buftostr and Lisp's formatted output, once
// strings can be made: until then the text goes to the console as it is.
void lisp_format(const char* text) {
  vxmprintf("%s", text);
}

uint32_t inhibitprof = 0;
uint32_t do_purify = 0;

}  // extern "C"
