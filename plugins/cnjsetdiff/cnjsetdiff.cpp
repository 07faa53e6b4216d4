// C = cnjsetdiff(A, B): the elements of the sorted vector A that are not
// matched, one for one, by elements of the sorted vector B, as a column.
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

}  // namespace

ZYX_ENTRY void zyxFunction(int nlhs, zyArray* plhs[], int nrhs, const zyArray* prhs[]) {
  if (nlhs != 1 || nrhs != 2) zyxErrMsgTxt(kBadCall);
  const auto a = vectorOf(prhs[0]);
  const auto b = vectorOf(prhs[1]);

  zyArray* result = zyCreateDoubleMatrix_700(a.size(), 1, 0);
  double* kept = zyGetPr(result);
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
  zySetM_700(result, keptCount);
  plhs[0] = result;
}

ZYX_ENTRY const char* zyxVersion() {
  return kHostVersion;
}
