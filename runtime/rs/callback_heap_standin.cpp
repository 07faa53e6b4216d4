// Stand-in for the heap-ownership service's acquire_heap_around_lisp_call
// (the assembly half is callback_heap_standin.S): a callback runs only on a
// thread that already has a Lisp thread record, the one Lisp thread; any
// other thread ends the process. Replaced, with both files, when the service
// registers foreign threads and takes the heap for them.

#include <cstdio>
#include <cstdlib>

#include "platform/thread_block.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/foreign_callbacks.h"
#include "runtime/rs/thread_record.h"

namespace {

constexpr char kForeignThreadMessage[] = "callbacks from foreign threads not available";
constexpr int kForeignThreadStatus = 1;

}  // namespace

extern "C" uint32_t callback_save_area() {
  const uint32_t record = platform::threadSlot(static_cast<int32_t>(lisp_tls_index / 4));
  if (record == 0) {
    std::fprintf(stderr, "%s\n", kForeignThreadMessage);
    std::fflush(nullptr);
    std::_Exit(kForeignThreadStatus);
  }
  return record + lisp::thread_record::kVolatileSaveArea;
}
