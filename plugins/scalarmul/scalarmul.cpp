// scalarmul(a, x, start): scales block i of x by a(i); block i runs from
// start(i) to start(i+1) - 1 (positions counted from 1). Returns the scaled
// blocks as one column. The blocks are copied with the BLAS dcopy_ and
// scaled by a plain loop (see scaleBlock).
#include <cstddef>
#include <cstdint>

#include "plugin_arrays.h"

// The level-1 copy of the BLAS library (Fortran calling convention).
extern "C" {
void dcopy_(const int* n, const double* x, const int* incx, double* y, const int* incy);
}

namespace {

constexpr char kTooFewArguments[] = "scalarmul: expects three arguments (a, x, start)";
constexpr char kNotReal[] = "scalarmul: a, x and start must be real double arrays";
constexpr char kStartTooShort[] =
    "scalarmul: start must hold one position more than a has elements";
constexpr char kOutsideResult[] = "scalarmul: block start positions reach outside the result";
constexpr char kOutsideX[] = "scalarmul: block start positions reach outside x";

// Raises `message` unless [position, position + length) lies within [0, size).
void requireWithin(std::int64_t position, std::int64_t length, std::int64_t size,
                   const char* message) {
  if (position < 0 || position > size || length > size - position) zyxErrMsgTxt(message);
}

// values[k] = factor * values[k], each the IEEE double product rounded once
// (the tree computes in SSE2). Not the BLAS dscal_: this platform's i386
// build stores zeros for a factor of 0 (losing 0 * NaN = NaN, 0 * inf = NaN
// and the sign of -0) and multiplies in 80-bit registers, so about one
// product in 10,000 comes out one unit off after the second rounding.
void scaleBlock(double factor, double* values, std::int64_t count) {
  for (std::int64_t k = 0; k < count; ++k) values[k] = factor * values[k];
}

}  // namespace

ZYX_ENTRY void zyxFunction(int /*nlhs*/, zyArray* plhs[], int nrhs, const zyArray* prhs[]) {
  if (nrhs < 3) zyxErrMsgTxt(kTooFewArguments);
  const auto a = plugin_arrays::elementsOf(prhs[0], kNotReal);
  const auto x = plugin_arrays::elementsOf(prhs[1], kNotReal);
  const auto start = plugin_arrays::elementsOf(prhs[2], kNotReal);
  const std::size_t n = a.size();
  if (start.size() < n + 1) zyxErrMsgTxt(kStartTooShort);

  // 0-based start positions, in memory the host frees after the call.
  auto* s = static_cast<std::int64_t*>(zyCalloc(n + 1, sizeof(std::int64_t)));
  for (std::size_t i = 0; i <= n; ++i) {
    s[i] = std::int64_t{plugin_arrays::truncateToInt32(start[i])} - 1;
  }
  const std::int64_t total = s[n] - s[0];
  if (total < 0) zyxErrMsgTxt(kOutsideResult);

  zyArray* result = zyCreateDoubleMatrix_700(static_cast<std::size_t>(total), 1, 0);
  double* scaled = zyGetPr(result);
  const auto xCount = static_cast<std::int64_t>(x.size());
  const auto blockCount = static_cast<std::int64_t>(n);
  // x holds just the blocks, n leading entries and the blocks, or the blocks
  // at their own positions.
  std::int64_t xPosition = xCount == total ? 0 : xCount == blockCount + total ? blockCount : s[0];
  std::int64_t resultPosition = 0;
  const int unitStride = 1;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t length = s[i + 1] - s[i];
    if (length > 0) {
      requireWithin(resultPosition, length, total, kOutsideResult);
      requireWithin(xPosition, length, xCount, kOutsideX);
      const int blasLength = static_cast<int>(length);  // within the result, so it fits
      dcopy_(&blasLength, x.data() + xPosition, &unitStride, scaled + resultPosition, &unitStride);
      scaleBlock(a[i], scaled + resultPosition, length);
    }
    xPosition += length;
    resultPosition += length;
  }
  plhs[0] = result;
}
