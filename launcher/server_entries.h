// The in-process server entry points. A host that loads the launcher library
// and calls one of them starts the Lisp, once, on a thread of its own; each
// request then goes to the Lisp as a remote command and is answered through
// the handshake event. What the Lisp does with a request lies outside the
// runtime.
#pragma once

#include <cstdint>

#include "launcher/start_lisp.h"

extern "C" {

// Result words: the Lisp's answer, or kServerFailure.
LUNVARRA_EXPORT int32_t DllGetClassObject(const void* classId, const void* interfaceId,
                                          void** object);
LUNVARRA_EXPORT int32_t DllRegisterServer();
LUNVARRA_EXPORT int32_t DllUnregisterServer();
// Always 1: the launcher is never unloaded.
LUNVARRA_EXPORT int32_t DllCanUnloadNow();
}

namespace launcher {

// Decision: the result word of an exchange that could not be completed (the
// Lisp not started, or a wait that ran out): the usual unspecified-failure
// value.
inline constexpr int32_t kServerFailure = static_cast<int32_t>(0x80004005u);

// Decision: every wait of an exchange is bounded. The first covers the Lisp's
// start-up; each later step is one answer.
struct ServerWaitLimits {
  uint32_t firstMilliseconds = 60000;
  uint32_t stepMilliseconds = 30000;
};
// For tests, which shorten them.
void setServerWaitLimits(ServerWaitLimits limits);

}  // namespace launcher
