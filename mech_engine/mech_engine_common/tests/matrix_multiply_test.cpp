#include "mech_engine_common/matrix_multiply.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "mech_engine_common/engine_vector_kernels.h"

namespace {

std::vector<double> values(int count, std::uint32_t seed) {
  UniformRandom generator{};
  seedUniformRandom(generator, seed);
  std::vector<double> v(count);
  for (double& x : v) x = nextUniformRandom(generator) * 2.0 - 1.0;
  return v;
}

struct Dense {
  int rows, cols;
  std::vector<double> data;
  double at(int i, int j) const { return data[i + j * rows]; }
};

// The plain triple loop: every element summed from 0 in ascending order.
std::vector<double> referenceProduct(const Dense& a, const Dense& b, int operation,
                                     std::vector<double> out) {
  const bool scalarA = a.rows == 1 && a.cols == 1;
  const bool scalarB = b.rows == 1 && b.cols == 1;
  auto scaled = [](const Dense& m, double s, bool scalarFirst, bool transpose,
                   std::vector<double>& o) {
    for (int j = 0; j < m.cols; ++j)
      for (int i = 0; i < m.rows; ++i)
        o[transpose ? j + i * m.cols : i + j * m.rows] +=
            scalarFirst ? s * m.at(i, j) : m.at(i, j) * s;
  };
  if (operation == 3) {
    if (scalarA) {
      scaled(b, a.data[0], true, false, out);
    } else if (scalarB) {
      scaled(a, b.data[0], false, true, out);
    } else {
      for (int i = 0; i < b.cols; ++i)
        for (int j = 0; j < a.cols; ++j)
          for (int k = 0; k < a.rows; ++k) out[j + i * a.cols] += a.at(k, j) * b.at(k, i);
    }
    return out;
  }
  const bool transpose = operation == 2;
  if (scalarA) {
    scaled(b, a.data[0], true, transpose, out);
  } else if (scalarB) {
    scaled(a, b.data[0], false, transpose, out);
  } else {
    for (int j = 0; j < b.cols; ++j)
      for (int i = 0; i < a.rows; ++i)
        for (int k = 0; k < a.cols; ++k)
          out[transpose ? j + i * b.cols : i + j * a.rows] += a.at(i, k) * b.at(k, j);
  }
  return out;
}

struct GeneralCase {
  int operation;
  int rowsA, colsA, rowsB, colsB;
  int outSize;
};

const GeneralCase kGeneralCases[] = {
    {1, 1, 1, 1, 1, 1}, {1, 1, 1, 2, 3, 6},  {1, 2, 3, 1, 1, 6}, {1, 2, 3, 3, 4, 8},
    {1, 3, 1, 1, 2, 6}, {1, 1, 4, 4, 1, 1},  {1, 6, 6, 6, 1, 6}, {2, 1, 1, 1, 1, 1},
    {2, 1, 1, 2, 3, 6}, {2, 2, 3, 1, 1, 6},  {2, 2, 3, 3, 4, 8}, {2, 5, 2, 2, 1, 5},
    {3, 1, 1, 1, 1, 1}, {3, 1, 1, 3, 2, 6},  {3, 3, 2, 1, 1, 6}, {3, 3, 2, 3, 4, 8},
    {3, 4, 1, 4, 1, 1}, {3, 6, 6, 6, 6, 36},
};

TEST(MatrixMultiply, GeneralFormsMatchThePlainLoopBitForBit) {
  int seed = 3;
  for (const GeneralCase& c : kGeneralCases) {
    SCOPED_TRACE(testing::Message() << "operation " << c.operation << " A " << c.rowsA << "x"
                                    << c.colsA << " B " << c.rowsB << "x" << c.colsB);
    const Dense a{c.rowsA, c.colsA, values(c.rowsA * c.colsA, seed++)};
    const Dense b{c.rowsB, c.colsB, values(c.rowsB * c.colsB, seed++)};

    std::vector<double> out(c.outSize, 99.0);
    matrixMultiply(out.data(), a.data.data(), b.data.data(), a.rows, a.cols, b.rows, b.cols, 1, 1,
                   c.operation);
    const auto expected = referenceProduct(a, b, c.operation, std::vector<double>(c.outSize));
    EXPECT_EQ(0, std::memcmp(out.data(), expected.data(), c.outSize * sizeof(double)));

    const std::vector<double> start = values(c.outSize, seed++);
    std::vector<double> accumulated = start;
    matrixMultiplyAccumulate(accumulated.data(), a.data.data(), b.data.data(), a.rows, a.cols,
                             b.rows, b.cols, 1, 1, c.operation);
    const auto expectedSum = referenceProduct(a, b, c.operation, start);
    EXPECT_EQ(0, std::memcmp(accumulated.data(), expectedSum.data(), c.outSize * sizeof(double)));
  }
}

// Dense matrix of the structured operator of form 2 or 3 with offset r.
Dense structuredOperator(const double* r, int dimension, bool offDiagonalOnly) {
  Dense t{dimension, dimension, std::vector<double>(dimension * dimension, 0.0)};
  auto set = [&](int i, int j, double v) { t.data[i + j * dimension] = v; };
  if (!offDiagonalOnly)
    for (int i = 0; i < dimension; ++i) set(i, i, 1.0);
  if (dimension == 3) {
    set(0, 1, -r[1]);
    set(0, 2, r[0]);
  } else {  // angular rows get r × (linear part)
    set(0, 4, -r[2]);
    set(0, 5, r[1]);
    set(1, 3, r[2]);
    set(1, 5, -r[0]);
    set(2, 3, -r[1]);
    set(2, 4, r[0]);
  }
  return t;
}

TEST(MatrixMultiply, StructuredFormsFollowTheirFormulasIn2D) {
  const double r[] = {0.25, -2.0};
  const double x[] = {1.5, 3.0, -7.0, 0.5, 2.0, 4.0};  // two 3-vectors
  double out[6];
  matrixMultiply(out, r, x, 3, 3, 3, 2, 2, 1, 1);
  for (int j = 0; j < 2; ++j) {
    const double* v = x + 3 * j;
    EXPECT_EQ(out[3 * j], v[0] + r[0] * v[2] - r[1] * v[1]);
    EXPECT_EQ(out[3 * j + 1], v[1]);
    EXPECT_EQ(out[3 * j + 2], v[2]);
  }
  matrixMultiply(out, r, x, 3, 3, 3, 2, 3, 1, 1);
  EXPECT_EQ(out[0], r[0] * x[2] - r[1] * x[1]);
  EXPECT_EQ(out[1], 0.0);
  EXPECT_EQ(out[2], 0.0);
  matrixMultiply(out, r, x, 3, 3, 3, 2, 2, 1, 3);
  EXPECT_EQ(out[3], x[3]);
  EXPECT_EQ(out[4], x[4] - r[1] * x[3]);
  EXPECT_EQ(out[5], x[5] + r[0] * x[3]);
  matrixMultiply(out, r, x, 3, 3, 3, 2, 3, 1, 3);
  EXPECT_EQ(out[0], 0.0);
  EXPECT_EQ(out[1], -r[1] * x[0]);
  EXPECT_EQ(out[2], r[0] * x[0]);
}

// Every operation with the structured operand first or second equals the
// product with its dense matrix (to rounding: the dense loop adds zero terms).
TEST(MatrixMultiply, StructuredFormsEqualTheirDenseOperator) {
  const double r[] = {0.3, -1.1, 0.7};
  for (int dimension : {3, 6}) {
    for (int form : {2, 3}) {
      const Dense t = structuredOperator(r, dimension, form == 3);
      for (int operation = 1; operation <= 3; ++operation) {
        for (bool structuredFirst : {true, false}) {
          SCOPED_TRACE(testing::Message() << "dim " << dimension << " form " << form << " op "
                                          << operation << " first " << structuredFirst);
          // X is dimension×2 when it multiplies T from the right side of T,
          // 2×dimension when T multiplies from the right, except Xᵀ·T.
          const bool xTall = structuredFirst || operation == 3;
          const Dense xm = xTall ? Dense{dimension, 2, values(2 * dimension, 17)}
                                 : Dense{2, dimension, values(2 * dimension, 17)};
          const Dense& a = structuredFirst ? t : xm;
          const Dense& b = structuredFirst ? xm : t;
          const auto expected = referenceProduct(a, b, operation, std::vector<double>(12));
          std::vector<double> out(12, 42.0);
          if (structuredFirst) {
            matrixMultiply(out.data(), r, xm.data.data(), dimension, dimension, xm.rows, xm.cols,
                           form, 1, operation);
          } else {
            matrixMultiply(out.data(), xm.data.data(), r, xm.rows, xm.cols, dimension, dimension, 1,
                           form, operation);
          }
          for (int i = 0; i < 2 * dimension; ++i) EXPECT_NEAR(out[i], expected[i], 1e-14);
        }
      }
    }
  }
}

TEST(MatrixMultiply, BadCodesAndShapesLeaveOutputUntouched) {
  const double a[] = {1, 2, 3, 4, 5, 6};
  const double b[] = {1, 2, 3, 4, 5, 6};
  struct Case {
    int rowsA, colsA, rowsB, colsB, formA, formB, operation;
  } const cases[] = {
      {2, 3, 3, 2, 0, 1, 1},                         // form outside 1..3
      {2, 3, 3, 2, 1, 4, 1}, {2, 3, 3, 2, 1, 1, 0},  // operation outside 1..3
      {2, 3, 3, 2, 1, 1, 4}, {2, 3, 2, 3, 1, 1, 1},  // A·B with colsA != rowsB
      {2, 3, 3, 2, 1, 1, 3},                         // Aᵀ·B with rowsA != rowsB
      {3, 3, 2, 3, 2, 1, 1},                         // structured operand against a 2-row matrix
      {3, 3, 3, 3, 2, 3, 1},                         // two structured operands
  };
  for (const Case& c : cases) {
    double out[8];
    for (double& v : out) v = -5.0;
    matrixMultiply(out, a, b, c.rowsA, c.colsA, c.rowsB, c.colsB, c.formA, c.formB, c.operation);
    matrixMultiplyAccumulate(out, a, b, c.rowsA, c.colsA, c.rowsB, c.colsB, c.formA, c.formB,
                             c.operation);
    for (double v : out) EXPECT_EQ(v, -5.0);
  }
}

}  // namespace
