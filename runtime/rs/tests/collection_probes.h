// Probes for a scavenge inside the routine a test calls: a stand-in Lisp
// function that scavenges, calls through the harness whose frame is the
// bottom of the collector's walk of a thread's stack, so the scavenge
// updates the harness frame and everything the called routines keep below
// it, and a hostile after-collection function that runs whatever Lisp code
// may run inside any allocation.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_call_harness.h"

// One call the hostile hook makes: a routine with the Lisp register
// conventions, its eax, edx and ecx, and stacked arguments 3 .. 6.
struct HostileCall {
  uint32_t target = 0, eax = 0, edx = 0, ecx = 0;
  uint32_t stacked[4] = {};
};

extern "C" {
// The start word of a Lisp function that scavenges, then records its call
// as the recorder does (arguments as the collector left them).
void scavenging_start();
// Fills the stack below it with stack_planting_word, then jumps to
// stack_planting_target.
void stack_planting_probe();
extern uint32_t stack_planting_word;
extern uint32_t stack_planting_target;
// The start word of a Lisp function that makes the first hostile_hook_count
// calls of hostile_hook_calls and returns the last one's values.
void hostile_hook_start();
extern HostileCall hostile_hook_calls[8];
extern uint32_t hostile_hook_count;
// A routine for the hostile hook: append_values of its open form to the
// closed values vector at hostile_append_vector, which must never move.
void hostile_append_probe();
extern uint32_t hostile_append_vector;
}

namespace testing_support {

// Calls `setup` from a harness frame that the collector's walk visits and
// ends at: a foreign-call record on the stack above it names it as the
// native frame entering Lisp and is the whole of `thread`'s chain for the
// length of the call. The setup's frame must be one the walk recognises: a
// marker (see walkedFrame) or a function object at ebp-4.
inline LispCallResult callAsWalkBase(const LispCallSetup& setup, lisp::lispval thread) {
  return callFromNativeEntry(setup, lisp::wordAt(thread, lisp::thread_record::kClinkHead));
}

// The setup with a runtime-frame marker at ebp-4, which the called routine
// then reloads as its caller's function word.
inline LispCallSetup walkedFrame(LispCallSetup setup) {
  setup.frame[frameIndex(4)] = lisp::nil_block::marker::kRuntimeRoutine;
  return setup;
}

}  // namespace testing_support
