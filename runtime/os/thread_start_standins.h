// The two Lisp-side thread starts that setupstack_within_xhandler calls.
// They come with the thread start-up and the first Lisp thread's start-up;
// until then thread_start_standins.cpp holds versions that say they are not
// available and end the process with status 1. Each goes when its owner
// lands.
#pragma once

#include <cstdint>

extern "C" {
// Runs Lisp thread number `argument` (0 or more); returns when its Lisp
// function returns.
void second_lisp_thread_c_init(int32_t argument);
}
