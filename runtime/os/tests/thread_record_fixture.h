// A zeroed thread record in memory, and the calling thread's slot pointing
// at it, for tests of the OS primitives.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/thread_record.h"

namespace os_test {

struct RecordInMemory {
  alignas(8) uint32_t words[lisp::thread_record::kRecordWords] = {};
  uint32_t* raw() { return words; }
  lisp::lispval tagged() { return lisp::wordOf(words, lisp::Tag::Other); }
  uint32_t& at(int32_t offset) { return lisp::wordAt(tagged(), offset); }
};

// Makes `record` the calling thread's record for its lifetime, through the
// runtime's thread slot (allocated once per process).
class CallingThreadRecord {
 public:
  explicit CallingThreadRecord(RecordInMemory& record) {
    static const int32_t slot = platform::allocateThreadSlot();
    EXPECT_GE(slot, 0);
    lisp_tls_index = static_cast<uint32_t>(slot) * 4;
    EXPECT_EQ(set_tls_thread(lisp_tls_index, record.tagged()), 1);
  }
  ~CallingThreadRecord() { set_tls_thread(lisp_tls_index, 0); }
};

}  // namespace os_test
