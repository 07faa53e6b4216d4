#include "runtime/os/alarm_timer.h"

#include <algorithm>
#include <mutex>

#include "launcher/host_record.h"
#include "platform/threads.h"
#include "platform/timer_service.h"
#include "runtime/load/small_services.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"

std::atomic<uint32_t> oneshot_timer_id{0};
std::atomic<uint32_t> repeat_timer_id{0};
std::atomic<uint32_t> ignore_timer_ints{1};
std::atomic<uint32_t> wTimerRes{0};
std::atomic<uint32_t> alarm_set_up{0};
std::atomic<uint32_t> tdebug[lisp::alarm::kTimerDebugWords]{};
std::atomic<uint32_t> lisp_sigblock_flag{0};

namespace lisp::alarm {
namespace {

namespace event = lisp::mp_event;

std::atomic<platform::TimerService*> chosenService{nullptr};

// Decision: from alarm-on until the alarm's first callback runs (or the alarm
// is turned off) the alarm is pending, also when its one-shot could not be
// made; the backup then fires it.
std::atomic<uint32_t> alarmPending{0};

// The callbacks running now. Turning the alarm off waits until none is, so
// that afterwards no callback raises the signal, writes the Lisp's words or
// arms a repeat: a Lisp that ends frees its heap right after. A callback
// entered after the turning off finds ignore_timer_ints set and returns.
std::atomic<int> callbacksRunning{0};
thread_local int callbackDepth = 0;  // on this thread; callbacks nest through the backup

struct RunningCallback {
  RunningCallback() {
    ++callbackDepth;
    ++callbacksRunning;
  }
  ~RunningCallback() {
    --callbackDepth;
    --callbacksRunning;
    callbacksRunning.notify_all();
  }
};

// Waits for the callbacks running on other threads (a callback that turns
// the alarm off does not wait for itself).
void waitForRunningCallbacks() {
  for (int running = callbacksRunning.load(); running != callbackDepth;
       running = callbacksRunning.load())
    callbacksRunning.wait(running);
}

// The timer ids are stored, and a callback checks its own, under this lock:
// a timer due at once cannot run before its id is stored.
std::mutex idsLock;

// A callback whose timer was replaced after the timer service released it
// (before it counted itself running) finds its id gone. The backup fires
// the alarm under the one-shot's id, 0 when the one-shot could not be made.
bool stale(uint32_t timerId) {
  return timerId != oneshot_timer_id.load() && timerId != repeat_timer_id.load();
}

platform::TimerService& timers() {
  platform::TimerService* service = chosenService.load();
  return service ? *service : platform::processTimerService();
}

host::HostRecord* hostRecord() { return reinterpret_cast<host::HostRecord*>(redir); }

void logEvent(uint32_t code, uint32_t value) {
  if (mp_logging) mp_log_event(code, value);
}

void killAll() {
  timers().kill(oneshot_timer_id.exchange(0));
  timers().kill(repeat_timer_id.exchange(0));
  timers().kill(tdebug[kBackupTimerId].exchange(0));
}

// Callers have set ignore_timer_ints. The second kill takes the repeat that
// a callback running meanwhile armed.
void killAllAndWait() {
  killAll();
  waitForRunningCallbacks();
  killAll();
}

// seconds × 1000 + microseconds ÷ 1000 in 64 bits (32 bits wrap above
// 4294967 s); negative totals are taken as 0.
uint64_t requestedDelayMs(int32_t seconds, int32_t microseconds) {
  const int64_t total = int64_t{seconds} * 1000 + microseconds / 1000;
  return total < 0 ? 0 : static_cast<uint64_t>(total);
}

}  // namespace

platform::TimerService* useTimerService(platform::TimerService* service) {
  return chosenService.exchange(service);
}

void resetForTests() {
  ignore_timer_ints = 1;
  killAllAndWait();
  oneshot_timer_id = 0;
  repeat_timer_id = 0;
  wTimerRes = 0;
  alarm_set_up = 0;
  alarmPending = 0;
  lisp_sigblock_flag = 0;
  for (auto& word : tdebug) word = 0;
}

}  // namespace lisp::alarm

using namespace lisp::alarm;

int32_t c_mpsetupalarm() {
  if (alarm_set_up.load()) return 4;
  for (int word = kBackupTimerId; word < kTimerDebugWords; ++word) tdebug[word] = 0;
  if (host::HostRecord* record = hostRecord(); record && record->lispThreadId == 0)
    record->lispThreadId = platform::currentThreadId();
  platform::TimerDeviceCaps caps{};
  // Decision: a failed device query leaves the set-up undone, so that a later
  // call may try again instead of reporting success.
  if (!timers().deviceCaps(&caps)) return 0;
  wTimerRes = caps.periodMin;
  timers().beginPeriod(caps.periodMin);
  alarm_set_up = 1;
  return 4;
}

int32_t c_mpalarmon(int32_t seconds, int32_t microseconds) {
  ++tdebug[kAlarmOnRequests];
  // Re-arming replaces every timer: as when turning off, a callback running
  // now must be done (its repeat killed, its clearing of the one-shot id
  // past) before the new timers are made and their ids stored.
  ignore_timer_ints = 1;
  killAllAndWait();
  const std::lock_guard arming(idsLock);
  if (seconds > static_cast<int32_t>(kMaxAlarmSeconds)) {
    logEvent(event::kAlarmTooLong, static_cast<uint32_t>(seconds));
    return 0;
  }
  const uint64_t requested = requestedDelayMs(seconds, microseconds);
  const uint32_t delay = static_cast<uint32_t>(std::min(requested, kMaxAlarmDelayMs));
  tdebug[kDelayRequested] = static_cast<uint32_t>(std::min<uint64_t>(requested, UINT32_MAX));
  tdebug[kDelayCapped] = delay;
  ignore_timer_ints = 0;
  alarmPending = 1;
  logEvent(event::kAlarmOn, delay);
  const uint32_t oneShot = timers().setOneShot(delay, wTimerRes, TimerInterrupt, kAlarmUserWord);
  if (oneShot == 0) ++tdebug[kCreationsFailed];
  else tdebug[kRearmPending] = 1;
  oneshot_timer_id = oneShot;
  const uint32_t backup =
      timers().setOneShot(delay + kBackupExtraMs, wTimerRes, BackupTimerInterrupt, kAlarmUserWord);
  if (backup == 0) ++tdebug[kBackupCreationsFailed];
  tdebug[kBackupTimerId] = backup;
  return 0;
}

void c_mpalarmoff() {
  ignore_timer_ints = 1;
  alarmPending = 0;
  const uint32_t oneShot = oneshot_timer_id.load();
  logEvent(event::kAlarmOff, oneShot);
  killAllAndWait();
  {
    // An alarm-on on another thread stores its timers' ids under the lock:
    // one that began before is now done, and its timers go too.
    const std::lock_guard arming(idsLock);
    ignore_timer_ints = 1;
    alarmPending = 0;
    killAll();
  }
  waitForRunningCallbacks();
  tdebug[kRearmPending] = 0;
}

int32_t c_mpwatchfor(int32_t descriptorOrComplement, uint32_t thread) {
  host::HostRecord* record = hostRecord();
  if (record && record->win_watchfor) record->win_watchfor(descriptorOrComplement, thread);
  return 0;
}

int32_t c_mpwaitsigio(int32_t mode) {
  host::HostRecord* record = hostRecord();
  if (record && record->win_waitsigio) record->win_waitsigio(mode);
  return 0;
}

void TimerInterrupt(uint32_t timerId, uint32_t, uintptr_t, uintptr_t, uintptr_t) {
  const RunningCallback running;
  std::unique_lock arming(idsLock);
  if (stale(timerId)) {
    ++tdebug[kCallbacksIgnored];
    return;
  }
  logEvent(event::kAlarmCallback, ignore_timer_ints.load());
  ++tdebug[kCallbacks];
  if (oneshot_timer_id.load() == 0) ++tdebug[kCallbacksWithoutAlarm];
  tdebug[kRearmPending] = 0;
  oneshot_timer_id = 0;
  alarmPending = 0;
  // Tested before re-arming: a callback that runs after the alarm was turned
  // off must not start the one-second repeat again.
  if (ignore_timer_ints.load()) {
    ++tdebug[kCallbacksIgnored];
    return;
  }
  const uint32_t repeat =
      timers().setOneShot(kRepeatDelayMs, kRepeatResolutionMs, TimerInterrupt, kAlarmUserWord);
  if (repeat == 0) ++tdebug[kCreationsFailed];
  else tdebug[kRearmPending] = 1;
  repeat_timer_id = repeat;
  arming.unlock();
  if (lisp_sigblock_flag.load()) ++tdebug[kCallbacksSignalsBlocked];
  setsig(kAlarmSignal);
  set_thread_int_register();
  if (host::HostRecord* record = hostRecord(); record && record->win_timersig)
    record->win_timersig();
}

void BackupTimerInterrupt(uint32_t, uint32_t message, uintptr_t userWord, uintptr_t reserved1,
                          uintptr_t reserved2) {
  const RunningCallback running;
  ++tdebug[kBackupCallbacks];
  tdebug[kBackupTimerId] = 0;
  if (!alarmPending.exchange(0)) return;
  ++tdebug[kBackupFoundAlarmPending];
  const uint32_t oneShot = oneshot_timer_id.load();
  timers().kill(oneShot);
  TimerInterrupt(oneShot, message, userWord, reserved1, reserved2);
}
