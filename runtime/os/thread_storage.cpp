#include "runtime/os/thread_storage.h"

#include "platform/thread_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"

extern "C" {

uint32_t lisp_tls_index = 0;

// A structure-typed record (46 Lisp slots) with an empty foreign-call chain.
alignas(8) uint32_t dummy_thread[lisp::thread_record::kRecordWords] = {
    lisp::headerWithLength(lisp::type_code::Structure, 46)};

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
  static const bool initialised = [] {
    wordAt(wordOf(dummy_thread, Tag::Other), thread_record::kClinkHead) =
        thread_record::kEmptyClinkChain;
    return true;
  }();
  (void)initialised;
  return wordOf(dummy_thread, Tag::Other);
}

}  // namespace lisp
