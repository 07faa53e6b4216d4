// A second host program for the launcher's black-box tests: it calls
// StartLisp on a thread of its own with the own-thread flag set, so that a
// refusal ends only that thread, then reports the thread's exit code. It
// carries a command-line resource, which the launcher merges with the tail,
// and a splash bitmap.

#include <cstdio>
#include <string>

#include "launcher/start_lisp.h"
#include "platform/threads.h"
#include "platform/waitable.h"

// Texts each ended by a NUL, the list ended by an empty text.
extern "C" __attribute__((visibility("default"), used)) const char RVXMCMD[] = "-r\0x y\0";

// A packed bitmap of 8 x 2 pixels at 1 bit: 40-byte header, 2 colours,
// two rows of 4 bytes.
extern "C" __attribute__((visibility("default"), used)) const unsigned char vxm5splash[56] = {
    40, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0, 0, 1, 0, 1, 0,  // size, width, height, planes, depth
    0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,   // no compression, 8 bytes of pixels
    2, 0, 0, 0, 0, 0, 0, 0,                           // 2 colours used
    0, 0, 0, 0, 255, 255, 255, 0,                     // black, white
    0xF0, 0, 0, 0, 0x0F, 0, 0, 0};

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
