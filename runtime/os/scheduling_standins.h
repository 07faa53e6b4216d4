// What the heap-ownership lock calls in a module that is not built yet: the
// thread-exit check.
// Each is declared as its module will provide it; scheduling_standins.cpp
// holds versions that do what the full ones do when nothing was requested,
// and each goes when its module lands.
#pragma once

#include <cstdint>

extern "C" {
// Returns the record, or ends the thread when a kill was requested for it.
uint32_t* check_for_thread_exit(uint32_t* record);
}
