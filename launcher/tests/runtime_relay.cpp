// A runtime library for black-box runs of lunvarra_host over the real
// runtime: linked against libkorvane.so, it passes every name the launcher
// binds on to it (the lookups fall through to its dependency), except two
// that give a test a hold on the Lisp's end. Loaded with "+d".
//
// windows_lisp_exit, the exit callback the launcher hands to lisp_init, runs
// in the Lisp as it exits: with RELAY_READ set it first writes
// "relay: reading" to descriptor 1 and reads one line from descriptor 0
// with the runtime's own calls, then writes "relay: read [the line]".
// vxm_thread_exit, which the console's exit hook calls once the Lisp has
// asked to exit: with RELAY_HOLD_EXIT naming a file it writes
// "relay: exiting" and waits until that file exists. lisp_init: with
// RELAY_HOLD_START naming a file, the Lisp's start waits until it exists.

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "launcher/runtime_binding.h"

#define RELAY_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" int32_t cl_read(int32_t descriptor, char* buffer, int32_t start, int32_t count);
extern "C" int32_t cl_write(int32_t descriptor, const char* buffer, int32_t start, int32_t count);

namespace {

// The runtime's own definition of `name`, behind this library's.
template <typename Function>
Function runtimeEntry(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void say(const std::string& text) {
  cl_write(1, text.data(), 0, static_cast<int32_t>(text.size()));
}

// Bounded: a test that never makes the file fails on its own watchdog.
void awaitFile(const char* variable) {
  const char* path = std::getenv(variable);
  if (!path) return;
  for (int i = 0; i < 12000 && access(path, F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// One line of descriptor 0, without its end; reads a message interrupted
// are tried again.
std::string readLine() {
  std::string line;
  for (int tries = 0; tries < 100000; ++tries) {
    char byte = 0;
    const int32_t got = cl_read(0, &byte, 0, 1);
    if (got == 0) break;
    if (got < 0) continue;
    if (byte == '\n') break;
    line += byte;
  }
  return line;
}

}  // namespace

RELAY_EXPORT int lisp_init(int argc, char** argv, char** envp, host::ExitHook exitCallback,
                           const char* homeDirectory, const char* libraryName, void* libraryHandle,
                           const char* defaultImageName, launcher::SlotAllocator slotAllocator,
                           int win32app, void* linkedLibraries, const uint32_t* optionsRecord) {
  awaitFile("RELAY_HOLD_START");
  return runtimeEntry<launcher::LispInit>("lisp_init")(
      argc, argv, envp, exitCallback, homeDirectory, libraryName, libraryHandle, defaultImageName,
      slotAllocator, win32app, linkedLibraries, optionsRecord);
}

RELAY_EXPORT void windows_lisp_exit(int32_t status) {
  if (std::getenv("RELAY_READ")) {
    say("relay: reading\n");
    say("relay: read [" + readLine() + "]\n");
  }
  runtimeEntry<host::ExitHook>("windows_lisp_exit")(status);
}

RELAY_EXPORT void vxm_thread_exit(int32_t status, int32_t* doneFlag, uint32_t threadToNotify) {
  if (std::getenv("RELAY_HOLD_EXIT")) {
    say("relay: exiting\n");
    awaitFile("RELAY_HOLD_EXIT");
  }
  runtimeEntry<launcher::ThreadExit>("vxm_thread_exit")(status, doneFlag, threadToNotify);
}
