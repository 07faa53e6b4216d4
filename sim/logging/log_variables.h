// Creating and destroying the logger's variables.
//
// A variable's buffer is sized once from the run: one row per sample hit
// between start and final time (after decimation), capped by the row limit.
// Only variables whose length cannot be known (zero sample time, open-ended
// runs without a row limit) grow, 1024 rows at a time; the rest wrap.
#pragma once

#include <cstdint>

#include "sim/logging/log_records.h"

namespace sim {

struct LogRunTiming {
  double startTime;
  double finalTime;  // 0: one sample; negative or infinite: open-ended
  double stepSize;
};

// Everything createLogVariable needs to know about the logged signal.
struct LogVariableShape {
  const char* name;
  int32_t dataType;                  // BuiltInTypeId of the logged values
  const TypeConversion* conversion;  // null: stored as they are
  bool isComplex;
  bool frameData;
  int32_t frameSize;  // rows per frame (frame data)
  int32_t nCols;      // elements per sample (frame data: dims[1])
  int32_t nDims;
  const int32_t* dims;
  int32_t varDimsMode;  // 0 fixed size; 1 fixed, beside variable-size signals; 2 variable size
  const int32_t* currentDims;  // variable size: the signal's current dimensions
  int32_t maxRows;
  int32_t decimation;
  double sampleTime;
};

struct LogBufferSize {
  int32_t rows;
  int32_t okayToRealloc;
  int32_t usingDefaultBufferSize;
};

inline constexpr int32_t kDefaultLogBufferRows = 1024;
inline constexpr int32_t kLogBufferGrowthRows = 1024;

// Bytes of one element of a built-in type; 0 for unknown ids.
int32_t getDataTypeSize(int32_t dataType);

// Copies `name` to outName (64 bytes) with the setup's name modifier: none or
// "none" leaves it, one beginning with '_' is appended, any other is put in
// front; the result is cut to 63 characters.
void applyLogNameModifier(const LoggingSetup* setup, char* outName, const char* name);

// Copies copyFrom, or without one sets "no conversion" for `dataType`.
void initTypeConversion(TypeConversion* conversion, const TypeConversion* copyFrom,
                        int32_t dataType);

// Rows of a variable's buffer; may print the default-buffer note.
LogBufferSize logBufferSize(const LogRunTiming& timing, double sampleTime, int32_t maxRows,
                            int32_t decimation, bool frameData, int32_t frameSize,
                            const char* name);

// The new variable, appended to the logging state's list when addToList (and
// then named through the modifier); null after a failure, which is reported
// on standard error and leaves *errorStatus set.
LogVariable* createLogVariable(LoggingSetup* setup, const LogRunTiming& timing,
                               const char** errorStatus, const LogVariableShape& shape,
                               bool addToList);

// A structure variable of the described signals (none without a
// description), with logged time when logTime and a block name when given;
// appended to the logging state's structure list. Null after a failure.
StructLogVariable* createStructLogVariable(LoggingSetup* setup, const LogRunTiming& timing,
                                           const char** errorStatus, const char* name, bool logTime,
                                           int32_t maxRows, int32_t decimation, double sampleTime,
                                           const LogSignalDescription* description,
                                           const char* blockName);

// Frees a matrix's buffers and separate dimension array, not the record.
void destroyLogMatrixContents(LogMatrix* matrix);

// Free whole chains (through `next`) with every buffer they own.
void destroyLogVariableList(LogVariable* head);
void destroyStructLogVariableList(StructLogVariable* head);

// Frees both variable lists, the output table and the state record.
void destroyLoggingState(LoggingState* state);

// Sets the error status unless one is set already.
void setLogErrorStatus(const char** errorStatus, const char* text);

// A decimation below 1 would divide by zero: it is reported and refused.
bool checkLogDecimation(int32_t decimation, const char* name, const char** errorStatus);

}  // namespace sim
