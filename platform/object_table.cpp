// The handle table, waitable objects and waits.
//
// Invariant: an object's state changes only under the table lock, and every
// change that may end a wait posts the wake semaphore of each thread listed in
// the object's waiters (or, for a queue, of the queue's thread). A waiter
// registers itself before it drops the lock, so no change is missed.

#include "platform/object_table.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <unordered_map>

#include "platform/error_numbers.h"
#include "platform/thread_block.h"

namespace platform::detail {
namespace {

// Handles are multiples of 4 from 4 upwards: (slot index + 1) * 4.
constexpr uint32_t kHandleStep = 4;

struct Table {
  std::mutex lock;
  std::vector<KernelObject*> slots;
  std::unordered_map<uint32_t, ThreadState*> liveThreads;
};

Table& table() {
  static Table* instance = new Table;  // never destroyed: threads may end after exit starts
  return *instance;
}

thread_local ThreadState* t_state = nullptr;
pthread_key_t g_exitKey;
std::once_flag g_exitKeyOnce;

void onThreadExit(void* raw) {
  auto* state = static_cast<ThreadState*>(raw);
  rusage usage{};
  if (getrusage(RUSAGE_THREAD, &usage) == 0) {
    state->finalTimes.userMicroseconds =
        uint64_t(usage.ru_utime.tv_sec) * 1000000 + uint64_t(usage.ru_utime.tv_usec);
    state->finalTimes.kernelMicroseconds =
        uint64_t(usage.ru_stime.tv_sec) * 1000000 + uint64_t(usage.ru_stime.tv_usec);
  }
  {
    std::lock_guard guard(state->suspendLock);
    state->ended = true;
  }
  TableLock lock;
  endThreadState(state);
  t_state = nullptr;
}

timespec deadlineAfter(uint32_t milliseconds) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t nanoseconds = now.tv_nsec + int64_t{milliseconds % 1000} * 1000000;
  now.tv_sec += milliseconds / 1000 + nanoseconds / 1000000000;
  now.tv_nsec = nanoseconds % 1000000000;
  return now;
}

bool passed(const timespec& deadline) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

bool isWaitable(const KernelObject* object) {
  return object->kind != ObjectKind::Window;
}

bool isSignalledFor(const KernelObject* object, uint32_t threadId) {
  switch (object->kind) {
    case ObjectKind::Mutex:
      return object->owner == 0 || object->owner == threadId;
    case ObjectKind::Semaphore:
      return object->count > 0;
    default:
      return object->signalled;
  }
}

// Takes a signalled object for the waiting thread; true when it was a mutex
// abandoned by its previous owner.
bool take(KernelObject* object, uint32_t threadId) {
  switch (object->kind) {
    case ObjectKind::Mutex: {
      const bool abandoned = object->abandoned;
      object->abandoned = false;
      object->owner = threadId;
      ++object->recursion;
      return abandoned;
    }
    case ObjectKind::Semaphore:
      --object->count;
      return false;
    case ObjectKind::Event:
      if (!object->manualReset) object->signalled = false;
      return false;
    default:
      return false;
  }
}

// Resolves a handle of the given kind under the lock; sets the last error.
KernelObject* objectOfKind(Handle handle, ObjectKind kind) {
  KernelObject* object = objectOf(handle);
  if (!object || object->kind != kind) {
    setLastSystemError(system_error::kInvalidHandle);
    return nullptr;
  }
  return object;
}

Handle newObject(KernelObject* object) {
  TableLock lock;
  return insertObject(object);
}

int32_t waitFor(std::span<const Handle> handles, uint32_t timeoutMilliseconds, bool messages) {
  if (handles.size() > kMaximumWaitHandles || (handles.empty() && !messages)) {
    setLastSystemError(system_error::kInvalidParameter);
    return kWaitFailed;
  }
  TableLock lock;
  ThreadState* me = currentThreadState();
  KernelObject* objects[kMaximumWaitHandles];
  const size_t count = handles.size();
  for (size_t i = 0; i < count; ++i) {
    objects[i] = objectOf(handles[i]);
    if (!objects[i] || !isWaitable(objects[i])) {
      setLastSystemError(system_error::kInvalidHandle);
      return kWaitFailed;
    }
  }
  for (size_t i = 0; i < count; ++i) addReference(objects[i]);
  if (messages) me->hasQueue = true;

  const timespec deadline = deadlineAfter(timeoutMilliseconds);
  int32_t result = kWaitTimedOut;
  for (;;) {
    const auto signalled = std::find_if(objects, objects + count, [&](KernelObject* object) {
      return isSignalledFor(object, me->id);
    });
    if (signalled != objects + count) {
      const auto index = static_cast<int32_t>(signalled - objects);
      result = take(*signalled, me->id) ? kWaitAbandoned + index : index;
      break;
    }
    if (messages && me->newInput) {
      result = static_cast<int32_t>(count);
      break;
    }
    if (timeoutMilliseconds != kWaitForever && passed(deadline)) break;

    while (sem_trywait(&me->wake) == 0) {
    }
    for (size_t i = 0; i < count; ++i) objects[i]->waiters.push_back(me);
    lock.unlock();
    if (timeoutMilliseconds == kWaitForever)
      sem_wait(&me->wake);
    else
      sem_clockwait(&me->wake, CLOCK_MONOTONIC, &deadline);
    lock.lock();
    for (size_t i = 0; i < count; ++i) std::erase(objects[i]->waiters, me);
  }
  for (size_t i = 0; i < count; ++i) dropReference(objects[i]);
  if (result == kWaitTimedOut) setLastSystemError(system_error::kWaitTimeout);
  return result;
}

}  // namespace

ThreadState::ThreadState() {
  sem_init(&wake, 0, 0);
  sem_init(&parked, 0, 0);
  sem_init(&resumed, 0, 0);
}

ThreadState::~ThreadState() {
  sem_destroy(&wake);
  sem_destroy(&parked);
  sem_destroy(&resumed);
}

int suspensionSignal() {
  return SIGRTMIN + 4;  // clear of the few real-time signals the C library and timers take
}

TableLock::TableLock() {
  lock();
}

TableLock::~TableLock() {
  if (held_) unlock();
}

void TableLock::lock() {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, suspensionSignal());
  pthread_sigmask(SIG_BLOCK, &blocked, &savedMask_);
  table().lock.lock();
  held_ = true;
}

void TableLock::unlock() {
  held_ = false;
  table().lock.unlock();
  pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
}

Handle insertObject(KernelObject* object) {
  std::vector<KernelObject*>& slots = table().slots;
  auto free = std::find(slots.begin(), slots.end(), nullptr);
  if (free == slots.end()) free = slots.insert(slots.end(), nullptr);
  *free = object;
  ++object->references;
  return static_cast<Handle>((free - slots.begin() + 1) * kHandleStep);
}

std::vector<Handle> liveWindows() {
  std::vector<Handle> windows;
  const std::vector<KernelObject*>& slots = table().slots;
  for (size_t i = 0; i < slots.size(); ++i)
    if (slots[i] && slots[i]->kind == ObjectKind::Window && slots[i]->owner != 0)
      windows.push_back(static_cast<Handle>((i + 1) * kHandleStep));
  return windows;
}

uint64_t topStackingOrder() {
  static uint64_t last = 0;
  return ++last;
}

KernelObject* objectOf(Handle handle) {
  if (handle == kNoHandle || handle % kHandleStep != 0) return nullptr;
  const size_t index = handle / kHandleStep - 1;
  const std::vector<KernelObject*>& slots = table().slots;
  return index < slots.size() ? slots[index] : nullptr;
}

void addReference(KernelObject* object) {
  ++object->references;
}

void dropReference(KernelObject* object) {
  if (--object->references > 0) return;
  delete object->thread;
  delete object;
}

void wakeWaiters(KernelObject* object) {
  for (ThreadState* waiter : object->waiters) sem_post(&waiter->wake);
}

ThreadState* liveThread(uint32_t threadId) {
  const auto found = table().liveThreads.find(threadId);
  return found == table().liveThreads.end() ? nullptr : found->second;
}

ThreadState* currentThreadState() {
  if (t_state) return t_state;
  std::call_once(g_exitKeyOnce, [] { pthread_key_create(&g_exitKey, onThreadExit); });
  auto* state = new ThreadState;
  auto* object = new KernelObject(ObjectKind::Thread);
  object->thread = state;
  object->references = 1;  // held by the running thread until it ends
  state->object = object;
  state->id = static_cast<uint32_t>(syscall(SYS_gettid));
  describeThreadPointer(&state->ownThreadPointer);
  table().liveThreads[state->id] = state;
  pthread_setspecific(g_exitKey, state);
  t_state = state;
  return state;
}

void endThreadState(ThreadState* state) {
  for (KernelObject* object : table().slots) {
    if (!object) continue;
    if (object->kind == ObjectKind::Mutex && object->owner == state->id) {
      object->owner = 0;
      object->recursion = 0;
      object->abandoned = true;
      wakeWaiters(object);
    } else if (object->kind == ObjectKind::Window && object->owner == state->id) {
      object->owner = 0;
    }
  }
  table().liveThreads.erase(state->id);
  state->queue.clear();
  state->hasQueue = false;
  KernelObject* object = state->object;
  object->exitCode = state->exitCode;
  object->signalled = true;
  wakeWaiters(object);
  dropReference(object);
}

uint32_t monotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000);
}

}  // namespace platform::detail

namespace platform {

using namespace detail;

Handle createEvent(bool manualReset, bool initiallySignalled) {
  auto* event = new KernelObject(ObjectKind::Event);
  event->manualReset = manualReset;
  event->signalled = initiallySignalled;
  return newObject(event);
}

bool setEvent(Handle handle) {
  TableLock lock;
  KernelObject* event = objectOfKind(handle, ObjectKind::Event);
  if (!event) return false;
  event->signalled = true;
  wakeWaiters(event);
  return true;
}

bool resetEvent(Handle handle) {
  TableLock lock;
  KernelObject* event = objectOfKind(handle, ObjectKind::Event);
  if (!event) return false;
  event->signalled = false;
  return true;
}

Handle createMutex(bool initiallyOwned) {
  auto* mutex = new KernelObject(ObjectKind::Mutex);
  TableLock lock;
  if (initiallyOwned) {
    mutex->owner = currentThreadState()->id;
    mutex->recursion = 1;
  }
  return insertObject(mutex);
}

bool releaseMutex(Handle handle) {
  TableLock lock;
  KernelObject* mutex = objectOfKind(handle, ObjectKind::Mutex);
  if (!mutex) return false;
  if (mutex->owner == 0 || mutex->owner != currentThreadState()->id) {
    setLastSystemError(system_error::kNotOwner);
    return false;
  }
  if (--mutex->recursion == 0) {
    mutex->owner = 0;
    wakeWaiters(mutex);
  }
  return true;
}

bool mutexHeldByCaller(Handle handle) {
  TableLock lock;
  KernelObject* mutex = objectOfKind(handle, ObjectKind::Mutex);
  return mutex && mutex->owner != 0 && mutex->owner == currentThreadState()->id;
}

Handle createSemaphore(int32_t initialCount, int32_t maximumCount) {
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    setLastSystemError(system_error::kInvalidParameter);
    return kNoHandle;
  }
  auto* semaphore = new KernelObject(ObjectKind::Semaphore);
  semaphore->count = initialCount;
  semaphore->maximum = maximumCount;
  return newObject(semaphore);
}

bool releaseSemaphore(Handle handle, int32_t count, int32_t* previousCount) {
  TableLock lock;
  KernelObject* semaphore = objectOfKind(handle, ObjectKind::Semaphore);
  if (!semaphore) return false;
  if (count <= 0 || count > semaphore->maximum - semaphore->count) {
    setLastSystemError(count <= 0 ? system_error::kInvalidParameter : system_error::kTooManyPosts);
    return false;
  }
  if (previousCount) *previousCount = semaphore->count;
  semaphore->count += count;
  wakeWaiters(semaphore);
  return true;
}

Handle duplicateHandle(Handle handle) {
  TableLock lock;
  KernelObject* object = objectOf(handle);
  if (!object) {
    setLastSystemError(system_error::kInvalidHandle);
    return kNoHandle;
  }
  return insertObject(object);
}

bool closeHandle(Handle handle) {
  TableLock lock;
  KernelObject* object = objectOf(handle);
  if (!object) {
    setLastSystemError(system_error::kInvalidHandle);
    return false;
  }
  table().slots[handle / kHandleStep - 1] = nullptr;
  dropReference(object);
  return true;
}

int32_t waitForAny(std::span<const Handle> handles, uint32_t timeoutMilliseconds) {
  return waitFor(handles, timeoutMilliseconds, false);
}

int32_t waitForAnyOrMessage(std::span<const Handle> handles, uint32_t timeoutMilliseconds) {
  return waitFor(handles, timeoutMilliseconds, true);
}

bool exitCodeOf(Handle handle, uint32_t* exitCode) {
  TableLock lock;
  KernelObject* object = objectOf(handle);
  if (!object || (object->kind != ObjectKind::Thread && object->kind != ObjectKind::Process)) {
    setLastSystemError(system_error::kInvalidHandle);
    return false;
  }
  *exitCode = object->exitCode;
  return true;
}

}  // namespace platform
