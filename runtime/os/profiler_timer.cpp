// The profiler's timer thread, process time and the host system.
//
// The timer thread touches a Lisp thread only while that thread is suspended
// and the heap is frozen. It suspends a thread only while it holds the
// ready-queue lock and the event-log gate itself, so that no suspended thread
// holds either while the timer goes on to log, thaw or take the sample.
// Stopping it never suspends it: timer_off asks it to park between rounds
// and waits until it has, so it is never stopped holding a lock or with a
// Lisp thread suspended.

#include "runtime/os/profiler_timer.h"

#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/message_box.h"
#include "platform/threads.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/profiler.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/thread_record.h"

extern "C" {
uint32_t virtual_sleep_res = 0;
uint32_t pf_sleeptime = 0;
uint32_t pf_trys = 0;
uint32_t pf_nogc = 0;
uint32_t pf_gotthread = 0;
uint32_t pf_didthread = 0;
uint32_t pf_getthreadcontext_failures = 0;
uint32_t prof_thread = 0;
uint32_t do_purify = 0;
uint32_t start_check = 0;
uint32_t timer_start_synch = 0;
int host_os = 0;
}

namespace lisp::profiler_timer {

namespace {

namespace tr = lisp::thread_record;
using lisp::registry::recordAt;
using lisp::registry::word;

constexpr uint32_t kMicrosecondsPerIntervalMillisecond = 300;
constexpr uint32_t kTimeModulus = uint32_t{1} << 29;  // what a fixnum keeps of a time
constexpr int kHighPriorityNice = -10;  // the high priority class while the timer runs

// Texts printed here.
constexpr const char* kVersionFailed = "GetVersionEx failed; assuming win95\n";
constexpr const char* kOldProcessorCaption = "Vexmora CL";
constexpr const char* kOldProcessorText =
    "CPU is identified as an i386; at least an i486 is required.";

// Decision: the version words the host reports: the NT family, version 6.1.
constexpr int kNtFamily = 1, k9xFamily = 2;
constexpr int32_t kReportedMajor = 6, kReportedMinor = 1;
constexpr int32_t kFallbackMajor = 4, kFallbackMinor = 0;

int32_t majorVersion = 0, minorVersion = 0;
// The 9x family in host_os was assumed after a failed version read, not
// reported by the system.
bool familyAssumed = false;

// ---- the thread and its parking ----

// Never destroyed: the parked timer thread still waits on them when the
// process exits.
std::mutex& parkLock = *new std::mutex;
std::condition_variable& parkChanged = *new std::condition_variable;
bool parkRequested = true;  // the thread parks right after it has started
bool parked = false;
uint32_t timerHandle = 0;
uint32_t timerThreadId = 0;
bool priorityRaised = false;
int savedNice = 0;

// Between rounds: parks while timer_off asks for it.
void parkWhileAsked() {
  std::unique_lock guard(parkLock);
  if (!parkRequested) return;
  parked = true;
  parkChanged.notify_all();
  parkChanged.wait(guard, [] { return !parkRequested; });
  parked = false;
}

// Sleeps the round's interval; false when timer_off asked the thread to park
// meanwhile (the round is then dropped).
bool sleepUnlessParked(uint32_t milliseconds) {
  std::unique_lock guard(parkLock);
  return !parkChanged.wait_for(guard, std::chrono::milliseconds(milliseconds),
                               [] { return parkRequested; });
}

void sleepMilliseconds(uint32_t milliseconds) {
  timespec wait{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &wait, &wait) != 0) {
  }
}

// inhibitprof is raised by the exception filter while it analyses a fault.
bool collectionOrInhibited() {
  return InScavenge != 0 || GsInGlobalGc != 0 || inhibitprof != 0;
}

// ---- choosing a thread ----

uint32_t recordMicroseconds(uint32_t* record) {
  return static_cast<uint32_t>(get_thread_runtime(word(record, tr::kOsThreadHandle)) %
                               kTimeModulus);
}
void setLastSample(uint32_t* record, uint32_t microseconds) {
  word(record, tr::kLastSampleTime) = lisp::makeFixnum(static_cast<int32_t>(microseconds));
}
bool profiled(uint32_t* record) {
  return word(record, tr::kProfilingExclusion) == lisp::makeFixnum(0);
}
// Whether the thread used at least `minimum` µs since its last sample; the
// time now through `now`.
bool usedSinceLastSample(uint32_t* record, uint32_t minimum, uint32_t* now) {
  *now = recordMicroseconds(record);
  return (*now - lastSampleMicroseconds(record)) % kTimeModulus >= minimum;
}

// Suspends a thread while holding the locks the timer itself takes next.
bool suspendOutsideLocks(uint32_t handle) {
  lisp::registry::lockReadyQueue();
  mp_log_grab();
  const bool suspended = platform::suspendThread(handle) >= 0;
  mp_log_release();
  lisp::registry::unlockReadyQueue();
  return suspended;
}

bool onTimerThread() {
  return timerThreadId != 0 && platform::currentThreadId() == timerThreadId;
}

void raiseProcessPriority() {
  if (priorityRaised) return;
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  if (errno != 0) return;
  savedNice = nice;
  priorityRaised = setpriority(PRIO_PROCESS, 0, kHighPriorityNice) == 0;  // best effort
}
void restoreProcessPriority() {
  if (!priorityRaised) return;
  setpriority(PRIO_PROCESS, 0, savedNice);
  priorityRaised = false;
}

bool hasCpuid() {
  // The identification flag (bit 21 of EFLAGS) can be changed only where
  // the processor has cpuid.
  uint32_t before, after;
  asm volatile(
      "pushfl\n\t"
      "popl %0\n\t"
      "movl %0, %1\n\t"
      "xorl $0x200000, %1\n\t"
      "pushl %1\n\t"
      "popfl\n\t"
      "pushfl\n\t"
      "popl %1\n\t"
      "pushl %0\n\t"
      "popfl"
      : "=&r"(before), "=&r"(after)
      :
      : "cc");
  return ((before ^ after) & 0x200000) != 0;
}
int unameOf(void* record) {
  return uname(static_cast<utsname*>(record));
}

}  // namespace

bool (*processorIdentifies)() = hasCpuid;
int (*readHostName)(void*) = unameOf;
uint32_t versionFailureSleepSeconds = 10;

uint32_t intervalMilliseconds(uint32_t rateMicroseconds) {
  const uint32_t milliseconds = rateMicroseconds / 1000;
  return milliseconds <= kMinimumPeriodMilliseconds ? kMinimumPeriodMilliseconds + 1 : milliseconds;
}

bool timerThreadExists() {
  return timerHandle != 0;
}

bool timerThreadParked() {
  std::lock_guard guard(parkLock);
  return parked;
}

uint32_t lastSampleMicroseconds(uint32_t* record) {
  const lispval last = word(record, tr::kLastSampleTime);
  return lisp::isFixnum(last) ? static_cast<uint32_t>(lisp::fixnumValue(last)) : 0;
}

}  // namespace lisp::profiler_timer

namespace pt = lisp::profiler_timer;
using lisp::registry::recordAt;
using lisp::registry::word;

extern "C" {

// ---- the timer thread ----

int32_t timer_on(int32_t flag) {
  if (flag != 0) return 0;
  if (pt::timerHandle == 0) {
    timer_start_synch = allocate_os_lock(1);
    if (timer_start_synch == 0) return -1;
    const size_t stackBytes = std::max<size_t>(pt::kTimerStackBytes, PTHREAD_STACK_MIN);
    uint32_t id = 0;
    const platform::Handle thread = platform::createThread(run_timer, nullptr, stackBytes, &id);
    if (thread == platform::kNoHandle) {
      free_os_lock(timer_start_synch);
      timer_start_synch = 0;
      return -1;
    }
    pt::timerHandle = thread;
    pt::timerThreadId = id;
    md_lock_wait(timer_start_synch);
    free_os_lock(timer_start_synch);
    timer_start_synch = 0;
  }
  {
    std::lock_guard guard(pt::parkLock);
    pt::parkRequested = false;
  }
  pt::parkChanged.notify_all();
  pt::raiseProcessPriority();
  return 0;
}

int32_t timer_off() {
  if (pt::timerHandle == 0) return -1;
  {
    std::unique_lock guard(pt::parkLock);
    pt::parkRequested = true;
    // The timer thread itself stops at the end of its round.
    if (!pt::onTimerThread()) pt::parkChanged.wait(guard, [] { return pt::parked; });
  }
  pt::restoreProcessPriority();
  return 0;
}

uint32_t run_timer(void*) {
  static uint32_t foreignCallRecord[lisp::thread_record::kClinkRecordWords];
  setup_dummy_threadctl(foreignCallRecord);
  platform::raiseCallerToRealTime();  // when permitted
  virtual_sleep_res = pt::kMinimumPeriodMilliseconds;
  vxm_open_lock(timer_start_synch);
  for (;;) {
    pt::parkWhileAsked();
    // Decision: the interval follows timerrate every round, so that a later
    // profile's rate holds without a new thread.
    const uint32_t interval = pt::intervalMilliseconds(timerrate);
    pf_sleeptime = interval;
    if (!pt::sleepUnlessParked(interval)) continue;
    ++pf_trys;
    if (pt::collectionOrInhibited() || profiler_samples_collected >= profiler_max_samples ||
        profiler_type != lisp::profiler::kTime)
      continue;
    ++pf_nogc;
    uint32_t resumeBoth = 0, other = 0;
    uint32_t* record = nullptr;
    const uint32_t thread = thread_to_profile(interval * pt::kMicrosecondsPerIntervalMillisecond,
                                              &resumeBoth, &other, &record);
    if (thread != 0) {
      ++pf_gotthread;
      prof_thread = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record));
      prof_stackbase = word(record, lisp::thread_record::kStackBase);
      if (!pt::collectionOrInhibited()) {
        ++pf_didthread;
        platform::ThreadContext context{};
        context.parts = platform::context_part::kAll;
        if (platform::readThreadContext(thread, &context) && context.ss == context.ds &&
            context.cs == current_SegCs() && ok_addr_to_profile(&context))
          time_record_stack(0, 0, &context);
        else
          ++pf_getthreadcontext_failures;
      }
      finish_thread_to_profile(thread, resumeBoth, other);
    }
    prof_thread = 0;
  }
}

uint32_t thread_to_profile(uint32_t minimum, uint32_t* resumeBoth, uint32_t* otherThread,
                           uint32_t** chosen) {
  namespace tr = lisp::thread_record;
  *resumeBoth = 0;
  *otherThread = 0;
  *chosen = nullptr;
  lisp::heap_lock::lockRegistryMutex();
  freeze_vxm_heap();
  auto& control = vxm_thread_control;
  uint32_t* current = recordAt(control.environmentIndex);
  if (current && word(current, tr::kState) == tr::kStateCallbackDone) {
    thaw_vxm_heap();
    lisp::heap_lock::unlockRegistryMutex();
    return 0;
  }
  uint32_t now = 0;
  uint32_t* owner = recordAt(control.heapOwnerIndex);
  uint32_t ownerHandle = 0;
  if (owner && !lisp::registry::isDead(owner) &&
      pt::suspendOutsideLocks(word(owner, tr::kOsThreadHandle))) {
    ownerHandle = word(owner, tr::kOsThreadHandle);
    *otherThread = ownerHandle;
    *chosen = owner;
    if (pt::profiled(owner) && pt::usedSinceLastSample(owner, minimum, &now)) {
      mp_log_event(lisp::mp_event::kProfiledOwner, word(owner, tr::kRegistryIndex));
      pt::setLastSample(owner, scheduler_started ? 0 : now);
      lisp::heap_lock::unlockRegistryMutex();  // the heap stays frozen
      return ownerHandle;
    }
  }
  const uint32_t count = control.registryCount;
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t index = (start_check + k) % count;
    uint32_t* record = recordAt(static_cast<int32_t>(index));
    if (!record || record == owner || word(record, tr::kState) > 2 || !pt::profiled(record) ||
        !pt::usedSinceLastSample(record, minimum, &now))
      continue;
    const uint32_t handle = word(record, tr::kOsThreadHandle);
    start_check = index + 1 >= count ? 0 : index + 1;
    mp_log_event(lisp::mp_event::kProfiledThread, index);
    pt::setLastSample(record, now);
    if (!pt::suspendOutsideLocks(handle)) continue;
    lisp::heap_lock::unlockRegistryMutex();
    *resumeBoth = ownerHandle != 0 ? 1 : 0;
    *chosen = record;
    return handle;
  }
  mp_log_event(lisp::mp_event::kProfiledOwner, static_cast<uint32_t>(-2));
  if (ownerHandle != 0) platform::resumeThread(ownerHandle);
  lisp::heap_lock::unlockRegistryMutex();
  thaw_vxm_heap();
  return 0;
}

// The flag thread_to_profile stores is 1: any non-zero flag resumes both.
void finish_thread_to_profile(uint32_t thread, uint32_t flags, uint32_t otherThread) {
  thaw_vxm_heap();
  if (flags != 0 && otherThread != 0) platform::resumeThread(otherThread);
  platform::resumeThread(thread);
}

// ---- process time ----

void get_total_process_time(uint64_t* total) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto units = [](const timeval& t) {
    return uint64_t(t.tv_sec) * 10000000 + uint64_t(t.tv_usec) * 10;
  };
  *total = units(usage.ru_utime) + units(usage.ru_stime);
}

// Counts processor time of the whole process: with the process idle it does
// not return.
void virtual_sleep(int32_t milliseconds) {
  if (milliseconds <= 0) return;
  uint64_t now = 0;
  get_total_process_time(&now);
  const uint64_t target = now + uint64_t(milliseconds) * 10000;
  while (now < target) {
    const uint64_t remainingMilliseconds = (target - now + 9999) / 10000;
    pt::sleepMilliseconds(static_cast<uint32_t>(remainingMilliseconds));
    get_total_process_time(&now);
  }
}

// ---- the host system ----

void determine_host_os() {
  utsname name{};
  if (pt::readHostName(&name) != 0) {
    std::fputs(pt::kVersionFailed, stdout);
    std::fflush(stdout);
    sleep(pt::versionFailureSleepSeconds);
    host_os = pt::k9xFamily;
    pt::majorVersion = pt::kFallbackMajor;
    pt::minorVersion = pt::kFallbackMinor;
    pt::familyAssumed = true;
  } else {
    host_os = pt::kNtFamily;
    pt::familyAssumed = false;
    pt::majorVersion = pt::kReportedMajor;
    pt::minorVersion = pt::kReportedMinor;
  }
  if (!pt::processorIdentifies()) {
    platform::showMessageBox(pt::kOldProcessorCaption, pt::kOldProcessorText);
    lisp_exit(1);
  }
}

uint32_t sy_win_major_version() {
  return static_cast<uint32_t>(pt::majorVersion);
}

uint32_t sy_win_minor_version() {
  return static_cast<uint32_t>(pt::minorVersion);
}

// 0 only when the system reported the 9x family; 1 when the version could
// not be read.
int32_t sy_win95p() {
  return host_os == pt::k9xFamily && !pt::familyAssumed ? 0 : 1;
}

}  // extern "C"
