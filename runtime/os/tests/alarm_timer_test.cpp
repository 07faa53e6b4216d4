#include "runtime/os/alarm_timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "launcher/host_record.h"
#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/timer_service.h"
#include "runtime/load/small_services.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/message_pump.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using namespace lisp::alarm;
using platform::PendingTimer;
using platform::TimerService;
using testing_support::Watchdog;
namespace ev = lisp::mp_event;

std::atomic<uint64_t> virtualNow{0};
std::atomic<int> timerSignalCalls{0};
std::vector<uint64_t> timerSignalTimes;  // written on the timer thread, read after settle
std::atomic<int> watchCalls{0};
int32_t watchedDescriptor = 0;
uint32_t watchedThread = 0;
int32_t waitedMode = 0;

void recordTimerSignal() {
  timerSignalTimes.push_back(virtualNow.load());
  ++timerSignalCalls;
}
int32_t recordWatch(int32_t descriptor, uint32_t thread) {
  watchedDescriptor = descriptor;
  watchedThread = thread;
  ++watchCalls;
  return 7;
}
int32_t recordWait(int32_t mode) {
  waitedMode = mode;
  return 9;
}

bool signal14Raised() { return std::find(std::begin(lsignals), std::end(lsignals), 14) != std::end(lsignals); }

// An alarm over a virtual clock and a host record whose timer-signal word
// records its calls.
class AlarmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    virtualNow = 100000;
    timerSignalCalls = 0;
    timerSignalTimes.clear();
    savedService_ = useTimerService(&service_);
    resetForTests();
    record_.win_timersig = recordTimerSignal;
    record_.win_watchfor = recordWatch;
    record_.win_waitsigio = recordWait;
    savedRecord_ = redir;
    redir = reinterpret_cast<uint32_t*>(&record_);
    savedLogging_ = mp_logging;
    mp_logging = 1;
    std::fill(std::begin(lsignals), std::end(lsignals), 0);
  }
  void TearDown() override {
    resetForTests();
    service_.settle();
    useTimerService(savedService_);
    redir = savedRecord_;
    mp_logging = savedLogging_;
    std::fill(std::begin(lsignals), std::end(lsignals), 0);
  }

  // Moves the virtual clock on in 10 ms steps, letting due timers run.
  void advance(uint64_t ms) {
    for (uint64_t done = 0; done < ms; done += 10) {
      virtualNow += std::min<uint64_t>(10, ms - done);
      service_.settle();
    }
  }
  std::vector<uint64_t> ticksSinceArming(uint64_t armedAt) {
    std::vector<uint64_t> offsets;
    for (uint64_t at : timerSignalTimes) offsets.push_back(at - armedAt);
    return offsets;
  }
  bool logged(uint32_t code, uint32_t value, uint32_t since) {
    for (uint32_t i = 0; i < mplog_size; ++i) {
      const lisp::mp_log::Entry& entry = vxm_mplog[i];
      if (entry.sequence >= since && entry.sequence < mplog_sequence && entry.code == code && entry.value == value) return true;
    }
    return false;
  }

  Watchdog watchdog_{"alarm test", 20s};
  TimerService service_{[] { return virtualNow.load(); }};
  TimerService* savedService_ = nullptr;
  host::HostRecord record_{};
  uint32_t* savedRecord_ = nullptr;
  int savedLogging_ = 0;
};

struct ArmCase {
  int32_t seconds;
  int32_t microseconds;
  uint32_t alarmMs;  // 0: nothing armed
};

class AlarmDelay : public AlarmTest, public ::testing::WithParamInterface<ArmCase> {};

TEST_P(AlarmDelay, ArmsTheCappedDelayAndABackupHalfASecondLater) {
  const ArmCase c = GetParam();
  const uint32_t since = mplog_sequence;
  EXPECT_EQ(c_mpalarmon(c.seconds, c.microseconds), 0);
  const std::vector<PendingTimer> pending = service_.pending();
  if (c.alarmMs == 0) {
    EXPECT_TRUE(pending.empty());
    EXPECT_TRUE(logged(ev::kAlarmTooLong, static_cast<uint32_t>(c.seconds), since));
    EXPECT_EQ(ignore_timer_ints.load(), 1u);
    return;
  }
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].id, oneshot_timer_id.load());
  EXPECT_EQ(pending[0].delayMs, c.alarmMs);
  EXPECT_EQ(pending[0].callback, &TimerInterrupt);
  EXPECT_EQ(pending[0].userWord, 1u);
  EXPECT_EQ(pending[1].id, tdebug[kBackupTimerId].load());
  EXPECT_EQ(pending[1].delayMs, c.alarmMs + 500);
  EXPECT_EQ(pending[1].callback, &BackupTimerInterrupt);
  EXPECT_EQ(tdebug[kDelayCapped].load(), c.alarmMs);
  EXPECT_EQ(ignore_timer_ints.load(), 0u);
  EXPECT_TRUE(logged(ev::kAlarmOn, c.alarmMs, since));
}

INSTANTIATE_TEST_SUITE_P(Requests, AlarmDelay,
                         ::testing::Values(ArmCase{2, 500000, 2500}, ArmCase{1000, 0, 900000},
                                           ArmCase{16777216, 0, 0}, ArmCase{4294968, 0, 900000},
                                           ArmCase{2592000, 0, 900000},
                                           ArmCase{16777215, 999999, 900000}));

TEST_F(AlarmTest, NegativeDelayFiresAtOnce) {
  // The timer thread may run the due one-shot before the test looks at the
  // pending list, so the test waits for it and checks when it fired.
  const uint64_t armedAt = virtualNow;
  c_mpalarmon(-5, -3000);
  EXPECT_EQ(tdebug[kDelayCapped].load(), 0u);
  service_.settle();
  EXPECT_EQ(ticksSinceArming(armedAt), std::vector<uint64_t>{0});
}

TEST_F(AlarmTest, ArmingAgainReplacesEveryTimer) {
  c_mpalarmon(1, 0);
  advance(1000);  // ticking now: a repeat is pending
  c_mpalarmon(5, 0);
  const std::vector<PendingTimer> pending = service_.pending();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].delayMs, 5000u);
  EXPECT_EQ(pending[1].delayMs, 5500u);
  EXPECT_EQ(repeat_timer_id.load(), 0u);
}

TEST_F(AlarmTest, AlarmRaisesSignal14ThenTicksEverySecondUntilTurnedOff) {
  const uint64_t armedAt = virtualNow;
  c_mpalarmon(2, 500000);
  advance(2490);
  EXPECT_EQ(timerSignalCalls.load(), 0);
  EXPECT_FALSE(signal14Raised());
  advance(10);
  EXPECT_EQ(timerSignalCalls.load(), 1);
  EXPECT_TRUE(signal14Raised());
  advance(3000);
  EXPECT_EQ(ticksSinceArming(armedAt), (std::vector<uint64_t>{2500, 3500, 4500, 5500}));
  EXPECT_EQ(tdebug[kBackupFoundAlarmPending].load(), 0u);
  EXPECT_EQ(tdebug[kBackupCallbacks].load(), 1u);

  c_mpalarmoff();
  EXPECT_TRUE(service_.pending().empty());
  advance(10000);
  EXPECT_EQ(timerSignalCalls.load(), 4);
  EXPECT_EQ(ignore_timer_ints.load(), 1u);
  EXPECT_EQ(tdebug[kRearmPending].load(), 0u);
}

TEST_F(AlarmTest, AlarmPostsTheUserMessageToTheLispThreadOfTheSetUp) {
  record_.win_timersig = win_timersig;
  platform::Message message;
  while (platform::peekMessage(&message, true)) {
  }
  ASSERT_EQ(c_mpsetupalarm(), 4);
  c_mpalarmon(0, 500000);
  advance(490);
  EXPECT_FALSE(platform::peekMessage(&message, false));
  advance(10);
  ASSERT_TRUE(platform::peekMessage(&message, true));
  EXPECT_EQ(message.message, platform::kUserMessage);
  advance(1000);
  ASSERT_TRUE(platform::peekMessage(&message, true));
  EXPECT_EQ(message.message, platform::kUserMessage);
  c_mpalarmoff();
  advance(3000);
  EXPECT_FALSE(platform::peekMessage(&message, true));
}

TEST_F(AlarmTest, CallbackInFlightAtTurnOffReArmsNothing) {
  c_mpalarmon(1, 0);
  advance(1000);
  const uint32_t repeat = repeat_timer_id.load();
  ASSERT_NE(repeat, 0u);
  c_mpalarmoff();
  // The repeat's callback was already released when the kill came.
  TimerInterrupt(repeat, 0, 1, 0, 0);
  EXPECT_TRUE(service_.pending().empty());
  EXPECT_EQ(tdebug[kCallbacksIgnored].load(), 1u);
  advance(10000);
  EXPECT_EQ(timerSignalCalls.load(), 1);
}

// A Lisp that ends while its alarm fires turns the alarm off and then frees
// the heap the callback writes: turning off returns only once a callback
// already running is done.
std::atomic<bool> callbackHeld{false};
std::atomic<bool> callbackReleased{false};
void holdTimerSignal() {
  callbackHeld = true;
  while (!callbackReleased) std::this_thread::sleep_for(1ms);
}

TEST_F(AlarmTest, TurningOffWaitsForACallbackAlreadyRunning) {
  callbackHeld = callbackReleased = false;
  record_.win_timersig = holdTimerSignal;
  c_mpalarmon(0, 0);  // due now: the timer thread runs it at once
  while (!callbackHeld) std::this_thread::sleep_for(1ms);
  std::atomic<bool> offReturned{false};
  std::thread lispEnding([&] {
    c_mpalarmoff();
    offReturned = true;
  });
  // Time for a turning off that does not wait to return.
  for (int waited = 0; waited < 1000 && !offReturned; ++waited)
    std::this_thread::sleep_for(1ms);
  const bool returnedWhileRunning = offReturned;
  callbackReleased = true;
  lispEnding.join();
  EXPECT_FALSE(returnedWhileRunning) << "turning off returned while the callback still ran";
  EXPECT_TRUE(service_.pending().empty()) << "the repeat the callback armed is killed";
  advance(3000);
  EXPECT_EQ(tdebug[kCallbacks].load(), 1u);
}

TEST_F(AlarmTest, BackupFiresALostAlarmOnce) {
  service_.failNextCreations(1);  // the one-shot
  const uint64_t armedAt = virtualNow;
  c_mpalarmon(2, 0);
  EXPECT_EQ(oneshot_timer_id.load(), 0u);
  EXPECT_EQ(tdebug[kCreationsFailed].load(), 1u);
  advance(2490);
  EXPECT_EQ(timerSignalCalls.load(), 0);
  advance(20);
  EXPECT_EQ(ticksSinceArming(armedAt), (std::vector<uint64_t>{2500}));
  EXPECT_EQ(tdebug[kBackupCallbacks].load(), 1u);
  EXPECT_EQ(tdebug[kBackupFoundAlarmPending].load(), 1u);
  advance(1000);  // the repeat goes on from the backup's firing
  EXPECT_EQ(ticksSinceArming(armedAt), (std::vector<uint64_t>{2500, 3500}));
}

TEST_F(AlarmTest, BackupAfterAFiredAlarmDoesNothing) {
  c_mpalarmon(0, 100000);
  advance(700);
  EXPECT_EQ(timerSignalCalls.load(), 1);
  EXPECT_EQ(tdebug[kBackupCallbacks].load(), 1u);
  EXPECT_EQ(tdebug[kBackupFoundAlarmPending].load(), 0u);
  EXPECT_EQ(tdebug[kBackupTimerId].load(), 0u);
}

TEST_F(AlarmTest, SignalsBlockedAreCountedOnly) {
  lisp_sigblock_flag = 1;
  c_mpalarmon(0, 10000);
  advance(10);
  EXPECT_EQ(tdebug[kCallbacksSignalsBlocked].load(), 1u);
  EXPECT_EQ(timerSignalCalls.load(), 1);
}

TEST_F(AlarmTest, SetUpOnceFillsTheLispThreadOnlyWhenEmpty) {
  tdebug[kAlarmOnRequests] = 3;
  tdebug[kCallbacks] = 5;
  EXPECT_EQ(c_mpsetupalarm(), 4);
  EXPECT_EQ(record_.lispThreadId, platform::currentThreadId());
  EXPECT_EQ(wTimerRes.load(), 1u);
  EXPECT_EQ(service_.periodInForce(), 1u);
  EXPECT_EQ(tdebug[kAlarmOnRequests].load(), 0u);
  EXPECT_EQ(tdebug[kCallbacks].load(), 5u);

  tdebug[kAlarmOnRequests] = 3;
  record_.lispThreadId = 0;
  EXPECT_EQ(c_mpsetupalarm(), 4);
  EXPECT_EQ(tdebug[kAlarmOnRequests].load(), 3u);
  EXPECT_EQ(record_.lispThreadId, 0u);
}

TEST_F(AlarmTest, SetUpKeepsAThreadAlreadyNamed) {
  record_.lispThreadId = 12345;
  EXPECT_EQ(c_mpsetupalarm(), 4);
  EXPECT_EQ(record_.lispThreadId, 12345u);
}

TEST_F(AlarmTest, FailingDeviceQueryReturnsZeroAndLeavesTheResolution) {
  service_.failDeviceQuery(true);
  EXPECT_EQ(c_mpsetupalarm(), 0);
  EXPECT_EQ(wTimerRes.load(), 0u);
  EXPECT_EQ(service_.periodInForce(), 0u);
  service_.failDeviceQuery(false);
  EXPECT_EQ(c_mpsetupalarm(), 4);
  EXPECT_EQ(wTimerRes.load(), 1u);
}

TEST_F(AlarmTest, EventCallsGoThroughTheHostRecord) {
  watchCalls = 0;
  EXPECT_EQ(c_mpwatchfor(~5, 0x1234), 0);
  EXPECT_EQ(watchCalls.load(), 1);
  EXPECT_EQ(watchedDescriptor, ~5);
  EXPECT_EQ(watchedThread, 0x1234u);
  EXPECT_EQ(c_mpwaitsigio(3), 0);
  EXPECT_EQ(waitedMode, 3);
}

TEST_F(AlarmTest, WithoutAHostRecordTheCallsDoNothing) {
  redir = nullptr;
  watchCalls = 0;
  EXPECT_EQ(c_mpwatchfor(5, 1), 0);
  EXPECT_EQ(c_mpwaitsigio(1), 0);
  EXPECT_EQ(watchCalls.load(), 0);
  c_mpalarmon(0, 10000);
  advance(10);
  EXPECT_TRUE(signal14Raised());
  EXPECT_EQ(c_mpsetupalarm(), 4);
}

TEST(AlarmRealClock, FiftyMillisecondAlarmRaisesSignal14InTime) {
  Watchdog watchdog("real-clock alarm", 5s);
  resetForTests();
  uint32_t* const savedRecord = redir;
  redir = nullptr;
  std::fill(std::begin(lsignals), std::end(lsignals), 0);
  const auto start = std::chrono::steady_clock::now();
  c_mpalarmon(0, 50000);
  while (!signal14Raised()) std::this_thread::sleep_for(1ms);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  c_mpalarmoff();
  EXPECT_GE(elapsed, 50ms);
  EXPECT_LE(elapsed, 300ms);
  resetForTests();
  redir = savedRecord;
  std::fill(std::begin(lsignals), std::end(lsignals), 0);
}

// The alarm's timers pending on the process's timer service.
size_t alarmTimersPending() {
  size_t count = 0;
  for (const platform::PendingTimer& timer : platform::processTimerService().pending())
    if (timer.callback == TimerInterrupt || timer.callback == BackupTimerInterrupt) ++count;
  return count;
}

// Re-arming replaces every timer also while a callback of the alarm runs on
// the process's timer thread: after back-to-back re-arms due at once, each
// racing the callbacks the ones before started, a 30 s alarm is all there
// is. Its one-shot and its backup are the only timers of the alarm pending,
// also once a callback still running then would have armed its repeat.
// ALARM_REARM_ROUNDS sets the number of rounds of 3000 re-arms.
TEST(AlarmRealClock, ReArmingWhileCallbacksRunLeavesOnlyTheNewAlarm) {
  Watchdog watchdog("re-arms on the timer thread", 240s);
  resetForTests();
  uint32_t* const savedRecord = redir;
  redir = nullptr;
  const char* rounds = std::getenv("ALARM_REARM_ROUNDS");
  const int count = rounds ? std::atoi(rounds) : 10;
  for (int round = 0; round < count; ++round) {
    for (int i = 0; i < 3000; ++i) c_mpalarmon(0, 0);
    c_mpalarmon(30, 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(alarmTimersPending(), 2u) << "round " << round;
    c_mpalarmoff();
  }
  EXPECT_EQ(alarmTimersPending(), 0u);
  resetForTests();
  redir = savedRecord;
  std::fill(std::begin(lsignals), std::end(lsignals), 0);
}

// Turning the alarm off from one thread while another turns it on ends with
// the alarm either on or off, never off with its timers still pending (they
// would run after the Lisp, which gives its heaps back once the alarm is
// off). ALARM_RACE_ROUNDS sets the number of rounds.
TEST(AlarmRealClock, TurningOffWhileAnotherThreadTurnsOnLeavesNoTimerOfAnAlarmThatIsOff) {
  Watchdog watchdog("alarm on and off racing", 240s);
  resetForTests();
  uint32_t* const savedRecord = redir;
  redir = nullptr;
  const char* rounds = std::getenv("ALARM_RACE_ROUNDS");
  const int count = rounds ? std::atoi(rounds) : 400;
  int strays = 0;
  for (int round = 0; round < count; ++round) {
    std::atomic<int> ready{0};
    const auto together = [&ready] {
      ++ready;
      while (ready < 2) std::this_thread::yield();
    };
    std::thread on([&] {
      together();
      c_mpalarmon(30, 0);
    });
    together();
    c_mpalarmoff();
    on.join();
    if (ignore_timer_ints.load() != 0 && alarmTimersPending() != 0) ++strays;
    c_mpalarmoff();
  }
  EXPECT_EQ(strays, 0) << "rounds that ended off with the alarm's timers pending, of " << count;
  EXPECT_EQ(alarmTimersPending(), 0u);
  resetForTests();
  redir = savedRecord;
  std::fill(std::begin(lsignals), std::end(lsignals), 0);
}

}  // namespace
