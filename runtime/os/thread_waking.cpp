// Waking threads that wait outside the heap: by registry index, by the
// descriptor they wait on, at an alarm, and the thread that must see an
// interrupt when nobody owns the heap. Also the profiler gate of the first
// thread.

#include <cstdint>

#include "runtime/gc/gc_state.h"
#include "runtime/load/small_services.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/record_words.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/thread_record.h"

namespace tr = lisp::thread_record;
namespace ev = lisp::mp_event;
using lisp::lispval;
using lisp::os::recordWord;
using lisp::registry::lockReadyQueue;
using lisp::registry::rawRecord;
using lisp::registry::unlockReadyQueue;

namespace {

constexpr int kAlarmSignal = 14;
// A thread waiting on more descriptors than this counts as waiting on all.
constexpr uint32_t kDescriptorsListed = 4;

void openWakeEvent(uint32_t* record) {
  vxm_open_lock(recordWord(record, tr::kWakeEvent));
}

}  // namespace

extern "C" {

void open_lock(int32_t index) {
  if (uint32_t* record = lisp::registry::recordAt(index)) openWakeEvent(record);
}

void lock_wait(int32_t index) {
  if (uint32_t* record = lisp::registry::recordAt(index))
    md_lock_wait(recordWord(record, tr::kWakeEvent));
}

// A dead record stays dead: setting its state to 0 would make it look alive.
void free_one_waiting_thread(int32_t index) {
  uint32_t* record = lisp::registry::recordAt(index);
  if (!record) return;
  const uint32_t state = recordWord(record, tr::kState);
  if (state == tr::kStateRunning || state == tr::kStateDead) return;
  mp_log_event(ev::kWaitingThreadWoken, static_cast<uint32_t>(index));
  openWakeEvent(record);
  recordWord(record, tr::kState) = tr::kStateRunning;
}

// The wait list is a chain of conses (descriptor . rest) ending in nil or in
// anything that is not a cons; at most kDescriptorsListed + 1 cells are read.
int thread_waiting_on_fd(uint32_t* record, int32_t descriptor) {
  lispval cell = recordWord(record, tr::kDescriptorWaitList);
  for (uint32_t position = 0; lisp::isCons(cell); ++position) {
    if (position == kDescriptorsListed) return 1;
    const lispval entry = lisp::car(cell);
    if (lisp::isFixnum(entry) && lisp::fixnumValue(entry) == descriptor) return 1;
    cell = lisp::cdr(cell);
  }
  return 0;
}

void free_waiting_thread(int32_t descriptor) {
  const auto& control = vxm_thread_control;
  mp_log_event(ev::kFreeWaitingThread, static_cast<uint32_t>(descriptor));
  lockReadyQueue();
  for (uint32_t index = 0; index < control.registryCount; ++index) {
    uint32_t* record = control.registryTable[index];
    if (!record) break;
    const uint32_t state = recordWord(record, tr::kState);
    bool wake = state == tr::kStateWaitingForWake;
    if (state == tr::kStateWaitingOnDescriptors &&
        (descriptor == -1 || InScavenge != 0 ||
         (descriptor != 0 && thread_waiting_on_fd(record, descriptor)))) {
      mp_log_event(ev::kIoThreadWoken, recordWord(record, tr::kOsThreadId));
      wake = true;
    }
    if (wake) free_one_waiting_thread(static_cast<int32_t>(index));
  }
  unlockReadyQueue();
}

void threads_note_sigalrm(int signal) {
  if (signal != kAlarmSignal) return;
  setsig(kAlarmSignal);
  const int32_t alarmThread = vxm_thread_control.alarmThread;
  if (alarmThread < 0) return;
  mp_log_event(ev::kAlarmWakes, static_cast<uint32_t>(alarmThread));
  open_lock(alarmThread);
  vxm_thread_control.alarmThread = -1;
}

void ensure_live_thread_for_interrupt() {
  if (vxm_thread_control.heapOwnerIndex < 0 && !lisp::heap_lock::readyHead()) {
    lockReadyQueue();
    if (vxm_thread_control.heapOwnerIndex < 0 && !lisp::heap_lock::readyHead())
      ensure_live_thread_for_interrupt_search();
    unlockReadyQueue();
    return;
  }
  mp_log_event(ev::kLiveThreadNothing, 0);
}

void ensure_live_thread_for_interrupt_search() {
  for (uint32_t* record = threadctl_active; record; record = lisp::registry::nextOnChain(record)) {
    if (recordWord(record, tr::kOsThreadId) == 0) continue;
    const uint32_t next = recordWord(record, tr::kQueueNext);
    if (next == nilval || next == 0) continue;
    mp_log_event(ev::kLiveThreadWoke, recordWord(record, tr::kOsThreadId));
    lisp::heap_lock::unlinkFromQueue(record);
    lisp::heap_lock::queueOnlyMember(record);
    openWakeEvent(record);
    return;
  }
  mp_log_event(ev::kLiveThreadNone, 0);
}

void smp_control_sigalrm(int flag, lispval record) {
  smp_sigalrm_handler = flag ? rawRecord(record) : nullptr;
}

void smpgotsig14() {
  mp_log_event(ev::kSignal14, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(smp_sigalrm_handler)));
  if (smp_sigalrm_handler) openWakeEvent(smp_sigalrm_handler);
}

void close_profiler_gate() {
  if (vxm_thread_control.heapOwnerIndex != 0) return;
  if (uint32_t* record = lisp::registry::recordAt(0))
    recordWord(record, tr::kProfilingExclusion) = lisp::makeFixnum(1);
}

void open_profiler_gate() {
  if (vxm_thread_control.heapOwnerIndex != 0) return;
  if (uint32_t* record = lisp::registry::recordAt(0))
    recordWord(record, tr::kProfilingExclusion) = lisp::makeFixnum(0);
}

}  // extern "C"
