// The first Lisp thread's routines (first_lisp_thread.S) and their native
// halves (first_lisp_thread.cpp).
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace startup::first_thread {

// Where first_lisp_thread puts the registry's state in the first thread's
// Lisp thread object (record slot numbers). Decision: the thread object is
// the first thread's record, a Lisp structure; the start time goes where a
// registering thread's record keeps its registration time (slots 22 and
// 23, seconds and milliseconds), the cleared counter beside it (24), and
// the three registry words into record slots that no other use names.
struct ThreadObjectSlots {
  int32_t readyQueue, waitingQueue, firstThread;
  int32_t startSeconds, startMilliseconds, counter;
};
inline constexpr ThreadObjectSlots kThreadObjectSlots = {6, 7, 8, 22, 23, 24};

// start_prof's settings. Decision: samples without a limit other than
// the counter's range, every 10 ms.
inline constexpr int32_t kProfileMaxSamples = 0x7fffffff;
inline constexpr int32_t kProfileIntervalMilliseconds = 10;
inline constexpr uint32_t kProfileKindBits = 3;  // of raz_start_prof: 1 time, 2 space

}  // namespace startup::first_thread

extern "C" {
// Native entry (cdecl): the first Lisp thread's Lisp side; see the .S file.
void first_lisp_thread_init();
// Runtime routines (Lisp register conventions).
void cont_setstack();
void startup_lisp();
void startfasl_prep();
void startfasl_prep2();
void first_lisp_thread();
// Native entries used around a heap relocation.
void gc_rms_preinit();
void gc_rms_preinit2();

// Native halves.
// "first Lisp thread: no Lisp heap" on standard error, then lisp_exit(1).
[[noreturn]] void first_lisp_thread_without_heap();
// Stores the queues, first_thread, the start time (sy_time: s_utime
// seconds, s_stime milliseconds, as fixnums) and the cleared counter into
// the first thread's record through the write barrier; returns the record
// (nil when there is none).
lisp::lispval first_thread_object_setup();
// Starts the sampling profiler of the kind raz_start_prof's low two bits
// name (1 time, 2 space) with the sample and size files; other kinds start
// nothing.
void start_prof();
}
