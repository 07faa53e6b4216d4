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

}  // extern "C"
