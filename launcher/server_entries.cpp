// The server entry points' one exchange: start the Lisp if nobody has, then,
// holding the process-wide exchange lock, wait for the Lisp, synchronise,
// send the request, and wait for its answer.
//
// The Lisp writes its answer into a result word and an object cell that the
// launcher owns, never into a caller's frame; the caller gets a copy once the
// last wait has succeeded. A wait that runs out, or a command the runtime
// refuses (nobody will answer it), ends the exchange with kServerFailure and
// releases the lock. The late answer then ends the next exchange's first
// wait, which is right because the Lisp answers in order: a command is sent
// only after the previous one was answered, so at most one answer is ever
// outstanding.

#include "launcher/server_entries.h"

#include <atomic>
#include <cstdint>
#include <mutex>

#include "launcher/launch_state.h"
#include "platform/threads.h"
#include "platform/waitable.h"

namespace launcher {
namespace {

// Remote commands: the first word of each.
enum : uint32_t {
  kSynchronise = 1,
  kGetClassObject = 2,
  kRegisterServer = 3,
  kUnregisterServer = 4,
};

std::once_flag start_once;
platform::Handle handshake_event = platform::kNoHandle;
platform::Handle start_thread = platform::kNoHandle;

std::mutex exchange_lock;
std::atomic<uint32_t> first_wait_ms{ServerWaitLimits{}.firstMilliseconds};
std::atomic<uint32_t> step_wait_ms{ServerWaitLimits{}.stepMilliseconds};

// Written by the Lisp before it sets the handshake event; read under the
// exchange lock after the wait.
struct Answer {
  int32_t result;
  void* object;
};
Answer answer;
uint32_t request_words[5];

uint32_t serverStartThread(void*) {
  startLispForServer(handshake_event);
  return 1;  // no default image: the Lisp was not started
}

// The handshake event, and the start thread beside it; false when either
// could not be made.
bool ensureLispStarted() {
  std::call_once(start_once, [] {
    handshake_event = platform::createEvent(true, false);
    if (handshake_event == platform::kNoHandle) return;
    uint32_t threadId = 0;
    start_thread = platform::createThread(serverStartThread, nullptr, 0, &threadId);
  });
  return start_thread != platform::kNoHandle;
}

// True when the Lisp set the handshake event in time. A start thread that has
// ended (no image, a refusal, the Lisp gone) fails the wait at once.
bool awaitLisp(uint32_t milliseconds) {
  const platform::Handle handles[] = {handshake_event, start_thread};
  return platform::waitForAny(handles, milliseconds) == 0;
}

uint32_t word(const void* address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

// One exchange; `object` receives the answer's object for kGetClassObject.
int32_t exchange(uint32_t command, const void* classId, const void* interfaceId, void** object) {
  if (!ensureLispStarted()) return kServerFailure;
  std::lock_guard<std::mutex> lock(exchange_lock);
  if (!awaitLisp(first_wait_ms)) return kServerFailure;
  platform::resetEvent(handshake_event);
  // A command of one word passes the word itself. A command the runtime
  // refuses (the Lisp has gone) will never be answered: the exchange fails
  // at once.
  if (!launch.runtime.remote_command(1, reinterpret_cast<const void*>(uintptr_t{kSynchronise})))
    return kServerFailure;
  if (!awaitLisp(step_wait_ms)) return kServerFailure;
  platform::resetEvent(handshake_event);

  answer.result = kServerFailure;
  answer.object = nullptr;
  int32_t count = 0;
  request_words[count++] = command;
  if (command == kGetClassObject) {
    request_words[count++] = word(classId);
    request_words[count++] = word(interfaceId);
    request_words[count++] = word(&answer.object);
  }
  request_words[count++] = word(&answer.result);
  if (!launch.runtime.remote_command(count, request_words)) return kServerFailure;
  if (!awaitLisp(step_wait_ms)) return kServerFailure;
  if (object) *object = answer.object;
  return answer.result;
}

}  // namespace

void setServerWaitLimits(ServerWaitLimits limits) {
  first_wait_ms = limits.firstMilliseconds;
  step_wait_ms = limits.stepMilliseconds;
}

}  // namespace launcher

extern "C" {

int32_t DllGetClassObject(const void* classId, const void* interfaceId, void** object) {
  return launcher::exchange(launcher::kGetClassObject, classId, interfaceId, object);
}

int32_t DllRegisterServer() {
  return launcher::exchange(launcher::kRegisterServer, nullptr, nullptr, nullptr);
}

int32_t DllUnregisterServer() {
  return launcher::exchange(launcher::kUnregisterServer, nullptr, nullptr, nullptr);
}

int32_t DllCanUnloadNow() {
  return 1;
}

}  // extern "C"
