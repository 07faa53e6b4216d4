// Stand-ins for the code file's two entries that the function-fault
// routines call, until code jettisoning lands in the collector: a code
// vector cannot be paged in (pageinfcn answers a fixnum failure) and none
// can be written out (jettisoncode answers kJettisonNotAvailable). Both go
// when the code file's module provides them.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// The code vector kept at `place` in the code file, read back into the heap
// (tagged), or a fixnum failure code. `name` is the address of the function
// name's characters, or 0.
lisp::lispval pageinfcn(uint32_t place, uint32_t name);
// Writes code vectors to the code file and releases them from the heap.
uint32_t jettisoncode(int32_t limit, int32_t firstFlag, int32_t secondFlag);
}

namespace lisp::code_file_standin {
// pageinfcn's answer while there is no code file.
inline constexpr lispval kPageInFailure = makeFixnum(1);
// jettisoncode's answer while there is no code file (nothing was written).
inline constexpr uint32_t kJettisonNotAvailable = 0xffffffff;
}  // namespace lisp::code_file_standin
