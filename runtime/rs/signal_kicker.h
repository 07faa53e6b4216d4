// The runtime system's side of an asynchronous signal: it marks the signal
// pending for compiled code, makes a select in progress time out, and after
// the fifth unanswered interrupt forces the interrupted thread into the
// urgent-interrupt routine.
#pragma once

#include <cstdint>

#include "platform/threads.h"

extern "C" {
// 1 when handled, 0 when the calling thread has no record.
int gotsigkicker(int signal, platform::ThreadContext* context);
// Takes back the redirect of an urgent interrupt whose landing was refused
// (the console's route): held for the next request or safe point, as the
// kicker holds one it refuses itself.
void hold_urgent_interrupt();

// Where a redirected context resumes: Lisp was running, native code was
// running, or a leaf native call was in progress.
void urgent_interrupt();
void urgent_interrupt_from_c();
void urgent_interrupt_from_c_leaf();
}
