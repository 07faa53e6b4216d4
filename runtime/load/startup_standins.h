// Services that the start-up road calls and that other modules of the runtime
// own, in the least form that lets start-up run before those modules exist.
// Each definition in startup_standins.cpp says what replaces it; when the
// owning module lands, its definition replaces the one there and this list
// shrinks.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_reservation.h"

extern "C" {
// ---- services the build from scratch calls ----

// ---- debug words ----
extern uint32_t cl_debug_flags;

// ---- Lisp-side output ----
// Hands the text to Lisp's formatted output (buftostr, internal_lisp_format).
void lisp_format(const char* text);

// ---- words the start-up clears or resets, owned by the profiler module ----
extern uint32_t do_purify;
}
