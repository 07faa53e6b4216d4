#include "platform/timer_service.h"

#include <time.h>

#include <chrono>

namespace platform {

uint64_t TimerService::monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// The monotonic clock is read truncated to whole milliseconds, so the true
// present may be up to 1 ms past it: one more millisecond keeps a timer from
// running before its delay has passed. An injected clock is taken as exact.
TimerService::TimerService(Clock clock)
    : clock_(clock ? clock : Clock(monotonicMs)), armingSlackMs_(clock ? 0 : 1) {
  thread_ = std::thread([this] { run(); });
}

TimerService::~TimerService() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

uint32_t TimerService::setOneShot(uint32_t delayMs, uint32_t resolutionMs, TimerCallback callback,
                                  uintptr_t userWord) {
  if (!callback) return 0;
  std::lock_guard<std::mutex> guard(lock_);
  if (failCreations_ > 0) {
    --failCreations_;
    return 0;
  }
  // Ids never 0 and never one still pending.
  auto inUse = [this](uint32_t id) {
    for (const auto& [due, timer] : byDue_)
      if (timer.id == id) return true;
    return false;
  };
  do {
    ++lastId_;
  } while (lastId_ == 0 || inUse(lastId_));
  const uint64_t due = clock_() + delayMs + armingSlackMs_;
  byDue_.emplace(due, PendingTimer{lastId_, due, delayMs, resolutionMs, callback, userWord});
  changed_.notify_all();
  return lastId_;
}

bool TimerService::kill(uint32_t id) {
  if (id == 0) return false;
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = byDue_.begin(); it != byDue_.end(); ++it) {
    if (it->second.id == id) {
      byDue_.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<PendingTimer> TimerService::pending() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<PendingTimer> list;
  for (const auto& [due, timer] : byDue_) list.push_back(timer);
  return list;
}

bool TimerService::deviceCaps(TimerDeviceCaps* caps) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (failDeviceQuery_ || !caps) return false;
  *caps = kTimerDeviceCaps;
  return true;
}

bool TimerService::beginPeriod(uint32_t periodMs) {
  if (periodMs < kTimerDeviceCaps.periodMin || periodMs > kTimerDeviceCaps.periodMax) return false;
  std::lock_guard<std::mutex> guard(lock_);
  periods_.insert(periodMs);
  return true;
}

bool TimerService::endPeriod(uint32_t periodMs) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = periods_.find(periodMs);
  if (it == periods_.end()) return false;
  periods_.erase(it);
  return true;
}

uint32_t TimerService::periodInForce() const {
  std::lock_guard<std::mutex> guard(lock_);
  return periods_.empty() ? 0 : *periods_.begin();
}

void TimerService::failNextCreations(int count) {
  std::lock_guard<std::mutex> guard(lock_);
  failCreations_ = count;
}

void TimerService::failDeviceQuery(bool fails) {
  std::lock_guard<std::mutex> guard(lock_);
  failDeviceQuery_ = fails;
}

bool TimerService::idleAt(uint64_t now) const {
  return !running_ && (byDue_.empty() || byDue_.begin()->first > now);
}

void TimerService::settle() {
  std::unique_lock<std::mutex> guard(lock_);
  const uint64_t now = clock_();
  changed_.notify_all();
  idle_.wait(guard, [&] { return idleAt(now); });
}

void TimerService::run() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!stopping_) {
    const uint64_t now = clock_();
    if (byDue_.empty() || byDue_.begin()->first > now) {
      idle_.notify_all();
      if (byDue_.empty()) {
        changed_.wait(guard);
      } else {
        // With an injected clock this is only a re-check interval; settle()
        // wakes the thread at once.
        changed_.wait_for(guard, std::chrono::milliseconds(byDue_.begin()->first - now));
      }
      continue;
    }
    const PendingTimer timer = byDue_.begin()->second;
    byDue_.erase(byDue_.begin());
    running_ = true;
    guard.unlock();
    timer.callback(timer.id, 0, timer.userWord, 0, 0);
    guard.lock();
    running_ = false;
  }
  idle_.notify_all();
}

TimerService& processTimerService() {
  // Never destroyed: callbacks may still run while the process ends.
  static TimerService* const service = new TimerService();
  return *service;
}

}  // namespace platform
