// Signal delivery into the runtime.
#pragma once

#include "platform/threads.h"

extern "C" {
// Records the signal and hands it to the signal kicker; signal 0, and any
// signal before the Lisp heap is laid out, is ignored.
// Returns 1 when handled, else 0.
int gotsig(int signal, void* information, platform::ThreadContext* context);
}
