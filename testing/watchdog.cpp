#include "testing/watchdog.h"

#include <cstdio>
#include <cstdlib>

namespace testing_support {

Watchdog::Watchdog(std::string what, std::chrono::milliseconds limit,
                   std::function<std::string()> describe) {
  watcher_ = std::thread([this, what = std::move(what), limit, describe = std::move(describe)] {
    std::unique_lock guard(lock_);
    if (finished_.wait_for(guard, limit, [this] { return done_; })) return;
    const std::string state = describe ? describe() : std::string("no state given");
    std::fprintf(stderr, "watchdog: %s did not finish within %lld ms; %s\n", what.c_str(),
                 static_cast<long long>(limit.count()), state.c_str());
    std::fflush(stderr);
    std::_Exit(1);
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard guard(lock_);
    done_ = true;
  }
  finished_.notify_all();
  watcher_.join();
}

}  // namespace testing_support
