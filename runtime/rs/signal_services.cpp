// The native side of the signal routines: posted signals, the pending
// word as native code sees it, and the interrupt-check word.
//
// Decisions:
// - sy_gintchk and sy_sintchk read and write one process-wide word.
//   sy_sintchk answers nil, so that the unconverted result sintchk returns
//   is a Lisp value.
// - post_sig's stores to the pending word come down to one atomic store of
//   their final value (0).

#include <atomic>
#include <cstdint>

#include "runtime/gc/gc_state.h"
#include "runtime/load/small_services.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/nil_block.h"

namespace {

std::atomic<uint32_t> interruptCheckWord{0};

std::atomic_ref<uint32_t> pendingWord() {
  return std::atomic_ref<uint32_t>(lisp::wordAt(nilval, lisp::nil_block::global::kSignalPending));
}

}  // namespace

extern "C" {

// The first posted signal, its slot cleared; 0 when none is posted.
uint32_t take_posted_signal() {
  for (int& slot : lsignals) {
    const int signal = std::atomic_ref<int>(slot).exchange(0);
    if (signal == 0) continue;
    if (mp_logging) mp_log_event(lisp::mp_event::kSignalTaken, static_cast<uint32_t>(signal));
    return static_cast<uint32_t>(signal);
  }
  return 0;
}

void note_signal_processed() {
  if (mp_logging) mp_log_event(lisp::mp_event::kSignalProcessed, 0);
}

uint32_t interrupt_pending_p() {
  return pendingWord().load();
}

void post_pending_word() {
  pendingWord().store(0);
}

uint32_t sy_gintchk() {
  return interruptCheckWord.load();
}

uint32_t sy_sintchk(uint32_t word) {
  interruptCheckWord.store(word);
  return nilval;
}

}  // extern "C"
