// Window timers as one-shot timers that re-arm themselves after each post.
// Each arming carries a fresh number; a callback whose number is no longer
// the timer's (killed or set anew meanwhile) does nothing.

#include "platform/window_timer.h"

#include <map>
#include <mutex>
#include <utility>

#include "platform/error_numbers.h"
#include "platform/message_queue.h"
#include "platform/window_look.h"

namespace platform {

namespace {

struct WindowTimer {
  uint32_t periodMs;
  uintptr_t arming;       // the number of the arming in force
  uint32_t serviceTimer;  // the service's id of that arming
  TimerService* service;
};

using TimerKey = std::pair<Handle, uint32_t>;

std::mutex timers_lock;
std::map<TimerKey, WindowTimer>& timers() {
  static auto* const table = new std::map<TimerKey, WindowTimer>;  // callbacks outlive exit
  return *table;
}
std::map<uintptr_t, TimerKey>& armings() {
  static auto* const table = new std::map<uintptr_t, TimerKey>;
  return *table;
}
uintptr_t last_arming = 0;
TimerService* injected_service = nullptr;

TimerService& service() {
  return injected_service ? *injected_service : processTimerService();
}

void timerDue(uint32_t, uint32_t, uintptr_t arming, uintptr_t, uintptr_t);

// Arms the next period of `timer`. Needs timers_lock.
bool arm(const TimerKey& key, WindowTimer& timer) {
  armings().erase(timer.arming);
  timer.arming = ++last_arming;
  timer.serviceTimer = timer.service->setOneShot(timer.periodMs, 1, timerDue, timer.arming);
  if (!timer.serviceTimer) return false;
  armings()[timer.arming] = key;
  return true;
}

void forget(std::map<TimerKey, WindowTimer>::iterator at) {
  armings().erase(at->second.arming);
  at->second.service->kill(at->second.serviceTimer);
  timers().erase(at);
}

void timerDue(uint32_t, uint32_t, uintptr_t arming, uintptr_t, uintptr_t) {
  std::lock_guard<std::mutex> hold(timers_lock);
  const auto found = armings().find(arming);
  if (found == armings().end()) return;
  const TimerKey key = found->second;
  const auto at = timers().find(key);
  if (at == timers().end()) return;
  if (!postWindowMessage(key.first, kTimerMessage, key.second, 0)) {
    forget(at);  // the window is gone
    return;
  }
  if (!arm(key, at->second)) forget(at);
}

}  // namespace

bool setWindowTimer(Handle window, uint32_t id, uint32_t periodMs) {
  std::lock_guard<std::mutex> hold(timers_lock);
  const TimerKey key{window, id};
  if (const auto at = timers().find(key); at != timers().end()) forget(at);
  WindowLook look;
  if (!readWindowLook(window, &look)) return false;
  WindowTimer timer{periodMs, 0, 0, &service()};
  if (!arm(key, timer)) {
    setLastSystemError(system_error::kNotEnoughMemory);
    return false;
  }
  timers()[key] = timer;
  return true;
}

bool killWindowTimer(Handle window, uint32_t id) {
  std::lock_guard<std::mutex> hold(timers_lock);
  const auto at = timers().find({window, id});
  if (at == timers().end()) return false;
  forget(at);
  return true;
}

uint32_t windowTimerPeriod(Handle window, uint32_t id) {
  std::lock_guard<std::mutex> hold(timers_lock);
  const auto at = timers().find({window, id});
  return at == timers().end() ? 0 : at->second.periodMs;
}

void useWindowTimerService(TimerService* service) {
  std::lock_guard<std::mutex> hold(timers_lock);
  injected_service = service;
}

}  // namespace platform
