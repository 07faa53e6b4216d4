// Console byte queues; see console_queues.h.
//
// Invariant: a pair's queue pointers, and every queue's fields, are read and
// changed only while the pair's mutex is held (the platform mutex nests, so a
// pair operation may call the queue operations under it).

#include "launcher/console_queues.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/message_queue.h"

namespace console {

namespace {

// Holds a mutex (none: nothing) for one scope, with an unlimited wait.
class MutexHold {
 public:
  explicit MutexHold(platform::Handle mutex) : mutex_(mutex) {
    if (mutex_ == platform::kNoHandle) return;
    const platform::Handle handles[] = {mutex_};
    const int32_t result = platform::waitForAny(handles, platform::kWaitForever);
    // An abandoned mutex is owned all the same.
    held_ = result == 0 || result == platform::kWaitAbandoned;
  }
  ~MutexHold() {
    if (held_) platform::releaseMutex(mutex_);
  }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

 private:
  platform::Handle mutex_;
  bool held_ = false;
};

}  // namespace

// ---- one queue ----

ByteQueue* makeQueue(platform::Handle mutex) {
  auto* queue = static_cast<ByteQueue*>(std::malloc(sizeof(ByteQueue)));
  char* buffer = static_cast<char*>(std::malloc(kInitialCapacity));
  const platform::Handle event =
      queue && buffer ? platform::createEvent(false, false) : platform::kNoHandle;
  if (event == platform::kNoHandle) {
    std::free(buffer);
    std::free(queue);
    return nullptr;
  }
  *queue = ByteQueue{kInitialCapacity, 0, buffer, event, mutex};
  return queue;
}

void destroyQueue(ByteQueue* queue) {
  if (!queue) return;
  MutexHold hold(queue->mutex);
  platform::closeHandle(queue->event);
  std::free(queue->buffer);
  queue->buffer = nullptr;
  queue->length = 0;
  std::free(queue);
}

bool putBytes(ByteQueue* queue, const char* bytes, int32_t n) {
  if (n < 0) return false;
  MutexHold hold(queue->mutex);
  if (n > queue->capacity - queue->length) {
    // length + n + kGrowthSlack must stay an int.
    if (n > INT32_MAX - kGrowthSlack - queue->length) return false;
    const int32_t capacity = queue->length + n + kGrowthSlack;
    char* buffer = static_cast<char*>(std::malloc(capacity));
    if (!buffer) return false;
    std::memcpy(buffer, queue->buffer, queue->length);
    std::free(queue->buffer);
    queue->buffer = buffer;
    queue->capacity = capacity;
  }
  if (n > 0) std::memcpy(queue->buffer + queue->length, bytes, n);
  queue->length += n;
  if (queue->length > 0) platform::setEvent(queue->event);
  return true;
}

int32_t getBytes(ByteQueue* queue, char* destination, int32_t max) {
  MutexHold hold(queue->mutex);
  if (queue->length == 0 || max <= 0) return 0;
  if (queue->length > max) {
    std::memcpy(destination, queue->buffer, max);
    std::memmove(queue->buffer, queue->buffer + max, queue->length - max);
    queue->length -= max;
    platform::setEvent(queue->event);  // bytes remain
    return max;
  }
  const int32_t count = queue->length;
  std::memcpy(destination, queue->buffer, count);
  queue->length = 0;
  return count;
}

platform::Handle syncEvent(ByteQueue* queue) {
  MutexHold hold(queue->mutex);
  if (queue->length > 0)
    platform::setEvent(queue->event);
  else
    platform::resetEvent(queue->event);
  return queue->event;
}

bool hasBytes(ByteQueue* queue) {
  MutexHold hold(queue->mutex);
  return queue->length > 0;
}

// ---- the pair ----

bool makePair(QueuePair* pair, platform::Handle mutex) {
  if (pair->mutex == platform::kNoHandle) pair->mutex = mutex;
  MutexHold hold(pair->mutex);
  if (pair->input) return true;
  ByteQueue* input = makeQueue(pair->mutex);
  ByteQueue* output = input ? makeQueue(pair->mutex) : nullptr;
  if (!output) {
    destroyQueue(input);
    return false;
  }
  pair->input = input;
  pair->output = output;
  return true;
}

void freePair(QueuePair* pair) {
  MutexHold hold(pair->mutex);
  for (ByteQueue* queue : {pair->input, pair->output}) {
    if (!queue) continue;
    platform::setEvent(queue->event);  // a waiter wakes and finds the pair gone
    destroyQueue(queue);
  }
  pair->input = nullptr;
  pair->output = nullptr;
  pair->inputEnded = false;
}

bool pairExists(QueuePair* pair) {
  MutexHold hold(pair->mutex);
  return pair->input != nullptr;
}

int32_t readInput(QueuePair* pair, char* destination, int32_t max) {
  MutexHold hold(pair->mutex);
  return pair->input ? getBytes(pair->input, destination, max) : -1;
}

void writeInput(QueuePair* pair, const char* text) {
  MutexHold hold(pair->mutex);
  if (pair->input) putBytes(pair->input, text, static_cast<int32_t>(std::strlen(text)));
}

void endInput(QueuePair* pair) {
  MutexHold hold(pair->mutex);
  if (!pair->input) return;
  pair->inputEnded = true;
  platform::setEvent(pair->input->event);
}

bool writeOutput(QueuePair* pair, const char* bytes, int32_t n) {
  MutexHold hold(pair->mutex);
  return pair->output ? putBytes(pair->output, bytes, n) : true;
}

int32_t readOutput(QueuePair* pair, char* destination, int32_t max) {
  MutexHold hold(pair->mutex);
  return pair->output ? getBytes(pair->output, destination, max) : -1;
}

platform::Handle outputEvent(QueuePair* pair) {
  MutexHold hold(pair->mutex);
  return pair->output ? platform::duplicateHandle(syncEvent(pair->output)) : platform::kNoHandle;
}

int32_t waitForInput(QueuePair* pair, bool wait) {
  if (!wait) {
    MutexHold hold(pair->mutex);
    return pair->input && (pair->inputEnded || hasBytes(pair->input)) ? kInputReady : kNoInput;
  }
  platform::Message message;
  if (platform::peekMessage(&message, false)) return kMessageWaiting;
  platform::Handle event;
  {
    MutexHold hold(pair->mutex);
    if (!pair->input || pair->inputEnded) return kInputReady;
    // Our own handle: the pair may be freed, and its event closed, while we wait.
    event = platform::duplicateHandle(syncEvent(pair->input));
  }
  if (event == platform::kNoHandle) return kInputReady;
  const platform::Handle handles[] = {event};
  const int32_t result = platform::waitForAnyOrMessage(handles, platform::kWaitForever);
  platform::closeHandle(event);
  return result == 1 ? kMessageWaiting : kInputReady;
}

// ---- the launcher's pairs ----

QueuePair console_queue_pairs[kConsolePairCount] = {};

QueuePair* consolePair(uint32_t index) {
  return index < kConsolePairCount ? &console_queue_pairs[index] : nullptr;
}

}  // namespace console
