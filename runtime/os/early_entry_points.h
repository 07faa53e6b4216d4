// Start-up binding of the runtime's early entry points: the named native
// functions the image needs before Lisp code can resolve names itself are
// looked up in the runtime library, then in the executable.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// Ends the Lisp (status 1) with its message when neither the runtime library
// nor the executable has "lisp_init".
void check_lisp_main_addr();
// Looks the entry-vec's name up in the runtime library, then the executable;
// stores the address and the handle that had it into the entry. Ends the
// Lisp (status 1) with its message when neither has it.
void preset_entry_vec(lisp::lispval entry);
// check_lisp_main_addr, then preset_entry_vec on each entry-vec of the list
// in the early-entry-points global (other elements are passed over).
void preset_early_entry_points();
}

namespace lisp::os {
// Decision: the list of early entry points is held in runtime global 340,
// one of the words a fresh globals table starts as nil (no entries).
inline constexpr uint32_t kEarlyEntryPointsGlobal = 340;
inline constexpr int32_t kEarlyEntryPointsOffset = -0x15 - 4 * int32_t{kEarlyEntryPointsGlobal};
}  // namespace lisp::os
