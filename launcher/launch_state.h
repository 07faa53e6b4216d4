// What StartLisp found and bound, shared with the code that starts the Lisp
// beside the console. Kept until the process ends: the runtime keeps
// pointers into the vector, the names and the handle.
#pragma once

#include <cstdint>

#include "launcher/argument_vector.h"
#include "launcher/runtime_binding.h"

namespace launcher {

struct LaunchState {
  ArgumentVector vector;
  const char* baseName = nullptr;
  bool verbose = false;
  void* runtimeLibrary = nullptr;
  RuntimeEntries runtime = {};
  const char* imagePath = nullptr;
  uint32_t splashWindow = 0;
  // Set only in a start through the server entry points: the event the
  // runtime sets when the Lisp has answered a remote command.
  uint32_t handshakeEvent = 0;
};
extern LaunchState launch;

// Ends the launcher with `status`: the calling thread when the host gave it
// a thread of its own, else the process.
[[noreturn]] void endLauncher(int status);

// lisp_init with the launch's twelve arguments, `options` the last (null
// without a console); returns only when the runtime does.
int initLisp(const OptionsRecord* options);

}  // namespace launcher
