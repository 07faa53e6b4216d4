// The mp event log.
//
// Invariant: `log_gate` guards only the sequence number and the position, so
// every writer owns a distinct entry with a distinct sequence number; the
// writer fills the entry's last three words after it has let the gate go.

#include "runtime/os/mp_log.h"

#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/runtime_clock.h"
#include "runtime/os/thread_registry.h"

namespace {

constexpr uint32_t kRingEntries = 1000;

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

void takeGate() {
  if (log_gate) md_lock_wait(log_gate);
}

void giveGate() {
  if (log_gate) platform::releaseMutex(log_gate);
}

bool recorded(uint32_t code) {
  if (mp_logging == 0) return false;
  const bool detailed =
      code >= lisp::mp_event::kDetailedFirst && code <= lisp::mp_event::kDetailedLast;
  return !detailed || (lisp::fixnumValue(static_cast<lisp::lispval>(mp_logging)) & 1) != 0;
}

}  // namespace

namespace lisp::mp_log {

void setUp() {
  vxm_thread_control.logAddress = addressOf(vxm_mplog);
  thread_log_address = vxm_mplog;
  vxm_thread_control.logPosition = 0;
  if (log_gate == 0) log_gate = create_os_mutex();
}

}  // namespace lisp::mp_log

extern "C" {

const uint32_t mplog_size = kRingEntries;
lisp::mp_log::Entry vxm_mplog[kRingEntries];
uint32_t mplog_sequence = 0;
lisp::mp_log::Entry* vxm_mplog_last_entry = nullptr;
lisp::mp_log::Entry* thread_log_address = nullptr;
int mp_logging = 0;
uint32_t log_gate = 0;

uint32_t mp_log_event(uint32_t code, uint32_t value) {
  if (code == lisp::mp_event::kAlarmHook) mp_log_alarm();
  if (!recorded(code)) return value;
  takeGate();
  const uint32_t position = vxm_thread_control.logPosition % kRingEntries;
  vxm_thread_control.logPosition = position + 1 == kRingEntries ? 0 : position + 1;
  lisp::mp_log::Entry* entry = &vxm_mplog[position];
  entry->sequence = mplog_sequence++;
  entry->milliseconds = mpticks();
  giveGate();
  vxm_mplog_last_entry = entry;
  entry->osThreadId = platform::currentThreadId();
  entry->code = code;
  entry->value = value;
  return value;
}

void mp_log_scavenge() {
  if (mp_logging == 0) return;
  takeGate();
  const uint32_t position = vxm_thread_control.logPosition % kRingEntries;
  giveGate();
  lisp::mp_log::Entry& newest = vxm_mplog[position == 0 ? kRingEntries - 1 : position - 1];
  if (newest.code == lisp::mp_event::kScavenges)
    ++newest.value;
  else
    mp_log_event(lisp::mp_event::kScavenges, 1);
}

void mp_log_grab() {
  takeGate();
}

void mp_log_release() {
  giveGate();
}

uint32_t mpticks() {
  const lisp::os::RuntimeTime now = lisp::os::runtimeClock();
  return static_cast<uint32_t>(static_cast<uint64_t>(now.seconds) * 1000 + now.milliseconds);
}

void note_socket_message() {}
void mplog_bp() {}
void mp_log_alarm() {}
void mplog_holdit() {}

}  // extern "C"
