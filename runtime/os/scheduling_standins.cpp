// Stand-ins for services of other modules; see scheduling_standins.h.

#include "runtime/gc/gc_state.h"
#include "runtime/os/scheduling_standins.h"

#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/record_words.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/thread_record.h"

namespace tr = lisp::thread_record;
using lisp::os::recordWord;

extern "C" {

// Replaced by the thread start and exit module, which keeps the release off
// the ready queue: a record left at its head would hold every other thread
// back for ever.
uint32_t* check_for_thread_exit(uint32_t* record) {
  if (!record || recordWord(record, tr::kKillRequest) == 0) return record;
  const auto index = static_cast<int32_t>(recordWord(record, tr::kRegistryIndex));
  if (vxm_thread_control.environmentIndex == index) vxm_make_environment_neutral();
  vxm_release_heap_for_sdcall_t(record, 0);
  recordWord(record, tr::kSavedNativeStack) = 0;
  recordWord(record, tr::kOsIdSlot) = nilval;
  recordWord(record, tr::kState) = tr::kStateKilled;
  mp_log_event(lisp::mp_event::kKilledThreadEnds, 0);
  free_os_lock(recordWord(record, tr::kWakeEvent));
  recordWord(record, tr::kWakeEvent) = 0;
  lisp_thread_exit();
}

}  // extern "C"
