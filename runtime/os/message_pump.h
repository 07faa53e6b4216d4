// Event watches and the message pump of Lisp threads, the wake-up of the Lisp
// thread, and thin window wrappers for Lisp code. The launcher binds
// win_watchfor, win_waitsigio, win_timersig, vxm_message_peek_loop and
// vxm_process_single_event by name and reaches them through the host record.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// The descriptor (or its complement, for writing) joins the watch lists:
// a socket's events the calling thread's socket-watch list, a child pipe's
// event the thread's event-watch list. kStopWatching empties both lists.
int32_t win_watchfor(int32_t pseudofdOrComplement, lisp::lispval thread);
// Waits for one event (host record word 13), then pumps (word 12) with `mode`.
int32_t win_waitsigio(int32_t mode);
// With `reset` non-zero the thread's event-watch count becomes 0; otherwise
// the handle is appended unless the list of 10 is full. Returns the count's
// address.
uint32_t* vxm_event_watch(uint32_t handle, int32_t reset, lisp::lispval thread);
// Appends the one event that is always signalled (made on first use).
void vxm_event_always_signalled(lisp::lispval thread);
// The pending interrupt when there is one, else the result of a
// message-aware wait on the calling thread's event-watch list.
int32_t vxm_process_single_event();
// Pumps pending messages: mode 0 the thread's own, modes 4 to 7 those of the
// windows in host record word 17. A quit message ends the Lisp with status 0.
int32_t vxm_message_peek_loop(int32_t mode);
// With `peekOnly` set: 1 when a message is waiting, else 0. Without: pumps
// through host record word 12 with mode 0 and returns 0.
int32_t process_pending_events(int32_t peekOnly);
// Posts WM_USER to the Lisp thread named by host record word 14.
void wake_lisp_thread();
// The alarm's wake-up: wake_lisp_thread when word 14 names a thread.
void win_timersig();

uint32_t vxm_mp_setfocus(uint32_t window);
uint32_t vxm_mp_sendmessage(uint32_t window, uint32_t message, uint32_t wParam, uint32_t lParam);
// Waits for a message of the window (0: any) in first..last (both 0: any)
// and copies the 28-byte message record to `out`; 0 for a quit message,
// -1 on failure, else 1.
int32_t vxm_mp_getmessage(void* out, uint32_t window, uint32_t first, uint32_t last);
}

namespace lisp::os {
// The descriptor of win_watchfor that empties both watch lists.
inline constexpr int32_t kStopWatching = -10000;
}  // namespace lisp::os
