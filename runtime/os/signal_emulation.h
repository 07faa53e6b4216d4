// Signals from outside the Lisp thread, and the platform runtime's own
// signal handlers for Lisp code.
#pragma once

#include <cstdint>

#include "platform/faults.h"

extern "C" {
// The launcher's interrupt: gotsig (signal, none, an empty context); when
// gotsig asks for a resume address (the Lisp has not reacted to repeated
// interrupts), the heap owner is made to jump to fake_a_segv. Returns what
// gotsig returned.
int32_t signal_lisp(int32_t signal);
// Where that jump lands (signal_emulation.S).
void fake_a_segv();
// fake_a_segv's delivery: trap kind 11 through syncsig1x with no exception
// record; when the thread is not the runtime's the context goes on in
// handle_saving_context.
void fake_segv_delivery(platform::ProcessorContext* context);

// The platform runtime's signal: installs a handler for a C-runtime signal
// number; SIG_ERR (errno EINVAL) for a number it does not know.
using real_signal_handler = void (*)(int);
real_signal_handler real_signal(int32_t signal, real_signal_handler handler);
}

namespace lisp::os {
// The Linux signal of a C-runtime signal number, or 0 when there is none.
int linuxSignalOf(int32_t cRuntimeSignal);
}  // namespace lisp::os
