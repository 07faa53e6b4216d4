// thread_operation's table of operations and the operations that are not
// queue or clock work: rescheduling, waits, interrupts, records, scheduler
// data and structure locks.

#include "runtime/os/thread_operations.h"

#include <array>
#include <cstdint>
#include <utility>

#include "platform/threads.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/small_services.h"
#include "runtime/os/alarm_timer.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/runtime_clock.h"
#include "runtime/os/thread_operations_internal.h"
#include "runtime/os/thread_registry.h"
#include "runtime/os/thread_start.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/runtime_errors.h"

namespace lisp::thread_ops {

namespace ev = lisp::mp_event;

namespace {

lispval applyInLisp(lispval function, lispval arguments, lispval* saved, uint32_t count) {
  return lisp_call_from_native(0, function, arguments, saved, count);
}
lispval callTypeFunctionInLisp(lispval first, lispval* saved, uint32_t count) {
  const lispval type = runtimeGlobal(global::kThreadStructureType);
  if (!isSymbolTagged(type) || type == nilval) return nilval;
  return lisp_call_from_native(1, type, first, saved, count);
}
lispval consInLisp(lispval first, lispval rest, lispval* saved, uint32_t count) {
  return lisp_call_from_native(2, first, rest, saved, count);
}
void runtimeNow(int32_t* seconds, int32_t* milliseconds) {
  const os::RuntimeTime now = os::runtimeClock();
  *seconds = static_cast<int32_t>(now.seconds);
  *milliseconds = static_cast<int32_t>(now.milliseconds);
}
void noBreakpoint(int32_t) {}

constexpr Services kDefaultServices{applyInLisp, callTypeFunctionInLisp, consInLisp, runtimeNow,
                                    c_mpalarmon, c_mpalarmoff,           noBreakpoint};
Services current = kDefaultServices;

// An operation's value in the low word; a runtime error to signal in the high.
using Outcome = uint64_t;
Outcome value(lispval v) {
  return v;
}
// An unsigned integer result, boxed by the entry as a fixnum or bignum.
constexpr uint64_t kBoxUnsigned = 1;  // BOX_UNSIGNED in thread_operation_entry.S
Outcome integer(uint32_t v) {
  return (kBoxUnsigned << 32) | v;
}

uint32_t* recordOf(lispval v) {
  return isOther(v) ? validate_thread(v) : nullptr;
}

void clearSliceWords(lispval record) {
  wordAt(record, tr::kQueueWord1) = wordAt(record, tr::kQueueWord2) = 0;
}

using Handler = Outcome (*)(lispval self, lispval a1, lispval a3);

void freeRecord(lispval record) {
  clean_bound_symbols(registry::rawRecord(record));
  thread_off_queues(record);
  thread_start::releaseBindingStack(registry::rawRecord(record));
  free_threadctl(record);
}

Outcome opThreadStart(lispval, lispval record, lispval) {
  const lispval started = start_vxm_thread(record);
  if (started != nilval) return value(started);
  if (wordAt(record, kRunList) != nilval && wordAt(record, kHoldList) == nilval)
    thread_to_ready_queue(record);
  return value(nilval);
}

Outcome opReschedule(lispval self, lispval flag, lispval) {
  return value(reschedule(self, flag));
}

Outcome opExplicitSuspend(lispval self, lispval record, lispval) {
  if (!recordOf(record)) return value(nilval);
  thread_off_queues(record);
  if (record == self) thread_sequence_break(self);
  return value(nilval);
}

Outcome opExplicitUnsuspend(lispval self, lispval record, lispval) {
  if (!recordOf(record)) return value(nilval);
  if (wordAt(record, kWaitFunction) != nilval)
    thread_to_wait_queue(record);
  else if (runnable(record) && mayTakeTheHeap(record))
    thread_to_ready_queue(record);
  lock_lisp_ready_queue();
  const lispval head = readyHeadTagged();
  unlock_lisp_ready_queue();
  if (head != self) thread_sequence_break(self);
  return value(nilval);
}

// Scheduling point: a pending reschedule request is honoured unless the
// first scheduler special holds it off; with the second set, a signal is
// posted in its place.
Outcome opSchedulingPoint(lispval self, lispval, lispval) {
  const lispval request = runtimeGlobal(global::kRescheduleRequest);
  if (request == nilval || request == 0) return value(nilval);
  if (schedulerSpecial(0) != nilval) return value(nilval);
  if (schedulerSpecial(1) == nilval) {
    setRuntimeGlobal(global::kRescheduleRequest, nilval);
    reschedule(self, makeFixnum(1));
  } else {
    postSignal();
  }
  return value(nilval);
}

// The record is freed before the thread ends, unless it serves a foreign
// callback (whose caller still owns it); the thread then leaves by the exit
// path of every Lisp thread.
Outcome opThreadExit(lispval self, lispval, lispval) {
  if (isOther(wordAt(self, kClockEntry))) remove_from_clock_queue(wordAt(self, kClockEntry));
  thread_off_queues(self);
  if (wordAt(self, tr::kCallbackFlag) == 0) freeRecord(self);
  check_gwh_release(self);
  vxm_clean_release_exit();
}

Outcome opAddToClockQueue(lispval, lispval entry, lispval) {
  add_to_clock_queue(entry);
  return value(nilval);
}

Outcome opRemoveFromClockQueue(lispval, lispval entry, lispval) {
  remove_from_clock_queue(entry);
  return value(nilval);
}

Outcome opEnableMpMode(lispval, lispval, lispval) {
  scheduler_started = 1;
  return value(nilval);
}

Outcome opWaitGate(lispval self, lispval gate, lispval) {
  if (!isOther(gate)) return value(nilval);
  uint32_t* state = gateStateWord(gate);
  lock_lisp_ready_queue();
  if (equalsZero(*state)) {
    unlinkLocked(self);
    clearSliceWords(self);
    insertByPriority(self, registry::tagged(waiting_thread_header_aligned), true);
    wordAt(self, tr::kState) = kStateOnGate;
    wordAt(self, kWaitKind) = kWaitPlain;
    wordAt(self, kWaitedObject) = addressOf(state);
    unlock_lisp_ready_queue();
    mp_log_event(ev::kGateWait, gate);
    check_gwh_release(self);
    thread_sequence_break(self);
    return value(nilval);
  }
  unlock_lisp_ready_queue();
  store(self, kWaitFunction, nilval);
  store(self, kWaitArguments, nilval);
  return value(nilval);
}

Outcome opOpenGate(lispval, lispval gate, lispval mode) {
  if (!isOther(gate)) return value(nilval);
  if (mode == makeFixnum(0)) return value(makeFixnum(open_vxm_gate(gateStateWord(gate))));
  return value(makeFixnum(put_vxm_semaphore(gateStateWord(gate))));
}

Outcome opAllocate(lispval, lispval, lispval) {
  const lispval record = allocate_lisp_thread();
  if (record == nilval || record == 0) return value(nilval);
  store(record, tr::kStructureType, runtimeGlobal(global::kThreadStructureType));
  return value(record);
}

Outcome opDestroy(lispval, lispval record, lispval) {
  if (!recordOf(record)) return value(nilval);
  thread_off_queues(record);
  kill_os_thread(record);
  return value(nilval);
}

// Decision: a record whose OS thread may still run is not freed (it would be
// handed to a second thread): only a new, ended or dead record, or the
// caller's own, is. Nil when refused, fixnum 0 when freed.
Outcome opFree(lispval self, lispval record, lispval) {
  uint32_t* raw = recordOf(record);
  if (!raw) return value(nilval);
  const uint32_t state = wordAt(record, tr::kState);
  if (record != self && state != tr::kStateNew && state != tr::kStateKilled &&
      state != tr::kStateDead)
    return value(nilval);
  freeRecord(record);
  return value(makeFixnum(0));
}

Outcome generalWait(lispval self, lispval function, lispval arguments, uint32_t kind) {
  thread_off_queues(self);
  store(self, kWaitFunction, function);
  store(self, kWaitArguments, arguments);
  wordAt(self, kWaitedObject) = 0;
  wordAt(self, kWaitKind) = kind;
  c_mpwatchfor(-10000, self);
  lispval list = wordAt(self, tr::kDescriptorWaitList);
  for (uint32_t n = 0; isCons(list) && n < 4096; list = cdr(list), ++n)
    if (isFixnum(car(list))) c_mpwatchfor(fixnumValue(car(list)), self);
  thread_to_wait_queue(self);
  clearSchedulerSpecials();
  check_gwh_release(self);
  thread_sequence_break(self);
  mp_log_event(ev::kGeneralWaitEnded, 0);
  return value(nilval);
}

Outcome opWaitOnWakeEvent(lispval self, lispval function, lispval arguments) {
  return generalWait(self, function, arguments, kWaitOnWakeEvent);
}

Outcome opWaitWithDescriptors(lispval self, lispval function, lispval arguments) {
  return generalWait(self, function, arguments, kWaitWithDescriptors);
}

Outcome opArmMode0(lispval, lispval, lispval) {
  return value(op_arm_clock_queue(0));
}

Outcome opArmMode1(lispval, lispval, lispval) {
  return value(op_arm_clock_queue(1));
}

Outcome opProcessInterrupts(lispval self, lispval, lispval) {
  process_thread_interrupts(self);
  return value(nilval);
}

Outcome opUnwait(lispval, lispval record, lispval) {
  if (!recordOf(record)) return value(nilval);
  lock_lisp_ready_queue();
  unwait_threadctl(record);
  unlock_lisp_ready_queue();
  return value(nilval);
}

Outcome opThreadDatum(lispval, lispval code, lispval) {
  switch (isFixnum(code) ? fixnumValue(code) : -1) {
    case 0: return value(waiting_thread_queue);
    case 1: return value(ready_thread_queue);
    case 2: return value(makeFixnum(static_cast<int32_t>(thread_chain_length(threadctl_active))));
    case 3: return value(makeFixnum(static_cast<int32_t>(thread_chain_length(threadctl_available))));
    case 4: return integer(addressOf(thread_log_address));
    case 5: return value(makeFixnum(static_cast<int32_t>(mplog_size)));
    case 6: return value(static_cast<lispval>(mp_logging));
    case 7: return value(mp_clock_event_delta);
    default: return value(nilval);
  }
}

Outcome opSetThreadDatum(lispval self, lispval code, lispval datum) {
  switch (isFixnum(code) ? fixnumValue(code) : -1) {
    case 0: mp_logging = static_cast<int>(datum); break;
    case 1:
      general_wait_thread = self;
      general_wait_gate = datum == nilval ? 0 : datum;
      break;
    case 2:
      platform::setThreadPriority(wordAt(self, tr::kOsThreadHandle), os::priorityLevelOf(datum));
      break;
    case 3:
      if (isFixnum(datum)) mp_clock_event_delta = datum;
      break;
    default: break;
  }
  return value(nilval);
}

Outcome opScheduleInterrupt(lispval, lispval record, lispval cell) {
  if (!recordOf(record) || !isCons(cell)) return value(nilval);
  op_schedule_thread_interrupt(record, cell);
  return value(nilval);
}

// Starts the slice when none runs; the clock entry and the interrupts are
// the resume's business.
Outcome opEnsureAccounting(lispval self, lispval, lispval) {
  if (vxm_accounting_active && wordAt(self, tr::kSliceStart) == 0)
    resumeAccounting(self, nowMilliseconds());
  return value(nilval);
}

Outcome opYield(lispval self, lispval, lispval) {
  return value(reschedule(self, makeFixnum(1)));
}

Outcome opLog(lispval, lispval code, lispval datum) {
  if (mp_logging && isFixnum(code)) mp_log_event(static_cast<uint32_t>(fixnumValue(code)), datum);
  return value(nilval);
}

// The routine number and the argument: a gate (an other object) goes to
// the routine as its state word's address, a fixnum as its value, anything
// else as its word.
Outcome opStartNativeThread(lispval, lispval routine, lispval argument) {
  if (!isFixnum(routine)) return value(makeFixnum(thread_start::kUnknownRoutine));
  uint32_t word = argument;
  if (isFixnum(argument))
    word = static_cast<uint32_t>(fixnumValue(argument));
  else if (isOther(argument))
    word = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(gateStateWord(argument)));
  return value(makeFixnum(vxm_c_thread_starter(fixnumValue(routine), word)));
}

Outcome opImmigrantCallback(lispval self, lispval, lispval) {
  immigrant_callback_docall(self);
  return value(nilval);
}

Outcome opQueueLock(lispval, lispval flag, lispval) {
  if (flag == nilval)
    unlock_lisp_ready_queue();
  else
    lock_lisp_ready_queue();
  return value(nilval);
}

Outcome opMillisecondsUsed(lispval, lispval record, lispval) {
  uint32_t* raw = recordOf(record);
  if (!raw) return value(nilval);
  return integer(vxm_thread_msec_used(raw));
}

// The structure's holder is its third slot.
constexpr int32_t kLockHolder = tr::wordOffset(3);

Outcome opLockStructure(lispval self, lispval structure, lispval) {
  if (!isOther(structure)) return value(nilval);
  const lispval holder = wordAt(structure, kLockHolder);
  wordAt(self, kPreviousHolder) = holder;
  store(structure, kLockHolder, self);
  if (holder != nilval) {
    store(self, kLockWaitedFor, structure);
    vxm_semaphore_get();
    store(self, kLockWaitedFor, nilval);
  }
  return value(nilval);
}

Outcome opUnlockStructure(lispval, lispval, lispval) {
  vxm_semaphore_post();
  return value(nilval);
}

struct Operation {
  int32_t code;
  const char* name;
  Handler handler;
};

constexpr std::array<Operation, 33> kOperations = {{
    {0, "op_thread_start", opThreadStart},
    {1, "op_thread_reschedule", opReschedule},
    {2, "op_thread_explicit_suspend", opExplicitSuspend},
    {3, "op_thread_explicit_unsuspend", opExplicitUnsuspend},
    {4, "scheduling point", opSchedulingPoint},
    {5, "op_thread_exit", opThreadExit},
    {6, "add_to_clock_queue", opAddToClockQueue},
    {7, "remove_from_clock_queue", opRemoveFromClockQueue},
    {8, "enable_mp_mode", opEnableMpMode},
    {9, "op_wait_gate", opWaitGate},
    {10, "op_open_gate", opOpenGate},
    {11, "allocate_vxm_thread", opAllocate},
    {12, "destroy_vxm_thread", opDestroy},
    {13, "free_vxm_thread", opFree},
    {14, "op_wait_general", opWaitOnWakeEvent},
    {15, "op_arm_clock_queue", opArmMode0},
    {16, "op_wait_general", opWaitWithDescriptors},
    {17, "process_pending_thread_interrupts", opProcessInterrupts},
    {18, "op_thread_unwait_1", opUnwait},
    {19, "op_thread_datum", opThreadDatum},
    {20, "op_set_thread_datum", opSetThreadDatum},
    {21, "op_schedule_thread_interrupt", opScheduleInterrupt},
    {22, "thread_ensure_accounting", opEnsureAccounting},
    {23, "op_thread_yield", opYield},
    {24, "log", opLog},
    {25, "vxm_start_c_thread", opStartNativeThread},
    {26, "immigrant_callback_docall", opImmigrantCallback},
    {27, "queue lock", opQueueLock},
    {28, "vxm_thread_msec_used", opMillisecondsUsed},
    {29, "op_lock_structure", opLockStructure},
    {30, "op_unlock_structure", opUnlockStructure},
    {37, "op_arm_clock_queue", opArmMode1},
    {-1, nullptr, nullptr},
}};

constexpr bool codesAscend() {
  for (size_t i = 1; i + 1 < kOperations.size(); ++i)
    if (kOperations[i].code <= kOperations[i - 1].code) return false;
  return true;
}
static_assert(codesAscend());

const Operation* operationFor(lispval code) {
  if (!isFixnum(code)) return nullptr;
  for (const Operation& op : kOperations)
    if (op.handler && op.code == fixnumValue(code)) return &op;
  return nullptr;
}

}  // namespace

Services& services() {
  return current;
}

void resetServices() {
  current = kDefaultServices;
}

void scanGlobals(void (*slot)(uint32_t address)) {
  const Tag tag = tagOf(general_wait_gate);
  if (tag == Tag::Cons || tag == Tag::Other || tag == Tag::Symbol)
    slot(addressOf(&general_wait_gate));
}

lispval runtimeGlobal(int32_t offset) {
  return nilval ? wordAt(nilval, offset) : 0;
}

void setRuntimeGlobal(int32_t offset, lispval value) {
  if (nilval) wordAt(nilval, offset) = value;
}

lispval schedulerSpecial(int which) {
  const lispval symbol =
      runtimeGlobal(which == 0 ? global::kSchedulerSpecial0 : global::kSchedulerSpecial1);
  if (!isSymbolTagged(symbol) || symbol == nilval) return nilval;
  return *symbol_locative(symbol);
}

void clearSchedulerSpecials() {
  for (const int32_t offset : {global::kSchedulerSpecial0, global::kSchedulerSpecial1}) {
    const lispval symbol = runtimeGlobal(offset);
    if (isSymbolTagged(symbol) && symbol != nilval) *symbol_locative(symbol) = nilval;
  }
}

void postSignal() {
  lisp_call_from_native(3, nilval, nilval, nullptr, 0);
}

void processArrivedSignals() {
  if (runtimeGlobal(nil_block::global::kSignalPending) != 0)
    lisp_call_from_native(4, nilval, nilval, nullptr, 0);
}

namespace {

// The header of the object a word names; 0 when it cannot name one (the
// lowest page is never mapped).
uint32_t headerOf(lispval v) {
  return isOther(v) && objectAddress(v) >= 0x10000 ? wordAt(v, kHeaderOffset) : 0;
}

bool realEqualsZero(lispval v) {
  if (isFixnum(v)) return v == 0;
  const uint32_t header = headerOf(v);
  switch (typeCodeOf(header)) {
    case type_code::SingleFloat: return objectOf<SingleFloatObject>(v)->value == 0.0f;
    case type_code::DoubleFloat: return objectOf<DoubleFloatObject>(v)->value == 0.0;
    case type_code::Bignum: {
      const BignumObject* bignum = objectOf<BignumObject>(v);
      for (uint32_t i = 0; i < bignumDigitCount(header); ++i)
        if (bignum->digits[i] != 0) return false;
      return true;
    }
    default: return false;
  }
}

}  // namespace

bool equalsZero(lispval v) {
  if (typeCodeOf(headerOf(v)) != type_code::Complex) return realEqualsZero(v);
  const TwoPartObject* parts = objectOf<TwoPartObject>(v);
  return realEqualsZero(parts->first) && realEqualsZero(parts->second);
}

// Set while this thread's reschedule for a tick runs, until the
// process_thread_interrupts of its resume takes it, before any Lisp runs
// there: a Lisp throw out of that resume leaves nothing stale behind.
thread_local bool reschedulingForTick = false;

lispval reschedule(lispval self, lispval flag) {
  const bool mayRun = runnable(self);
  lock_lisp_ready_queue();
  if (mayRun && flag != nilval) {
    unlinkLocked(self);
    insertByPriority(self, registry::tagged(ready_thread_header_aligned), true);
  }
  if (!mayRun) unlinkLocked(self);
  const lispval head = readyHeadTagged();
  unlock_lisp_ready_queue();
  if (!mayRun) clearSliceWords(self);
  if (head == self) {
    thread_suspend_time_accounting(self);
    clearSliceWords(self);
    thread_resume_time_accounting(self);
    return nilval;
  }
  wordAt(self, kWaitKind) = kWaitPlain;
  return thread_sequence_break(self);
}

}  // namespace lisp::thread_ops

namespace to = lisp::thread_ops;
namespace ev = lisp::mp_event;
namespace tr = lisp::thread_record;
using lisp::car;
using lisp::cdr;
using lisp::lispval;
using lisp::wordAt;

extern "C" {


uint64_t c_thread_operation(lispval self, lispval argument1, lispval code, lispval argument3) {
  const to::Operation* op = to::operationFor(code);
  if (!op) {
    to::services().breakpoint(lisp::isFixnum(code) ? lisp::fixnumValue(code) : -1);
    return nilval;
  }
  return op->handler(self, argument1, argument3);
}

void op_schedule_thread_interrupt(lispval record, lispval cell) {
  mp_log_event(ev::kInterruptScheduled, wordAt(record, tr::kRegistryIndex));
  to::store(cell, lisp::kCdrOffset, wordAt(record, to::kPendingInterrupts));
  to::store(record, to::kPendingInterrupts, cell);
  // A thread out in a foreign call runs its interrupts when it comes back;
  // an ended one never does.
  if (!to::mayTakeTheHeap(record)) return;
  lock_lisp_ready_queue();
  threadctl_to_ready(lisp::registry::rawRecord(record));
  unlock_lisp_ready_queue();
}

void process_pending_thread_interrupts() {
  if (uint32_t* record = my_pthreadctl(nullptr)) process_thread_interrupts(lisp::registry::tagged(record));
}

void process_thread_interrupts(lispval self) {
  const lispval nil = nilval;
  mp_log_event(ev::kInterruptsProcessed, 0);
  // The reschedule for a tick resumes the thread, which queues its clock
  // entry again with its old due time: when that falls due at once it marks
  // this thread anew. The tick being served counts once.
  const bool resumingForTick = std::exchange(to::reschedulingForTick, false);
  if (wordAt(self, tr::kClockWord) != 0) {
    wordAt(self, tr::kClockWord) = 0;
    if (!resumingForTick) {
      mp_log_event(ev::kSliceReschedule, 0);
      wordAt(self, tr::kQueueWord1) = wordAt(self, tr::kQueueWord2) = 0;
      to::reschedulingForTick = true;
      to::reschedule(self, lisp::makeFixnum(1));
      to::reschedulingForTick = false;
    }
  }
  while (lisp::isCons(wordAt(self, to::kPendingInterrupts))) {
    const lispval cell = wordAt(self, to::kPendingInterrupts);
    to::store(self, to::kPendingInterrupts, cdr(cell));
    const lispval pair = car(cell);
    // What the interrupt must not see, kept where a collection updates it.
    enum { kHold, kWaitFunction, kWaitArguments, kMarker, kKept };
    lispval kept[kKept] = {wordAt(self, to::kHoldList), wordAt(self, to::kWaitFunction),
                           wordAt(self, to::kWaitArguments), nil};
    const bool hadRunList = wordAt(self, to::kRunList) != nil;
    const uint32_t waited = wordAt(self, to::kWaitedObject);
    to::store(self, to::kHoldList, nil);
    to::store(self, to::kWaitFunction, nil);
    to::store(self, to::kWaitArguments, nil);
    wordAt(self, to::kWaitedObject) = 0;
    if (!hadRunList) {
      kept[kMarker] = to::services().cons(to::runtimeGlobal(to::global::kThreadStructureType),
                                          nil, kept, kKept);
      if (kept[kMarker] != nil)
        to::store(self, to::kRunList, to::services().cons(kept[kMarker], nil, kept, kKept));
    }
    if (lisp::isCons(pair)) to::services().apply(car(pair), cdr(pair), kept, kKept);
    to::store(self, to::kWaitFunction, kept[kWaitFunction]);
    to::store(self, to::kWaitArguments, kept[kWaitArguments]);
    wordAt(self, to::kWaitedObject) = waited;
    if (wordAt(self, to::kHoldList) == nil) {
      to::store(self, to::kHoldList, kept[kHold]);
    } else {
      // The hold list being walked is kept in kept[kHold] as it advances.
      for (; lisp::isCons(kept[kHold]); kept[kHold] = cdr(kept[kHold])) {
        const lispval pushed =
            to::services().cons(car(kept[kHold]), wordAt(self, to::kHoldList), kept, kKept);
        if (pushed != nil) to::store(self, to::kHoldList, pushed);
      }
    }
    const lispval marker = kept[kMarker];
    if (marker != nil) {
      // Take the marker out of whatever run list the interrupt left.
      lispval list = wordAt(self, to::kRunList);
      if (lisp::isCons(list) && car(list) == marker) {
        to::store(self, to::kRunList, cdr(list));
      } else {
        for (; lisp::isCons(list) && lisp::isCons(cdr(list)); list = cdr(list))
          if (car(cdr(list)) == marker) {
            to::store(list, lisp::kCdrOffset, cdr(cdr(list)));
            break;
          }
      }
    }
  }
}

}  // extern "C"
