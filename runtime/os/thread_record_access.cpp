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

uint32_t* callingRecord() {
  return my_thread(nullptr);
}

}  // namespace

extern "C" {

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
