// One phase word for the console's view of the Lisp, and a lock that keeps
// an interrupt from overlapping the exit: the exit hook waits until an
// interrupt that got in has been delivered, so that none is delivered into
// a thread that is ending.

#include "launcher/lisp_ending.h"

#include <atomic>
#include <mutex>

#include "launcher/console_queues.h"
#include "launcher/console_window.h"
#include "launcher/host_records.h"
#include "launcher/launch_state.h"
#include "launcher/window_messages.h"
#include "platform/message_queue.h"

namespace launcher {
namespace {

enum class Phase {
  Running,  // a Lisp runs or is on its way
  Ending,   // it has asked to exit, or none will come
  Paused,   // the console pauses after its end
};
std::atomic<Phase> phase{Phase::Running};
bool close_kept = false;  // the console thread's own

constexpr uint32_t kRemoteCloseRequest = 5;

std::mutex& interruptLock() {
  static auto* const lock = new std::mutex;  // interrupts may come while the process ends
  return *lock;
}

uint32_t word(const void* address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

// Remote command 5 with the flag the Lisp sets again to take the next one.
bool handCloseToLisp() {
  static uint32_t request[2];
  request[0] = kRemoteCloseRequest;
  request[1] = word(&close_request_flag);
  return launch.runtime.remote_command && launch.runtime.remote_command(2, request);
}

}  // namespace

void lispStarts() {
  std::lock_guard<std::mutex> hold(interruptLock());
  phase = Phase::Running;
  close_kept = false;
}

void lispEnds() {
  std::lock_guard<std::mutex> hold(interruptLock());
  if (phase == Phase::Running) phase = Phase::Ending;
}

bool signalLispUnlessEnding(int32_t signal) {
  std::lock_guard<std::mutex> hold(interruptLock());
  if (phase != Phase::Running || !console_host_record.lispThreadId || !launch.runtime.signal_lisp)
    return false;
  launch.runtime.signal_lisp(signal);
  return true;
}

bool routeClose() {
  if (phase == Phase::Paused) return false;
  if (phase == Phase::Ending) {
    close_kept = true;
    return true;
  }
  if (!close_request_flag || !console_host_record.lispThreadId) return false;
  close_request_flag = 0;
  if (handCloseToLisp()) return true;
  // Refused: the runtime asks for an image name and no Lisp will come. The
  // close is the answer "no image": the typed input the prompt reads ends,
  // and with it the start.
  close_request_flag = 1;
  console::endInput(&console::console_queue_pairs[0]);
  lispEnds();
  return true;
}

void consolePauses(platform::Handle frame) {
  phase = Phase::Paused;
  // wParam 1: the close-button modes had their say when it came.
  if (close_kept && frame) platform::postWindowMessage(frame, wm::kClose, 1, 0);
  close_kept = false;
}

}  // namespace launcher
