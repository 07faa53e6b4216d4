// A zeroed thread record in memory, and the calling thread's slot pointing
// at it, for tests of the OS primitives.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/thread_block.h"
#include "platform/threads.h"
#include "runtime/os/thread_registry.h"
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

// Makes `record` the calling thread's record for its lifetime: the runtime's
// thread slot points at it and the registry holds it at index 0, found
// through the registry's own slot (both slots allocated once per process).
class CallingThreadRecord {
 public:
  explicit CallingThreadRecord(RecordInMemory& record)
      : savedCount_(vxm_thread_control.registryCount),
        savedFirst_(vxm_thread_control.registryTable[0]),
        savedActive_(tls_active),
        savedKey_(tls_key) {
    static const int32_t slot = platform::allocateThreadSlot();
    static const int32_t key = platform::allocateThreadSlot();
    EXPECT_GE(slot, 0);
    EXPECT_GE(key, 0);
    lisp_tls_index = static_cast<uint32_t>(slot) * 4;
    EXPECT_EQ(set_tls_thread(lisp_tls_index, record.tagged()), 1);
    record.at(lisp::thread_record::kRegistryIndex) = 0;
    record.at(lisp::thread_record::kOsThreadId) = platform::currentThreadId();
    vxm_thread_control.registryTable[0] = record.raw();
    vxm_thread_control.registryCount = 1;
    tls_key = static_cast<uint32_t>(key);
    tls_active = 1;
    platform::setThreadSlot(key, 1);
  }
  ~CallingThreadRecord() {
    set_tls_thread(lisp_tls_index, 0);
    platform::setThreadSlot(static_cast<int32_t>(tls_key), 0);
    vxm_thread_control.registryTable[0] = savedFirst_;
    vxm_thread_control.registryCount = savedCount_;
    tls_active = savedActive_;
    tls_key = savedKey_;
  }

 private:
  uint32_t savedCount_;
  uint32_t* savedFirst_;
  int savedActive_;
  uint32_t savedKey_;
};

}  // namespace os_test
