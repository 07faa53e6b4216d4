// Structure variables: logged time, the "signals" structure array with one
// value variable and a set of describing matrices per signal, and an
// optional block name.
#include <cstdio>
#include <cstring>

#include "sim/logging/log_memory.h"
#include "sim/logging/log_messages.h"
#include "sim/logging/log_variables.h"
#include "sim/logging/qmf_format.h"

namespace sim {

namespace {

LogMatrix* allocateMatrixArray(int32_t count) {
  auto* array = static_cast<LogMatrix*>(logAllocate(sizeof(LogMatrix) * count));
  if (array != nullptr)
    for (int32_t k = 0; k < count; ++k) array[k].dims = array[k].inlineDims;
  return array;
}

// A 1 x n matrix (0 x 0 when empty) of 16-bit characters.
bool makeCharMatrix(LogMatrix* m, const char* name, const char* text, std::size_t length) {
  std::snprintf(m->name, sizeof m->name, "%s", name);
  const int32_t n = static_cast<int32_t>(length);
  m->nRows = n > 0 ? 1 : 0;
  m->nCols = n;
  m->nDims = 1;
  m->dims = m->inlineDims;
  m->inlineDims[0] = n;
  m->dataType = kTypeUint16;
  m->elementSize = 2;
  m->classId = kQmfClassChar;
  m->frameSize = 1;
  auto* chars = static_cast<uint16_t*>(logAllocate(2 * length));
  if (chars == nullptr) return false;
  for (std::size_t k = 0; k < length; ++k) chars[k] = static_cast<unsigned char>(text[k]);
  m->re = chars;
  return true;
}

bool makeCharMatrix(LogMatrix* m, const char* name, const char* text) {
  return makeCharMatrix(m, name, text, text != nullptr ? std::strlen(text) : 0);
}

// A 1 x count double matrix.
bool makeDoubleRow(LogMatrix* m, const char* name, const double* values, int32_t count,
                   int32_t logicalFlag = 0) {
  std::snprintf(m->name, sizeof m->name, "%s", name);
  m->nRows = 1;
  m->nCols = count;
  m->nDims = 1;
  m->dims = m->inlineDims;
  m->inlineDims[0] = count;
  m->dataType = kTypeDouble;
  m->elementSize = sizeof(double);
  m->classId = kQmfClassDouble;
  m->logicalFlag = logicalFlag;
  m->frameSize = 1;
  auto* row = static_cast<double*>(logAllocate(sizeof(double) * count));
  if (row == nullptr) return false;
  for (int32_t k = 0; k < count; ++k) row[k] = values != nullptr ? values[k] : 0.0;
  m->re = row;
  return true;
}

// A 1 x nDims double matrix of a signal's dimensions.
bool makeDimensionsRow(LogMatrix* m, const int32_t* dims, int32_t nDims) {
  if (!makeDoubleRow(m, "dimensions", nullptr, nDims)) return false;
  for (int32_t j = 0; j < nDims; ++j) static_cast<double*>(m->re)[j] = dims[j];
  return true;
}

const char* entry(const char* const* texts, int32_t k) {
  return texts != nullptr ? texts[k] : nullptr;
}

bool flag(const uint8_t* flags, int32_t k) {
  return flags != nullptr && flags[k] != 0;
}

// Signal k's piece of the common title: the next titleLengths[k] characters
// (kept inside the text), or the whole title without lengths.
struct TitlePiece {
  const char* text;
  std::size_t length;
};

TitlePiece titlePiece(const LogSignalDescription& d, int32_t k, std::size_t* offset) {
  const std::size_t total = d.title != nullptr ? std::strlen(d.title) : 0;
  if (d.titleLengths == nullptr) return {d.title, total};
  const std::size_t begin = *offset < total ? *offset : total;
  std::size_t length = d.titleLengths[k] > 0 ? std::size_t(d.titleLengths[k]) : 0;
  if (length > total - begin) length = total - begin;
  *offset = begin + length;
  return {d.title + begin, length};
}

bool buildSignalArrays(SignalsStructure* s, const LogSignalDescription& d, bool withNames) {
  const int32_t n = d.numSignals;
  s->dimensions = allocateMatrixArray(n);
  s->label = allocateMatrixArray(n);
  if (s->dimensions == nullptr || s->label == nullptr) return false;
  if (withNames) {
    s->blockName = allocateMatrixArray(n);
    s->stateName = allocateMatrixArray(n);
    s->inReferencedModel = allocateMatrixArray(n);
    if (s->blockName == nullptr || s->stateName == nullptr || s->inReferencedModel == nullptr)
      return false;
  } else {
    s->title = allocateMatrixArray(n);
    s->plotStyle = allocateMatrixArray(n);
    if (s->title == nullptr || s->plotStyle == nullptr) return false;
  }
  std::size_t titleOffset = 0;
  for (int32_t k = 0; k < n; ++k) {
    if (!makeDimensionsRow(&s->dimensions[k], d.dimensions[k], d.numDimensions[k]) ||
        !makeCharMatrix(&s->label[k], "label", entry(d.labels, k)))
      return false;
    if (withNames) {
      const double crossModel = flag(d.crossModelFlags, k) ? 1.0 : 0.0;
      if (!makeCharMatrix(&s->blockName[k], "blockName", entry(d.blockNames, k)) ||
          !makeCharMatrix(&s->stateName[k], "stateName", entry(d.stateNames, k)) ||
          !makeDoubleRow(&s->inReferencedModel[k], "inReferencedModel", &crossModel, 1,
                         kLogicalFlag))
        return false;
    } else {
      const TitlePiece piece = titlePiece(d, k, &titleOffset);
      const double* style = d.plotStyles != nullptr ? d.plotStyles[k] : nullptr;
      if (!makeCharMatrix(&s->title[k], "title", piece.text, piece.length) ||
          !makeDoubleRow(&s->plotStyle[k], "plotStyle", style, d.widths[k]))
        return false;
    }
  }
  return true;
}

// Fills the signals structure of the description. Every field of the chosen
// field-name table is built, so the table and the arrays always agree.
bool createSignalsStructure(SignalsStructure* s, LoggingSetup* setup, const LogRunTiming& timing,
                            const char** errorStatus, const LogSignalDescription& d,
                            int32_t maxRows, int32_t decimation, double sampleTime) {
  const int32_t n = d.numSignals;
  bool anyVarDims = false;
  for (int32_t k = 0; k < n; ++k) anyVarDims = anyVarDims || flag(d.isVarDims, k);
  const bool withNames = d.blockNames != nullptr || d.stateNames != nullptr;
  s->numSignals = n;
  s->fieldNames = signalsFieldNameTable(anyVarDims, withNames);
  s->numActiveFields = s->fieldNames.count;
  s->logValueDimensions = anyVarDims ? 1 : 0;
  s->isVarDims = static_cast<uint8_t*>(logAllocate(n));
  if (s->isVarDims == nullptr) return false;

  LogVariable** tail = &s->values;
  for (int32_t k = 0; k < n; ++k) {
    const bool varDims = flag(d.isVarDims, k);
    s->isVarDims[k] = varDims ? 1 : 0;
    const bool frame = flag(d.frameData, k);
    LogVariableShape shape{};
    shape.name = "values";
    shape.dataType = d.dataTypes[k];
    shape.conversion = d.conversions != nullptr ? d.conversions[k] : nullptr;
    shape.isComplex = flag(d.complexSignals, k);
    shape.frameData = frame;
    shape.frameSize = frame ? d.dimensions[k][0] : 1;
    shape.nCols = d.widths[k];
    shape.nDims = d.numDimensions[k];
    shape.dims = d.dimensions[k];
    shape.varDimsMode = varDims ? 2 : anyVarDims ? 1 : 0;
    shape.currentDims = d.currentDimensions != nullptr ? d.currentDimensions[k] : nullptr;
    shape.maxRows = maxRows;
    shape.decimation = decimation;
    shape.sampleTime = sampleTime;
    *tail = createLogVariable(setup, timing, errorStatus, shape, false);
    if (*tail == nullptr) return false;
    tail = &(*tail)->next;
  }
  return buildSignalArrays(s, d, withNames);
}

// The "time" field of a structure that does not log time: 0 x 0 doubles.
LogVariable* emptyTimeVariable() {
  auto* time = static_cast<LogVariable*>(logAllocate(sizeof(LogVariable)));
  if (time == nullptr) return nullptr;
  std::strcpy(time->name, "time");
  time->dims = time->inlineDims;
  time->dataType = kTypeDouble;
  time->elementSize = sizeof(double);
  initTypeConversion(&time->conversion, nullptr, kTypeDouble);
  time->classId = kQmfClassDouble;
  time->frameSize = 1;
  time->decimation = 1;
  time->numHits = -1;
  return time;
}

}  // namespace

StructLogVariable* createStructLogVariable(LoggingSetup* setup, const LogRunTiming& timing,
                                           const char** errorStatus, const char* name, bool logTime,
                                           int32_t maxRows, int32_t decimation, double sampleTime,
                                           const LogSignalDescription* description,
                                           const char* blockName) {
  auto* s = static_cast<StructLogVariable*>(logAllocate(sizeof(StructLogVariable)));
  char fullName[kLogNameCapacity];
  applyLogNameModifier(setup, fullName, name);
  auto fail = [&](const char* message) {
    std::fprintf(stderr, message, fullName);
    destroyStructLogVariableList(s);
    setLogErrorStatus(errorStatus, log_text::kMemoryAllocationError);
    return nullptr;
  };
  if (s == nullptr) return fail(log_text::kErrorCreatingLogVariable);
  std::memcpy(s->name, fullName, sizeof fullName);
  s->numActiveFields = 2;
  if (!checkLogDecimation(decimation, fullName, errorStatus)) {
    destroyStructLogVariableList(s);
    return nullptr;
  }

  s->logTime = logTime ? 1 : 0;
  if (logTime) {
    static constexpr int32_t kOneColumn = 1;
    LogVariableShape time{};
    time.name = "time";
    time.dataType = kTypeDouble;
    time.nCols = 1;
    time.nDims = 1;
    time.dims = &kOneColumn;
    time.maxRows = maxRows;
    time.decimation = decimation;
    time.sampleTime = sampleTime;
    s->time = createLogVariable(setup, timing, errorStatus, time, false);
  } else {
    s->time = emptyTimeVariable();
  }
  if (s->time == nullptr) return fail(log_text::kErrorCreatingLogVariable);

  if (description != nullptr &&
      !createSignalsStructure(&s->signals, setup, timing, errorStatus, *description, maxRows,
                              decimation, sampleTime))
    return fail(log_text::kErrorCreatingSignalsStructure);

  if (blockName != nullptr) {
    s->blockName = static_cast<LogMatrix*>(logAllocate(sizeof(LogMatrix)));
    if (s->blockName == nullptr || !makeCharMatrix(s->blockName, "blockName", blockName))
      return fail(log_text::kErrorCreatingLogVariable);
    s->numActiveFields += 1;
  }

  StructLogVariable** tail = &setup->state->structLogVariableList;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = s;
  return s;
}

}  // namespace sim
