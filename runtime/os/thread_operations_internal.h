// Helpers shared by the thread-operation modules (thread_queues.cpp,
// clock_queue.cpp, thread_operations.cpp). Records are tagged words.
#pragma once

#include <array>
#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::thread_ops {

uint32_t addressOf(const void* pointer);
// Stores a Lisp value into an object's word through the write barrier.
void store(lispval object, int32_t offset, lispval value);
// No wait function, no hold list, a run list.
bool runnable(lispval record);
// The record's thread can come to take the heap: it is not new, ended or
// dead, and not out in a foreign call or between foreign callbacks (those
// take the heap by their own path). Only such records go on the ready queue.
bool mayTakeTheHeap(lispval record);
lispval readyHeadTagged();  // nil when the ready queue is empty
uint32_t nowMilliseconds();
void suspendAccounting(lispval record, uint32_t now);
void resumeAccounting(lispval record, uint32_t now);
// Starts the slice and puts the thread's clock entry back on the clock queue.
void resumeSlice(lispval record);

// Callers hold the ready-queue lock.
void insertByPriority(lispval record, lispval header, bool behindEquals);
void unlinkLocked(lispval record);
void moveToHead(lispval record);
bool onWaitingQueueLocked(lispval record);

// A foreign-call record on a thread's chain (native frame 0: native code
// runs) for its lifetime, on the stack where the collector's stack walk
// finds it; nothing for a null record.
class ForeignCallRecord {
 public:
  explicit ForeignCallRecord(uint32_t* record);
  ~ForeignCallRecord();
  ForeignCallRecord(const ForeignCallRecord&) = delete;
  ForeignCallRecord& operator=(const ForeignCallRecord&) = delete;

 private:
  uint32_t* record_;
  std::array<uint32_t, 6> words_{};
};

// The reschedule of the current thread (flag nil or not).
lispval reschedule(lispval self, lispval flag);

}  // namespace lisp::thread_ops

extern "C" {
// Unlinks a clock entry without re-arming; 1 when it was the first entry.
int remove_from_clock_queue_quietly(lisp::lispval entry);
}
