// The fast mutex and the sleepy spinlock.
//
// Invariant of the fast mutex: `contenders` counts the holder and every thread
// that has announced itself and not yet become holder; the semaphore is
// released once per release that leaves `contenders` non-zero, and each such
// release is taken by exactly one announced thread, so its count never
// exceeds 1.

#include "runtime/os/fast_mutex.h"

#include <atomic>
#include <ctime>

#include "platform/waitable.h"
#include "runtime/os/os_locks.h"

namespace lisp {
namespace {

constexpr long kSpinSleepNanoseconds = 1000000;  // 1 ms between tries

// Adds `delta` by compare-and-exchange; returns the value before.
int32_t addContenders(FastMutex* mutex, int32_t delta) {
  std::atomic_ref<int32_t> contenders(mutex->contenders);
  int32_t before = contenders.load();
  while (!contenders.compare_exchange_weak(before, before + delta)) {
  }
  return before;
}

std::atomic_ref<uint32_t> ownerOf(FastMutex* mutex) {
  return std::atomic_ref<uint32_t>(mutex->owner);
}

}  // namespace

FastMutex makeFastMutex() {
  return FastMutex{0, 0, 0, allocate_os_semaphore(), 0};
}

}  // namespace lisp

extern "C" {

void grab_fast_mutex(lisp::FastMutex* mutex, uint32_t ownerId) {
  if (lisp::ownerOf(mutex).load() == ownerId) {
    ++mutex->depth;
    return;
  }
  if (lisp::addContenders(mutex, 1) != 0) md_lock_wait(mutex->semaphore);
  lisp::ownerOf(mutex).store(ownerId);
  mutex->depth = 1;
  ++mutex->acquisitions;
}

void release_fast_mutex(lisp::FastMutex* mutex, uint32_t ownerId) {
  if (lisp::ownerOf(mutex).load() != ownerId || ownerId == 0) return;
  if (--mutex->depth != 0) return;
  lisp::ownerOf(mutex).store(0);
  if (lisp::addContenders(mutex, -1) - 1 != 0) platform::releaseSemaphore(mutex->semaphore, 1);
}

void grab_sleepy_spinlock(lisp::SleepySpinlock* lock) {
  std::atomic_ref<uint32_t> word(lock->word);
  for (;;) {
    if (word.exchange(1) == 0) {
      ++lock->acquisitions;
      return;
    }
    std::atomic_ref<uint32_t>(lock->contentions).fetch_add(1);
    timespec pause{0, lisp::kSpinSleepNanoseconds};
    nanosleep(&pause, nullptr);
  }
}

void release_sleepy_spinlock(lisp::SleepySpinlock* lock) {
  std::atomic_ref<uint32_t>(lock->word).store(0);
}

}  // extern "C"
