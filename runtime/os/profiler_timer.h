// The profiler's timer thread: it sleeps the sampling interval, picks a Lisp
// thread to sample, suspends it with the heap frozen, reads its registers
// and hands them to the profiler. Also the process-time services and the
// host-system detection that go with it.
#pragma once

#include <cstdint>

extern "C" {
// ---- the timer thread ----
extern uint32_t virtual_sleep_res;  // the finest timer period, ms
extern uint32_t pf_sleeptime;
extern uint32_t pf_trys;
extern uint32_t pf_nogc;
extern uint32_t pf_gotthread;
extern uint32_t pf_didthread;
extern uint32_t pf_getthreadcontext_failures;
extern uint32_t prof_thread;  // raw record being sampled, 0 between samples
extern uint32_t do_purify;    // cleared by start-up
extern uint32_t start_check;  // registry index the next search starts at
extern uint32_t timer_start_synch;

int32_t timer_on(int32_t flag);
int32_t timer_off();
uint32_t run_timer(void* ignored);
uint32_t thread_to_profile(uint32_t minimumMicroseconds, uint32_t* resumeBoth,
                           uint32_t* otherThread, uint32_t** record);
void finish_thread_to_profile(uint32_t thread, uint32_t flags, uint32_t otherThread);

// ---- process time ----
// Kernel plus user time of the process in 100-nanosecond units.
void get_total_process_time(uint64_t* total);
// Returns once the process has used `milliseconds` more processor time.
void virtual_sleep(int32_t milliseconds);

// ---- the host system ----
extern int host_os;  // 1: the NT family, 2: the 9x family
void determine_host_os();
uint32_t sy_win_major_version();
uint32_t sy_win_minor_version();
int32_t sy_win95p();
}

namespace lisp::profiler_timer {

inline constexpr uint32_t kMinimumPeriodMilliseconds = 1;
inline constexpr uint32_t kTimerStackBytes = 8192;

// The sleep of one round for a rate in microseconds: rate / 1000 ms, raised
// to the minimum period plus 1 when it is not above the minimum period.
uint32_t intervalMilliseconds(uint32_t rateMicroseconds);

// Whether the timer thread exists, and whether it is parked (stopped between
// rounds by timer_off).
bool timerThreadExists();
bool timerThreadParked();

// The record word that keeps a thread's processor time at its last sample.
uint32_t lastSampleMicroseconds(uint32_t* record);

// Seams for tests of the host detection: whether the processor identifies
// itself (cpuid), whether uname works, and the seconds slept after a failure.
extern bool (*processorIdentifies)();
extern int (*readHostName)(void* utsnameRecord);
extern uint32_t versionFailureSleepSeconds;

}  // namespace lisp::profiler_timer
