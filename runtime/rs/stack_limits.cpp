// The stack-limit word at thread start (stack_limits.h).
#include "runtime/rs/stack_limits.h"

#include <pthread.h>

#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"
#include "runtime/rs/thread_record.h"

namespace lisp::stack_limits {

uint32_t limitAbove(uint32_t low) {
  return low == 0 ? 0 : low + kReserve + kOverflowRoom;
}

}  // namespace lisp::stack_limits

namespace {

// The lowest address of the calling thread's stack, or 0.
uint32_t callingStackLow() {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  void* low = nullptr;
  size_t bytes = 0;
  const bool known = pthread_attr_getstack(&attributes, &low, &bytes) == 0 && bytes != 0;
  pthread_attr_destroy(&attributes);
  return known ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(low)) : 0;
}

}  // namespace

extern "C" {

void set_thread_stack_limit(lisp::lispval record) {
  lisp::wordAt(record, lisp::thread_record::kStackLimit) =
      lisp::stack_limits::limitAbove(callingStackLow());
}

void stack_overflow_before_lisp() {
  vxmfprintf(stderr, "%s", lisp::stack_limits::kOverflowBeforeLisp);
  lisp_exit(1);
}

}  // extern "C"
