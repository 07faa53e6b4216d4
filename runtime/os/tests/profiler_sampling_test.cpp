// The profiler for real: a registered thread runs hand-assembled code in
// three heap functions, each calling the next, the innermost spinning; the
// timer thread samples it and the files are read back. Also space samples
// of the calling thread's allocations, the timer's start and stop, and the
// pcs the profiler refuses.

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/threads.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/profiler.h"
#include "runtime/gc/tests/object_heap_fixture.h"
#include "runtime/gc/tests/profile_file_reader.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/profiler_timer.h"
#include "runtime/os/tests/thread_record_fixture.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_call_harness.h"
#include "testing/temp_path.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using lisp::lispval;
using namespace profile_reader;
namespace tr = lisp::thread_record;
namespace pt = lisp::profiler_timer;

constexpr uint32_t kNumbers[3] = {0x000101, 0x020202, 0x030303};  // outer to inner

uint32_t address(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}
void put32(std::vector<uint8_t>& code, uint32_t word) {
  for (int i = 0; i < 4; ++i) code.push_back(static_cast<uint8_t>(word >> (8 * i)));
}

// Waits until the condition holds or the time is up.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

int threadsOfProcess() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks))
      if (entry->d_name[0] != '.') ++count;
    closedir(tasks);
  }
  return count;
}

class Profiling : public gc_test::ObjectHeap {
 protected:
  void SetUp() override {
    ObjectHeap::SetUp();
    lisp::registry::forgetRegistry();
    lisp::mp_log::setUp();
    dataPath_ = testing_support::processTempPath("profile.data");
    indexPath_ = testing_support::processTempPath("profile.index");
    record_.words[0] = tr::kHeader;
    record_.at(tr::kClinkHead) = tr::kEmptyClinkChain;
    record_.at(tr::kProfilingExclusion) = lisp::makeFixnum(0);
    record_.at(tr::kRegistryIndex) = 0;
    record_.at(tr::kState) = tr::kStateRunning;
    vxm_thread_control.registryTable[0] = record_.raw();
    vxm_thread_control.registryCount = 1;
    vxm_thread_control.heapOwnerIndex = -2;
  }
  void TearDown() override {
    if (profiler_type == lisp::profiler::kTime || profiler_type == lisp::profiler::kSpace)
      stop_sampling();
    stop_profiler();
    stopSpinning();
    lisp::registry::forgetRegistry();
    ObjectHeap::TearDown();
  }

  // Three functions: the outer two call the next, the innermost notes that
  // it runs, then counts in a loop until `stop_` is set.
  void buildFunctions() {
    for (int i = 0; i < 3; ++i) {
      functions_[i] = function(32);
      lisp::objectOf<lisp::FunctionObject>(functions_[i])->lispSlot1 = kNumbers[i];
    }
    // Both outer functions: build the frame, call the next function, return.
    for (int i = 0; i < 2; ++i) {
      std::vector<uint8_t> code;
      code.insert(code.end(), {0x55, 0x89, 0xe5});  // push ebp; mov ebp, esp
      code.push_back(0x56);                         // push esi (the function, at ebp-4)
      code.push_back(0xbe);                         // mov esi, the next function
      put32(code, functions_[i + 1]);
      code.insert(code.end(), {0xff, 0x56, 0xf2});  // call [esi-0xe] (its start word)
      returnOffsets_[i] = static_cast<uint32_t>(code.size());
      code.insert(code.end(), {0x5e, 0x5d, 0xc3});  // pop esi; pop ebp; ret
      install(functions_[i], code);
    }
    // The innermost: build the frame, note that it runs, count until stopped.
    std::vector<uint8_t> code;
    code.insert(code.end(), {0x55, 0x89, 0xe5});  // push ebp; mov ebp, esp
    code.push_back(0x56);                         // push esi
    code.insert(code.end(), {0xc7, 0x05});        // mov dword [running], 1
    put32(code, address(&running_));
    put32(code, 1);
    loopStart_ = static_cast<uint32_t>(code.size());
    code.insert(code.end(), {0xff, 0x05});  // loop: inc dword [counter]
    put32(code, address(&counter_));
    code.insert(code.end(), {0x83, 0x3d});  // cmp dword [stop], 0
    put32(code, address(&stop_));
    code.push_back(0x00);
    code.insert(code.end(), {0x74, static_cast<uint8_t>(-15)});  // je loop
    loopEnd_ = static_cast<uint32_t>(code.size());
    code.insert(code.end(), {0x5e, 0x5d, 0xc3});  // pop esi; pop ebp; ret
    install(functions_[2], code);
  }
  static void install(lispval f, const std::vector<uint8_t>& code) {
    std::memcpy(reinterpret_cast<void*>(lisp::objectOf<lisp::FunctionObject>(f)->start),
                code.data(), code.size());
  }

  static uint32_t spin(void* argument) {
    auto* self = static_cast<Profiling*>(argument);
    uint32_t clink[tr::kClinkRecordWords] = {tr::kEmptyClinkChain, 1, 0, 0, 0, 0};
    self->record_.at(tr::kClinkHead) = address(clink);
    self->record_.at(tr::kStackBase) = address(__builtin_frame_address(0));
    testing_support::LispCallSetup setup;
    setup.target = lisp::objectOf<lisp::FunctionObject>(self->functions_[0])->start;
    setup.esi = self->functions_[0];
    setup.edi = self->nil();
    setup.ebx = self->record_.tagged();
    setup.frame[0] = lisp::makeFixnum(0);
    testing_support::callWithLispConventions(setup);
    self->record_.at(tr::kClinkHead) = tr::kEmptyClinkChain;
    return 0;
  }

  void startSpinning() {
    buildFunctions();
    uint32_t id = 0;
    spinner_ = platform::createThread(spin, this, 0, &id);
    ASSERT_NE(spinner_, platform::kNoHandle);
    record_.at(tr::kOsThreadHandle) = spinner_;
    record_.at(tr::kOsThreadId) = id;
    ASSERT_TRUE(eventually([&] { return running_.load() != 0; }));
  }
  void stopSpinning() {
    if (spinner_ == platform::kNoHandle) return;
    stop_ = 1;
    EXPECT_EQ(platform::waitForAny({&spinner_, 1}, 20000), 0);
    platform::closeHandle(spinner_);
    spinner_ = platform::kNoHandle;
  }
  bool spinnerRuns() {
    const uint32_t before = counter_.load();
    return eventually([&] { return counter_.load() != before; }, 5s);
  }

  // The spinner's three frames, innermost first, at the top of the stack.
  void expectSpinnerStack(const Sample& sample) {
    ASSERT_GE(sample.stack.size(), 3u);
    const Frame& inner = sample.stack[0];
    EXPECT_TRUE(inner.found);
    EXPECT_EQ(inner.number, kNumbers[2]);
    EXPECT_GE(inner.offset, loopStart_);
    EXPECT_LE(inner.offset, loopEnd_);
    EXPECT_EQ(sample.stack[1], lispFrame(kNumbers[1], returnOffsets_[1]));
    EXPECT_EQ(sample.stack[2], lispFrame(kNumbers[0], returnOffsets_[0]));
  }

  std::string describe() {
    return "samples " + std::to_string(profiler_samples_collected) + " trys " +
           std::to_string(pf_trys) + " got " + std::to_string(pf_gotthread) + " did " +
           std::to_string(pf_didthread) + " failures " +
           std::to_string(pf_getthreadcontext_failures) + " parked " +
           std::to_string(pt::timerThreadParked()) + " freeze " +
           std::to_string(vxm_thread_control.freezeCount);
  }

  os_test::RecordInMemory record_;
  lispval functions_[3] = {};
  uint32_t returnOffsets_[2] = {};
  uint32_t loopStart_ = 0, loopEnd_ = 0;
  std::atomic<uint32_t> running_{0}, counter_{0}, stop_{0};
  platform::Handle spinner_ = platform::kNoHandle;
  std::string dataPath_, indexPath_;
};

TEST_F(Profiling, ATimeProfileOfASpinningThreadReadsBackItsStack) {
  testing_support::Watchdog watchdog("time profile", 60s, [&] { return describe(); });
  startSpinning();
  ASSERT_EQ(start_profiler(1, 1000, 2, 0, dataPath_.c_str(), indexPath_.c_str()), 1);
  ASSERT_EQ(start_sampling(), 0);
  ASSERT_TRUE(eventually([] { return profiler_samples_collected >= 12; })) << describe();
  EXPECT_EQ(stop_sampling(), 0);
  const int32_t samples = stop_profiler();
  EXPECT_GE(samples, 12);
  EXPECT_EQ(pf_sleeptime, 2u);
  EXPECT_GE(pf_didthread, static_cast<uint32_t>(samples));
  EXPECT_TRUE(spinnerRuns());

  const auto read = readProfile(dataPath_, indexPath_);
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->size(), static_cast<size_t>(samples));
  for (const Sample& sample : *read) expectSpinnerStack(sample);
  EXPECT_EQ(vxm_thread_control.freezeCount, 0);
}

TEST_F(Profiling, TheSampleLimitStopsSamplingWhileTheTimerGoesOnWaking) {
  testing_support::Watchdog watchdog("sample limit", 60s, [&] { return describe(); });
  startSpinning();
  ASSERT_EQ(start_profiler(1, 5, 2, 0, dataPath_.c_str(), indexPath_.c_str()), 1);
  start_sampling();
  ASSERT_TRUE(eventually([] { return profiler_type == lisp::profiler::kOff; })) << describe();
  const uint32_t trys = pf_trys;
  ASSERT_TRUE(eventually([&] { return pf_trys > trys + 3; })) << describe();
  EXPECT_EQ(profiler_samples_collected, 5);
  EXPECT_EQ(stop_sampling(), 0);
  EXPECT_TRUE(pt::timerThreadParked());
  EXPECT_EQ(stop_profiler(), 5);
  const auto read = readProfile(dataPath_, indexPath_);
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->size(), 5u);
  for (const Sample& sample : *read) expectSpinnerStack(sample);
}

TEST_F(Profiling, StartingAndStoppingWhileSamplingNeverHangsNorLeavesTheThreadSuspended) {
  testing_support::Watchdog watchdog("start and stop", 120s, [&] { return describe(); });
  startSpinning();
  ASSERT_EQ(start_profiler(1, 1 << 30, 2, 0, dataPath_.c_str(), indexPath_.c_str()), 1);
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(start_sampling(), 0);
    std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 7)));
    ASSERT_EQ(stop_sampling(), 0);
    ASSERT_TRUE(pt::timerThreadParked());
  }
  EXPECT_EQ(vxm_thread_control.freezeCount, 0);
  EXPECT_EQ(platform::resumeThread(spinner_), 0);  // not suspended
  EXPECT_TRUE(spinnerRuns());
  const int32_t samples = stop_profiler();
  const auto read = readProfile(dataPath_, indexPath_);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->size(), static_cast<size_t>(samples));
}

TEST_F(Profiling, ASecondTimerOnMakesNoSecondThread) {
  ASSERT_EQ(timer_on(0), 0);
  const int threads = threadsOfProcess();
  EXPECT_TRUE(pt::timerThreadExists());
  EXPECT_EQ(timer_on(0), 0);
  EXPECT_EQ(timer_on(1), 0);  // a non-zero flag does nothing
  EXPECT_EQ(threadsOfProcess(), threads);
  EXPECT_EQ(timer_off(), 0);
  EXPECT_TRUE(pt::timerThreadParked());
}

TEST(ProfilerTimer, TimerOffBeforeAnyTimerOnFails) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A fresh process, where no timer thread was ever made.
  EXPECT_EXIT(std::exit(timer_off() == -1 && !pt::timerThreadExists() ? 0 : 1),
              testing::ExitedWithCode(0), "");
}

TEST(ProfilerTimer, IntervalIsTheRateInMillisecondsAboveTheMinimumPeriod) {
  const struct {
    uint32_t rate, milliseconds;
  } cases[] = {{0, 2}, {500, 2}, {1000, 2}, {1999, 2}, {2000, 2}, {3000, 3}, {10000, 10}};
  for (const auto& c : cases) EXPECT_EQ(pt::intervalMilliseconds(c.rate), c.milliseconds) << c.rate;
}

// ---- choosing the thread to sample ----

// Three registered threads spinning in plain native loops; none owns the
// heap unless a case says so.
class ThreadChoice : public ::testing::Test {
 protected:
  void SetUp() override {
    lisp::registry::forgetRegistry();
    lisp::mp_log::setUp();
    mp_logging = static_cast<int>(lisp::makeFixnum(1));
    start_check = 0;
    for (int i = 0; i < 3; ++i) {
      os_test::RecordInMemory& r = records_[i];
      r.words[0] = tr::kHeader;
      r.at(tr::kProfilingExclusion) = lisp::makeFixnum(0);
      r.at(tr::kRegistryIndex) = static_cast<uint32_t>(i);
      r.at(tr::kState) = tr::kStateRunning;
      uint32_t id = 0;
      handles_[i] = platform::createThread(
          [](void* done) -> uint32_t {
            while (!static_cast<std::atomic<bool>*>(done)->load()) {
            }
            return 0;
          },
          &done_, 0, &id);
      ASSERT_NE(handles_[i], platform::kNoHandle);
      r.at(tr::kOsThreadHandle) = handles_[i];
      vxm_thread_control.registryTable[i] = r.raw();
    }
    vxm_thread_control.registryCount = 3;
    vxm_thread_control.heapOwnerIndex = -2;
  }
  void TearDown() override {
    done_ = true;
    for (platform::Handle h : handles_) {
      EXPECT_EQ(platform::waitForAny({&h, 1}, 20000), 0);
      platform::closeHandle(h);
    }
    mp_logging = 0;
    lisp::registry::forgetRegistry();
  }
  // The thread's suspend count, left as it was.
  int32_t suspendCount(int i) {
    const int32_t count = platform::suspendThread(handles_[i]);
    platform::resumeThread(handles_[i]);
    return count;
  }
  static std::pair<uint32_t, uint32_t> newestEvent() {
    return {vxm_mplog_last_entry->code, vxm_mplog_last_entry->value};
  }
  struct Choice {
    uint32_t thread, resumeBoth, other;
    uint32_t* record;
  };
  Choice choose() {
    Choice c{};
    c.thread = thread_to_profile(0, &c.resumeBoth, &c.other, &c.record);
    return c;
  }

  std::atomic<bool> done_{false};
  os_test::RecordInMemory records_[3];
  platform::Handle handles_[3] = {};
};

TEST_F(ThreadChoice, TheSearchGoesRoundTheRegistryFromWhereItStopped) {
  testing_support::Watchdog watchdog("thread choice", 60s);
  for (int expected : {0, 1, 2, 0}) {
    const Choice c = choose();
    ASSERT_EQ(c.thread, handles_[expected]);
    EXPECT_EQ(c.record, records_[expected].raw());
    EXPECT_EQ(c.resumeBoth, 0u);
    EXPECT_EQ(newestEvent(), std::make_pair(uint32_t{15}, uint32_t(expected)));
    EXPECT_EQ(suspendCount(expected), 1);
    EXPECT_EQ(vxm_thread_control.freezeCount, 1);
    finish_thread_to_profile(c.thread, c.resumeBoth, c.other);
    EXPECT_EQ(suspendCount(expected), 0);
    EXPECT_EQ(vxm_thread_control.freezeCount, 0);
  }
}

TEST_F(ThreadChoice, AProfiledHeapOwnerIsChosenFirst) {
  testing_support::Watchdog watchdog("thread choice", 60s);
  vxm_thread_control.heapOwnerIndex = 1;
  const Choice c = choose();
  EXPECT_EQ(c.thread, handles_[1]);
  EXPECT_EQ(c.other, handles_[1]);
  EXPECT_EQ(c.resumeBoth, 0u);
  EXPECT_EQ(newestEvent(), std::make_pair(uint32_t{14}, uint32_t{1}));
  finish_thread_to_profile(c.thread, c.resumeBoth, c.other);
  EXPECT_EQ(suspendCount(1), 0);
  EXPECT_EQ(vxm_thread_control.freezeCount, 0);
}

TEST_F(ThreadChoice, AnExcludedHeapOwnerStaysSuspendedBesideTheChosenThreadAndBothAreResumed) {
  testing_support::Watchdog watchdog("thread choice", 60s);
  vxm_thread_control.heapOwnerIndex = 0;
  records_[0].at(tr::kProfilingExclusion) = lisp::makeFixnum(1);
  const Choice c = choose();
  ASSERT_EQ(c.thread, handles_[1]);
  EXPECT_EQ(c.other, handles_[0]);
  EXPECT_EQ(c.resumeBoth, 1u);  // the flag as stored: 1
  EXPECT_EQ(suspendCount(0), 1);
  EXPECT_EQ(suspendCount(1), 1);
  finish_thread_to_profile(c.thread, c.resumeBoth, c.other);
  EXPECT_EQ(suspendCount(0), 0);  // resumed although bit 1 of the flag is clear
  EXPECT_EQ(suspendCount(1), 0);
}

TEST_F(ThreadChoice, NoneEligibleOrACallbackInProgressChoosesNothing) {
  testing_support::Watchdog watchdog("thread choice", 60s);
  vxm_thread_control.heapOwnerIndex = 0;
  for (auto& r : records_) r.at(tr::kProfilingExclusion) = lisp::makeFixnum(1);
  records_[2].at(tr::kProfilingExclusion) = lisp::makeFixnum(0);
  records_[2].at(tr::kState) = 3;  // not running, waiting or ready
  EXPECT_EQ(choose().thread, 0u);
  EXPECT_EQ(newestEvent(), std::make_pair(uint32_t{14}, uint32_t(-2)));
  EXPECT_EQ(suspendCount(0), 0);  // the owner was resumed
  EXPECT_EQ(vxm_thread_control.freezeCount, 0);

  records_[2].at(tr::kState) = tr::kStateRunning;
  vxm_thread_control.environmentIndex = 1;
  records_[1].at(tr::kState) = tr::kStateCallbackDone;
  const uint32_t sequence = mplog_sequence;
  EXPECT_EQ(choose().thread, 0u);
  EXPECT_EQ(mplog_sequence, sequence);  // nothing tried, nothing logged
  EXPECT_EQ(vxm_thread_control.freezeCount, 0);
}

// ---- space samples ----

__attribute__((noinline)) uint32_t allocateThrough(int levels, uint32_t bytes) {
  if (levels == 0) return other_from_new_xsmp(bytes);
  const uint32_t object = allocateThrough(levels - 1, bytes);
  asm volatile("" ::: "memory");  // no tail call: each level keeps its frame
  return object;
}

TEST_F(Profiling, ALargeAllocationGivesOneSampleAndAnEmptyOneForEachFurtherPage) {
  vxm_thread_control.heapOwnerIndex = 0;  // the calling thread owns the heap
  ASSERT_EQ(start_profiler(2, 100, 10, 0, dataPath_.c_str(), indexPath_.c_str()), 2);
  record_.at(tr::kStackBase) = address(__builtin_frame_address(0));
  start_sampling();
  EXPECT_EQ(pageallochook, space_record_stack);
  allocateThrough(5, 20000);
  EXPECT_EQ(pageallochook, space_record_stack);  // put back after the sample
  stop_sampling();
  EXPECT_EQ(pageallochook, nullptr);
  EXPECT_EQ(stop_profiler(), 3);
  const auto read = readProfile(dataPath_, indexPath_);
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->size(), 3u);
  const Sample& first = (*read)[0];
  EXPECT_GE(first.depth, 5u);
  EXPECT_EQ(first.added, first.depth);
  EXPECT_EQ(first.tag, 3);
  for (const Sample& empty : {(*read)[1], (*read)[2]}) {
    EXPECT_EQ(empty.added, 0u);
    EXPECT_EQ(empty.depth, first.depth);
    EXPECT_EQ(empty.tag, 3);
    EXPECT_EQ(empty.stack, first.stack);
  }
}

TEST_F(Profiling, SpaceSamplesStopAtTheLimitAndSkipExcludedThreads) {
  vxm_thread_control.heapOwnerIndex = 0;
  record_.at(tr::kStackBase) = address(__builtin_frame_address(0));
  ASSERT_EQ(start_profiler(2, 2, 10, 0, dataPath_.c_str(), indexPath_.c_str()), 2);
  record_.at(tr::kProfilingExclusion) = lisp::makeFixnum(1);
  start_sampling();
  allocateThrough(5, 20000);
  EXPECT_EQ(profiler_samples_collected, 0);
  record_.at(tr::kProfilingExclusion) = lisp::makeFixnum(0);
  allocateThrough(5, 20000);  // the limit of 2 comes first
  EXPECT_EQ(profiler_samples_collected, 2);
  EXPECT_EQ(profiler_type, lisp::profiler::kOff);
  EXPECT_EQ(pageallochook, nullptr);
  const auto read = readProfile(dataPath_, indexPath_);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->size(), 2u);
}

// ---- pcs the profiler refuses ----

TEST_F(Profiling, PcsInsideOtherSharedObjectsAreNotSampled) {
  buildFunctions();
  lisp::profiler::readLoadedObjects();
  const struct {
    const char* what;
    uint32_t pc;
    int expected;
  } cases[] = {
      {"heap code", lisp::objectOf<lisp::FunctionObject>(functions_[2])->start + 4, 1},
      {"the runtime", address(reinterpret_cast<const void*>(&ok_addr_to_profile)), 1},
      {"the exception filter's first bytes",
       address(reinterpret_cast<const void*>(&lisp_exception_filter)) + 99, 0},
      {"past them", address(reinterpret_cast<const void*>(&lisp_exception_filter)) + 100, 1},
      {"the test program", address(reinterpret_cast<const void*>(&allocateThrough)), 1},
      {"the C library", address(dlsym(RTLD_DEFAULT, "write")), 0},
      {"the C++ library", address(dlsym(RTLD_DEFAULT, "_ZNSt6chrono3_V212steady_clock3nowEv")), 0},
  };
  for (const auto& c : cases) {
    ASSERT_NE(c.pc, 0u) << c.what;
    platform::ThreadContext context{};
    context.eip = c.pc;
    EXPECT_EQ(ok_addr_to_profile(&context), c.expected) << c.what;
  }
}

// ---- process time ----

TEST(ProcessTime, VirtualSleepCountsProcessorTimeOfTheProcess) {
  virtual_sleep(0);  // at once, with the process idle
  virtual_sleep(-5);
  std::atomic<bool> done{false};
  std::thread busy([&] {
    while (!done.load()) {
    }
  });
  uint64_t before = 0, after = 0;
  get_total_process_time(&before);
  virtual_sleep(60);
  get_total_process_time(&after);
  done = true;
  busy.join();
  EXPECT_GE(after - before, 60u * 10000);  // 100 ns units
}

// ---- the host system ----

int failingUname(void*) {
  return -1;
}
bool noCpuid() {
  return false;
}

TEST(HostSystem, TheNtFamilyWithItsChosenVersion) {
  determine_host_os();
  EXPECT_EQ(host_os, 1);
  EXPECT_EQ(sy_win_major_version(), 6);
  EXPECT_EQ(sy_win_minor_version(), 1);
  EXPECT_EQ(sy_win95p(), 1);
}

// The words assume the 9x family, but the 9x question answers 1: only a
// system that reports the 9x family gets 0.
TEST(HostSystem, AFailingVersionReadAssumesThe9xFamily) {
  const auto saved = pt::readHostName;
  pt::readHostName = failingUname;
  pt::versionFailureSleepSeconds = 0;
  testing::internal::CaptureStdout();
  determine_host_os();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetVersionEx failed; assuming win95\n");
  EXPECT_EQ(host_os, 2);
  EXPECT_EQ(sy_win_major_version(), 4);
  EXPECT_EQ(sy_win_minor_version(), 0);
  EXPECT_EQ(sy_win95p(), 1);
  pt::readHostName = saved;
  determine_host_os();
  EXPECT_EQ(sy_win95p(), 1);
}

TEST(HostSystem, AProcessorWithoutIdentificationEndsTheLisp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        pt::processorIdentifies = noCpuid;
        determine_host_os();
      },
      testing::ExitedWithCode(1),
      "Vexmora CL: CPU is identified as an i386; at least an i486 is required.");
}

}  // namespace
