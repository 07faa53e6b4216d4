// OS locks, mutexes and semaphores over the platform's waitable objects.

#include "runtime/os/os_locks.h"

#include "platform/waitable.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/thread_registry.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/os_waits.h"

extern "C" {

uint32_t create_os_mutex() {
  return platform::createMutex(false);
}

int free_os_lock(uint32_t handle) {
  return platform::closeHandle(handle) ? 1 : 0;
}

uint32_t allocate_os_lock(int closed) {
  return platform::createEvent(false, closed == 0);
}

int vxm_open_lock(uint32_t event) {
  mp_log_event(lisp::mp_event::kWakeEventSet, event);
  return platform::setEvent(event) ? 1 : 0;
}

int32_t md_lock_wait(uint32_t handle) {
  return platform::waitForAny({&handle, 1}, platform::kWaitForever);
}

int32_t md_itchy_lock_wait(uint32_t handle) {
  int32_t result = platform::kWaitFailed;
  wait_but_watch_for_messages(1, &handle, 1, &result);
  return result;
}

uint32_t allocate_os_semaphore() {
  return platform::createSemaphore(0, 1);
}

void vxm_semaphore_get() {}
void vxm_semaphore_post() {}
void set_thread_int_register() {}
void rfr_enter_scan_stackspace() {}
void rfr_leave_scan_stackspace() {}
void rfr_report_bp() {}

}  // extern "C"
