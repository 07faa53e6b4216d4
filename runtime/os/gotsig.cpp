// The entry by which the exception filter, the launcher's interrupt and the
// alarm timer deliver a signal.

#include "runtime/os/gotsig.h"

#include "runtime/load/small_services.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/rs/signal_kicker.h"

extern "C" lisp::lispval nilval;

extern "C" {

int gotsig(int signal, void* /*information*/, platform::ThreadContext* context) {
  if (signal == 0) return 0;
  // Before the Lisp heap is laid out (a restore or build still to come, an
  // image name still being asked for) there is no Lisp to tell: the signal
  // is dropped, and nothing is kept for a Lisp that does not exist yet.
  if (nilval == 0) return 0;
  setsigseen(signal);
  const int handled = gotsigkicker(signal, context);
  mp_log_event(lisp::mp_event::kSignalDelivered, static_cast<uint32_t>(signal));
  return handled;
}

}  // extern "C"
