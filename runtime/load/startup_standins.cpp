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

// Replaced by the first Lisp thread's start-up routines; until then the
// thread cannot start (first_lisp_thread_init says so).
void getstorage() {}

// Replaced by the dump support (no signal state survives an image yet).
void reset_signals_after_dumplisp() {}
uint32_t cl_debug_flags = 0;

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

uint32_t do_purify = 0;

}  // extern "C"
