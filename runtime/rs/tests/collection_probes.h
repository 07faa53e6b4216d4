// Probes for a scavenge inside the routine a test calls: a stand-in Lisp
// function that scavenges, and calls through the harness whose frame is the
// bottom of the collector's walk of a thread's stack, so the scavenge
// updates the harness frame and everything the called routines keep below
// it.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_call_harness.h"

extern "C" {
// The start word of a Lisp function that scavenges, then records its call
// as the recorder does (arguments as the collector left them).
void scavenging_start();
void walk_base_probe();
// Fills the stack below it with stack_planting_word, then jumps to
// stack_planting_target.
void stack_planting_probe();
extern uint32_t stack_planting_word;
extern uint32_t stack_planting_target;
extern uint32_t walk_base_record[6];
extern uint32_t walk_base_target;
}

namespace testing_support {

// Calls `setup` (its frame's thread word: `thread`) with `thread`'s
// foreign-call chain made of `record` alone for the length of the call.
// Records the call links meanwhile must lie below `record` (the walk follows
// a chain upward): a record on the caller's stack, when the call links any.
inline LispCallResult callAsWalkBase(LispCallSetup setup, lisp::lispval thread,
                                     uint32_t* record = walk_base_record) {
  namespace tr = lisp::thread_record;
  walk_base_target = setup.target;
  setup.target = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&walk_base_probe));
  record[0] = tr::kEmptyClinkChain;
  lisp::wordAt(thread, tr::kClinkHead) = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record));
  const LispCallResult result = callWithLispConventions(setup);
  lisp::wordAt(thread, tr::kClinkHead) = tr::kEmptyClinkChain;
  return result;
}

}  // namespace testing_support
