// Six Lisp-side threads on real OS threads pass a token round by gates and
// semaphores through thread_operation: each waits on its own gate (which
// gives the heap up), and the holder opens or posts the next one. Never two
// heap owners, every wait ends, bounded by a watchdog.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <vector>

#include "platform/waitable.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/tests/thread_operations_fixture.h"
#include "testing/watchdog.h"

namespace thread_ops_test {
namespace {

using namespace std::chrono_literals;

class ThreadToken : public ThreadOperations {
 protected:
  static constexpr int kThreads = 6;
  static constexpr int kPasses = 10000;

  testing_support::LispCallResult operationAs(int i, int32_t code, lispval a1, lispval a3) {
    testing_support::LispCallSetup setup = setupFor(kThreadOperation, a1, makeFixnum(code), 3);
    setup.ebx = rec(i);
    setup.frame[testing_support::frameIndex(0x1c)] = rec(i);
    setup.stack[2] = a3;
    return testing_support::callWithLispConventions(setup);
  }

  void enter(int i) {
    if (inside_.fetch_add(1) != 0) ++faults_;
    if (vxm_thread_control.heapOwnerIndex != i) ++faults_;
    if (tcp_that_owns_heap != records_[i].raw()) ++faults_;
  }
  void leave() { inside_.fetch_sub(1); }

  std::string describe() {
    std::ostringstream out;
    out << "passes " << passes_ << ", ready";
    for (int i : readyOrder()) out << ' ' << i;
    out << ", waiting";
    for (int i : waitingOrder()) out << ' ' << i;
    out << ", owner " << vxm_thread_control.heapOwnerIndex;
    return out.str();
  }

  std::atomic<int> inside_{0};
  std::atomic<int> faults_{0};
  int passes_ = 0;      // changed only by the heap owner
  bool finished_ = false;
  std::vector<lispval> gates_;
};

uint32_t runBody(void* argument) {
  (*static_cast<std::function<void()>*>(argument))();
  return 0;
}

TEST_F(ThreadToken, SixThreadsPassATokenByGatesAndSemaphores) {
  testing_support::Watchdog watchdog("thread token", 60s, [&] { return describe(); });
  vxm_thread_control.heapMutex = create_os_mutex();
  vxm_thread_control.heapOwnerIndex = -2;
  for (int i = 0; i < kThreads; ++i) gates_.push_back(gate());
  *state(gates_[0]) = 1;
  std::atomic<int> ended{0};

  std::vector<std::function<void()>> bodies;
  for (int i = 0; i < kThreads; ++i)
    bodies.emplace_back([this, i, &ended] {
      records_[i].at(tr::kOsThreadId) = identify_os_thread();
      vxm_grab_heap_control(records_[i].raw());
      for (;;) {
        operationAs(i, 9, gates_[i], nil());  // returns holding the heap
        enter(i);
        if (finished_) break;
        if (*state(gates_[i]) == 0) {  // woken before its gate opened: wait again
          leave();
          continue;
        }
        *state(gates_[i]) = 0;
        if (++passes_ == kPasses) {
          finished_ = true;  // every thread wakes, sees it and stops
          for (lispval g : gates_) operationAs(i, 10, g, makeFixnum(0));
          break;
        }
        leave();
        const lispval next = gates_[(i + 1) % kThreads];
        operationAs(i, 10, next, makeFixnum(passes_ % 2));  // open, or post
      }
      leave();
      ++ended;
      vxm_release_heap_for_sdcall_t(records_[i].raw(), 0);
    });

  std::vector<uint32_t> handles;
  for (auto& body : bodies) {
    uint32_t handle = 0;
    ASSERT_EQ(create_os_thread(runBody, &body, 0, nullptr, &handle), 0);
    handles.push_back(handle);
  }
  for (uint32_t handle : handles) {
    platform::waitForAny({&handle, 1}, platform::kWaitForever);
    platform::closeHandle(handle);
  }
  EXPECT_EQ(passes_, kPasses);
  EXPECT_EQ(ended.load(), kThreads);
  EXPECT_EQ(faults_.load(), 0);
}

}  // namespace
}  // namespace thread_ops_test
