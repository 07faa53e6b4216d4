// The runtime's own locks: the fast mutex (recursive, one atomic operation
// when uncontended, a semaphore hand-off otherwise) and the sleepy spinlock
// (never blocks in the system; polls with 1 ms sleeps).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lisp {

struct FastMutex {
  int32_t contenders;  // holder plus waiters; changed only by compare-and-exchange
  uint32_t owner;      // OS thread id of the holder, 0 when free
  uint32_t depth;      // recursion depth of the holder
  uint32_t semaphore;  // OS semaphore, count 0 to 1: one waiter passes per release
  uint32_t acquisitions;
};
static_assert(sizeof(FastMutex) == 20);
static_assert(offsetof(FastMutex, owner) == 4);
static_assert(offsetof(FastMutex, depth) == 8);
static_assert(offsetof(FastMutex, semaphore) == 12);
static_assert(offsetof(FastMutex, acquisitions) == 16);

struct SleepySpinlock {
  uint32_t word;  // 0 free, non-zero held
  uint32_t acquisitions;
  uint32_t contentions;
};
static_assert(sizeof(SleepySpinlock) == 12);
static_assert(offsetof(SleepySpinlock, acquisitions) == 4);
static_assert(offsetof(SleepySpinlock, contentions) == 8);

// A free fast mutex with its semaphore; owners of one call this once.
FastMutex makeFastMutex();

}  // namespace lisp

extern "C" {
void grab_fast_mutex(lisp::FastMutex* mutex, uint32_t ownerId);
// Ignored unless ownerId holds the mutex.
void release_fast_mutex(lisp::FastMutex* mutex, uint32_t ownerId);
void grab_sleepy_spinlock(lisp::SleepySpinlock* lock);
void release_sleepy_spinlock(lisp::SleepySpinlock* lock);
}
