// A thread record made ready for special bindings the way thread start
// makes it: its binding index, a binding-stack block of 256 entries that
// records the index's element number in its third overhead word, top 0,
// room 256, no catch frame and an empty foreign-call chain.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "runtime/rs/lisp_value.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_call_harness.h"

namespace testing_support {

inline constexpr uint32_t kBindingBlockBytes = 2048;
inline constexpr uint32_t kBindingBlockEntries = kBindingBlockBytes / 8;

// `thread` is a record's tagged word; `element` the element number its
// bindings take in every symbol's value vector (not 0).
inline void prepareThreadForBinding(lisp::lispval thread, uint32_t element, lisp::lispval nil) {
  namespace tr = lisp::thread_record;
  auto word = [thread](int32_t offset) -> uint32_t& { return lisp::wordAt(thread, offset); };
  word(tr::kBindingIndex) = lisp::makeFixnum(static_cast<int32_t>(element));
  word(tr::kClinkHead) = tr::kEmptyClinkChain;
  word(tr::kCatchChain) = 0;

  LispCallSetup setup;
  setup.target = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&new_direct_sysvector_pvec));
  setup.edi = nil;
  setup.ebx = thread;
  setup.eax = lisp::makeFixnum(kBindingBlockBytes / 4);
  setup.edx = nil;
  setup.ecx = 3;
  setup.stack[2] = element;
  setup.frame[frameIndex(0x1c)] = thread;
  const LispCallResult made = callWithLispConventions(setup);
  ASSERT_EQ(made.ecx, 0u) << "no binding-stack block";
  word(tr::kBindingStack) = made.eax;
  word(tr::kBindingStackTop) = 0;
  word(tr::kBindingStackRoom) = kBindingBlockEntries;
}

}  // namespace testing_support
