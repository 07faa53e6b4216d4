// The input-ready table that Lisp code written for signal-driven input polls:
// the descriptors 0 to 63 it watches, and after filter_sigios the ones of
// them that have input waiting. Lisp code reaches these by foreign calls.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

inline constexpr int32_t kWatchedDescriptors = 64;

// The table lisp_query_ready_sigio_array returns: the ready list (ended by
// 0), then the watched descriptors as a select set (count, descriptors).
struct InputReadyTable {
  int32_t ready[kWatchedDescriptors + 1];
  uint32_t watchedCount;
  int32_t watched[kWatchedDescriptors];
};
static_assert(offsetof(InputReadyTable, ready) == 0);
static_assert(offsetof(InputReadyTable, watchedCount) == 4 * 65);
static_assert(offsetof(InputReadyTable, watched) == 4 * 66);
static_assert(sizeof(InputReadyTable) == 4 * 130);

InputReadyTable* lisp_query_ready_sigio_array();
// 64.
int32_t lisp_number_of_fds();
// Watch, or stop watching, descriptor 0 .. 63; another value prints its
// "Bad argument" message and changes nothing.
void lisp_add_sigio_fd(int32_t descriptor);
void lisp_remove_sigio_fd(int32_t descriptor);
// One select with a zero wait over the watched descriptors: the ready ones
// into the ready list, ascending, then 0. errno is left as it was found.
void filter_sigios();
// Installs the runtime's signal handler for the signal; returns the signal.
int32_t lisp_sigio_setupsig(int32_t signal);
// A new zeroed 20-byte block of the C heap.
void* lisp_query_unix_sigio_info();
}

namespace lisp::os {
// The select width: the highest watched descriptor plus 2, or 0.
int32_t inputSelectWidth();
// Whether the descriptor is watched.
bool isWatchedDescriptor(int32_t descriptor);
// Stops watching every descriptor and empties the ready list (for tests).
void clearInputReadyTable();
}  // namespace lisp::os
