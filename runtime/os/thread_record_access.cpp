// Accessors of the thread record's native-side words.

#include "runtime/os/thread_record_access.h"

#include "runtime/gc/collector_errors.h"
#include "runtime/os/record_words.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/exports.h"
#include "runtime/rs/thread_record.h"

using lisp::os::recordWord;

namespace {

constexpr char kTlsFailure[] = "TLS failure; vxm cannot continue";
constexpr uint32_t kTlsFailureCode = 111;
constexpr int kTlsFailureStatus = 1;

// Decision: a thread record's allocation word is word 52, the raw word that
// allocation clears and that no other use names. It holds a tagged cons
// fill pointer (address + 0x11); 0, as allocation leaves it, means the
// thread has no allocation point, and the page's own word answers.
constexpr int32_t kAllocationWord = lisp::thread_record::kClearedWord52;

uint32_t* callingRecord() {
  return my_thread(nullptr);
}

}  // namespace

extern "C" {

uint32_t thread_page_conslimit(const uint32_t* record) {
  if (const uint32_t* thread = validate_thread(record[0])) {
    const uint32_t fill = recordWord(const_cast<uint32_t*>(thread), kAllocationWord);
    const uint32_t address = (fill & ~uint32_t{7}) - 16;
    if (fill != 0 && address >= static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record)))
      return address;
  }
  return record[1];
}

uint32_t get_clink(uint32_t* record) {
  return record ? recordWord(record, lisp::thread_record::kClinkHead)
                : lisp::thread_record::kEmptyClinkChain;
}

void set_clink(uint32_t value) {
  if (uint32_t* record = callingRecord())
    recordWord(record, lisp::thread_record::kClinkHead) = value;
}

uint32_t get_c_leaf() {
  uint32_t* record = callingRecord();
  return record ? recordWord(record, lisp::thread_record::kLeafCallStack) : 0;
}

void set_c_leaf(uint32_t value) {
  if (uint32_t* record = callingRecord())
    recordWord(record, lisp::thread_record::kLeafCallStack) = value;
}

uint32_t get_stackbase() {
  uint32_t* record = callingRecord();
  return record ? recordWord(record, lisp::thread_record::kStackBase) : 0;
}

uint32_t* thread_mv_slots() {
  uint32_t* record = callingRecord();
  return record ? &recordWord(record, lisp::thread_record::kExtraResults) : nullptr;
}

KORVANE_EXPORT uint32_t thread_clink(lisp::lispval record) {
  return lisp::wordAt(record, lisp::thread_record::kClinkHead);
}

uint32_t vxm_validate_inline_tls(lisp::lispval record) {
  uint32_t* address = lisp::objectOf<uint32_t>(record);
  if (!lisp::isOther(record) || address != threadctl_active)
    vxmsyserror(kTlsFailure, kTlsFailureCode, kTlsFailureStatus, 0);
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

}  // extern "C"
