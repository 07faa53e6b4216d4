// The logger's records: matrices being logged, matrix variables, structure
// variables with their signals structure, and the per-run logging state.
//
// A logged sample is one row of nCols elements; rows are stored one after the
// other in a buffer of nRows rows that is used circularly. Just before a
// variable is written its rows are put in time order and, for 2-D data,
// turned into the file's column order (log_fixup.h).
//
// Every record and buffer here is allocated with the logger's allocator
// (log_memory.h) and owned by the record that points to it; the lists in
// LoggingState own their variables.
#pragma once

#include <cstdint>

namespace sim {

// Longest variable name kept, plus its terminating NUL.
inline constexpr int kLogNameCapacity = 64;

// Built-in data type ids of logged signals.
enum BuiltInTypeId : int32_t {
  kTypeDouble = 0,
  kTypeSingle = 1,
  kTypeInt8 = 2,
  kTypeUint8 = 3,
  kTypeInt16 = 4,
  kTypeUint16 = 5,
  kTypeInt32 = 6,
  kTypeUint32 = 7,
  kTypeBoolean = 8,
};

// Flags or-ed into a matrix's class id in the file.
inline constexpr int32_t kLogicalFlag = 0x200;
inline constexpr int32_t kComplexFlag = 0x800;

// How a stored value becomes the logged value: read as sourceType (or as a
// fixed-point number of numberOfChunks 32-bit chunks), scaled to
// bias + fracSlope * value * 2^fixedExponent, stored as loggingToType.
struct TypeConversion {
  int32_t conversionNeeded;
  int32_t loggingToType;
  int32_t sourceType;
  int32_t bitsPerChunk;
  int32_t numberOfChunks;
  int32_t isSigned;
  double fracSlope;
  int32_t fixedExponent;
  double bias;
};

// The common head of every logged or written matrix.
struct LogMatrix {
  char name[kLogNameCapacity];
  int32_t nRows;  // buffer capacity while logging; rows to write after fix-up
  int32_t nCols;  // elements per row: product of the signal's dimensions
  int32_t nDims;
  int32_t inlineDims[2];
  int32_t* dims;  // inlineDims when nDims < 3, else its own allocation
  void* re;       // nRows x nCols x elementSize bytes, row after row
  void* im;       // same size, complex data only
  int32_t dataType;
  int32_t elementSize;
  TypeConversion conversion;
  int32_t classId;
  int32_t logicalFlag;
  int32_t complexFlag;
  int32_t frameData;
  int32_t frameSize;  // rows per frame; 1 when not frame data
};

// Per-sample dimensions of a variable-size signal: an nRows x k double matrix
// stored column after column (column j starts at j x nRows).
struct LogValueDimensions : LogMatrix {
  const int32_t* currentDims;  // the signal's current dimensions
};

struct LogVariable : LogMatrix {
  LogValueDimensions* valueDimensions;  // variable-size signals only
  int32_t rowIdx;                       // next row to fill
  int32_t wrapped;                      // times the buffer wrapped
  int32_t nDataPoints;                  // samples logged, set by fix-up
  int32_t usingDefaultBufferSize;
  int32_t okayToRealloc;
  int32_t decimation;
  int32_t numHits;  // starts at -1 so that the first sample is logged
  int32_t* coords;  // the next three: int32[nDims], variable-size signals only
  int32_t* strides;
  int32_t* currentStrides;
  LogVariable* next;
};

// One field name of a structure in the file: NUL-padded to 64 bytes.
struct QmfFieldName {
  char text[64];
};

struct FieldNameTable {
  const QmfFieldName* names;
  int32_t count;
};

// The "signals" field of a structure variable: a 1 x numSignals structure
// array whose fields are the per-signal arrays below that exist.
struct SignalsStructure {
  int32_t numActiveFields;
  FieldNameTable fieldNames;
  int32_t numSignals;
  LogVariable* values;  // chain of numSignals value variables
  // Arrays of numSignals matrices; each array may be absent (null).
  LogMatrix* dimensions;
  LogMatrix* label;
  LogMatrix* plotStyle;
  LogMatrix* title;
  LogMatrix* blockName;
  LogMatrix* stateName;
  LogMatrix* inReferencedModel;
  uint8_t logValueDimensions;  // some signal has variable size
  uint8_t* isVarDims;          // one byte per signal
};

struct StructLogVariable {
  char name[kLogNameCapacity];
  int32_t numActiveFields;  // 2 ("time", "signals"), 3 with "blockName"
  uint8_t logTime;
  LogVariable* time;  // logged time, or an empty 0 x 0 double matrix "time"
  SignalsStructure signals;
  LogMatrix* blockName;  // 1 x n char matrix, or null
  StructLogVariable* next;
};

// Format of the state and output variables.
enum LogFormat : int32_t {
  kLogFormatMatrix = 0,
  kLogFormatStructure = 1,
  kLogFormatStructureWithTime = 2,
};

// A state or output variable: a matrix variable in matrix format, a
// structure variable otherwise; the other pointer is null. Both belong to the
// lists of LoggingState.
struct LogSlot {
  LogVariable* matrix;
  StructLogVariable* structure;
};

struct LoggingState {
  LogVariable* time;
  LogSlot states;
  StructLogVariable* loggedSignals;
  int32_t numOutputs;
  LogSlot* outputs;  // numOutputs entries
  LogSlot finalStates;
  LogVariable* logVariableList;  // every LogVariable of this run, in order
  StructLogVariable* structLogVariableList;
};

// The signals a model logs together (its states, its outputs or its logged
// signals): per-signal arrays of numSignals entries. An optional array left
// null means "none" (real data, no frames, no names, no variable size...).
// Signal data are laid out column after column; a complex signal's elements
// interleave real and imaginary parts; a frame signal of dims [frameSize, n]
// holds frameSize rows of n elements.
struct LogSignalDescription {
  int32_t numSignals;
  double sampleTime;      // -2: once per run; -1 or 0: every step
  const int32_t* widths;  // elements per signal
  const int32_t* numDimensions;
  const int32_t* const* dimensions;          // per signal: numDimensions[k] values
  const int32_t* dataTypes;                  // BuiltInTypeId
  const TypeConversion* const* conversions;  // per signal, null: stored as logged
  const uint8_t* complexSignals;
  const uint8_t* frameData;
  const uint8_t* isVarDims;                 // variable-size signals
  const int32_t* const* currentDimensions;  // their current dimensions
  const char* const* labels;
  const char* title;                // one text for all signals...
  const int32_t* titleLengths;      // ...or cut into per-signal pieces of these lengths
  const double* const* plotStyles;  // per signal: widths[k] values
  // With block or state names the signals are described by block, state and
  // referenced-model fields; without, by title and plot style.
  const char* const* blockNames;
  const char* const* stateNames;
  const uint8_t* crossModelFlags;  // signal comes from a referenced model
};

// What the model asks to log; owned and filled by the model.
struct LoggingSetup {
  LoggingState* state;               // null outside startDataLogging .. stopDataLogging
  const void* const* stateSignals;   // one pointer per state vector
  const void* const* outputSignals;  // one pointer per model output
  const void* unused;
  int32_t format;            // LogFormat
  int32_t maxRows;           // keep only the last maxRows rows; 0 or less: no limit
  int32_t decimation;        // log every n-th hit
  const char* nameModifier;  // null or "none": names as they are
  // Variable names; an empty name means the variable is not logged.
  const char* timeName;
  const char* stateName;
  const char* finalStateName;
  const char* outputNames;  // comma-separated
  const char* loggedSignalsName;
  const LogSignalDescription* stateSignalsDescription;
  const LogSignalDescription* outputSignalsDescription;
  const LogSignalDescription* loggedSignalsDescription;
};

}  // namespace sim
