// Bounds a thread test in time: when the guarded scope has not ended within
// its limit, the watchdog writes what it was told to report on standard error
// and ends the process with status 1, instead of letting the test hang.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace testing_support {

class Watchdog {
 public:
  // `describe` is called on expiry to report the state of the test's threads.
  Watchdog(std::string what, std::chrono::milliseconds limit,
           std::function<std::string()> describe = {});
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex lock_;
  std::condition_variable finished_;
  bool done_ = false;
  std::thread watcher_;
};

}  // namespace testing_support
