// One-shot timers run by one timer thread, in place of the platform's
// multimedia timer: a timer calls its callback on that thread once its delay
// has passed. The clock is CLOCK_MONOTONIC in milliseconds unless a test
// injects its own; with an injected clock, `settle` lets the timer thread
// catch up with the clock and waits until every due timer has run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

// The five-argument timer callback: timer id, message, user word and two
// reserved words (always 0 here).
using TimerCallback = void (*)(uint32_t timerId, uint32_t message, uintptr_t userWord,
                               uintptr_t reserved1, uintptr_t reserved2);

struct TimerDeviceCaps {
  uint32_t periodMin;  // ms
  uint32_t periodMax;  // ms
};
inline constexpr TimerDeviceCaps kTimerDeviceCaps = {1, 1000000};

struct PendingTimer {
  uint32_t id;
  uint64_t dueMs;  // on the service's clock
  uint32_t delayMs;
  uint32_t resolutionMs;
  TimerCallback callback;
  uintptr_t userWord;
};

class TimerService {
 public:
  using Clock = std::function<uint64_t()>;  // milliseconds
  static uint64_t monotonicMs();

  // No clock: CLOCK_MONOTONIC.
  explicit TimerService(Clock clock = nullptr);
  ~TimerService();
  TimerService(const TimerService&) = delete;
  TimerService& operator=(const TimerService&) = delete;

  // Arms a one-shot timer; returns its id (never 0), or 0 when it cannot be
  // made (no callback, or a failure injected by a test).
  uint32_t setOneShot(uint32_t delayMs, uint32_t resolutionMs, TimerCallback callback,
                      uintptr_t userWord);
  // Removes a pending timer; false when the id names none (already run or
  // killed). A callback already running is not stopped.
  bool kill(uint32_t id);
  // Pending timers, soonest first.
  std::vector<PendingTimer> pending() const;

  // Device capabilities; false when the query fails (injected by a test).
  bool deviceCaps(TimerDeviceCaps* caps) const;
  // Period requests: begin fails (false) below the minimum period; end must
  // match a begin. The smallest period in force, 0 when none.
  bool beginPeriod(uint32_t periodMs);
  bool endPeriod(uint32_t periodMs);
  uint32_t periodInForce() const;

  // For an injected clock: wakes the timer thread and returns once no timer
  // due at the clock's present time is left and no callback is running.
  void settle();

  // Fault injection for tests.
  void failNextCreations(int count);
  void failDeviceQuery(bool fails);

 private:
  void run();
  bool idleAt(uint64_t now) const;

  Clock clock_;
  uint32_t armingSlackMs_;  // added to every delay
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::condition_variable idle_;
  std::multimap<uint64_t, PendingTimer> byDue_;
  uint32_t lastId_ = 0;
  bool running_ = false;  // a callback is running
  bool stopping_ = false;
  int failCreations_ = 0;
  bool failDeviceQuery_ = false;
  std::multiset<uint32_t> periods_;
  std::thread thread_;
};

// The process-wide service, made on first use.
TimerService& processTimerService();

}  // namespace platform
