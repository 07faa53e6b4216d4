#include "sim/logging/log_update.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "sim/logging/log_memory.h"
#include "sim/logging/log_messages.h"
#include "sim/logging/log_variables.h"
#include "sim/numeric/numeric_routines.h"

namespace sim {

namespace {

// ---------------------------------------------------------------------------
// Reading and storing one element

// Bytes of one stored input element (one part of a complex element) that
// conversion `c` reads; `loggedBytes` when nothing is converted.
std::size_t storedElementBytes(const TypeConversion& c, std::size_t loggedBytes) {
  if (!c.conversionNeeded) return loggedBytes;
  if (c.numberOfChunks > 1) return 4 * std::size_t(c.numberOfChunks);
  return getDataTypeSize(c.sourceType);
}

std::size_t inputElementBytes(const LogVariable& v) {
  return storedElementBytes(v.conversion, v.elementSize);
}

template <class T>
T load(const char* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

double readBuiltIn(const char* p, int32_t type) {
  switch (type) {
    case kTypeDouble:
      return load<double>(p);
    case kTypeSingle:
      return load<float>(p);
    case kTypeInt8:
      return load<int8_t>(p);
    case kTypeUint8:
    case kTypeBoolean:
      return load<uint8_t>(p);
    case kTypeInt16:
      return load<int16_t>(p);
    case kTypeUint16:
      return load<uint16_t>(p);
    case kTypeInt32:
      return load<int32_t>(p);
    case kTypeUint32:
      return load<uint32_t>(p);
  }
  return 0.0;
}

// The stored value as a number: a built-in value, or a fixed-point integer
// of several 32-bit chunks (least significant chunk first in memory), the
// most significant of them signed when the type is.
double readStoredInteger(const char* p, const TypeConversion& c) {
  if (c.numberOfChunks <= 1) return readBuiltIn(p, c.sourceType);
  double value = 0.0;
  for (int32_t chunk = c.numberOfChunks - 1; chunk >= 0; --chunk) {
    const char* at = p + 4 * chunk;
    const bool top = chunk == c.numberOfChunks - 1;
    const double part = top && c.isSigned ? double(load<int32_t>(at)) : double(load<uint32_t>(at));
    value = std::ldexp(value, c.bitsPerChunk) + part;
  }
  return value;
}

// Stores `value` as `type`, saturating at the type's range (NaN stores 0).
template <class T>
void storeSaturated(char* p, double value) {
  T stored{};
  if (value >= double(std::numeric_limits<T>::max()))
    stored = std::numeric_limits<T>::max();
  else if (value <= double(std::numeric_limits<T>::lowest()))
    stored = std::numeric_limits<T>::lowest();
  else if (value == value)
    stored = static_cast<T>(value);
  std::memcpy(p, &stored, sizeof stored);
}

void storeAs(char* p, int32_t type, double value) {
  switch (type) {
    case kTypeDouble:
      std::memcpy(p, &value, sizeof value);
      return;
    case kTypeSingle: {
      const float f = static_cast<float>(value);
      std::memcpy(p, &f, sizeof f);
      return;
    }
    case kTypeInt8:
      return storeSaturated<int8_t>(p, value);
    case kTypeUint8:
      return storeSaturated<uint8_t>(p, value);
    case kTypeInt16:
      return storeSaturated<int16_t>(p, value);
    case kTypeUint16:
      return storeSaturated<uint16_t>(p, value);
    case kTypeInt32:
      return storeSaturated<int32_t>(p, value);
    case kTypeUint32:
      return storeSaturated<uint32_t>(p, value);
    case kTypeBoolean:
      *p = value != 0.0 ? 1 : 0;
      return;
  }
}

// What a missing element of a variable-size signal is logged as.
void storeFill(char* p, int32_t type, int32_t elementSize) {
  if (type == kTypeDouble)
    std::memcpy(p, &kNaNBits, sizeof kNaNBits);
  else if (type == kTypeSingle)
    std::memcpy(p, &kNaNFloatBits, sizeof kNaNFloatBits);
  else
    std::memset(p, 0, elementSize);
}

// Where one element of a sample is stored.
struct SourceElement {
  const char* re;                    // null: the element is missing
  const char* im;                    // null: no imaginary part (logged as 0)
  int32_t type;                      // built-in type of the stored values
  const TypeConversion* conversion;  // null: the variable's own
};

void storeElement(LogVariable& v, std::size_t at, const SourceElement& source) {
  char* re = static_cast<char*>(v.re) + at * v.elementSize;
  char* im = v.im != nullptr ? static_cast<char*>(v.im) + at * v.elementSize : nullptr;
  if (source.re == nullptr) {
    storeFill(re, v.dataType, v.elementSize);
    if (im != nullptr) storeFill(im, v.dataType, v.elementSize);
    return;
  }
  const TypeConversion& c = source.conversion != nullptr ? *source.conversion : v.conversion;
  auto put = [&](char* target, const char* from) {
    if (from == nullptr)
      storeAs(target, v.dataType, 0.0);
    else if (c.conversionNeeded)
      storeAs(target, v.dataType,
              c.bias + std::ldexp(c.fracSlope * readStoredInteger(from, c), c.fixedExponent));
    else if (source.type == v.dataType)
      std::memcpy(target, from, v.elementSize);
    else
      storeAs(target, v.dataType, readBuiltIn(from, source.type));
  };
  put(re, source.re);
  if (im != nullptr) put(im, source.im);
}

// ---------------------------------------------------------------------------
// Rows

// The index of row element `col` in the signal's current data, or -1 when
// the element lies outside the current size.
long currentIndex(const LogVariable& v, int32_t col) {
  const int32_t* current = v.valueDimensions->currentDims;
  long index = 0;
  long rest = col;
  for (int32_t d = v.nDims - 1; d >= 0; --d) {
    v.coords[d] = static_cast<int32_t>(rest / v.strides[d]);
    rest %= v.strides[d];
    if (v.coords[d] >= current[d]) return -1;
    index += long(v.coords[d]) * v.currentStrides[d];
  }
  return index;
}

bool logsVariableSize(const LogVariable& v, bool isVarDims) {
  return isVarDims && v.valueDimensions != nullptr && v.valueDimensions->re != nullptr &&
         v.valueDimensions->currentDims != nullptr && v.coords != nullptr;
}

void advanceRow(LogVariable* v) {
  if (++v->rowIdx < v->nRows) return;
  if (v->okayToRealloc) {
    growLogVariable(v);
  } else {
    ++v->wrapped;
    v->rowIdx = 0;
  }
}

// Appends one sample; sourceOf(i, bytes) gives element i of the sample's data
// in column order.
template <class SourceOf>
void appendSample(LogVariable* v, bool isVarDims, SourceOf sourceOf) {
  const std::size_t inBytes = inputElementBytes(*v);
  const int32_t rowsPerSample = v->frameData ? v->frameSize : 1;
  const bool varDims = logsVariableSize(*v, isVarDims);
  if (varDims) {
    // A current size beyond the largest size is read as the largest, so the
    // signal's data is never read past its end.
    const int32_t* current = v->valueDimensions->currentDims;
    for (int32_t d = 1, stride = 1; d <= v->nDims; ++d) {
      v->currentStrides[d - 1] = stride;
      const int32_t extent = current[d - 1] < v->dims[d - 1] ? current[d - 1] : v->dims[d - 1];
      stride *= extent > 0 ? extent : 0;
    }
  }
  for (int32_t row = 0; row < rowsPerSample; ++row) {
    v->numHits += 1;
    if (v->numHits % v->decimation != 0) continue;
    v->numHits = 0;
    const std::size_t rowStart = std::size_t(v->rowIdx) * v->nCols;
    for (int32_t col = 0; col < v->nCols; ++col) {
      const long index = varDims ? currentIndex(*v, col) : col;
      const SourceElement source = index < 0 ? SourceElement{nullptr, nullptr, v->dataType, nullptr}
                                             : sourceOf(index * rowsPerSample + row, inBytes);
      storeElement(*v, rowStart + col, source);
    }
    if (varDims) {
      LogValueDimensions* vd = v->valueDimensions;
      for (int32_t j = 0; j < vd->nCols; ++j)
        static_cast<double*>(vd->re)[std::size_t(j) * vd->nRows + v->rowIdx] = vd->currentDims[j];
    }
    advanceRow(v);
  }
}

// ---------------------------------------------------------------------------
// Growth

[[noreturn]] void growthFailed(const char* details, const char* name, const char* suffix,
                               int32_t nRows, int32_t nCols, int32_t elementSize,
                               double currentBytes, double failedBytes) {
  std::fputs(log_text::kGrowFailed, stderr);
  if (suffix != nullptr)
    std::fprintf(stderr, details, name, suffix, nRows, nCols,
                 static_cast<unsigned long>(elementSize), currentBytes, failedBytes);
  else
    std::fprintf(stderr, details, name, nRows, nCols, static_cast<unsigned long>(elementSize),
                 currentBytes, failedBytes);
  std::exit(1);
}

// The new size of a buffer, or 0 when it cannot be had on this machine.
std::size_t grownBytes(double bytes) {
  constexpr double kLimit = 4294967295.0;
  return bytes < kLimit && bytes <= double(std::numeric_limits<std::size_t>::max())
             ? static_cast<std::size_t>(bytes)
             : 0;
}

}  // namespace

void updateLogVariable(LogVariable* v, const void* data, bool isVarDims) {
  const char* base = static_cast<const char*>(data);
  appendSample(v, isVarDims, [&](long index, std::size_t inBytes) {
    const char* re = base + index * (v->complexFlag ? 2 * inBytes : inBytes);
    return SourceElement{re, v->complexFlag ? re + inBytes : nullptr, v->dataType, nullptr};
  });
}

void updateLogVariableFromPieces(LogVariable* v, const LogSamplePieces& pieces) {
  appendSample(v, false, [&](long index, std::size_t) {
    for (int32_t p = 0; p < pieces.count; ++p) {
      if (index >= pieces.widths[p]) {
        index -= pieces.widths[p];
        continue;
      }
      const int32_t type = pieces.dataTypes != nullptr ? pieces.dataTypes[p] : v->dataType;
      const bool complex =
          pieces.complexSignals != nullptr ? pieces.complexSignals[p] != 0 : v->complexFlag != 0;
      if (pieces.data[p] == nullptr) return SourceElement{nullptr, nullptr, type, nullptr};
      // A piece stored in another form (fixed point) is read and scaled by
      // its own conversion.
      const TypeConversion* conversion =
          pieces.conversions != nullptr ? pieces.conversions[p] : nullptr;
      const std::size_t bytes = conversion != nullptr
                                    ? storedElementBytes(*conversion, getDataTypeSize(type))
                                    : getDataTypeSize(type);
      const char* re = static_cast<const char*>(pieces.data[p]) + index * (complex ? 2 : 1) * bytes;
      return SourceElement{re, complex ? re + bytes : nullptr, type, conversion};
    }
    return SourceElement{nullptr, nullptr, v->dataType, nullptr};
  });
}

void growLogVariable(LogVariable* v) {
  const int32_t oldRows = v->nRows;
  const int32_t newRows = oldRows <= std::numeric_limits<int32_t>::max() - kLogBufferGrowthRows
                              ? oldRows + kLogBufferGrowthRows
                              : oldRows;
  const double rowBytes = double(v->nCols) * v->elementSize;
  const double currentBytes = oldRows * rowBytes;
  const double failedBytes = double(oldRows + double(kLogBufferGrowthRows)) * rowBytes;
  const std::size_t bytes = newRows > oldRows ? grownBytes(newRows * rowBytes) : 0;

  void* re = bytes != 0 ? logReallocate(v->re, bytes) : nullptr;
  if (re == nullptr)
    growthFailed(log_text::kGrowFailedDetails, v->name,
                 v->complexFlag ? log_text::kRealPartSuffix : "", oldRows, v->nCols, v->elementSize,
                 currentBytes, failedBytes);
  v->re = re;
  if (v->im != nullptr) {
    void* im = logReallocate(v->im, bytes);
    if (im == nullptr)
      growthFailed(log_text::kGrowFailedImaginaryDetails, v->name, nullptr, oldRows, v->nCols,
                   v->elementSize, currentBytes, failedBytes);
    v->im = im;
  }
  LogValueDimensions* vd = v->valueDimensions;
  if (vd != nullptr && vd->re != nullptr) {
    const double vdRowBytes = double(vd->nCols) * sizeof(double);
    const std::size_t vdBytes = grownBytes(newRows * vdRowBytes);
    void* grown = vdBytes != 0 ? logReallocate(vd->re, vdBytes) : nullptr;
    if (grown == nullptr)
      growthFailed(log_text::kGrowFailedDetails, v->name, "", vd->nRows, vd->nCols, vd->elementSize,
                   vd->nRows * vdRowBytes, newRows * vdRowBytes);
    // Columns lie nRows apart: move them, last first, to their new places.
    char* base = static_cast<char*>(grown);
    for (int32_t col = vd->nCols - 1; col >= 1; --col)
      std::memmove(base + std::size_t(col) * newRows * sizeof(double),
                   base + std::size_t(col) * vd->nRows * sizeof(double),
                   std::size_t(vd->nRows) * sizeof(double));
    vd->re = grown;
    vd->nRows = newRows;
  }
  v->nRows = newRows;
}

}  // namespace sim
