// Waits for child processes. Both need the child-process table and the
// waits that release the heap.

#include "runtime/os/child_waits.h"

#include "runtime/os/awaited_services.h"

extern "C" {

lisp::lispval rs_sy_wait(lisp::lispval, lisp::lispval) {
  lisp::os::notAvailable("rs_sy_wait");
}

lisp::lispval rs_sy_wait_any(lisp::lispval) {
  lisp::os::notAvailable("rs_sy_wait_any");
}

}  // extern "C"
