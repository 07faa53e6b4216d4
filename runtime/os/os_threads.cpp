// Thread creation and exit, priority and processor time.

#include "runtime/os/os_threads.h"

#include "platform/error_numbers.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/record_words.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/exports.h"
#include "runtime/rs/thread_record.h"

namespace lisp::os {

namespace {

// Suspends the thread and moves it to `routine` when `mayLandAt` (if given)
// accepts the instruction it stopped at.
ForcedJump jumpIfAllowed(uint32_t thread, void (*routine)(), bool (*mayLandAt)(uint32_t eip)) {
  if (platform::suspendThread(thread) < 0) return ForcedJump::kFailed;
  platform::ThreadContext context{};
  context.parts = platform::context_part::kControl;
  ForcedJump jump =
      platform::readThreadContext(thread, &context) ? ForcedJump::kMoved : ForcedJump::kFailed;
  if (jump == ForcedJump::kMoved && mayLandAt && !mayLandAt(context.eip))
    jump = ForcedJump::kRefused;
  if (jump == ForcedJump::kMoved) {
    context.eip = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
    if (!platform::writeThreadContext(thread, context)) jump = ForcedJump::kFailed;
  }
  platform::resumeThread(thread);
  return jump;
}

}  // namespace

bool forceThreadToJump(uint32_t thread, void (*routine)()) {
  return jumpIfAllowed(thread, routine, nullptr) == ForcedJump::kMoved;
}

// Under the registry lock, so the owner cannot change in between.
ForcedJump forceHeapOwnerToBreak(void (*routine)()) {
  lisp::heap_lock::lockRegistryMutex();
  ForcedJump jump = ForcedJump::kFailed;
  if (const uint32_t owner = heap_owner_handle())
    jump = jumpIfAllowed(owner, routine, urgentInterruptMayLandAt);
  lisp::heap_lock::unlockRegistryMutex();
  return jump;
}

// Fixnum 0 is normal and nil the lowest. Of the other values, which the
// registry ranks as numbers, below nil's rank or above every number:
// negative fixnums run below normal, positive ones above, and a value that is
// neither nil nor a fixnum (ranked above every number) at the highest level.
int priorityLevelOf(lispval priority) {
  if (priority == nilval) return platform::kLowestPriority;
  if (!isFixnum(priority)) return platform::kHighestPriority;
  const int32_t value = fixnumValue(priority);
  return value == 0 ? 0 : value < 0 ? -1 : 1;
}

}  // namespace lisp::os

extern "C" {

int32_t create_os_thread(os_thread_start start, void* argument, uint32_t stackSize,
                         uint32_t* threadId, uint32_t* handle) {
  uint32_t id = 0;
  const platform::Handle thread = platform::createThread(start, argument, stackSize, &id);
  if (thread == platform::kNoHandle) return *platform::runtimeErrnoAddress();
  if (handle)
    *handle = thread;
  else
    platform::closeHandle(thread);
  if (threadId) *threadId = id;
  return 0;
}

// The handle that create_os_thread handed out stays open: the record keeps
// it until the record is freed.
void lisp_thread_exit() {
  mp_log_event(lisp::mp_event::kLispThreadExit, 0);
  platform::exitThread(0);
}

uint32_t handle_for_current_thread() {
  return platform::currentThreadHandle();
}

uint32_t heap_owner_handle() {
  uint32_t* owner = lisp::registry::recordAt(vxm_thread_control.heapOwnerIndex);
  return owner ? lisp::os::recordWord(owner, lisp::thread_record::kOsThreadHandle) : 0;
}

void force_heap_owner_to_jump(void (*routine)()) {
  lisp::heap_lock::lockRegistryMutex();
  if (const uint32_t owner = heap_owner_handle()) lisp::os::forceThreadToJump(owner, routine);
  lisp::heap_lock::unlockRegistryMutex();
}

KORVANE_EXPORT uint32_t find_lisp_thread_handle(uint32_t* threadId) {
  namespace tr = lisp::thread_record;
  using lisp::os::recordWord;
  constexpr uint32_t kStateCallbackFour = 4;
  lisp::heap_lock::lockRegistryMutex();
  uint32_t found = 0;
  for (uint32_t index = 0; index < vxm_thread_control.registryCount; ++index) {
    uint32_t* record = vxm_thread_control.registryTable[index];
    if (!record) continue;
    const uint32_t state = recordWord(record, tr::kState);
    if (state == kStateCallbackFour || state == tr::kStateCallbackDone ||
        state == tr::kStateNew || state == tr::kStateDead)
      continue;
    if (recordWord(record, tr::kOwner) == nilval) continue;
    if (threadId) *threadId = recordWord(record, tr::kOsThreadId);
    found = platform::duplicateHandle(recordWord(record, tr::kOsThreadHandle));
    if (found == platform::kNoHandle) found = 0xffffffff;
    break;
  }
  lisp::heap_lock::unlockRegistryMutex();
  return found;
}

void vxm_adjust_priority(uint32_t* record) {
  const lisp::lispval priority = lisp::os::recordWord(record, lisp::thread_record::kPriority);
  platform::setThreadPriority(lisp::os::recordWord(record, lisp::thread_record::kOsThreadHandle),
                              lisp::os::priorityLevelOf(priority));
}

uint32_t vxm_thread_msec_used(uint32_t* record) {
  const uint64_t microseconds =
      get_thread_runtime(lisp::os::recordWord(record, lisp::thread_record::kOsThreadHandle));
  return static_cast<uint32_t>(microseconds / 1000);
}

uint64_t get_thread_runtime(uint32_t handle) {
  platform::ThreadTimes times{};
  if (!platform::threadTimes(handle, &times)) return 0;
  return times.kernelMicroseconds + times.userMicroseconds;
}

uint32_t current_SegCs() {
  uint16_t selector;
  asm volatile("mov %%cs, %0" : "=r"(selector));
  return selector;
}

int thread_is_active(uint32_t* record) {
  return static_cast<int32_t>(lisp::os::recordWord(record, lisp::thread_record::kRegistryIndex)) ==
                 vxm_thread_control.heapOwnerIndex
             ? 1
             : 0;
}

// A thread that has not saved a native stack has none to prepare.
int32_t prelink_stack(uint32_t* record, uint32_t, uint32_t, uint32_t) {
  namespace tr = lisp::thread_record;
  if (thread_is_active(record)) return static_cast<int32_t>(prelink_activestack());
  const uint32_t saved = lisp::os::recordWord(record, tr::kSavedNativeStack);
  if (saved == 0) return 0;
  return static_cast<int32_t>(
      prelink_savedstack(lisp::os::recordWord(record, tr::kClinkHead), saved, 0));
}

}  // extern "C"
