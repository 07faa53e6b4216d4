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
void probe_executable_stack();
// Writes the address-space map to the file, or to standard output when null.
void memory_status_dump(const char* path);
// Makes the empty world's first objects.
void getstorage();

// ---- early entry points ----
void preset_early_entry_points();

// ---- the first Lisp thread ----
void reset_signals_after_dumplisp();
void setupstack_xhandler(int how);

// ---- debug words ----
extern uint32_t cl_debug_flags;

// ---- system services ----
// The program's module handle; null names the executable.
void* sy_getproghandle();

// ---- pure Lisp library ----
// Relinks the heap to a library attached while the Lisp runs.
void link_lso_file();

// ---- Lisp-side output ----
// Hands the text to Lisp's formatted output (buftostr, internal_lisp_format).
void lisp_format(const char* text);

// ---- heap relocation after an image restore ----
// Moves every pointer of the restored heap by the heap's and the library's
// distances; 1 when done, 0 when it cannot be (the reason is printed).
int gc_relocate_heap(heap_descriptor* heap, int32_t heapDelta, int32_t libraryDelta);

// ---- words the start-up clears or resets, owned by the profiler module ----
extern uint32_t inhibitprof;
extern uint32_t do_purify;
}
