// Constants of the level-5 matrix file: header, element types, class ids and
// the field-name tables of structures.
#pragma once

#include <cstdint>

#include "sim/logging/log_records.h"

namespace sim {

inline constexpr char kQmfHeaderText[] = "QUOMAX 5.0 QMF-file";
inline constexpr int kQmfHeaderTextBytes = 124;  // text padded with blanks
inline constexpr int kQmfHeaderBytes = 128;
inline constexpr uint16_t kQmfVersion = 0x0100;
inline constexpr uint16_t kQmfEndianIndicator = 0x4D49;  // "IM" when little-endian

// Data element types.
enum QmfElementType : int32_t {
  kQmfInt8 = 1,
  kQmfUint8 = 2,
  kQmfInt16 = 3,
  kQmfUint16 = 4,
  kQmfInt32 = 5,
  kQmfUint32 = 6,
  kQmfSingle = 7,
  kQmfDouble = 9,
  kQmfInt64 = 12,
  kQmfUint64 = 13,
  kQmfMatrix = 14,
};

// Class ids written in a matrix's array flags.
enum QmfClassId : int32_t {
  kQmfClassStruct = 2,
  kQmfClassChar = 4,
  kQmfClassDouble = 6,
  kQmfClassSingle = 7,
  kQmfClassInt8 = 8,
  kQmfClassUint8 = 9,
  kQmfClassInt16 = 10,
  kQmfClassUint16 = 11,
  kQmfClassInt32 = 12,
  kQmfClassUint32 = 13,
};

// Every field name takes 64 bytes; the file says so in each structure.
inline constexpr int32_t kQmfFieldNameLength = 64;
static_assert(sizeof(QmfFieldName) == kQmfFieldNameLength);

// Fields of a structure variable; the first numActiveFields are written.
inline constexpr QmfFieldName kStructLogFieldNames[] = {{"time"}, {"signals"}, {"blockName"}};

// Fields of a signals structure, chosen by whether some signal has variable
// size and whether block or state names are logged.
inline constexpr QmfFieldName kSignalsFieldNames[] = {
    {"values"}, {"dimensions"}, {"label"}, {"title"}, {"plotStyle"}};
inline constexpr QmfFieldName kSignalsFieldNamesVarDims[] = {
    {"values"}, {"valueDimensions"}, {"dimensions"}, {"label"}, {"title"}, {"plotStyle"}};
inline constexpr QmfFieldName kSignalsFieldNamesBlockNames[] = {
    {"values"}, {"dimensions"}, {"label"}, {"blockName"}, {"stateName"}, {"inReferencedModel"}};
inline constexpr QmfFieldName kSignalsFieldNamesVarDimsBlockNames[] = {
    {"values"},    {"valueDimensions"}, {"dimensions"},       {"label"},
    {"blockName"}, {"stateName"},       {"inReferencedModel"}};

FieldNameTable signalsFieldNameTable(bool hasVariableSize, bool hasBlockOrStateNames);

// File class of a built-in type (0 for an unknown type).
int32_t classIdOfDataType(int32_t dataType);
// As classIdOfDataType, except that boolean is stored as uint8 (with the
// logical flag).
int32_t logClassIdOfDataType(int32_t dataType);
// Element type of a class's real and imaginary data: -1 for classes that hold
// no plain data, 0 for unknown classes.
int32_t elementTypeOfClassId(int32_t classId);

}  // namespace sim
