// Lisp thread start and exit, and calls into Lisp from native threads.
//
// The invariant every routine here keeps: a thread that stops running Lisp
// for good, or for the length of a foreign call, is off the ready queue
// before it gives the heap up, and every change of the registry, the queues
// and the Lisp thread count happens under the ready-queue lock. A record
// left at the head of the ready queue by a thread that no longer runs would
// hold every thread of equal or lower priority back for ever.
//
// Decisions:
// - A starting thread's binding stack that is a direct sysvector lives
//   outside the native heap: the exiting thread leaves it to the collector
//   and only sets slot 32 to nil. The native storage behind an indirect one
//   (word 1 fixnum 3, the storage address in word 2) is given back.
// - Registering a native thread allocates from the native heap, which is not
//   thread-safe: it happens while the thread holds the heap mutex.
// - mp_test_action's callback case hands the callback a one-word argument
//   block holding the argument.
// - immigrant_test_2 passes the single-float bits of its number as the
//   callback's word and takes the callback's word back as the next bits.

#include "runtime/gc/gc_state.h"
#include "runtime/os/thread_start.h"

#include <sched.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/error_numbers.h"
#include "platform/message_queue.h"
#include "platform/thread_block.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/gc/native_heap.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/exception_frame.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/lisp_guarded_region.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/os/record_words.h"
#include "runtime/os/runtime_clock.h"
#include "runtime/os/thread_operations.h"
#include "runtime/os/thread_registry.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/foreign_callbacks.h"
#include "runtime/rs/exports.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/stack_limits.h"

namespace ts = lisp::thread_start;
namespace tr = lisp::thread_record;
namespace ev = lisp::mp_event;
using lisp::lispval;
using lisp::makeFixnum;
using lisp::os::recordWord;
using lisp::registry::lockReadyQueue;
using lisp::registry::tagged;
using lisp::registry::unlockReadyQueue;

extern "C" {

// Assembly (thread_start.S): restores the x87 state and edx from the area,
// calls routine(block, index), saves them back; returns the routine's eax.
uint32_t call_with_saved_volatile(void* area, uint32_t (*routine)(uint32_t, int32_t),
                                  uint32_t block, int32_t index);
// C++ halves of the assembly entries.
void thread_rs_prepare(lispval record);
void thread_rs_finish(lispval record, uint32_t frame);
uint64_t callback_around_lisp(void* frameArea, uint32_t block, int32_t index);
}

namespace {

constexpr char kStartedText[] = "started";
constexpr char kIntoLispText[] = "into lisp; gcstate=%s";
constexpr char kOutOfLispText[] = "out of lisp; gcstate=%s";
constexpr char kRecordFreedText[] = "tcb freed at exit of thread %d";

constexpr int32_t kSysvectorKindWord = 4 - 0x12;     // word 1, from the tagged word
constexpr int32_t kSysvectorStorageWord = 8 - 0x12;  // word 2
constexpr int32_t kSysvectorElementWord = 12 - 0x12; // word 3
constexpr uint8_t kSysvectorCode = 13;
constexpr lispval kIndirectSysvector = makeFixnum(3);
constexpr int32_t kMissingCallbackIndex = -1;

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}
template <typename T>
T* pointerTo(uint32_t address) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(address));
}

uint32_t* recordOf(int32_t index) {
  return lisp::registry::recordAt(index);
}

const char* gcstateOf(uint32_t* record) {
  return gcstate_label(static_cast<int32_t>(recordWord(record, tr::kGcState)));
}

void pause(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool isSysvector(lispval value) {
  return lisp::isOther(value) &&
         lisp::typeCodeOf(lisp::wordAt(value, lisp::kHeaderOffset)) == kSysvectorCode;
}

// The saved-register areas are brought up to a multiple of 8 by the routines
// that fill them; copying the aligned image moves the registers across.
void* alignedArea(void* area) {
  return pointerTo<void>((addressOf(area) + 7) & ~uint32_t{7});
}
void* callbackSaveArea(uint32_t* record) {
  return &recordWord(record, tr::kCallbackSaveArea);
}
void copyRegisters(void* from, void* to) {
  std::memcpy(alignedArea(to), alignedArea(from), 0x204);
}

// ---- default services: Lisp itself ----

void runStartFunctionInLisp(lispval record) {
  const lispval symbol =
      lisp::thread_ops::runtimeGlobal(lisp::thread_ops::global::kThreadStartSymbol);
  if (!lisp::isSymbolTagged(symbol) || symbol == nilval) return;
  lisp_call_from_native(1, symbol, record, nullptr, 0);
}
uint32_t missingCallbackInLisp() {
  return lisp_missing_stub_x();
}
constexpr ts::Services kDefaultServices{runStartFunctionInLisp, lisp_addr_call,
                                        missingCallbackInLisp};
ts::Services current = kDefaultServices;

uint32_t missingCallbackRoutine(uint32_t, int32_t) {
  return current.missingCallback();
}

// Calls the record's callback with the registers of its callback save area,
// and keeps the callback's registers there.
uint32_t callWithRecordRegisters(uint32_t* record, uint32_t block, int32_t index) {
  const auto routine = index == kMissingCallbackIndex ? missingCallbackRoutine : current.callCallback;
  return call_with_saved_volatile(callbackSaveArea(record), routine, block, index);
}

// ---- giving a thread's resources back ----

void closeWakeEvent(uint32_t* record) {
  if (const uint32_t event = recordWord(record, tr::kWakeEvent)) free_os_lock(event);
  recordWord(record, tr::kWakeEvent) = 0;
}

// The thread's own clock entry leaves the clock queue, which is Lisp data
// changed under the heap: a thread that does not hold the heap takes the
// heap mutex alone for the change.
void removeClockEntry(uint32_t* record) {
  const lispval entry = recordWord(record, lisp::thread_ops::kClockEntry);
  if (!lisp::isOther(entry)) return;
  const bool held = platform::mutexHeldByCaller(vxm_thread_control.heapMutex);
  if (!held) vxm_grab_heap();
  remove_from_clock_queue(entry);
  if (!held) vxm_release_heap();
}

void giveImmigrantValues(uint32_t* record) {
  const lisp::os::RuntimeTime now = lisp::os::runtimeClock();
  recordWord(record, tr::kState) = ts::kStateRegistered;
  recordWord(record, tr::kCallbackFlag) = 1;
  recordWord(record, ts::kSlot18) = makeFixnum(2);
  recordWord(record, ts::kSlot19) = 0;
  recordWord(record, ts::kStartSeconds) = makeFixnum(static_cast<int32_t>(now.seconds));
  recordWord(record, ts::kStartMilliseconds) = makeFixnum(static_cast<int32_t>(now.milliseconds));
  recordWord(record, ts::kSlot24) = 0;
  recordWord(record, ts::kSlot25) = makeFixnum(1);
  recordWord(record, tr::kStackSize) = 0;
  recordWord(record, tr::kPriority) = 0;
  recordWord(record, tr::kOsIdSlot) =
      makeFixnum(static_cast<int32_t>(recordWord(record, tr::kOsThreadId)));
  ++vxm_thread_control.immigrantCount;
}

// Registers the calling native thread; -1 when no record can be had.
int32_t registerImmigrant() {
  vxm_grab_heap();
  lockReadyQueue();
  const int32_t index = vxm_register_thread();
  if (index >= 0) giveImmigrantValues(recordOf(index));
  unlockReadyQueue();
  vxm_release_heap();
  return index;
}

// The state word is read by the wake-ups under the ready-queue lock.
void setStateLocked(uint32_t* record, uint32_t state) {
  lockReadyQueue();
  recordWord(record, tr::kState) = state;
  unlockReadyQueue();
}

struct CallbackCall {
  void* frameArea;
  uint32_t block;
  int32_t index;
  uint32_t* record = nullptr;
  bool finished = false;
};

// Steps 2 to 7 of a callback from native code, inside the guarded region.
uint32_t callbackSteps(void* argument) {
  auto& call = *static_cast<CallbackCall*>(argument);
  int32_t index = vxm_thread_registered_p(identify_os_thread());
  const bool owned = index >= 0 && vxm_thread_control.heapOwnerIndex == index;
  if (index < 0) {
    while (!scheduler_started) pause(ts::kSchedulerPollMilliseconds);
    index = vxm_thread_registered_p(identify_os_thread());
    if (index < 0) index = registerImmigrant();
    if (index < 0) {
      call.finished = true;
      return 0;
    }
  }
  uint32_t* record = recordOf(index);
  call.record = record;
  copyRegisters(call.frameArea, callbackSaveArea(record));
  if (recordWord(record, tr::kState) == ts::kStateRegistered) {
    mp_log_event(ev::kFirstCallback, static_cast<uint32_t>(index));
    set_tls_thread(lisp_tls_index, tagged(record));
    recordWord(record, tr::kState) = tr::kStateCallbackDone;
  }
  uint32_t result;
  if (recordWord(record, tr::kState) == tr::kStateCallbackDone) {
    result = vxm_immigrant_callback(index, call.block, call.index);
  } else {
    // The thread runs Lisp during the callback: it is running, so that a
    // wait it makes there can be ended. Its state outside comes back after.
    const uint32_t stateOutside = recordWord(record, tr::kState);
    if (!owned) {
      vxm_grab_heap_control(record);
      setStateLocked(record, tr::kStateRunning);
    }
    result = vxm_native_callback(index, call.block, call.index, owned ? 1 : 0);
    if (!owned) {
      const lisp::os::RuntimeTime now = lisp::os::runtimeClock();
      rs_suspend_time_accounting(record, static_cast<uint32_t>(now.seconds), now.milliseconds);
      vxm_release_heap_for_sdcall_t(record, 0);
      setStateLocked(record, stateOutside);
    }
  }
  call.finished = true;
  return result;
}

// ---- the native threads of the built-in routines ----

using ThreadRoutine = uint32_t (*)(void*);
constexpr ThreadRoutine kBuiltInRoutines[] = {immigrant_test, immigrant_test_2, gate_test_1};

int32_t startNativeThread(ThreadRoutine routine, uint32_t argument, uint32_t stackBytes) {
  return create_os_thread(routine, pointerTo<void>(argument), stackBytes, nullptr, nullptr);
}

}  // namespace

namespace lisp::thread_start {

Services& services() {
  return current;
}
void resetServices() {
  current = kDefaultServices;
}

}  // namespace lisp::thread_start

extern "C" {

// ---- starting ----

lispval start_vxm_thread(lispval value) {
  uint32_t* record = lisp::isOther(value) ? validate_thread(value) : nullptr;
  if (!record) return makeFixnum(-1);
  if (!smp_conditional_update_nat(&recordWord(record, tr::kState), tr::kStateNew,
                                  tr::kStateStarting))
    return makeFixnum(-2);
  for (const int32_t cleared : {tr::kCallbackFlag, tr::kKillRequest, ts::kSlot24,
                                tr::kClearedAtRegistration, tr::kWatchCount,
                                tr::kProfilingExclusion})
    recordWord(record, cleared) = 0;
  return start_os_thread(record);
}

lispval start_os_thread(uint32_t* record) {
  recordWord(record, tr::kWakeEvent) = allocate_os_lock(1);
  const lispval stackSize = recordWord(record, tr::kStackSize);
  const uint32_t stackBytes =
      lisp::isFixnum(stackSize) && lisp::fixnumValue(stackSize) > 0
          ? static_cast<uint32_t>(lisp::fixnumValue(stackSize))
          : 0;
  const uint32_t index = recordWord(record, tr::kRegistryIndex);
  // The new thread's first step takes the ready-queue lock: holding it here
  // keeps the thread from running to its end, and clearing its id and handle
  // words, before they are stored.
  lockReadyQueue();
  const int32_t failure =
      create_os_thread(lisp_thread_init_c_entry, pointerTo<void>(index), stackBytes,
                       &recordWord(record, tr::kOsThreadId), &recordWord(record, tr::kOsThreadHandle));
  unlockReadyQueue();
  if (failure != 0) {
    closeWakeEvent(record);
    if (const uint32_t second = recordWord(record, tr::kSecondHandle))
      platform::closeHandle(second);
    recordWord(record, tr::kSecondHandle) = 0;
    recordWord(record, tr::kOsThreadId) = 0;
    recordWord(record, tr::kState) = tr::kStateNew;
    return makeFixnum(failure);
  }
  smp_gc_printf(record, kStartedText, 0);
  return nilval;
}

uint32_t lisp_thread_init_c_entry(void* argument) {
  const auto index = static_cast<int32_t>(addressOf(argument));
  auto& control = vxm_thread_control;
  uint32_t* record = recordOf(index);
  if (!record) return 0;
  // 1. the count
  mp_log_event(ev::kLispThreadEntry, static_cast<uint32_t>(index));
  lockReadyQueue();
  ++control.lispThreadCount;
  unlockReadyQueue();
  // 2. the thread's identity
  const uint32_t osId = identify_os_thread();
  recordWord(record, tr::kOsThreadId) = osId;
  recordWord(record, tr::kOsIdSlot) = makeFixnum(static_cast<int32_t>(osId));
  recordWord(record, tr::kErrnoAddress) = addressOf(platform::runtimeErrnoAddress());
  set_tls_thread(lisp_tls_index, tagged(record));
  if (tls_active) platform::setThreadSlot(static_cast<int32_t>(tls_key), index + 1);
  recordWord(record, tr::kState) = tr::kStateRunning;
  // 3, 4. Lisp
  smp_gc_printf(record, kIntoLispText, addressOf(gcstateOf(record)));
  setupstack_xhandler(index);
  // 5 to 8; with no Lisp thread left and nobody to tell, the process ends.
  if (leave_lisp_thread(record, tr::kStateDead, 1) == 0) lisp_exit(0);
  return 0;
}

// Steps 5 to 8 of a Lisp thread's end. The environment, the clock entry,
// the queues, the handles and the count are given back whichever way the
// thread ends (its start function returns, operation 5, a kill, the exit
// hook); the record is left in `endState` and goes back to the available list
// when `freeRecord` is set. The Lisp thread count counts the threads started
// by lisp_thread_init_c_entry and the first thread, never immigrants.
uint32_t leave_lisp_thread(uint32_t* record, uint32_t endState, int freeRecord) {
  auto& control = vxm_thread_control;
  const auto index = static_cast<int32_t>(recordWord(record, tr::kRegistryIndex));
  const uint32_t osId = recordWord(record, tr::kOsThreadId);
  const bool counted = recordWord(record, tr::kCallbackFlag) == 0;
  // 5. out of Lisp, off the clock queue and the thread queues
  smp_gc_printf(record, kOutOfLispText, addressOf(gcstateOf(record)));
  if (platform::mutexHeldByCaller(control.heapMutex) || control.environmentIndex == index)
    control.environmentIndex = -1;
  removeClockEntry(record);
  lockReadyQueue();
  lisp::heap_lock::unlinkFromQueue(record);
  unlockReadyQueue();
  recordWord(record, tr::kSavedNativeStack) = 0;
  recordWord(record, tr::kOsIdSlot) = nilval;
  recordWord(record, tr::kOsThreadId) = 0;
  // 6. wake those waiting outside the heap; the thread's handles
  sched_yield();
  free_waiting_thread(0);
  closeWakeEvent(record);
  if (const uint32_t handle = recordWord(record, tr::kOsThreadHandle)) platform::closeHandle(handle);
  recordWord(record, tr::kOsThreadHandle) = 0;
  // 7. the record
  lockReadyQueue();
  recordWord(record, tr::kState) = endState;
  if (freeRecord) ts::releaseBindingStack(record);
  if (counted && control.lispThreadCount > 0) --control.lispThreadCount;
  if (freeRecord) free_threadctl_c(record);
  const uint32_t remaining = control.lispThreadCount;
  unlockReadyQueue();
  if (freeRecord) smp_gc_printf(record, kRecordFreedText, osId);
  // 8. the heap
  vxm_release_heap_t(0, 1);
  mp_log_event(ev::kLispThreadExit, remaining);
  return remaining;
}

void end_lisp_os_thread(uint32_t* record, uint32_t endState, int freeRecord, int32_t status) {
  const uint32_t remaining =
      record ? leave_lisp_thread(record, endState, freeRecord) : vxm_thread_control.lispThreadCount;
  // No Lisp thread is left and nobody waits for this one: the process's
  // service threads would keep it alive for ever, so it ends.
  if (remaining == 0) lisp_exit(status);
  platform::exitThread(static_cast<uint32_t>(status));
}

void second_lisp_thread_c_init(int32_t index) {
  uint32_t* record = recordOf(index);
  if (!record) return;
  vxm_grab_heap_control(record);
  switch_thread_dynamic_environment(index);
  lisp_thread_init_rs(tagged(record));
}

// Steps 1 and 2 of lisp_thread_init_rs.
void thread_rs_prepare(lispval record) {
  const lispval marker =
      lisp::thread_ops::runtimeGlobal(lisp::thread_ops::global::kThreadStartMarker);
  lisp::wordAt(record, ts::kStartMarkerSlot) = marker ? marker : nilval;
  skip_stack_scan = 1;
  lisp::wordAt(record, tr::kSavedNativeStack) = 0;
  lisp::wordAt(record, tr::kBindingStackTop) = 0;
  lisp::wordAt(record, tr::kBindingStackRoom) = ts::kBindingStackRoom;
  lisp::wordAt(record, tr::kSpecialFill) = 0;
  lisp::wordAt(record, ts::kBindingWord65) = 0;
  lisp::wordAt(record, tr::kCatchChain) = 0;
  lisp::wordAt(record, tr::kLeafCallStack) = nilval;
  lisp::wordAt(record, tr::kClinkHead) = tr::kEmptyClinkChain;
}

// Steps 3 (after the allocation) and 4.
void thread_rs_finish(lispval record, uint32_t frame) {
  const auto element = static_cast<int32_t>(lisp::wordAt(record, tr::kRegistryIndex)) + 1;
  const lispval stack = lisp::wordAt(record, tr::kBindingStack);
  if (isSysvector(stack)) lisp::wordAt(stack, kSysvectorElementWord) = static_cast<uint32_t>(element);
  lisp::wordAt(record, tr::kBindingIndex) = makeFixnum(element);
  skip_stack_scan = 0;
  lisp::wordAt(record, tr::kStackBase) = frame;
  set_thread_stack_limit(record);
}

void initiate_sg(lispval record) {
  thread_time_init(record);
  current.runStartFunction(record);
  thread_suspend_time_accounting(record);
}

// ---- ending ----

uint32_t* kill_os_thread(lispval value) {
  uint32_t* record = lisp::isOther(value) ? validate_thread(value) : nullptr;
  if (!record) return nullptr;
  recordWord(record, tr::kKillRequest) = 1;
  mp_log_event(ev::kKillOsThread, recordWord(record, tr::kRegistryIndex));
  return record;
}

uint32_t* check_for_thread_exit(uint32_t* record) {
  if (!record || recordWord(record, tr::kKillRequest) == 0) return record;
  mp_log_event(ev::kKilledThreadEnds, 0);
  // The record stays in the registry, ended: whoever asked for the kill frees it.
  end_lisp_os_thread(record, tr::kStateKilled, 0, 0);
}

void end_lisp_thread(int32_t status, int32_t* doneFlag, uint32_t notifyThreadId) {
  pause(ts::kExitPauseMilliseconds);
  uint32_t remaining = vxm_thread_control.lispThreadCount;
  if (vxm_thread_control.readyQueueLock.semaphore != 0) {
    lockReadyQueue();
    const int32_t index = vxm_thread_registered_p(identify_os_thread());
    unlockReadyQueue();
    if (uint32_t* record = index >= 0 ? recordOf(index) : nullptr)
      remaining = leave_lisp_thread(record, tr::kStateDead, 0);
    else
      lisp::heap_lock::releaseOffQueue(nullptr, 0, 1);
  }
  // Nobody waits for this thread (the first Lisp thread of a process started
  // without a launcher) and no Lisp thread is left: the process ends with the
  // status.
  if (!doneFlag && notifyThreadId == 0 && remaining == 0) lisp_exit(status);
  if (doneFlag) *doneFlag = 1;
  if (notifyThreadId != 0)
    platform::postThreadMessage(notifyThreadId, platform::kQuitMessage,
                                static_cast<uint32_t>(status), ts::kQuitLongParameter);
  platform::exitThread(static_cast<uint32_t>(status));
}

KORVANE_EXPORT void vxm_thread_exit(int32_t status, int32_t* doneFlag,
                                   uint32_t notifyThreadId) {
  end_lisp_thread(status, doneFlag, notifyThreadId);
}

// ---- callbacks from native code ----

// Steps 2 to 8 in the guarded region; the low word is the result, the high
// word the area whose registers the caller gets back.
uint64_t callback_around_lisp(void* frameArea, uint32_t block, int32_t index) {
  CallbackCall call{frameArea, block, index};
  uint32_t result = lisp::os::runInLispExceptionFrame(callbackSteps, &call);
  if (!call.finished) result = 0;
  void* restoreFrom = call.record ? callbackSaveArea(call.record) : frameArea;
  return (static_cast<uint64_t>(addressOf(restoreFrom)) << 32) | result;
}

uint32_t lisp_missing_stub_1() {
  return acquire_heap_around_lisp_call(0, kMissingCallbackIndex);
}

uint32_t vxm_immigrant_callback(int32_t index, uint32_t block, int32_t callbackIndex) {
  uint32_t* record = recordOf(index);
  vxm_grab_heap_control(record);
  switch_thread_dynamic_environment(index);
  recordWord(record, tr::kStructureType) =
      recordWord(ready_thread_header_aligned, tr::kStructureType);
  recordWord(record, tr::kState) = tr::kStateRunning;
  recordWord(record, tr::kCallbackFlag) = 1;
  recordWord(record, tr::kCallbackArgument) = block;
  recordWord(record, tr::kCallbackIndex) = static_cast<uint32_t>(callbackIndex);
  recordWord(record, tr::kCallbackMarker) = makeFixnum(1);
  lisp_thread_init_rs(tagged(record));
  recordWord(record, tr::kSavedNativeStack) = 0;
  recordWord(record, tr::kState) = tr::kStateCallbackDone;
  lockReadyQueue();
  lisp::heap_lock::unlinkFromQueue(record);
  unlockReadyQueue();
  vxm_release_heap_t(0, 1);
  return recordWord(record, ts::kImmigrantResult);
}

void immigrant_callback_docall(lispval value) {
  uint32_t* record = lisp::registry::rawRecord(value);
  const auto index = static_cast<int32_t>(recordWord(record, tr::kCallbackIndex));
  recordWord(record, ts::kImmigrantResult) =
      index == kMissingCallbackIndex
          ? current.missingCallback()
          : callWithRecordRegisters(record, recordWord(record, tr::kCallbackArgument), index);
}

uint32_t vxm_native_callback(int32_t index, uint32_t block, int32_t callbackIndex, int owned) {
  uint32_t* record = recordOf(index);
  const uint32_t savedStack = recordWord(record, tr::kSavedNativeStack);
  recordWord(record, tr::kSavedNativeStack) = 0;
  check_for_thread_exit(record);
  if (vxm_thread_control.environmentIndex != index) switch_thread_dynamic_environment(index);
  if (!owned) rs_resume_time_accounting(record);
  if (savedStack != 0) setsig(0);
  const uint32_t result = callWithRecordRegisters(record, block, callbackIndex);
  recordWord(record, tr::kSavedNativeStack) = savedStack;
  return result;
}

// ---- native threads for built-in routines, and the test hook ----

int32_t vxm_c_thread_starter(int32_t routine, uint32_t argument) {
  if (routine < 0 || routine >= static_cast<int32_t>(std::size(kBuiltInRoutines)))
    return ts::kUnknownRoutine;
  return startNativeThread(kBuiltInRoutines[routine], argument, 0);
}

int32_t mp_test_action(int32_t code, uint32_t argument) {
  switch (code) {
    case -8:
      if (host::HostRecord* host = lisp::os::hostRecord()) host->lispThreadId = identify_os_thread();
      return 0;
    case -7: return static_cast<int32_t>(vxm_thread_control.logAddress);
    case -6: return static_cast<int32_t>(addressOf(&vxm_thread_control));
    case -5: return startNativeThread(immigrant_test_2, argument, ts::kTestThreadStackBytes);
    case -4: scheduler_started = 1; return 0;
    case -3:
      if (uint32_t* record = my_pthreadctl(nullptr)) recordWord(record, tr::kKillRequest) = 0;
      return 0;
    case -2: return static_cast<int32_t>(vxm_thread_control.immigrantCount);
    case -1: return startNativeThread(immigrant_test, argument, ts::kTestThreadStackBytes);
    default: break;
  }
  uint32_t* record = my_pthreadctl(nullptr);
  if (!record) return 0;
  uint32_t block = argument;
  recordWord(record, ts::kTestActionResult) = callWithRecordRegisters(record, addressOf(&block), code);
  return 0;
}

uint32_t immigrant_test(void* callback) {
  const auto function = reinterpret_cast<int32_t (*)(int32_t, int32_t)>(callback);
  int32_t result = 1;
  for (int32_t counter = 100; counter > 0 && result != 0; --counter) result = function(counter, result);
  return static_cast<uint32_t>(result);
}

uint32_t immigrant_test_2(void* callback) {
  const auto function = reinterpret_cast<uint32_t (*)(uint32_t)>(callback);
  uint32_t bits = std::bit_cast<uint32_t>(1.0f);
  for (int call = 0; call < 10; ++call) bits = function(bits);
  return bits;
}

uint32_t gate_test_1(void* gate) {
  mp_log_event(ev::kGateTestThread, 1);
  mp_log_event(ev::kGateTestThread, addressOf(gate));
  open_vxm_gate(static_cast<uint32_t*>(gate));
  mp_log_event(ev::kGateTestThread, 0xffffffff);
  return 0;
}

}  // extern "C"

namespace lisp::thread_start {

void releaseBindingStack(uint32_t* record) {
  const lispval stack = recordWord(record, tr::kBindingStack);
  if (isSysvector(stack) && lisp::wordAt(stack, kSysvectorKindWord) == kIndirectSysvector)
    if (const uint32_t storage = lisp::wordAt(stack, kSysvectorStorageWord))
      vxmfree(pointerTo<void>(storage), 0);
  recordWord(record, tr::kBindingStack) = nilval;
}

}  // namespace lisp::thread_start
