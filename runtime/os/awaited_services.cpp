// Stand-ins for the services of modules that are not built yet (see
// awaited_services.h). Each answers as its module would with nothing in it:
// the registry finds the calling thread's record only through its
// thread-local slot, and there are no remote commands, no sockets and no
// child processes.

#include "runtime/os/awaited_services.h"

#include <cstdio>

#include "platform/thread_block.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/thread_storage.h"

extern "C" {

uint32_t* threadctl_active = nullptr;
uint32_t* threadctl_available = nullptr;

uint32_t* my_thread(void*) {
  const lisp::lispval record = platform::threadSlot(static_cast<int32_t>(lisp_tls_index / 4));
  return record != 0 && lisp::isOther(record) ? lisp::objectOf<uint32_t>(record) : nullptr;
}

int check_pending_remote_command() {
  return 0;
}

uint32_t* fd_socket_events(uint32_t) {
  return nullptr;
}

int add_waiting_proc_handles(uint32_t*, int, int) {
  return 0;
}

void note_signalled_procs(uint32_t*, int, int, int, int32_t) {}

}  // extern "C"

namespace lisp::os {

void notAvailable(const char* routine) {
  std::fprintf(stderr, "%s: not available\n", routine);
  std::fflush(stderr);
  lisp_exit(1);
}

}  // namespace lisp::os
