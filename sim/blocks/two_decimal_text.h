#pragma once

// The text "%5.2f" gives for a double, written without the C library's
// general formatter (the ramp position is formatted once per step).

namespace sim {

// Room for the longest text writeTwoDecimals makes, with its zero.
constexpr int kTwoDecimalTextCapacity = 16;

// Writes into `out` (at least kTwoDecimalTextCapacity bytes) exactly what
// snprintf(out, size, "%5.2f", value) writes, and returns its length; returns
// -1 and writes nothing for a value it leaves to the C library (not finite,
// or 1e9 or more in magnitude).
int writeTwoDecimals(double value, char* out);

}  // namespace sim
