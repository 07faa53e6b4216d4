// The exception frame of a Lisp thread and the executable-stack probe.
//
// Decision: the runtime library links with -z noexecstack, so on Linux the
// probe's call faults and the filter sets disallow_mapping and
// dep_style_vpl, as on any system that refuses to run code in data pages:
// images are read rather than mapped, and the pure library is mapped
// executable (read-only pages would not run its code). The stack is not made
// executable for the probe.

#include "runtime/os/exception_frame.h"

#include "runtime/load/startup.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/lisp_guarded_region.h"
#include "runtime/load/first_lisp_thread.h"
#include "runtime/os/thread_start.h"

namespace {

constexpr uint8_t kReturnInstruction = 0xc3;

using ThreadStart = void (*)(int32_t);
using StartupLibraryEntry = int32_t (*)(int32_t n, ThreadStart within,
                                        int32_t (*filter)(uint32_t, platform::ExceptionPointers*));

uint32_t runThreadLife(void* argument) {
  const int32_t n = *static_cast<const int32_t*>(argument);
  if (as_setupstack) {
    const auto entry =
        reinterpret_cast<StartupLibraryEntry>(reinterpret_cast<uintptr_t>(as_setupstack));
    entry(n, setupstack_within_xhandler, lisp_exception_filter);
  } else {
    setupstack_within_xhandler(n);
  }
  return 0;
}

uint32_t callStoredReturn(void* word) {
  *static_cast<volatile uint8_t*>(word) = kReturnInstruction;
  probing_executable_stack = 1;
  reinterpret_cast<void (*)()>(word)();
  probing_executable_stack = 0;
  return 0;
}

}  // namespace

namespace lisp::os {

void probeExecutableWord(void* word) {
  runInLispExceptionFrame(callStoredReturn, word);
}

}  // namespace lisp::os

extern "C" {

void setupstack_xhandler(int32_t n) {
  lisp::os::runInLispExceptionFrame(runThreadLife, &n);
}

void setupstack_within_xhandler(int32_t n) {
  if (n >= 0)
    second_lisp_thread_c_init(n);
  else
    first_lisp_thread_init();
}

void probe_executable_stack() {
  uint32_t word = 0;
  lisp::os::probeExecutableWord(&word);
}

}  // extern "C"
