#include "sim/logging/log_fixup.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <utility>

#include "sim/logging/log_memory.h"
#include "sim/logging/log_messages.h"
#include "sim/logging/scratch_file.h"

namespace sim {

namespace {

constexpr char kTransposeFileSuffix[] = "_dpk_qzh.qzh";

char* bytesOf(void* buffer) {
  return static_cast<char*>(buffer);
}

// Copies count x nCols elements stored row after row into `to` column after
// column.
void transposeToColumns(const char* from, char* to, int32_t count, int32_t nCols,
                        int32_t elementSize) {
  const std::size_t total = std::size_t(count) * nCols;
  for (std::size_t i = 0; i < total; ++i) {
    const std::size_t target = i / nCols + (i % nCols) * count;
    std::memcpy(to + target * elementSize, from + i * elementSize, elementSize);
  }
}

// The same transposition when there is no memory for a second buffer: the
// real part goes out to a temporary file in column order and comes back.
const char* transposeThroughFile(LogVariable* v, int32_t count) {
  char fileName[kLogNameCapacity + sizeof kTransposeFileSuffix];
  std::snprintf(fileName, sizeof fileName, "%s%s", v->name, kTransposeFileSuffix);
  std::FILE* file = openScratchFile(fileName);
  if (file == nullptr) {
    std::fprintf(stderr, log_text::kErrorOpening, fileName);
    return log_text::kReasonOpenDataFile;
  }
  const std::size_t total = std::size_t(count) * v->nCols;
  const char* re = bytesOf(v->re);
  const char* reason = nullptr;
  for (std::size_t i = 0; i < total && reason == nullptr; ++i) {
    const std::size_t row = i % count;
    const std::size_t col = i / count;
    if (std::fwrite(re + (row * v->nCols + col) * v->elementSize, v->elementSize, 1, file) != 1)
      reason = log_text::kReasonWriteDataFile;
  }
  if (reason == nullptr && std::fflush(file) != 0) reason = log_text::kReasonWriteDataFile;
  if (reason == nullptr) {
    if (v->im != nullptr) {
      // The real part is safe in the file: its buffer takes the turned
      // imaginary part, and the old imaginary buffer takes the real part back.
      transposeToColumns(bytesOf(v->im), bytesOf(v->re), count, v->nCols, v->elementSize);
      std::swap(v->re, v->im);
    }
    std::rewind(file);
    if (std::fread(v->re, v->elementSize, total, file) != total)
      reason = log_text::kReasonReadDataFile;
  }
  std::fclose(file);
  std::remove(fileName);
  return reason;
}

const char* transposeVariable(LogVariable* v, int32_t count) {
  const std::size_t bytes = std::size_t(count) * v->nCols * v->elementSize;
  void* turned = logAllocate(bytes);
  if (turned == nullptr) return transposeThroughFile(v, count);
  transposeToColumns(bytesOf(v->re), bytesOf(turned), count, v->nCols, v->elementSize);
  if (v->im != nullptr) {
    // The old real buffer is free now: it takes the turned imaginary part.
    transposeToColumns(bytesOf(v->im), bytesOf(v->re), count, v->nCols, v->elementSize);
    logFree(v->im);
    v->im = v->re;
  } else {
    logFree(v->re);
  }
  v->re = turned;
  return nullptr;
}

// Rotates `count` elements that lie `stride` elements apart so that element
// `shift` becomes the first, following each cycle with one element of scratch.
void rotateColumn(char* base, int32_t count, std::size_t stride, int32_t shift,
                  int32_t elementSize) {
  char scratch[8];
  auto at = [&](std::size_t row) { return base + row * stride * elementSize; };
  const int32_t cycles = std::gcd(count, shift);
  for (int32_t start = 0; start < cycles; ++start) {
    std::memcpy(scratch, at(start), elementSize);
    int32_t row = start;
    for (;;) {
      const int32_t from = (row + shift) % count;
      if (from == start) break;
      std::memcpy(at(row), at(from), elementSize);
      row = from;
    }
    std::memcpy(at(row), scratch, elementSize);
  }
}

// Rotates every column of a buffer of count rows; columns are either
// contiguous (column order) or adjacent within rows (row order).
void rotateRows(void* buffer, int32_t count, int32_t nCols, bool columnOrder, int32_t shift,
                int32_t elementSize) {
  for (int32_t col = 0; col < nCols; ++col) {
    char* base = bytesOf(buffer) + std::size_t(col) * (columnOrder ? count : 1) * elementSize;
    rotateColumn(base, count, columnOrder ? 1 : nCols, shift, elementSize);
  }
}

// The per-sample dimensions of a variable-size signal follow its samples:
// rotated when the values are, and cut to the samples logged.
void fixupValueDimensions(LogValueDimensions* vd, int32_t shift, int32_t nDataPoints) {
  if (vd == nullptr || vd->re == nullptr || vd->nRows <= 0) return;
  if (shift != 0) rotateRows(vd->re, vd->nRows, vd->nCols, true, shift, vd->elementSize);
  if (nDataPoints < vd->nRows) {
    for (int32_t col = 1; col < vd->nCols; ++col)
      std::memmove(bytesOf(vd->re) + std::size_t(col) * nDataPoints * vd->elementSize,
                   bytesOf(vd->re) + std::size_t(col) * vd->nRows * vd->elementSize,
                   std::size_t(nDataPoints) * vd->elementSize);
    vd->nRows = nDataPoints;
  }
}

}  // namespace

void reportLogVariableWrap(LogVariable* v) {
  // A long run can log more samples than 32 bits count; the buffer is whole
  // then, and the count stays at the largest value.
  const int64_t samples = int64_t{v->nRows} * v->wrapped + v->rowIdx;
  v->nDataPoints = static_cast<int32_t>(std::min<int64_t>(samples, INT32_MAX));
  if (v->wrapped > 1 || (v->wrapped == 1 && v->rowIdx != 0)) {
    std::printf(log_text::kWrapped, v->name, v->wrapped, v->nRows);
    if (v->usingDefaultBufferSize)
      std::printf(log_text::kWrappedDefaultBuffer, v->nDataPoints, v->nDataPoints);
  }
}

const char* fixupLogVariable(LogVariable* v) {
  assert(v->elementSize >= 1 && v->elementSize <= 8);
  const int32_t count = v->wrapped > 0 ? v->nRows : v->rowIdx;
  reportLogVariableWrap(v);

  const bool columnOrder = v->nDims < 2 && v->nCols > 1;
  if (columnOrder && count > 0) {
    if (const char* reason = transposeVariable(v, count)) return reason;
  }

  const int32_t shift = (v->wrapped > 0 && count > 0) ? v->rowIdx % count : 0;
  if (shift != 0) {
    rotateRows(v->re, count, v->nCols, columnOrder, shift, v->elementSize);
    if (v->im != nullptr) rotateRows(v->im, count, v->nCols, columnOrder, shift, v->elementSize);
    v->rowIdx = 0;
  }
  fixupValueDimensions(v->valueDimensions, shift, v->nDataPoints);
  if (v->nDataPoints < v->nRows) v->nRows = v->nDataPoints;
  return nullptr;
}

}  // namespace sim
