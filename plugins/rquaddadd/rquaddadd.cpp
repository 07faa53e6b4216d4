// rquaddadd(x, y, z): adds the doubles z to the double-double numbers given by
// their high parts x and low parts y; returns the high and low parts.
#include <cmath>
#include <cstddef>

#include "plugin_arrays.h"

namespace {

constexpr char kTooFewArguments[] = "rquaddadd: expects three arguments (x, y, z)";
constexpr char kNotReal[] = "rquaddadd: x, y and z must be real double arrays";
constexpr char kTooFewElements[] =
    "rquaddadd: x, y and z must each hold at least as many elements as x has rows";

struct DoubleDouble {
  double hi;
  double lo;
};

// (a + b) + c in double precision; the order of operations is the algorithm.
DoubleDouble addDouble(double a, double b, double c) {
  if (std::fabs(c) > std::fabs(a)) {
    const double hi = c + a;
    return {hi, b + (a - (hi - c))};
  }
  const double e = c + b;
  const double hi = a + e;
  return {hi, (b - (e - c)) + (e - (hi - a))};
}

}  // namespace

ZYX_ENTRY void zyxFunction(int nlhs, zyArray* plhs[], int nrhs, const zyArray* prhs[]) {
  if (nrhs < 3) zyxErrMsgTxt(kTooFewArguments);
  const auto x = plugin_arrays::elementsOf(prhs[0], kNotReal);
  const auto y = plugin_arrays::elementsOf(prhs[1], kNotReal);
  const auto z = plugin_arrays::elementsOf(prhs[2], kNotReal);
  const std::size_t m = zyGetM(prhs[0]);
  if (x.size() < m || y.size() < m || z.size() < m) zyxErrMsgTxt(kTooFewElements);

  zyArray* hi = zyCreateDoubleMatrix_700(m, 1, 0);
  zyArray* lo = zyCreateDoubleMatrix_700(m, 1, 0);
  double* hiData = zyGetPr(hi);
  double* loData = zyGetPr(lo);
  for (std::size_t i = 0; i < m; ++i) {
    const DoubleDouble sum = addDouble(x[i], y[i], z[i]);
    hiData[i] = sum.hi;
    loData[i] = sum.lo;
  }

  plhs[0] = hi;
  if (nlhs < 2) {
    zyDestroyArray(lo);
  } else {
    plhs[1] = lo;
  }
}
