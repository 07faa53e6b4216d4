// StartLisp, the launcher's one road from a host's call to a running Lisp:
// settings from the environment, the argument vector, the home directory,
// the launcher's options, the runtime bound, the image found, then the Lisp
// started on the calling thread (no console) or beside the console window.
#pragma once

#include <cstdint>

#include "launcher/argument_vector.h"

#define LUNVARRA_EXPORT __attribute__((visibility("default")))

extern "C" {

// Does not return while the Lisp runs; the process (or, with ownThread set,
// the calling thread) ends with the Lisp's exit status, or with 1 when the
// launcher refuses to start.
LUNVARRA_EXPORT void StartLisp(const char* commandTail, int32_t showCommand, int32_t ownThread);
// Reason 1 (the library's load) keeps the module instance; always 1.
LUNVARRA_EXPORT int32_t DllMain(void* instance, uint32_t reason, void* reserved);
// A thread-local slot index of 64 or more, or -1; every lower index taken on
// the way is free again afterwards.
LUNVARRA_EXPORT int32_t TlsAllocHighKey();
}

namespace launcher {

// The slot allocator handed to lisp_init: TlsAllocHighKey when
// VXMTLSINDEXDEBUG is set, else the lowest free slot.
int32_t lisp_tls_allocator();

// The directory after the first "-H" that has an element behind it, looking
// no further than the first element beginning "--"; null without one. With
// `verbose`, the scan's finding goes to standard error.
const char* homeDirectoryOption(const ArgumentVector& vector, bool verbose);

// The start through the server entry points, on a thread of its own: the
// StartLisp steps with no command tail, the launcher library's own
// command-line resource, always the default image and no splash; the runtime
// gets `handshakeEvent`. Returns (ending that thread's part) when there is no
// default image; a refusal ends the thread; otherwise the Lisp runs on it.
void startLispForServer(uint32_t handshakeEvent);

// The launcher module instance DllMain kept.
extern uint32_t module_instance;

}  // namespace launcher
