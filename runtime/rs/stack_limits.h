// The thread record's stack-limit word (+0x1a): compiled code's stack
// checks and the runtime's argument areas stop short of it.
//
// Decision: when a thread starts running Lisp the word is set from the
// thread's real stack, kReserve + kOverflowRoom above its low end: a
// stack-overflow trap lowers it by kOverflowRoom while the overflow is
// reported, never to within kReserve of the end, which is left for the
// native code the report runs. A thread whose stack cannot be found gets 0:
// no limit, the checks always pass.
//
// Decision: an overflow found before the Lisp world can report it (the
// condition symbol's global word holds no symbol yet, as during start-up)
// ends the process with kOverflowBeforeLisp and status 1, rather than
// calling through that word.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::stack_limits {

inline constexpr uint32_t kOverflowRoom = 0xa000;
inline constexpr uint32_t kReserve = 0x4000;

inline constexpr char kOverflowBeforeLisp[] =
    "Stack overflow before the Lisp world could report it.\n";

// The limit for a stack whose lowest address is `low` (0: unknown).
uint32_t limitAbove(uint32_t low);

}  // namespace lisp::stack_limits

extern "C" {
// Sets the calling thread's record's stack limit from its stack.
void set_thread_stack_limit(lisp::lispval record);
// Writes kOverflowBeforeLisp and ends the process with status 1.
[[noreturn]] void stack_overflow_before_lisp();
}
