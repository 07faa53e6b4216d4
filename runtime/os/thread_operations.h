// The thread operations that Lisp code reaches through thread_operation: the
// two thread queues, gates and semaphores, waits, rescheduling, interrupts,
// time accounting, structure locks and the scheduler data. Records and the
// Lisp objects handled here are tagged words; every store of a Lisp value
// into a record or a clock entry goes through the write barrier.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/thread_record.h"

namespace lisp::thread_ops {

namespace tr = lisp::thread_record;

// Record slots and words the operations read and write.
inline constexpr int32_t kPendingInterrupts = tr::wordOffset(10);  // newest first
inline constexpr int32_t kHoldList = tr::wordOffset(12);
inline constexpr int32_t kRunList = tr::wordOffset(13);
inline constexpr int32_t kWaitFunction = tr::wordOffset(14);
inline constexpr int32_t kWaitArguments = tr::wordOffset(15);
inline constexpr int32_t kRetestFlag = tr::wordOffset(17);
// Decision: of the two slots the resume path uses, slot 20 holds the
// thread's own clock entry (nil when it has none): resuming re-queues it and
// the thread's end takes it off the clock queue.
inline constexpr int32_t kClockEntry = tr::wordOffset(20);
inline constexpr int32_t kLockWaitedFor = tr::wordOffset(38);
inline constexpr int32_t kWaitKind = tr::wordOffset(59);
inline constexpr int32_t kWaitedObject = tr::wordOffset(61);  // a gate's state-word address
inline constexpr int32_t kPreviousHolder = tr::wordOffset(74);
inline constexpr int32_t kOwnSemaphore = tr::wordOffset(75);
static_assert(kPendingInterrupts == 0x16 && kWaitKind == 0xda && kWaitedObject == 0xe2);
static_assert(kOwnSemaphore == 0x11a && tr::kSliceStart == 0x106);

inline constexpr uint32_t kStateOnGate = 8;
inline constexpr uint32_t kWaitPlain = 1;
inline constexpr uint32_t kWaitWithDescriptors = 2;
inline constexpr uint32_t kWaitOnWakeEvent = 3;

// Clock entries: queue links as records, due time, action cell, thread.
inline constexpr int32_t kDueSeconds = tr::wordOffset(4);
inline constexpr int32_t kDueMilliseconds = tr::wordOffset(5);
inline constexpr int32_t kClockAction = tr::wordOffset(6);
inline constexpr int32_t kClockThread = tr::wordOffset(7);

// Gates and semaphores: an other object whose first data word (the word
// after its header) is the state word and whose second is the count.
uint32_t* gateStateWord(lispval gate);

// What the operations need of Lisp itself and of the clock and alarm.
// Tests replace them. The Lisp calls run on the heap-owning thread through
// lisp_call_from_native; the `count` Lisp values at `saved` are the
// caller's, kept where a collection during the call updates them.
struct Services {
  lispval (*apply)(lispval function, lispval arguments, lispval* saved, uint32_t count);
  // Calls the function of the thread structure's type symbol with the
  // argument and nil; nothing when there is no such symbol.
  lispval (*callTypeFunction)(lispval first, lispval* saved, uint32_t count);
  lispval (*cons)(lispval first, lispval rest, lispval* saved, uint32_t count);
  // The runtime clock: seconds and milliseconds.
  void (*now)(int32_t* seconds, int32_t* milliseconds);
  int32_t (*alarmOn)(int32_t seconds, int32_t microseconds);
  void (*alarmOff)();
  // Runs for every operation code that has no operation (31-36, 38 up).
  void (*breakpoint)(int32_t code);
};
Services& services();
void resetServices();

// The thread machinery's words of the runtime globals table, as offsets
// from nil (global word -N lies 0x15 + 4N below nil). They are saved with
// the heap image and visited by the collector with the table's other Lisp
// values. Decision: the roles have no fixed positions of their own; each
// takes a Lisp-value word that nothing else names. A fresh table holds 0
// in them, which counts as none, as nil does.
namespace global {
constexpr int32_t word(uint32_t n) {
  return lisp::nil_block::runtimeGlobalOffset(n);
}
inline constexpr int32_t kThreadStartSymbol = word(130);  // its function starts a new Lisp thread
inline constexpr int32_t kThreadStartMarker = word(131);  // stored in slot 34 of a starting thread
inline constexpr int32_t kRescheduleRequest = word(149);  // tested and cleared by operation 4
inline constexpr int32_t kThreadStructureType = word(150);  // a symbol
inline constexpr int32_t kClockQueueHeader = word(151);     // a clock entry linked to itself
// The two scheduler specials (symbols) that a general wait sets to nil: a
// true value of the first holds a reschedule request off, one of the
// second turns it into a posted signal.
inline constexpr int32_t kSchedulerSpecial0 = word(153);
inline constexpr int32_t kSchedulerSpecial1 = word(154);
}  // namespace global

// The global word at nil + offset; reads give 0 before the nil block exists.
lispval runtimeGlobal(int32_t offset);
void setRuntimeGlobal(int32_t offset, lispval value);

// The calling thread's value of a scheduler special (nil when the global
// holds no symbol), and setting it to nil as qsetq does.
lispval schedulerSpecial(int which);
void clearSchedulerSpecials();
// Posts a signal to the Lisp side through the runtime's post_sig.
void postSignal();
// When a signal has arrived (the signal-pending word is set), has the Lisp
// side process it through the runtime's process_sig_2.
void processArrivedSignals();

// True when a Lisp value equals the number 0 by value: the fixnum, a zero
// float of either size, a bignum whose digits are all zero, or a complex
// whose parts both are. (An other-tagged word that cannot name an object is
// no number.)
bool equalsZero(lispval value);

// Visits the thread operations' native words that hold Lisp objects (the
// general wait gate) for the collector, each while it holds a pointer.
void scanGlobals(void (*slot)(uint32_t address));

// Queue order: nil below every number, a non-number above every number.
bool ranksBelow(lispval priority, lispval other);

}  // namespace lisp::thread_ops

extern "C" {
// Calls into Lisp from native code (thread_operation_entry.S): kind 0
// applies `first` to the list `second`, kind 1 calls the function of the
// symbol `first` with `second` and nil, kind 2 conses them, kind 3 runs the
// runtime routine post_sig, kind 4 the runtime routine process_sig_2.
lisp::lispval lisp_call_from_native(int kind, lisp::lispval first, lisp::lispval second,
                                    lisp::lispval* saved, uint32_t count);

// Scheduler switches: the clock granularity (a fixnum, 75 at load), and
// non-zero to leave due clock entries alone.
extern lisp::lispval mp_clock_event_delta;
extern int suppress_clock_events;
extern lisp::lispval general_wait_thread;
extern lisp::lispval general_wait_gate;

// The operation dispatcher, with the caller's record (tagged), argument 1,
// the operation code and argument 3; the value in the low word; in the high
// word 0, 1 when the low word is a raw unsigned integer for the entry to box,
// or the fixnum code of a runtime error to signal.
uint64_t c_thread_operation(lisp::lispval self, lisp::lispval argument1, lisp::lispval code,
                            lisp::lispval argument3);

// Queues (tagged records and headers).
void thread_to_queue(lisp::lispval record, lisp::lispval header, uint32_t event, int behindEquals);
void thread_to_ready_queue(lisp::lispval record);
void thread_to_wait_queue(lisp::lispval record);
void thread_off_queues(lisp::lispval record);
void unwait_threadctl(lisp::lispval record);
// Gates: mode 0 opens, mode 1 posts a semaphore. Safe from any thread.
int32_t open_vxm_gate_ctl(uint32_t* stateWord, int mode);
int32_t open_vxm_gate(uint32_t* stateWord);
int32_t put_vxm_semaphore(uint32_t* stateWord);
void check_gwh_release(lisp::lispval self);
lisp::lispval thread_sequence_break(lisp::lispval self);
void thread_suspend_processing(lisp::lispval self);
void thread_relinquish_heap(lisp::lispval self);
void thread_resume_processing(lisp::lispval self);
uint32_t wait_os_event(uint32_t handle);
uint32_t wait_any_os_event(uint32_t count, const uint32_t* handles);

// Clock queue.
void add_to_clock_queue(lisp::lispval entry);
void remove_from_clock_queue(lisp::lispval entry);
lisp::lispval op_arm_clock_queue(int mode);

// Interrupts.
void op_schedule_thread_interrupt(lisp::lispval record, lisp::lispval cell);
void process_pending_thread_interrupts();
void process_thread_interrupts(lisp::lispval self);

// Time accounting.
void thread_time_init(lisp::lispval record);
void thread_suspend_time_accounting(lisp::lispval record);
void thread_resume_time_accounting(lisp::lispval record);
void rs_suspend_time_accounting(uint32_t* record, uint32_t seconds, uint32_t milliseconds);
void rs_resume_time_accounting(uint32_t* record);
}
