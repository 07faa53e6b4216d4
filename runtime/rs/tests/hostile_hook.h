// The hostile after-collection function installed through the collector's
// real bridge into Lisp, so that any allocation inside a routine under test
// can run Lisp code that allocates, returns several values, makes system
// calls and binds specials.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/scavenger.h"
#include "runtime/os/collector_lisp_calls.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/tests/collection_probes.h"

namespace testing_support {

// The collector's after-collection function, called through its real
// bridge into Lisp (which needs the calling thread registered): the hostile
// hook with `calls`. All of it is undone at the end of the scope.
class HostileAfterHook {
 public:
  explicit HostileAfterHook(const std::vector<HostileCall>& calls) {
    set(calls);
    const uint32_t bytes = lisp::functionObjectBytes(0);
    auto* function =
        reinterpret_cast<lisp::FunctionObject*>(static_cast<uintptr_t>(other_from_old_xsmp(bytes)));
    function->header = lisp::headerWord(lisp::type_code::Function);
    function->start = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&hostile_hook_start));
    function->lispSlot1 = function->codeVector = function->lispSlot2 = nilval;
    savedFunction_ =
        std::exchange(gc::globalWord(kGcAfterFunction), lisp::wordOf(function, lisp::Tag::Other));
    savedFlags_ = std::exchange(GsCtlFlags, GsCtlFlags | gc::flag::kAfterGcHook);
    lisp::collector_calls::install();
  }
  ~HostileAfterHook() {
    gc::setLispCaller(nullptr);
    GsCtlFlags = savedFlags_;
    gc::globalWord(kGcAfterFunction) = savedFunction_;
    hostile_hook_count = 0;
  }
  HostileAfterHook(const HostileAfterHook&) = delete;
  HostileAfterHook& operator=(const HostileAfterHook&) = delete;

  // The calls it makes from now on (at most eight).
  static void set(const std::vector<HostileCall>& calls) {
    hostile_hook_count = static_cast<uint32_t>(std::min<size_t>(calls.size(), 8));
    std::copy_n(calls.begin(), hostile_hook_count, hostile_hook_calls);
  }

 private:
  static constexpr int32_t kGcAfterFunction = -0x15 - 4 * 36;
  uint32_t savedFunction_ = 0, savedFlags_ = 0;
};

// Takes all of new space but `left` bytes with a byte vector nothing refers
// to, so that the next allocation of more collects.
inline void useUpNewSpace(uint32_t left = 8) {
  const auto free = static_cast<int32_t>(gc::globalWord(gc::global::kNewFree));
  if (free < static_cast<int32_t>(left) + 24) return;
  const uint32_t bytes = (static_cast<uint32_t>(free) - left - 8) & ~7u;  // without the prefix
  const uint32_t object = other_from_new_xsmp(bytes);
  gc::wordAt(object) = lisp::headerWithLength(lisp::type_code::ByteVector, bytes - 4);
}

}  // namespace testing_support
