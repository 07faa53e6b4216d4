// The entry by which the exception filter, the launcher's interrupt and the
// alarm timer deliver a signal.

#include "runtime/os/gotsig.h"

#include "runtime/load/small_services.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/rs/lisp_presence.h"
#include "runtime/rs/signal_kicker.h"

extern "C" {

int gotsig(int signal, void* /*information*/, platform::ThreadContext* context) {
  if (signal == 0) return 0;
  // Without a Lisp (a restore or build still to come or half done, an image
  // name still being asked for, the heaps given back after the end) there
  // is nobody to tell: the signal is dropped, and nothing is kept.
  const lisp::presence::Delivery delivery;
  if (!delivery.admitted()) return 0;
  setsigseen(signal);
  const int handled = gotsigkicker(signal, context);
  mp_log_event(lisp::mp_event::kSignalDelivered, static_cast<uint32_t>(signal));
  return handled;
}

}  // extern "C"
