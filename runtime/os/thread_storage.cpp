#include "runtime/os/thread_storage.h"

#include "platform/thread_block.h"

extern "C" {

uint32_t lisp_tls_index = 0;

lisp::lispval dummy_thread = 0;  // made by setup_dummy_threadctl

int init_tls(uint32_t* index) {
  const int32_t slot = platform::allocateThreadSlot();
  if (slot == platform::kNoThreadSlot) return 0;
  *index = static_cast<uint32_t>(slot);
  return 1;
}

int set_tls_thread(uint32_t index, lisp::lispval record) {
  if (index % 4 != 0) return 0;
  return platform::setThreadSlot(static_cast<int32_t>(index / 4), record) ? 1 : 0;
}

int rs_set_tls_thread(uint32_t index, lisp::lispval record) {
  return set_tls_thread(index, record);
}
}

namespace lisp {

lispval dummyThreadWord() {
  return dummy_thread;
}

}  // namespace lisp
