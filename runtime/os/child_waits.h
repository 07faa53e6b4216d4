// Waits for child processes, as the system-call dispatch serves them to Lisp.
#pragma once

#include "runtime/rs/lisp_value.h"

extern "C" {
// The child with that process id (a fixnum; 0 or -1: any child, as
// rs_sy_wait_any): waited for with the heap released unless `wait` is nil.
// An ended child is reaped: its exit status as a fixnum, with its id in the
// calling thread's first extra result word and nil in the second. nil when
// there are no children or the id is unknown; a child still running (wait
// nil) gives nil with its id in the first extra word.
lisp::lispval rs_sy_wait(lisp::lispval processId, lisp::lispval wait);
// Any child: with `wait` nil only looks (nothing ended gives fixnum 0),
// else waits with the heap released. A failed wait (no children, or more
// than one system wait takes) gives nil; an ended child is reaped as above.
lisp::lispval rs_sy_wait_any(lisp::lispval wait);
}
