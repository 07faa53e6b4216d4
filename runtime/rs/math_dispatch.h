// The native half of mathlib: one row per service code, each naming the
// native operation and the shape of its arguments; called from the assembly
// inside a foreign-call record, so the operation runs under the runtime's
// x87 control word. Nothing here allocates.
#pragma once

#include <array>
#include <cstdint>
#include <variant>

#include "runtime/rs/lisp_value.h"

namespace lisp::math_dispatch {

inline constexpr uint32_t kCodeCount = 30;  // codes 0 .. 29

// The shapes of the native operations: a double of a1; doubles of a1 and
// a2; a single of a1 (single result); a double of a1 and the fixnum a2.
using OfDouble = double (*)(double);
using OfTwoDoubles = double (*)(double, double);
using OfSingle = float (*)(float);
using OfDoubleAndFixnum = double (*)(double, int);
using NoCase = std::monostate;
using MathOperation = std::variant<NoCase, OfDouble, OfTwoDoubles, OfSingle, OfDoubleAndFixnum>;
using MathRows = std::array<MathOperation, kCodeCount>;

extern const MathRows kMathRows;

// The rows mathlib dispatches on: kMathRows, or a test's probe rows.
extern const MathRows* activeMathRows;

}  // namespace lisp::math_dispatch

extern "C" {

// What mathlib boxes: the low half of the answer of mathlib_operation.
enum MathAnswer : uint32_t {
  kMathDouble = 0,  // a double at *result, boxed by new_double_float
  kMathSingle = 1,  // a float at *result, boxed by new_single_float
  kMathNoCase = 2,  // no operation: runtime error 22
};

// Runs service `code` (0 .. 29) on the Lisp arguments a1 and a2, storing
// the raw result at `result` (8 bytes).
uint32_t mathlib_operation(uint32_t code, lisp::lispval a1, lisp::lispval a2, void* result);
}
