// The runtime's locks and the platform's waits: the fast mutex uncontended
// (no system call) and contended (semaphore hand-off between threads), an
// event signalled and taken, and a message posted and removed.
#include <benchmark/benchmark.h>

#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/os/fast_mutex.h"
#include "runtime/os/os_locks.h"

namespace {

lisp::FastMutex& sharedMutex() {
  static lisp::FastMutex mutex = lisp::makeFastMutex();
  return mutex;
}

void FastMutexGrabRelease(benchmark::State& state) {
  lisp::FastMutex& mutex = sharedMutex();
  const uint32_t id = platform::currentThreadId();
  uint32_t counter = 0;
  for (auto _ : state) {
    grab_fast_mutex(&mutex, id);
    benchmark::DoNotOptimize(++counter);
    release_fast_mutex(&mutex, id);
  }
}
BENCHMARK(FastMutexGrabRelease)->ThreadRange(1, 8)->UseRealTime();

void EventSetAndTake(benchmark::State& state) {
  const platform::Handle event = platform::createEvent(false, false);
  for (auto _ : state) {
    platform::setEvent(event);
    benchmark::DoNotOptimize(platform::waitForAny({&event, 1}, 0));
  }
  platform::closeHandle(event);
}
BENCHMARK(EventSetAndTake);

void MessagePostAndRemove(benchmark::State& state) {
  const uint32_t me = platform::currentThreadId();
  platform::ensureMessageQueue();
  platform::Message message;
  for (auto _ : state) {
    platform::postThreadMessage(me, platform::kUserMessage, 1, 2);
    benchmark::DoNotOptimize(platform::peekMessage(&message, true));
  }
}
BENCHMARK(MessagePostAndRemove);

}  // namespace
