// The heap-ownership lock: only the thread that owns the heap runs Lisp.
// Ownership is the heap mutex plus the ready queue of thread records ordered
// by priority; a thread that wants the heap queues itself, sleeps on its wake
// event until it heads the queue, then takes the mutex. Giving the heap up
// wakes the next ready thread.
//
// Lock order: the ready-queue lock is never held while waiting for the heap
// mutex. The ready-queue lock guards both queues, the heap holds, the freeze
// count and the parked threads.
//
// Records are raw record addresses unless a routine says tagged.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::heap_lock {

// Called, when set, between giving up the ready-queue lock and sleeping on
// the wake event; stress tests widen the races with it.
extern void (*beforeSleepHook)();

// The registry mutex: taken by the profiler and by the forced jump of the
// heap owner, with the calling OS thread's id as owner. A fast mutex of its
// own, apart from the ready-queue lock.
void lockRegistryMutex();
void unlockRegistryMutex();

// Gives the heap up for a thread that will block or leave Lisp: takes the
// record (when given) off its queue, state unchanged, then
// vxm_release_heap_t (mark, account). Nothing when the caller does not hold
// the heap mutex.
void releaseOffQueue(uint32_t* record, int mark, int account);

// Takes the record off the queue it is on; nothing when it is on none.
// Callers hold the ready-queue lock.
void unlinkFromQueue(uint32_t* record);
// Makes the record the only member of the ready queue (the records that were
// on it are left off every queue). Callers hold the ready-queue lock.
void queueOnlyMember(uint32_t* record);
// The head of the ready queue, or null when the queue is empty.
uint32_t* readyHead();
// True when the record is marked parked (it found the heap frozen).
bool isParked(uint32_t* record);

// True while a thread woken from its I/O wait waits for the heap: it keeps
// the heaps, and the Lisp thread holding the heap may never give it up.
bool aWokenWaiterWaitsForTheHeap();

// Takes the heap mutex, without waiting, while the heaps are given back
// (when threads exist). Decision: a Lisp thread that holds the heap then
// keeps the heaps, which go with the process: it may never give the heap
// up (it computes with the alarm off, or waits for the console thread that
// gives the heaps back), and the process ends after the Lisp.
class HeldWhileHeapsGo {
 public:
  HeldWhileHeapsGo();
  ~HeldWhileHeapsGo();
  HeldWhileHeapsGo(const HeldWhileHeapsGo&) = delete;
  HeldWhileHeapsGo& operator=(const HeldWhileHeapsGo&) = delete;
  // False while a Lisp thread holds the heap: the heaps must stay.
  bool held() const { return held_; }

 private:
  uint32_t mutex_;
  bool held_;
};

}  // namespace lisp::heap_lock

extern "C" {
extern int scheduler_started;
extern int vxm_accounting_active;
extern uint32_t* smp_sigalrm_handler;
extern int smp_gc_trace;

// ---- collector state labels and trace ----
const char* gcstate_label(int32_t state);
void smp_gc_printf(uint32_t* record, const char* format, uint32_t argument);

// ---- taking and giving up the heap ----
void vxm_grab_heap_control(uint32_t* record);
void vxm_reacquire_heap_2(uint32_t* record);
void vxm_reacquire_heap();
void release_heap_mutex(int account);
void vxm_just_release_heap(int account);
void vxm_acquire_heap_for_syncsig();
void vxm_release_heap_t(int mark, int account);
void vxm_release_heap_for_sdcall_t(uint32_t* record, int mark);
void vxm_release_heap_for_sdcall(int mark);
void vxm_clean_release_return();
[[noreturn]] void vxm_clean_release_exit();
void relinquish_heap_and_wait(uint32_t* record, int ioWait);
void relinquish_heap_simple_wait(lisp::lispval record);
void relinquish_heap_io_wait(lisp::lispval record);
void freeze_vxm_heap();
void thaw_vxm_heap();
void vxm_grab_heap();
void vxm_release_heap();
int vxm_heap_grabbed();
void vxm_beg_for_heap();
void lock_lisp_ready_queue();
void unlock_lisp_ready_queue();
void threadctl_to_ready(uint32_t* record);
// Stores the caller's native stack position as its record's saved stack.
void sg_mark_stack_for_gc();

// ---- waking threads that wait outside the heap ----
void free_one_waiting_thread(int32_t index);
int thread_waiting_on_fd(uint32_t* record, int32_t descriptor);
void free_waiting_thread(int32_t descriptor);
void threads_note_sigalrm(int signal);
void ensure_live_thread_for_interrupt();
void ensure_live_thread_for_interrupt_search();
void smp_control_sigalrm(int flag, lisp::lispval record);
void smpgotsig14();
void close_profiler_gate();
void open_profiler_gate();
}
