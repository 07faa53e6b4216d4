// Appending samples to logged variables.
#pragma once

#include <cstdint>

#include "sim/logging/log_records.h"

namespace sim {

// Several signals whose elements form one sample side by side. Each piece is
// read as its own type (through its own conversion when it has one) and
// converted to the variable's when they differ; a real piece gives imaginary
// parts of 0; a null piece logs its elements as missing (NaN for floating
// point, else 0).
struct LogSamplePieces {
  const void* const* data;
  const int32_t* widths;                     // elements per piece
  const int32_t* dataTypes;                  // null: all of the variable's type
  const uint8_t* complexSignals;             // null: all real
  const TypeConversion* const* conversions;  // null (or null entries): stored as logged
  int32_t count;
};

// Appends one sample (frameSize rows for frame data) unless decimation skips
// it. A variable-size signal (isVarDims) is laid out by its current
// dimensions, missing elements filled, and those dimensions are logged too.
// A full buffer grows when it may, else the next row overwrites the oldest.
void updateLogVariable(LogVariable* variable, const void* data, bool isVarDims);
void updateLogVariableFromPieces(LogVariable* variable, const LogSamplePieces& pieces);

// Adds room for 1024 more rows. Without memory the run cannot go on: the
// failure is reported and the program exits with status 1.
void growLogVariable(LogVariable* variable);

}  // namespace sim
