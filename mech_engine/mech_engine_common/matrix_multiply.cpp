#include "mech_engine_common/matrix_multiply.h"

#include "mech_engine_common/engine_error.h"

// Each kernel first checks the shapes, then zeroes out (unless accumulating)
// and adds every product term in ascending order of the summation index.

namespace {

// Operation codes of the structured kernels when the structured operand is B.
constexpr int kStructuredSecondOffset = 3;

struct Shape {
  int rows;
  int cols;
  bool isScalar() const { return rows == 1 && cols == 1; }
  int size() const { return rows * cols; }
};

void clear(double* out, int count) {
  for (int i = 0; i < count; ++i) out[i] = 0.0;
}

// --- general kernel ----------------------------------------------------------

bool generalProduct(double* out, const double* a, const double* b, Shape sa, Shape sb,
                    int operation, bool accumulate) {
  if (sa.rows < 0 || sa.cols < 0 || sb.rows < 0 || sb.cols < 0) return false;
  switch (operation) {
    case kMultiplyProduct:
    case kMultiplyProductTransposed: {
      const bool transposed = operation == kMultiplyProductTransposed;
      if (sa.isScalar() || sb.isScalar()) {
        // Scalar times the other operand; the product keeps that operand's shape.
        const bool scalarA = sa.isScalar();
        const double s = scalarA ? a[0] : b[0];
        const double* m = scalarA ? b : a;
        const Shape sm = scalarA ? sb : sa;
        if (!accumulate) clear(out, sm.size());
        for (int j = 0; j < sm.cols; ++j) {
          for (int i = 0; i < sm.rows; ++i) {
            const double term = scalarA ? s * m[i + j * sm.rows] : m[i + j * sm.rows] * s;
            out[transposed ? j + i * sm.cols : i + j * sm.rows] += term;
          }
        }
        return true;
      }
      if (sa.cols != sb.rows) return false;
      if (!accumulate) clear(out, sa.rows * sb.cols);
      for (int j = 0; j < sb.cols; ++j) {
        for (int k = 0; k < sa.cols; ++k) {
          const double bkj = b[k + j * sb.rows];
          const double* column = a + k * sa.rows;
          for (int i = 0; i < sa.rows; ++i) {
            out[transposed ? j + i * sb.cols : i + j * sa.rows] += column[i] * bkj;
          }
        }
      }
      return true;
    }
    case kMultiplyTransposeProduct: {
      if (sa.isScalar()) {
        if (!accumulate) clear(out, sb.size());
        for (int i = 0; i < sb.size(); ++i) out[i] += a[0] * b[i];
        return true;
      }
      if (sb.isScalar()) {
        if (!accumulate) clear(out, sa.size());
        for (int j = 0; j < sa.cols; ++j) {
          for (int i = 0; i < sa.rows; ++i) out[j + i * sa.cols] += a[i + j * sa.rows] * b[0];
        }
        return true;
      }
      if (sa.rows != sb.rows) return false;
      if (!accumulate) clear(out, sa.cols * sb.cols);
      for (int i = 0; i < sb.cols; ++i) {
        for (int j = 0; j < sa.cols; ++j) {
          const double* columnA = a + j * sa.rows;
          const double* columnB = b + i * sb.rows;
          double& element = out[j + i * sa.cols];
          for (int k = 0; k < sa.rows; ++k) element += columnA[k] * columnB[k];
        }
      }
      return true;
    }
    default:
      return false;
  }
}

// --- structured kernels ------------------------------------------------------

constexpr int kPlanarDimension = 3;   // (angular, x, y)
constexpr int kSpatialDimension = 6;  // (angular xyz, linear xyz)

bool isSpatialDimension(int n) {
  return n == kPlanarDimension || n == kSpatialDimension;
}

// y = T·x (transposed = false) or Tᵀ·x for the operator of form 2 or 3 with
// offset r, reading x with the given stride.
void applyStructured(double* y, const double* x, int stride, const double* r, int dimension,
                     bool offDiagonalOnly, bool transposed) {
  if (dimension == kPlanarDimension) {
    const double x0 = x[0], x1 = x[stride], x2 = x[2 * stride];
    const double rx = r[0], ry = r[1];
    if (!transposed) {
      y[0] = offDiagonalOnly ? rx * x2 - ry * x1 : x0 + rx * x2 - ry * x1;
      y[1] = offDiagonalOnly ? 0.0 : x1;
      y[2] = offDiagonalOnly ? 0.0 : x2;
    } else {
      y[0] = offDiagonalOnly ? 0.0 : x0;
      y[1] = offDiagonalOnly ? -ry * x0 : x1 - ry * x0;
      y[2] = offDiagonalOnly ? rx * x0 : x2 + rx * x0;
    }
    return;
  }
  double angular[3], linear[3];
  for (int i = 0; i < 3; ++i) {
    angular[i] = x[i * stride];
    linear[i] = x[(i + 3) * stride];
  }
  if (!transposed) {  // (n + r × f, f)
    const double cross[3] = {r[1] * linear[2] - r[2] * linear[1],
                             r[2] * linear[0] - r[0] * linear[2],
                             r[0] * linear[1] - r[1] * linear[0]};
    for (int i = 0; i < 3; ++i) {
      y[i] = offDiagonalOnly ? cross[i] : angular[i] + cross[i];
      y[i + 3] = offDiagonalOnly ? 0.0 : linear[i];
    }
  } else {  // (ω, v - r × ω)
    const double cross[3] = {r[1] * angular[2] - r[2] * angular[1],
                             r[2] * angular[0] - r[0] * angular[2],
                             r[0] * angular[1] - r[1] * angular[0]};
    for (int i = 0; i < 3; ++i) {
      y[i] = offDiagonalOnly ? 0.0 : angular[i];
      y[i + 3] = offDiagonalOnly ? -cross[i] : linear[i] - cross[i];
    }
  }
}

// Structured operand first: operations 1-3 give T·X, (T·X)ᵀ, Tᵀ·X. Structured
// operand second (operations 4-6): X·T, (X·T)ᵀ, Xᵀ·T.
bool structuredProduct(double* out, const double* r, const double* x, Shape sx, int operation,
                       bool offDiagonalOnly, bool accumulate) {
  double column[kSpatialDimension];
  switch (operation) {
    case kMultiplyProduct:
    case kMultiplyProductTransposed:
    case kMultiplyTransposeProduct: {
      const int n = sx.rows;
      if (!isSpatialDimension(n) || sx.cols < 0) return false;
      if (!accumulate) clear(out, n * sx.cols);
      for (int j = 0; j < sx.cols; ++j) {
        applyStructured(column, x + j * n, 1, r, n, offDiagonalOnly,
                        operation == kMultiplyTransposeProduct);
        for (int i = 0; i < n; ++i) {
          out[operation == kMultiplyProductTransposed ? j + i * sx.cols : i + j * n] += column[i];
        }
      }
      return true;
    }
    case kMultiplyProduct + kStructuredSecondOffset:
    case kMultiplyProductTransposed + kStructuredSecondOffset: {
      // Row i of X·T is (Tᵀ·(row i of X)ᵀ)ᵀ.
      const int n = sx.cols;
      if (!isSpatialDimension(n) || sx.rows < 0) return false;
      const bool transposed = operation == kMultiplyProductTransposed + kStructuredSecondOffset;
      if (!accumulate) clear(out, sx.rows * n);
      for (int i = 0; i < sx.rows; ++i) {
        applyStructured(column, x + i, sx.rows, r, n, offDiagonalOnly, true);
        for (int j = 0; j < n; ++j) out[transposed ? j + i * n : i + j * sx.rows] += column[j];
      }
      return true;
    }
    case kMultiplyTransposeProduct + kStructuredSecondOffset: {
      // Row j of Xᵀ·T is (Tᵀ·(column j of X))ᵀ.
      const int n = sx.rows;
      if (!isSpatialDimension(n) || sx.cols < 0) return false;
      if (!accumulate) clear(out, sx.cols * n);
      for (int j = 0; j < sx.cols; ++j) {
        applyStructured(column, x + j * n, 1, r, n, offDiagonalOnly, true);
        for (int i = 0; i < n; ++i) out[j + i * sx.cols] += column[i];
      }
      return true;
    }
    default:
      return false;
  }
}

bool isForm(int form) {
  return form >= kFormGeneral && form <= kFormShiftOffDiagonal;
}

void dispatch(double* out, const double* a, const double* b, int rowsA, int colsA, int rowsB,
              int colsB, int formA, int formB, int operation, bool accumulate) {
  if (!isForm(formA) || !isForm(formB)) return;
  bool done = false;
  if (formA == kFormGeneral && formB == kFormGeneral) {
    done = generalProduct(out, a, b, {rowsA, colsA}, {rowsB, colsB}, operation, accumulate);
  } else if (formB == kFormGeneral) {
    done = structuredProduct(out, a, b, {rowsB, colsB}, operation, formA == kFormShiftOffDiagonal,
                             accumulate);
  } else if (formA == kFormGeneral && operation >= kMultiplyProduct &&
             operation <= kMultiplyTransposeProduct) {
    done = structuredProduct(out, b, a, {rowsA, colsA}, operation + kStructuredSecondOffset,
                             formB == kFormShiftOffDiagonal, accumulate);
  }
  // Two structured operands, an unknown operation or shapes that do not fit.
  if (!done) releaseAssertion();
}

}  // namespace

void matrixMultiply(double* out, const double* a, const double* b, int rowsA, int colsA, int rowsB,
                    int colsB, int formA, int formB, int operation) {
  dispatch(out, a, b, rowsA, colsA, rowsB, colsB, formA, formB, operation, false);
}

void matrixMultiplyAccumulate(double* out, const double* a, const double* b, int rowsA, int colsA,
                              int rowsB, int colsB, int formA, int formB, int operation) {
  dispatch(out, a, b, rowsA, colsA, rowsB, colsB, formA, formB, operation, true);
}
