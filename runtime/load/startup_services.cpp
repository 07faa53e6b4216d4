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

void lisp_exit(int status) {
  lisp_exit_callback(status);
  std::exit(status);
}

void novm() {
  ssize_t written = write(2, kNoVirtualMemory, sizeof kNoVirtualMemory - 1);
  (void)written;
  lisp_exit(1);
}

}  // extern "C"
