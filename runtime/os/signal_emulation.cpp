// The launcher's interrupt, the landing of a forced jump, and the platform
// runtime's signal for Lisp code.
//
// Decisions:
// - The empty context signal_lisp hands to gotsig has its stack pointer at
//   the end of a scratch area of its own, so a redirect that pushes the
//   resume address writes there and nowhere else.
// - The forced break lands the heap owner only where an urgent interrupt
//   may land (in compiled Lisp code, outside a collection); stopped
//   anywhere else, the owner runs on and the interrupt is held for its
//   next safe point, as the kicker holds one on the thread itself.
// - C-runtime signal 21 (the console's break key) becomes SIGQUIT, the
//   signal of the Linux console's second interrupt key; 22 and 6 (abort)
//   become SIGABRT. The other C-runtime numbers are the Linux ones.

#include "runtime/os/signal_emulation.h"

#include <cerrno>
#include <csignal>

#include "runtime/os/exception_filter.h"
#include "runtime/os/os_threads.h"
#include "runtime/rs/exports.h"
#include "runtime/rs/signal_kicker.h"
#include "runtime/rs/trap_handlers.h"

namespace lisp::os {
namespace {

constexpr int kRedirectScratchWords = 16;

struct SignalNumber {
  int32_t cRuntime;
  int linuxSignal;
};
constexpr SignalNumber kSignalNumbers[] = {
    {2, SIGINT},   {4, SIGILL},   {6, SIGABRT},  {8, SIGFPE},
    {11, SIGSEGV}, {15, SIGTERM}, {21, SIGQUIT}, {22, SIGABRT},
};

uint32_t addressOf(const void* place) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(place));
}

}  // namespace

int linuxSignalOf(int32_t cRuntimeSignal) {
  for (const SignalNumber& row : kSignalNumbers)
    if (row.cRuntime == cRuntimeSignal) return row.linuxSignal;
  return 0;
}

}  // namespace lisp::os

extern "C" {

KORVANE_EXPORT int32_t signal_lisp(int32_t signal) {
  uint32_t scratch[lisp::os::kRedirectScratchWords] = {};
  platform::ThreadContext context{};
  context.parts = platform::context_part::kAll;
  context.esp = lisp::os::addressOf(scratch + lisp::os::kRedirectScratchWords);
  context.eip = 0;
  const int handled = lisp::os::trapDelivery().gotsig(signal, nullptr, &context);
  using lisp::os::ForcedJump;
  if (context.eip != 0 && lisp::os::forceHeapOwnerToBreak(fake_a_segv) == ForcedJump::kRefused)
    hold_urgent_interrupt();
  return handled;
}

void fake_segv_delivery(platform::ProcessorContext* context) {
  if (lisp::os::trapDelivery().syncsig1x(lisp::os::kTrapGeneralSignal, nullptr, context) == 0)
    context->eip = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle_saving_context));
}

real_signal_handler real_signal(int32_t signal, real_signal_handler handler) {
  const int linuxSignal = lisp::os::linuxSignalOf(signal);
  if (linuxSignal == 0) {
    errno = EINVAL;
    return SIG_ERR;
  }
  return std::signal(linuxSignal, handler);
}

}  // extern "C"
