// Console byte queues: typed lines go from the console thread to the Lisp
// thread through the input queue, the Lisp's output goes back through the
// output queue. Each queue is a growable byte buffer with an automatic-reset
// event that hints a waiter that bytes are there; both queues of a pair share
// one mutex, which every operation takes and releases.
//
// The pair keeps its mutex beyond the life of its queues, and its queue
// pointers are read and changed only under that mutex, so that a thread may
// free the pair while another reads, writes or waits: the waiter wakes (both
// events are set before they go) and its next read gives -1.
#pragma once

#include <cstdint>

#include "platform/waitable.h"

namespace console {

inline constexpr int32_t kInitialCapacity = 200;
// Room added beyond what a put needs when the buffer grows.
inline constexpr int32_t kGrowthSlack = 200;

struct ByteQueue {
  int32_t capacity;
  int32_t length;
  char* buffer;
  platform::Handle event;  // automatic reset, made not signalled
  platform::Handle mutex;  // shared with the pair's other queue, or kNoHandle; not owned
};

// Null when memory or the event cannot be had.
ByteQueue* makeQueue(platform::Handle mutex);
// Closes the event and frees the buffer and the queue.
void destroyQueue(ByteQueue* queue);
// Appends n bytes and sets the event when the queue holds bytes. False, with
// nothing changed, when the grown buffer would pass the largest int or
// cannot be had, or n is negative.
bool putBytes(ByteQueue* queue, const char* bytes, int32_t n);
// Takes up to max bytes from the front; sets the event again when bytes
// remain. 0 from an empty queue (the event is left alone).
int32_t getBytes(ByteQueue* queue, char* destination, int32_t max);
// Sets the event when the queue holds bytes, resets it otherwise, and
// returns it, so that a wait right after the call is exact.
platform::Handle syncEvent(ByteQueue* queue);
bool hasBytes(ByteQueue* queue);

struct QueuePair {
  ByteQueue* input;
  ByteQueue* output;
  platform::Handle mutex;  // kept from makePair on; not owned
  bool inputEnded;         // no more typed input: an empty input queue reads 0 bytes at once
};

// Results of waitForInput.
inline constexpr int32_t kNoInput = 0;
inline constexpr int32_t kInputReady = 1;
inline constexpr int32_t kMessageWaiting = 2;

// Makes both queues with `mutex` unless the pair exists. False when they
// cannot be made (the pair stays empty).
bool makePair(QueuePair* pair, platform::Handle mutex);
// Sets both events (waking any waiter), destroys both queues, empties the pair.
void freePair(QueuePair* pair);
bool pairExists(QueuePair* pair);
// -1 without a pair.
int32_t readInput(QueuePair* pair, char* destination, int32_t max);
// Puts a NUL-terminated text, without the NUL; nothing without a pair.
void writeInput(QueuePair* pair, const char* text);
// Marks the input at its end: once the bytes still queued are taken, reads
// give 0 bytes and waits for input end at once (bytes put later are still
// read first). Wakes a waiting reader.
void endInput(QueuePair* pair);
// Puts n bytes into the output queue; true without a pair (the bytes are
// dropped), false when the queue refuses them (see putBytes).
bool writeOutput(QueuePair* pair, const char* bytes, int32_t n);
// -1 without a pair.
int32_t readOutput(QueuePair* pair, char* destination, int32_t max);
// A new handle to the output queue's synced event, which the caller waits on
// and closes; kNoHandle without a pair. The duplicate keeps the event alive
// while the pair is freed, so the wait ends instead of naming a closed or
// reused handle.
platform::Handle outputEvent(QueuePair* pair);
// Without `wait`: kInputReady when the input queue holds bytes or is at its
// end, else kNoInput.
// With it: kMessageWaiting at once when a message waits in the calling
// thread's queue; else waits for ever on the input event and the queue:
// kInputReady when the event fired (or the pair is gone, so the read that
// follows gives -1), kMessageWaiting when a message arrived.
int32_t waitForInput(QueuePair* pair, bool wait);

// The launcher's pairs: one, index 0, empty at load.
inline constexpr uint32_t kConsolePairCount = 1;
extern QueuePair console_queue_pairs[kConsolePairCount];
// The pair named by a console entry's handle; null for any other index.
QueuePair* consolePair(uint32_t index);

}  // namespace console
