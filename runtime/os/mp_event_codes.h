// Codes of the mp event log written by the OS primitives.
#pragma once

#include <cstdint>

namespace lisp::mp_event {
inline constexpr uint32_t kLispThreadExit = 10;        // value: 0
inline constexpr uint32_t kWaitEndedByMessage = 18;    // value: the message number
inline constexpr uint32_t kWakeEventSet = 19;          // value: the event handle
inline constexpr uint32_t kBreakableWaitEnded = 514;   // value: the wait result
inline constexpr uint32_t kBreakableWaitStarts = 518;  // value: 0
}  // namespace lisp::mp_event
