// Helpers shared by the thread-operation modules (thread_queues.cpp,
// clock_queue.cpp, thread_operations.cpp). Records are tagged words.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::thread_ops {

uint32_t addressOf(const void* pointer);
// Stores a Lisp value into an object's word through the write barrier.
void store(lispval object, int32_t offset, lispval value);
// No wait function, no hold list, a run list.
bool runnable(lispval record);
lispval readyHeadTagged();  // nil when the ready queue is empty
uint32_t nowMilliseconds();
void suspendAccounting(lispval record, uint32_t now);
void resumeAccounting(lispval record, uint32_t now);

// Callers hold the ready-queue lock.
void insertByPriority(lispval record, lispval header, bool behindEquals);
void unlinkLocked(lispval record);
void moveToHead(lispval record);
bool onWaitingQueueLocked(lispval record);

// The reschedule of the current thread (flag nil or not).
lispval reschedule(lispval self, lispval flag);

}  // namespace lisp::thread_ops

extern "C" {
// Unlinks a clock entry without re-arming; 1 when it was the first entry.
int remove_from_clock_queue_quietly(lisp::lispval entry);
}
