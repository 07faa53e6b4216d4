#include "sim/logging/log_variables.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>

#include "sim/logging/log_memory.h"
#include "sim/logging/log_messages.h"
#include "sim/logging/qmf_format.h"

namespace sim {

// ---------------------------------------------------------------------------
// Small operations

int32_t getDataTypeSize(int32_t dataType) {
  constexpr int32_t kSizeOfType[] = {8, 4, 1, 1, 2, 2, 4, 4, 1};  // by BuiltInTypeId
  if (dataType < 0 || dataType >= static_cast<int32_t>(std::size(kSizeOfType))) return 0;
  return kSizeOfType[dataType];
}

void applyLogNameModifier(const LoggingSetup* setup, char* outName, const char* name) {
  const char* modifier = setup != nullptr ? setup->nameModifier : nullptr;
  if (modifier == nullptr || std::strcmp(modifier, "none") == 0)
    std::snprintf(outName, kLogNameCapacity, "%s", name);
  else if (modifier[0] == '_')
    std::snprintf(outName, kLogNameCapacity, "%s%s", name, modifier);
  else
    std::snprintf(outName, kLogNameCapacity, "%s%s", modifier, name);
}

void initTypeConversion(TypeConversion* conversion, const TypeConversion* copyFrom,
                        int32_t dataType) {
  if (copyFrom != nullptr) {
    *conversion = *copyFrom;
    return;
  }
  *conversion = TypeConversion{};
  conversion->loggingToType = dataType;
  conversion->sourceType = dataType;
  conversion->fracSlope = 1.0;
}

void setLogErrorStatus(const char** errorStatus, const char* text) {
  if (errorStatus != nullptr && *errorStatus == nullptr) *errorStatus = text;
}

bool checkLogDecimation(int32_t decimation, const char* name, const char** errorStatus) {
  if (decimation >= 1) return true;
  std::fprintf(stderr, log_text::kDecimationNotPositive, decimation, name);
  setLogErrorStatus(errorStatus, log_text::kInvalidDecimation);
  return false;
}

// ---------------------------------------------------------------------------
// Buffer size

namespace {

constexpr double kMaxRows = 2147483647.0;
constexpr double kMaxBufferBytes = 4294967295.0;

bool isFiniteAndPositive(double t) {
  return t > 0.0 && t != std::numeric_limits<double>::infinity();
}

}  // namespace

LogBufferSize logBufferSize(const LogRunTiming& timing, double sampleTime, int32_t maxRows,
                            int32_t decimation, bool frameData, int32_t frameSize,
                            const char* name) {
  LogBufferSize size{1, 0, 0};
  // A growing buffer starts with room for at least one row.
  const int32_t growingRows = (maxRows > 0 ? maxRows : 0) + 1;
  if (isFiniteAndPositive(timing.finalTime)) {
    double ts = sampleTime;
    if (ts == -2.0) ts = timing.finalTime;
    if (ts == -1.0 || ts == 0.0) ts = timing.stepSize;
    if (ts == 0.0) {
      size.rows = growingRows;
      size.okayToRealloc = 1;
    } else {
      const double span = timing.finalTime - timing.startTime;
      double n = std::floor(span / ts) + 1;
      if ((n - 1) * ts < span) n += 1;  // the division fell just short of the last hit
      if (frameData) n *= frameSize;
      n = std::ceil(n / decimation);
      // n is NaN or far below 1 for sample times the rule does not foresee;
      // only numbers inside int32 are converted.
      if (n > kMaxRows)
        size.rows = std::numeric_limits<int32_t>::max();
      else if (n >= 1.0)
        size.rows = static_cast<int32_t>(n);
      else
        size.rows = 1;
    }
    if (maxRows > 0 && maxRows < size.rows) {
      size.rows = maxRows;
      size.okayToRealloc = 0;
    }
  } else if (timing.finalTime != 0.0) {
    if (maxRows >= 1) {
      size.rows = maxRows;
    } else if (timing.stepSize != 0.0) {
      size.rows = kDefaultLogBufferRows;
      size.usingDefaultBufferSize = 1;
      std::printf(log_text::kUsingDefaultBuffer, kDefaultLogBufferRows, name);
    } else {
      size.rows = growingRows;
      size.okayToRealloc = 1;
    }
  } else {
    size.rows = frameData ? frameSize : 1;
    if (maxRows > 0 && maxRows < size.rows) size.rows = maxRows;
  }
  // Sample times the rule does not foresee (negative, NaN) still get a row.
  if (size.rows < 1) size.rows = 1;
  return size;
}

// ---------------------------------------------------------------------------
// Matrix variables

namespace {

void printDetails(const char* details, const LogVariable& v, double bytes) {
  std::fprintf(stderr, details, v.name, v.nRows, v.nCols, static_cast<unsigned long>(v.elementSize),
               bytes);
}

// Sets *dims to `count` values, in the matrix's inline pair when they fit.
bool setDims(LogMatrix* m, int32_t count, const int32_t* values) {
  m->nDims = count;
  m->dims = m->inlineDims;
  if (count > 2) {
    m->dims = static_cast<int32_t*>(logAllocate(sizeof(int32_t) * count));
    if (m->dims == nullptr) return false;
  }
  for (int32_t d = 0; d < count; ++d) m->dims[d] = values[d];
  return true;
}

// The per-sample dimension record of a variable-size signal (mode 2), or the
// empty one of a fixed-size signal logged beside variable-size ones (mode 1).
bool addValueDimensions(LogVariable* v, const LogVariableShape& shape) {
  auto* vd = static_cast<LogValueDimensions*>(logAllocate(sizeof(LogValueDimensions)));
  if (vd == nullptr) return false;
  v->valueDimensions = vd;
  std::strcpy(vd->name, "valueDimensions");
  vd->dims = vd->inlineDims;
  vd->dataType = kTypeDouble;
  vd->elementSize = sizeof(double);
  initTypeConversion(&vd->conversion, nullptr, kTypeDouble);
  vd->classId = kQmfClassDouble;
  vd->frameSize = 1;
  if (shape.varDimsMode != 2) return true;

  const int32_t columns = shape.frameData ? 1 : shape.nDims;
  vd->nRows = v->nRows;
  vd->nCols = columns;
  setDims(vd, 1, &columns);
  vd->re = logAllocate(std::size_t(v->nRows) * columns * sizeof(double));
  vd->currentDims = shape.frameData ? shape.currentDims + 1 : shape.currentDims;
  const std::size_t indexBytes = sizeof(int32_t) * v->nDims;
  v->coords = static_cast<int32_t*>(logAllocate(indexBytes));
  v->strides = static_cast<int32_t*>(logAllocate(indexBytes));
  v->currentStrides = static_cast<int32_t*>(logAllocate(indexBytes));
  if (vd->re == nullptr || v->coords == nullptr || v->strides == nullptr ||
      v->currentStrides == nullptr)
    return false;
  // Strides of the largest size: where each element sits in a logged row.
  for (int32_t d = 0; d < v->nDims; ++d)
    v->strides[d] = d == 0 ? 1 : v->strides[d - 1] * v->dims[d - 1];
  return true;
}

void appendToList(LoggingState* state, LogVariable* v) {
  LogVariable** tail = &state->logVariableList;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = v;
}

}  // namespace

LogVariable* createLogVariable(LoggingSetup* setup, const LogRunTiming& timing,
                               const char** errorStatus, const LogVariableShape& shape,
                               bool addToList) {
  char name[kLogNameCapacity];
  if (addToList)
    applyLogNameModifier(setup, name, shape.name);
  else
    std::snprintf(name, sizeof name, "%s", shape.name);
  if (!checkLogDecimation(shape.decimation, name, errorStatus)) return nullptr;

  const int32_t elementSize = getDataTypeSize(shape.dataType);
  const int32_t nCols = shape.frameData && shape.nDims >= 2 ? shape.dims[1] : shape.nCols;
  const int32_t frameSize = shape.frameData ? shape.frameSize : 1;
  const LogBufferSize size = logBufferSize(timing, shape.sampleTime, shape.maxRows,
                                           shape.decimation, shape.frameData, frameSize, name);

  auto* v = static_cast<LogVariable*>(logAllocate(sizeof(LogVariable)));
  if (v == nullptr) {
    std::fprintf(stderr, log_text::kErrorAllocatingLogging, name);
    setLogErrorStatus(errorStatus, log_text::kMemoryAllocationError);
    return nullptr;
  }
  std::memcpy(v->name, name, sizeof name);
  v->nRows = size.rows;
  v->nCols = nCols;
  v->elementSize = elementSize;
  v->dims = v->inlineDims;
  auto fail = [&] {
    v->next = nullptr;
    destroyLogVariableList(v);
    setLogErrorStatus(errorStatus, log_text::kMemoryAllocationError);
    return nullptr;
  };

  const double bytes = double(size.rows) * elementSize * nCols;
  if (bytes >= kMaxBufferBytes) {
    std::fprintf(stderr, log_text::kTooBig, name);
    printDetails(log_text::kDetailsRequired, *v, bytes);
    return fail();
  }
  v->re = logAllocate(static_cast<std::size_t>(bytes));
  if (v->re == nullptr) {
    std::fputs(log_text::kErrorAllocatingBuffer, stderr);
    printDetails(log_text::kDetailsRequested, *v, bytes);
    return fail();
  }
  if (shape.isComplex) {
    v->im = logAllocate(static_cast<std::size_t>(bytes));
    if (v->im == nullptr) {
      std::fprintf(stderr, log_text::kErrorAllocatingImaginaryBuffer, name);
      printDetails(log_text::kDetailsRequested, *v, bytes);
      return fail();
    }
  }
  const bool dimsOk = shape.frameData ? setDims(v, 1, &nCols) : setDims(v, shape.nDims, shape.dims);
  if (!dimsOk || (shape.varDimsMode != 0 && !addValueDimensions(v, shape))) {
    std::fprintf(stderr, log_text::kErrorAllocatingLogging, name);
    return fail();
  }
  v->dataType = shape.dataType;
  initTypeConversion(&v->conversion, shape.conversion, shape.dataType);
  v->classId = logClassIdOfDataType(shape.dataType);
  v->logicalFlag = shape.dataType == kTypeBoolean ? kLogicalFlag : 0;
  v->complexFlag = shape.isComplex ? kComplexFlag : 0;
  v->frameData = shape.frameData ? 1 : 0;
  v->frameSize = frameSize;
  v->usingDefaultBufferSize = size.usingDefaultBufferSize;
  v->okayToRealloc = size.okayToRealloc;
  v->decimation = shape.decimation;
  v->numHits = -1;
  if (addToList) appendToList(setup->state, v);
  return v;
}

// ---------------------------------------------------------------------------
// Destruction

void destroyLogMatrixContents(LogMatrix* m) {
  logFree(m->re);
  logFree(m->im);
  if (m->dims != m->inlineDims) logFree(m->dims);
  m->re = m->im = nullptr;
  m->dims = m->inlineDims;
}

namespace {

void destroyLogVariable(LogVariable* v) {
  destroyLogMatrixContents(v);
  if (v->valueDimensions != nullptr) {
    destroyLogMatrixContents(v->valueDimensions);
    logFree(v->valueDimensions);
  }
  logFree(v->coords);
  logFree(v->strides);
  logFree(v->currentStrides);
  logFree(v);
}

// Frees an array of `count` matrices with their contents.
void destroyMatrixArray(LogMatrix* array, int32_t count) {
  if (array == nullptr) return;
  for (int32_t k = 0; k < count; ++k) destroyLogMatrixContents(&array[k]);
  logFree(array);
}

void destroySignalsStructure(SignalsStructure* s) {
  destroyLogVariableList(s->values);
  for (LogMatrix* array : {s->dimensions, s->label, s->plotStyle, s->title, s->blockName,
                           s->stateName, s->inReferencedModel})
    destroyMatrixArray(array, s->numSignals);
  logFree(s->isVarDims);
  *s = SignalsStructure{};
}

}  // namespace

void destroyLogVariableList(LogVariable* head) {
  while (head != nullptr) {
    LogVariable* next = head->next;
    destroyLogVariable(head);
    head = next;
  }
}

void destroyStructLogVariableList(StructLogVariable* head) {
  while (head != nullptr) {
    StructLogVariable* next = head->next;
    if (head->time != nullptr) {
      head->time->next = nullptr;
      destroyLogVariableList(head->time);
    }
    destroySignalsStructure(&head->signals);
    if (head->blockName != nullptr) {
      destroyLogMatrixContents(head->blockName);
      logFree(head->blockName);
    }
    logFree(head);
    head = next;
  }
}

void destroyLoggingState(LoggingState* state) {
  if (state == nullptr) return;
  destroyLogVariableList(state->logVariableList);
  destroyStructLogVariableList(state->structLogVariableList);
  logFree(state->outputs);
  logFree(state);
}

}  // namespace sim
