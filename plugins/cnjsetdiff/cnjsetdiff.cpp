// C = cnjsetdiff(A, B): the elements of the sorted vector A that are not
// matched, one for one, by elements of the sorted vector B, as a column.
//
// Each element a of A is matched by the first element of B, at or after the
// position just past the previous match, that equals it; elements of B
// skipped by a match are used up with it, NaN matches nothing. When B is in
// ascending order (checked in one pass) the search for a stops at the first
// element of B not below a and starts where the search for the previous,
// smaller or equal, element stopped: linear for sorted A and B. Any other B
// is searched element by element to its end. Both give the same result.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "plugin_arrays.h"

namespace {

constexpr char kBadCall[] = "C = cnjsetdiff(A,B) Inputs must be pre-sorted!";
constexpr char kNotReal[] = "cnjsetdiff: A and B must be real double arrays";
constexpr char kNoDataForLength[] = "cnjsetdiff: A or B has no rows but several columns";
constexpr char kHostVersion[] = "QUOMAX R14 native";

// A vector's length: its column count, or its row count when it has one column.
std::span<const double> vectorOf(const zyArray* array) {
  const auto elements = plugin_arrays::elementsOf(array, kNotReal);
  const std::size_t length = zyGetN(array) == 1 ? zyGetM(array) : zyGetN(array);
  if (length > elements.size()) zyxErrMsgTxt(kNoDataForLength);  // a 0-by-n array
  return elements.first(length);
}

// True when B is nondecreasing and holds no NaN.
bool isAscending(std::span<const double> b) {
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (std::isnan(b[i]) || (i > 0 && b[i - 1] > b[i])) return false;
  }
  return true;
}

// The first index at or after `from` whose element of the ascending B is not
// below `value`: doubling steps, then a binary search in the last one.
std::size_t firstNotBelow(std::span<const double> b, std::size_t from, double value) {
  std::size_t low = from;  // every element in [from, low) is below value
  std::size_t high = from;
  std::size_t step = 1;
  while (high < b.size() && b[high] < value) {
    low = high + 1;
    high = b.size() - high > step ? high + step : b.size();
    step *= 2;
  }
  return static_cast<std::size_t>(std::lower_bound(b.begin() + low, b.begin() + high, value) -
                                  b.begin());
}

// Appends to `kept` each element of A without a match in B; returns the count.
std::size_t differenceByScan(std::span<const double> a, std::span<const double> b, double* kept) {
  std::size_t keptCount = 0;
  std::size_t p = 0;  // elements of B before p are used up
  for (const double element : a) {
    std::size_t i = p;
    while (i < b.size() && !(b[i] == element)) ++i;
    if (i < b.size()) {
      p = i + 1;  // matched: drop the element
    } else {
      kept[keptCount++] = element;
    }
  }
  return keptCount;
}

std::size_t differenceInAscendingB(std::span<const double> a, std::span<const double> b,
                                   double* kept) {
  std::size_t keptCount = 0;
  std::size_t p = 0;  // elements of B before p are used up
  // Every element of B in [p, stop) is below `previous`, the last element searched.
  std::size_t stop = 0;
  double previous = 0.0;
  bool searched = false;
  for (const double element : a) {
    if (std::isnan(element)) {
      kept[keptCount++] = element;
      continue;
    }
    const std::size_t from = searched && !(element < previous) ? std::max(p, stop) : p;
    const std::size_t i = firstNotBelow(b, from, element);
    stop = i;
    previous = element;
    searched = true;
    if (i < b.size() && b[i] == element) {
      p = i + 1;
    } else {
      kept[keptCount++] = element;
    }
  }
  return keptCount;
}

}  // namespace

ZYX_ENTRY void zyxFunction(int nlhs, zyArray* plhs[], int nrhs, const zyArray* prhs[]) {
  if (nlhs != 1 || nrhs != 2) zyxErrMsgTxt(kBadCall);
  const auto a = vectorOf(prhs[0]);
  const auto b = vectorOf(prhs[1]);

  zyArray* result = zyCreateDoubleMatrix_700(a.size(), 1, 0);
  double* kept = zyGetPr(result);
  const std::size_t keptCount =
      isAscending(b) ? differenceInAscendingB(a, b, kept) : differenceByScan(a, b, kept);
  zySetM_700(result, keptCount);
  plhs[0] = result;
}

ZYX_ENTRY const char* zyxVersion() {
  return kHostVersion;
}
