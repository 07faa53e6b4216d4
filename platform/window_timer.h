// Window timers: once set, a timer posts the timer message (wParam its id)
// to its window every period until it is killed or the window is gone.
// Setting a timer that exists restarts it with the new period. They run on a
// timer service (timer_service.h): the process's, or one a test injects.
#pragma once

#include <cstdint>

#include "platform/timer_service.h"
#include "platform/waitable.h"

namespace platform {

inline constexpr uint32_t kTimerMessage = 0x113;

// False (last error set) when the window is not a live window or the timer
// cannot be armed.
bool setWindowTimer(Handle window, uint32_t id, uint32_t periodMs);
// False when no such timer is set.
bool killWindowTimer(Handle window, uint32_t id);
// The period of a set timer; 0 when none is set.
uint32_t windowTimerPeriod(Handle window, uint32_t id);

// Window timers set from now on run on `service`; null: the process's.
void useWindowTimerService(TimerService* service);

}  // namespace platform
