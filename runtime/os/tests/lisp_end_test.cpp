// What a Lisp leaves behind once its heaps are given back (the console does
// so while it pauses after the Lisp's end): no alarm that signals into them.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/timer_service.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/os/alarm_timer.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/nil_block.h"
#include "testing/lisp_heap_fixture.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using namespace lisp::alarm;

std::atomic<uint64_t> virtualNow{0};

// A laid-out heap and the alarm over a virtual clock.
class LispEnd : public gc_test::LispHeap {
 protected:
  void SetUp() override {
    LispHeap::SetUp();
    virtualNow = 100000;
    savedService_ = useTimerService(&service_);
    resetForTests();
  }
  void TearDown() override {
    resetForTests();
    service_.settle();
    useTimerService(savedService_);
    LispHeap::TearDown();
  }
  void advance(uint64_t ms) {
    for (uint64_t done = 0; done < ms; done += 10) {
      virtualNow += 10;
      service_.settle();
    }
  }

  testing_support::Watchdog watchdog_{"Lisp end test", 20s};
  platform::TimerService service_{[] { return virtualNow.load(); }};
  platform::TimerService* savedService_ = nullptr;
};

TEST_F(LispEnd, GivingTheHeapsBackStopsTheAlarmsRepeat) {
  c_mpalarmon(1, 0);
  advance(1000);
  ASSERT_EQ(tdebug[kCallbacks].load(), 1u);
  EXPECT_EQ(lisp::wordAt(nilval, lisp::nil_block::global::kSignalPending), 0xffffffffu)
      << "the alarm signalled the Lisp";
  ASSERT_FALSE(service_.pending().empty()) << "the one-second repeat is armed";

  free_heaps(0);
  // Checked before the clock moves on: a repeat would write into the nil
  // block just given back.
  ASSERT_TRUE(service_.pending().empty()) << "an alarm timer is still armed";
  EXPECT_EQ(ignore_timer_ints.load(), 1u);
  advance(3000);
  EXPECT_EQ(tdebug[kCallbacks].load(), 1u);
}

}  // namespace
