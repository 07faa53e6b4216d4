// Preparing a logged variable for writing.
#pragma once

#include "sim/logging/log_records.h"

namespace sim {

// Sets nDataPoints and, when the buffer wrapped over older samples, reports
// it on standard output.
void reportLogVariableWrap(LogVariable* variable);

// Reports wrapping, then puts the rows in time order (oldest first), turns
// 2-D data (one dimension, several columns) into the file's column order and
// cuts nRows down to the samples logged. When no memory is left for the
// turned copy, it goes through a temporary file named after the variable.
// Returns null, or the reason the variable cannot be written.
const char* fixupLogVariable(LogVariable* variable);

}  // namespace sim
