// The one comparison behind every tolerance test of the engine.
#pragma once

#include <cmath>

// True when `value` breaks `tolerance`: its magnitude exceeds it, or it is
// not finite. A plain `fabs(value) > tolerance` is false for NaN, which would
// let a NaN or infinite state pass as satisfied; a NaN tolerance (computed
// from a non-finite state) fails too. For finite values and tolerances the
// answer is exactly that of `fabs(value) > tolerance`.
inline bool violates(double value, double tolerance) {
  return !std::isfinite(value) || !(std::fabs(value) <= tolerance);
}

// The opposite, for tests that ask whether a value is small enough.
inline bool within(double value, double tolerance) {
  return !violates(value, tolerance);
}
