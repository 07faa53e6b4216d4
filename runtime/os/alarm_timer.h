// The alarm: Lisp arms it with a delay; when it falls due a timer callback
// (on the timer service's thread) raises signal 14, marks the interrupt
// register and wakes the Lisp thread through the host record, then re-arms
// itself every second until the alarm is turned off. A backup timer 500 ms
// after the alarm makes an alarm whose one-shot was lost still fire. Also the
// two calls that register and wait for descriptor events through the host
// record.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {
class TimerService;
}

namespace lisp::alarm {

// The counters of `tdebug`, in their order.
enum TimerDebug : int {
  kCallbacks = 0,
  kCallbacksWithoutAlarm,
  kDelayCapped,
  kDelayRequested,  // before the cap, kept to 32 bits (saturated)
  kRearmPending,    // 1 while a timer of this module is armed
  kCallbacksSignalsBlocked,
  kCreationsFailed,
  kCallbacksIgnored,
  kBackupTimerId,  // the backup timer's id lives here
  kBackupCreationsFailed,
  kBackupCallbacks,
  kBackupFoundAlarmPending,
  kAlarmOnRequests,
  kTimerDebugWords
};

inline constexpr uint32_t kMaxAlarmSeconds = 16777215;
inline constexpr uint64_t kMaxAlarmDelayMs = 900000;  // 15 minutes
inline constexpr uint32_t kBackupExtraMs = 500;
inline constexpr uint32_t kRepeatDelayMs = 1000;
inline constexpr uint32_t kRepeatResolutionMs = 250;
inline constexpr int kAlarmSignal = 14;
inline constexpr uint32_t kAlarmUserWord = 1;

// The timer service the alarm uses (the process's one unless a test swaps in
// its own); returns the previous one.
platform::TimerService* useTimerService(platform::TimerService* service);
// Puts every word back to its state at process start (for tests).
void resetForTests();

}  // namespace lisp::alarm

extern "C" {
extern std::atomic<uint32_t> oneshot_timer_id;
extern std::atomic<uint32_t> repeat_timer_id;
extern std::atomic<uint32_t> ignore_timer_ints;
extern std::atomic<uint32_t> wTimerRes;
extern std::atomic<uint32_t> alarm_set_up;
extern std::atomic<uint32_t> tdebug[lisp::alarm::kTimerDebugWords];
// Non-zero while signals are blocked for Lisp. Decision: owned here until the
// signal-blocking module exists; the callbacks only count it.
extern std::atomic<uint32_t> lisp_sigblock_flag;

// Returns 4 (the fixnum 1), or 0 when the timer device cannot be queried.
int32_t c_mpsetupalarm();
int32_t c_mpalarmon(int32_t seconds, int32_t microseconds);
void c_mpalarmoff();
int32_t c_mpwatchfor(int32_t descriptorOrComplement, uint32_t thread);
// The Lisp entry mpwaitsigio also passes the thread record after the mode;
// the wait does not need it.
int32_t c_mpwaitsigio(int32_t mode);
void TimerInterrupt(uint32_t timerId, uint32_t message, uintptr_t userWord, uintptr_t reserved1,
                    uintptr_t reserved2);
void BackupTimerInterrupt(uint32_t timerId, uint32_t message, uintptr_t userWord,
                          uintptr_t reserved1, uintptr_t reserved2);
}
