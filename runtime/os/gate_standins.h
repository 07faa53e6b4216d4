// What the socket and lookup threads call in the thread operations, which are
// not built yet. gate_standins.cpp holds the stand-in; it goes when the
// thread operations land.
#pragma once

#include <cstdint>

extern "C" {
// Opens the gate whose state word is at `gate`, readying the threads waiting
// on it. Until the thread operations exist, the stand-in ends the process
// with "open_vxm_gate: not available".
void open_vxm_gate(uint32_t gate);
}
