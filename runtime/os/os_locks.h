// OS locks (automatic-reset events), mutexes and semaphores as the thread
// machinery uses them, by handle word.
#pragma once

#include <cstdint>

extern "C" {
// An unnamed mutex that nobody owns yet.
uint32_t create_os_mutex();
// Closes a handle made by any routine here; 1 on success.
int free_os_lock(uint32_t handle);
// An automatic-reset event, signalled (open) when `closed` is 0.
uint32_t allocate_os_lock(int closed);
// Opens the lock: one waiter passes, then it is closed again.
int vxm_open_lock(uint32_t event);
// Waits without limit; returns the wait result (0, 128 abandoned, -1 failed).
int32_t md_lock_wait(uint32_t handle);
// Waits in five-second slices while keeping the thread responsive to messages.
int32_t md_itchy_lock_wait(uint32_t handle);
// An unnamed semaphore with count 0 and maximum 1.
uint32_t allocate_os_semaphore();

// Open, or wait without limit for, the wake event of the thread with that
// registry index.
void open_lock(int32_t index);
void lock_wait(int32_t index);

// Empty hooks.
void vxm_semaphore_get();
void vxm_semaphore_post();
void set_thread_int_register();
void rfr_enter_scan_stackspace();
void rfr_leave_scan_stackspace();
void rfr_report_bp();
}
