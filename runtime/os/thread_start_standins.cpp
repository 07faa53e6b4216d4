// Stand-ins for the Lisp thread starts; see thread_start_standins.h.

#include "runtime/os/thread_start_standins.h"

#include "runtime/load/startup_services.h"
#include "runtime/os/awaited_services.h"
#include "runtime/os/console_printing.h"

extern "C" {

// Replaced by the thread start-up, which runs the thread's Lisp function.
void second_lisp_thread_c_init(int32_t) {
  lisp::os::notAvailable("second_lisp_thread_c_init");
}

// Replaced by the first Lisp thread's start-up routines.
void first_lisp_thread_init() {
  vxmprintf("first Lisp thread not available\n");
  lisp_exit(1);
}

}  // extern "C"
