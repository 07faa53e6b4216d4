// Stand-ins for services of other runtime modules; see startup_standins.h.
// Nothing here is meant to stay: each definition goes when its owner lands.

#include "runtime/load/startup_standins.h"

#include <cstdio>

#include "runtime/gc/heap_relocation.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/thread_storage.h"

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

// Replaced by the first Lisp thread's start-up routines, whose form also
// sets the record's trampolines (a Lisp-frame routine that has no frame to
// work on here: the relocation runs on the native stack).
void gc_rms_preinit() {
  rs_set_tls_thread(lisp_tls_index, dummy_thread);
  gc_rms();
}

// Replaced by the version over buftostr and Lisp's formatted output, once
// strings can be made: until then the text goes to the console as it is.
void lisp_format(const char* text) {
  vxmprintf("%s", text);
}

uint32_t inhibitprof = 0;
uint32_t do_purify = 0;

}  // extern "C"
