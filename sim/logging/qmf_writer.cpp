#include "sim/logging/qmf_writer.h"

#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>

#include "sim/logging/log_messages.h"
#include "sim/logging/log_records.h"
#include "sim/logging/qmf_format.h"

namespace sim {

// ---------------------------------------------------------------------------
// Class ids and element types

int32_t classIdOfDataType(int32_t dataType) {
  constexpr int32_t kClassOfType[] = {kQmfClassDouble, kQmfClassSingle, kQmfClassInt8,
                                      kQmfClassUint8,  kQmfClassInt16,  kQmfClassUint16,
                                      kQmfClassInt32,  kQmfClassUint32};
  if (dataType < 0 || dataType >= static_cast<int32_t>(std::size(kClassOfType))) return 0;
  return kClassOfType[dataType];
}

int32_t logClassIdOfDataType(int32_t dataType) {
  return dataType == kTypeBoolean ? kQmfClassUint8 : classIdOfDataType(dataType);
}

int32_t elementTypeOfClassId(int32_t classId) {
  struct Row {
    int32_t classId;
    int32_t elementType;
  };
  constexpr Row kTable[] = {
      {1, -1},         {2, -1},          {18, -1},        {4, kQmfUint16},  {6, kQmfDouble},
      {7, kQmfSingle}, {8, kQmfInt8},    {9, kQmfUint8},  {10, kQmfInt16},  {11, kQmfUint16},
      {12, kQmfInt32}, {13, kQmfUint32}, {14, kQmfInt64}, {15, kQmfUint64},
  };
  for (const Row& row : kTable)
    if (row.classId == classId) return row.elementType;
  return 0;
}

FieldNameTable signalsFieldNameTable(bool hasVariableSize, bool hasBlockOrStateNames) {
  auto table = [](const auto& names) {
    return FieldNameTable{names, static_cast<int32_t>(std::size(names))};
  };
  if (hasBlockOrStateNames)
    return hasVariableSize ? table(kSignalsFieldNamesVarDimsBlockNames)
                           : table(kSignalsFieldNamesBlockNames);
  return hasVariableSize ? table(kSignalsFieldNamesVarDims) : table(kSignalsFieldNames);
}

// ---------------------------------------------------------------------------
// Plain elements

namespace {

constexpr uint32_t kSmallElementLimit = 4;
constexpr uint64_t kMaxElementBytes = std::numeric_limits<uint32_t>::max();

// Bytes an element of nBytes data bytes takes in the file.
uint64_t paddedElementBytes(uint64_t nBytes) {
  return nBytes <= kSmallElementLimit ? 8 : 8 + ((nBytes + 7) & ~uint64_t{7});
}

struct Piece {
  const void* data;
  uint32_t bytes;
};

bool writeBytes(std::FILE* file, const void* data, std::size_t bytes) {
  return bytes == 0 || std::fwrite(data, 1, bytes, file) == bytes;
}

// Writes one plain element whose data is the concatenation of `pieces`.
bool writeElement(std::FILE* file, int32_t type, std::initializer_list<Piece> pieces) {
  static constexpr char kZeros[8] = {};
  uint32_t nBytes = 0;
  for (const Piece& piece : pieces) nBytes += piece.bytes;
  if (nBytes <= kSmallElementLimit) {
    const uint32_t word = (nBytes << 16) | static_cast<uint32_t>(type);
    if (!writeBytes(file, &word, sizeof word)) return false;
  } else {
    const uint32_t tag[2] = {static_cast<uint32_t>(type), nBytes};
    if (!writeBytes(file, tag, sizeof tag)) return false;
  }
  for (const Piece& piece : pieces)
    if (!writeBytes(file, piece.data, piece.bytes)) return false;
  const uint32_t dataArea = nBytes <= kSmallElementLimit ? kSmallElementLimit : (nBytes + 7) & ~7u;
  return writeBytes(file, kZeros, dataArea - nBytes);
}

// ---------------------------------------------------------------------------
// Matrix elements: one routine per record kind lists the sub-elements; the
// pass either adds up their sizes or writes them, so both passes agree.

class MatrixPass {
 public:
  MatrixPass(std::FILE* file, bool write) : file_(file), write_(write) {}

  bool element(int32_t type, const void* data, uint64_t nBytes) {
    if (nBytes > kMaxElementBytes) return false;
    return elementOfPieces(type, {{data, static_cast<uint32_t>(nBytes)}});
  }

  bool elementOfPieces(int32_t type, std::initializer_list<Piece> pieces) {
    if (write_) return writeElement(file_, type, pieces);
    uint64_t nBytes = 0;
    for (const Piece& piece : pieces) nBytes += piece.bytes;
    bytes_ += paddedElementBytes(nBytes);
    return true;
  }

  bool matrix(const void* record, int kind) {
    QmfItem item{kQmfMatrix, 0, record};
    if (write_) return writeQmfItem(file_, &item, kind) == 0;
    if (rt_ProcessQmfItem(file_, &item, kind, 0) != 0) return false;
    bytes_ += 8 + uint64_t{item.nBytes};
    return true;
  }

  uint64_t bytes() const { return bytes_; }

 private:
  std::FILE* file_;
  bool write_;
  uint64_t bytes_ = 0;
};

bool arrayFlags(MatrixPass& pass, int32_t classWithFlags) {
  const uint32_t flags[2] = {static_cast<uint32_t>(classWithFlags), 0};
  return pass.element(kQmfUint32, flags, sizeof flags);
}

bool twoDimensions(MatrixPass& pass, int32_t rows, int32_t cols) {
  const int32_t dims[2] = {rows, cols};
  return pass.element(kQmfInt32, dims, sizeof dims);
}

bool name(MatrixPass& pass, const char* text) {
  return pass.element(kQmfInt8, text, strnlen(text, kLogNameCapacity));
}

bool fieldNames(MatrixPass& pass, const QmfFieldName* names, int32_t count) {
  const int32_t length = kQmfFieldNameLength;
  return pass.element(kQmfInt32, &length, sizeof length) &&
         pass.element(kQmfInt8, names, uint64_t{sizeof(QmfFieldName)} * count);
}

// Data bytes of a matrix, or -1 when its sizes are negative.
int64_t matrixDataBytes(const LogMatrix& m) {
  if (m.nRows < 0 || m.nCols < 0 || m.elementSize < 0) return -1;
  return int64_t{m.elementSize} * m.nRows * m.nCols;
}

bool logMatrix(MatrixPass& pass, const LogMatrix& m) {
  const int64_t dataBytes = matrixDataBytes(m);
  const int32_t elementType = elementTypeOfClassId(m.classId);
  const bool complex = m.complexFlag != 0;
  if (dataBytes < 0 || elementType <= 0) return false;
  if (dataBytes > 0 && (m.re == nullptr || (complex && m.im == nullptr))) return false;
  if (m.nDims >= 2 && m.dims == nullptr) return false;

  if (!arrayFlags(pass, m.classId | m.logicalFlag | m.complexFlag)) return false;
  // A logged sample of an n-D signal is one more page of the array.
  const bool dimsOk =
      m.nDims < 2 ? twoDimensions(pass, m.nRows, m.nCols)
                  : pass.elementOfPieces(
                        kQmfInt32, {{m.dims, 4 * static_cast<uint32_t>(m.nDims)}, {&m.nRows, 4}});
  if (!dimsOk || !name(pass, m.name)) return false;
  if (!pass.element(elementType, m.re, dataBytes)) return false;
  return !complex || pass.element(elementType, m.im, dataBytes);
}

bool structLogVariable(MatrixPass& pass, const StructLogVariable& s) {
  const int32_t expectedFields = s.blockName != nullptr ? 3 : 2;
  if (s.time == nullptr || s.numActiveFields != expectedFields) return false;
  return arrayFlags(pass, kQmfClassStruct) && twoDimensions(pass, 1, 1) && name(pass, s.name) &&
         fieldNames(pass, kStructLogFieldNames, s.numActiveFields) &&
         pass.matrix(static_cast<const LogMatrix*>(s.time), kQmfLogMatrixItem) &&
         pass.matrix(&s.signals, kQmfSignalsItem) &&
         (s.blockName == nullptr || pass.matrix(s.blockName, kQmfLogMatrixItem));
}

// The optional per-signal arrays in the order their fields are written.
constexpr LogMatrix* SignalsStructure::*kOptionalSignalArrays[] = {
    &SignalsStructure::title, &SignalsStructure::plotStyle, &SignalsStructure::blockName,
    &SignalsStructure::stateName, &SignalsStructure::inReferencedModel};

// True when the fields present are exactly the first numActiveFields names
// of the structure's table, so that no array is read past its end.
bool signalsFieldsConsistent(const SignalsStructure& s) {
  if (s.numSignals < 0 || s.numActiveFields < 0) return false;
  if (s.numActiveFields > 0 &&
      (s.fieldNames.names == nullptr || s.numActiveFields > s.fieldNames.count))
    return false;
  if (s.numSignals == 0 && s.numActiveFields == 0) return true;
  if (s.label == nullptr) return false;
  int32_t present = 2 + (s.logValueDimensions ? 1 : 0) + (s.dimensions != nullptr ? 1 : 0);
  for (auto array : kOptionalSignalArrays) present += (s.*array != nullptr) ? 1 : 0;
  return present == s.numActiveFields;
}

bool signalsStructure(MatrixPass& pass, const SignalsStructure& s) {
  static constexpr char kSignalsName[] = "signals";
  if (!signalsFieldsConsistent(s)) return false;
  if (!arrayFlags(pass, kQmfClassStruct) || !twoDimensions(pass, 1, s.numSignals) ||
      !name(pass, kSignalsName) || !fieldNames(pass, s.fieldNames.names, s.numActiveFields))
    return false;
  const LogVariable* value = s.values;
  for (int32_t k = 0; k < s.numSignals; ++k, value = value->next) {
    if (value == nullptr) return false;
    if (!pass.matrix(static_cast<const LogMatrix*>(value), kQmfLogMatrixItem)) return false;
    if (s.logValueDimensions) {
      if (value->valueDimensions == nullptr) return false;
      if (!pass.matrix(static_cast<const LogMatrix*>(value->valueDimensions), kQmfLogMatrixItem))
        return false;
    }
    if (s.dimensions != nullptr && !pass.matrix(&s.dimensions[k], kQmfLogMatrixItem)) return false;
    if (!pass.matrix(&s.label[k], kQmfLogMatrixItem)) return false;
    for (auto array : kOptionalSignalArrays)
      if (s.*array != nullptr && !pass.matrix(&(s.*array)[k], kQmfLogMatrixItem)) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points

int writeQmfFileHeader(std::FILE* file) {
  char text[kQmfHeaderTextBytes];
  std::memset(text, ' ', sizeof text);
  std::memcpy(text, kQmfHeaderText, sizeof kQmfHeaderText - 1);
  if (std::fwrite(text, 1, sizeof text, file) != sizeof text) return 1;
  const uint16_t versionAndEndian[2] = {kQmfVersion, kQmfEndianIndicator};
  return std::fwrite(versionAndEndian, 1, sizeof versionAndEndian, file) == sizeof versionAndEndian
             ? 0
             : 1;
}

int writeQmfItem(std::FILE* file, QmfItem* item, int kind) {
  if (item->type != kQmfMatrix)
    return writeElement(file, item->type, {{item->data, item->nBytes}}) ? 0 : 1;
  if (rt_ProcessQmfItem(file, item, kind, 0) != 0) return 1;
  const uint32_t tag[2] = {static_cast<uint32_t>(kQmfMatrix), item->nBytes};
  if (std::fwrite(tag, 1, sizeof tag, file) != sizeof tag) return 1;
  return rt_ProcessQmfItem(file, item, kind, 1);
}

int rt_ProcessQmfItem(std::FILE* file, QmfItem* item, int kind, int write) {
  if (kind == kQmfDataItem) {
    std::fputs(log_text::kUnexpectedDataItem, stderr);
    return 1;
  }
  if (kind < kQmfDataItem || kind > kQmfSignalsItem) {
    std::fprintf(stderr, log_text::kUnexpectedItemKind, kind);
    return 1;
  }
  MatrixPass pass(file, write != 0);
  bool ok = false;
  switch (kind) {
    case kQmfLogMatrixItem:
      ok = logMatrix(pass, *static_cast<const LogMatrix*>(item->data));
      break;
    case kQmfStructLogItem:
      ok = structLogVariable(pass, *static_cast<const StructLogVariable*>(item->data));
      break;
    case kQmfSignalsItem:
      ok = signalsStructure(pass, *static_cast<const SignalsStructure*>(item->data));
      break;
  }
  if (!ok) return 1;
  if (write == 0) {
    if (pass.bytes() > kMaxElementBytes) return 1;
    item->nBytes = static_cast<uint32_t>(pass.bytes());
  }
  return 0;
}

}  // namespace sim
