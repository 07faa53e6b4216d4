// Waits for child processes, as the system-call dispatch serves them to Lisp.
#pragma once

#include "runtime/rs/lisp_value.h"

extern "C" {
// Reaps the child with that id (0 or -1: any child), waiting for it unless
// `wait` is nil; returns its exit status with the id and nil as three values.
lisp::lispval rs_sy_wait(lisp::lispval processId, lisp::lispval wait);
lisp::lispval rs_sy_wait_any(lisp::lispval wait);
}
