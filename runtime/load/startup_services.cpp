#include "runtime/load/startup_services.h"

#include <unistd.h>

#include <cstdlib>

namespace {
constexpr char kNoVirtualMemory[] = "There is insufficient swap space to run this program\n";
constexpr uint32_t kDefaultMaxHeapSize = 0x4000000;
}  // namespace

extern "C" {

uint32_t maxheapsize = kDefaultMaxHeapSize;
lisp_exit_function lisp_exit_callback = std::exit;

// Lisp code keeps the stack only 4-byte aligned; the host's exit callback
// and the C library expect the ABI's 16 bytes, so the frame is realigned.
__attribute__((force_align_arg_pointer)) void lisp_exit(int status) {
  lisp_exit_callback(status);
  std::exit(status);
}

void novm() {
  ssize_t written = write(2, kNoVirtualMemory, sizeof kNoVirtualMemory - 1);
  (void)written;
  lisp_exit(1);
}

}  // extern "C"
