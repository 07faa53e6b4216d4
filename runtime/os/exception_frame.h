// The exception frame every Lisp thread runs inside, and the executable-stack
// probe that runs inside a guarded region of its own.
#pragma once

#include <cstdint>

extern "C" {
// Runs a Lisp thread's start-up and whole life inside an exception frame
// whose filter is lisp_exception_filter: -1 for the first Lisp thread, the
// thread's start argument (0 or more) for every other. With a start-up
// library (as_setupstack) the library is called with n,
// setupstack_within_xhandler and the filter, and runs the thread itself.
void setupstack_xhandler(int32_t n);
// n 0 or more: second_lisp_thread_c_init (n); negative: first_lisp_thread_init.
void setupstack_within_xhandler(int32_t n);

// Tries to run one byte of code stored on the stack. Where the system
// refuses, sets disallow_mapping and dep_style_vpl to 1; either way returns.
void probe_executable_stack();
// A bare return: where the probe's refused call resumes.
void get_frameptr();
}

namespace lisp::os {
// The probe's core: stores a return instruction at `word` and calls it with
// probing_executable_stack set, inside a guarded region. The probe passes a
// stack word; tests pass other memory.
void probeExecutableWord(void* word);
}  // namespace lisp::os
