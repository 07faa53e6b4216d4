// Stand-ins for the Lisp world's services that the native loader calls
// outside boot mode; see loader_standins.h. Nothing here is meant to stay.

#include "runtime/load/loader_standins.h"

#include "runtime/gc/gc_state.h"

extern "C" {

// Replaced by the native entry into the Lisp package lookup.
lisp::lispval fasl_fpackage(lisp::lispval) {
  return 0;
}
// Replaced by the native entry into the Lisp cons sharing: the list itself
// is an equal list.
lisp::lispval fasl_share_conses(lisp::lispval list) {
  return list;
}
}
