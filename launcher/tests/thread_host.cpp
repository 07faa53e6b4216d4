// A second host program for the launcher's black-box tests: it calls
// StartLisp on a thread of its own with the own-thread flag set, so that a
// refusal ends only that thread, then reports the thread's exit code. It
// carries a command-line resource, which the launcher merges with the tail.

#include <cstdio>
#include <string>

#include "launcher/start_lisp.h"
#include "platform/threads.h"
#include "platform/waitable.h"

// Texts each ended by a NUL, the list ended by an empty text.
extern "C" __attribute__((visibility("default"), used)) const char RVXMCMD[] = "-r\0x y\0";

namespace {

std::string tail;

uint32_t startLispThread(void*) {
  StartLisp(tail.c_str(), 1, 1);
  return 0;  // StartLisp does not return
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) tail += (i > 1 ? " " : "") + std::string(argv[i]);
  uint32_t threadId = 0;
  const platform::Handle thread = platform::createThread(startLispThread, nullptr, 0, &threadId);
  if (thread == platform::kNoHandle) return 2;
  const platform::Handle handles[] = {thread};
  platform::waitForAny(handles, platform::kWaitForever);
  uint32_t exitCode = 0;
  platform::exitCodeOf(thread, &exitCode);
  std::printf("launcher thread ended with %u\n", exitCode);
  return 0;
}
