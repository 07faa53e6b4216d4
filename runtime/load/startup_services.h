// The start-up module's exit path and the heap-size limit that its options
// set: what the collector's initialisation needs before the rest of the
// start-up code exists.
#pragma once

#include <cstdint>

extern "C" {
// Largest heap span the root-set bitmap covers; set by -h, grown with the bitmap.
extern uint32_t maxheapsize;

// Called by lisp_exit before the process ends; initially the C library's exit.
using lisp_exit_function = void (*)(int status);
extern lisp_exit_function lisp_exit_callback;

[[noreturn]] void lisp_exit(int status);
// "There is insufficient swap space ..." on standard error, then lisp_exit(1).
[[noreturn]] void novm();
}
