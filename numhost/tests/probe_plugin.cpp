// A plug-in that exercises the host: the first argument's value picks what it
// does, so tests can watch ownership, cleanup and error paths of a call.
#include "numhost/zy.h"

namespace {

enum Action {
  kReturnResultAndLeaveTemporaries = 1,
  kRaiseAfterAllocating = 2,
  kDestroyArgument = 3,
  kReturnArgument = 4,
  kShrinkAndRegrowRows = 5,
  kGrowRowsBeyondData = 6,
  kReportCounts = 7,
};

zyArray* columnOf(double first, double second) {
  zyArray* column = zyCreateDoubleMatrix_700(2, 1, 0);
  zyGetPr(column)[0] = first;
  zyGetPr(column)[1] = second;
  return column;
}

}  // namespace

ZYX_ENTRY void zyxFunction(int nlhs, zyArray* plhs[], int nrhs, const zyArray* prhs[]) {
  switch (static_cast<int>(zyGetScalar(prhs[0]))) {
    case kReturnResultAndLeaveTemporaries:
      plhs[0] = columnOf(1, 2);
      columnOf(3, 4);
      zyCalloc(16, sizeof(double));
      break;
    case kRaiseAfterAllocating:
      plhs[0] = columnOf(1, 2);
      zyCalloc(16, sizeof(double));
      zyxErrMsgTxt("probe: raised on purpose");
    case kDestroyArgument:
      zyDestroyArray(const_cast<zyArray*>(prhs[0]));
      break;
    case kReturnArgument:
      plhs[0] = const_cast<zyArray*>(prhs[0]);
      break;
    case kShrinkAndRegrowRows:
      plhs[0] = columnOf(5, 6);
      zySetM_700(plhs[0], 1);
      zySetM_700(plhs[0], 2);
      break;
    case kGrowRowsBeyondData:
      plhs[0] = columnOf(5, 6);
      zySetM_700(plhs[0], 3);
      break;
    case kReportCounts:
      plhs[0] = columnOf(nlhs, nrhs);
      break;
  }
}
