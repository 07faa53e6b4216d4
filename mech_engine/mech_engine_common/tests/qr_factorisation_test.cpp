#include "mech_engine_common/qr_factorisation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "lapack_reference.h"
#include "mech_engine_common/engine_vector_kernels.h"

namespace {

using Matrix = std::vector<double>;  // column-major

struct Factored {
  int m, n;
  Matrix qr;
  std::vector<double> qraux;
  std::vector<std::int32_t> pivot;
};

Factored factor(const Matrix& a, int m, int n, std::vector<std::int32_t> pivot = {}) {
  Factored f{m, n, a, std::vector<double>(n), pivot.empty() ? std::vector<std::int32_t>(n) : pivot};
  std::vector<double> work(n);
  qrFactorPivoted(f.qr.data(), m, n, f.qraux.data(), f.pivot.data(), work.data());
  return f;
}

Matrix randomMatrix(int m, int n, std::uint32_t seed) {
  UniformRandom generator{};
  seedUniformRandom(generator, seed);
  Matrix a(m * n);
  for (double& x : a) x = nextUniformRandom(generator) * 2.0 - 1.0;
  return a;
}

// Q·R rebuilt column by column equals A with its columns permuted.
TEST(QrFactorisation, ReproducesThePermutedMatrix) {
  for (auto [m, n] : {std::pair{5, 3}, {3, 5}, {4, 4}, {1, 3}, {6, 1}}) {
    SCOPED_TRACE(testing::Message() << m << "x" << n);
    const Matrix a = randomMatrix(m, n, 7 + m * n);
    const Factored f = factor(a, m, n);
    for (int j = 0; j < n; ++j) {
      std::vector<double> column(m, 0.0);
      for (int i = 0; i <= std::min(j, m - 1); ++i) column[i] = f.qr[i + j * m];
      qrApplyQ(f.qr.data(), m, n, f.qraux.data(), column.data());
      const int original = f.pivot[j] - 1;
      for (int i = 0; i < m; ++i) EXPECT_NEAR(column[i], a[i + original * m], 1e-14);
    }
  }
}

// The same pivot order and |R| diagonal as LAPACK's pivoted QR.
TEST(QrFactorisation, AgreesWithLapackPivotedQr) {
  const int m = 6, n = 4;
  Matrix a = randomMatrix(m, n, 99);
  for (int i = 0; i < m; ++i) a[i + 2 * m] *= 10.0;  // a clear first pivot
  const Factored f = factor(a, m, n);

  Matrix lapack = a;
  std::vector<int> jpvt(n, 0);
  std::vector<double> tau(n), work(100);
  const int lwork = 100;
  int info = 0;
  dgeqp3_(&m, &n, lapack.data(), &m, jpvt.data(), tau.data(), work.data(), &lwork, &info);
  ASSERT_EQ(info, 0);
  for (int j = 0; j < n; ++j) {
    EXPECT_EQ(f.pivot[j], jpvt[j]);
    EXPECT_NEAR(std::fabs(f.qr[j + j * m]), std::fabs(lapack[j + j * m]), 1e-13);
  }
}

TEST(QrFactorisation, PivotWordsPinColumnsToTheFrontAndBack) {
  Matrix a = randomMatrix(4, 4, 5);
  for (int i = 0; i < 4; ++i) a[i + 3 * 4] *= 0.001;  // smallest column...
  for (int i = 0; i < 4; ++i) a[i + 0 * 4] *= 100.0;  // ...and largest
  const Factored f = factor(a, 4, 4, {0, 0, 0, 1});   // column 4 initial
  EXPECT_EQ(f.pivot[0], 4);
  const Factored g = factor(a, 4, 4, {-1, 0, 0, 0});  // column 1 final
  EXPECT_EQ(g.pivot[3], 1);
}

TEST(QrFactorisation, NumericalRankOfHandWorkedMatrices) {
  // Rank 2: third column = first + second.
  const Matrix rank2 = {1, 0, 0, 0, 1, 0, 1, 1, 0};
  const Factored f = factor(rank2, 3, 3);
  EXPECT_EQ(qrNumericalRank(f.qr.data(), 3, 3, qrDefaultTolerance(3, 3)), 2);

  const Matrix zero(9, 0.0);
  const Factored z = factor(zero, 3, 3);
  EXPECT_EQ(qrNumericalRank(z.qr.data(), 3, 3, qrDefaultTolerance(3, 3)), 0);

  // A first diagonal element of 0 gives rank 0 even when later ones are not.
  const Matrix unpivoted = {0, 0, 0, 1};
  EXPECT_EQ(qrNumericalRank(unpivoted.data(), 2, 2, 1e-10), 0);

  // A looser tolerance drops the small direction.
  const Matrix nearlySingular = {1, 0, 0, 1e-9};
  const Factored s = factor(nearlySingular, 2, 2);
  EXPECT_EQ(qrNumericalRank(s.qr.data(), 2, 2, qrDefaultTolerance(2, 2)), 2);
  EXPECT_EQ(qrNumericalRank(s.qr.data(), 2, 2, 1e-6), 1);
}

// Columns x-y, x-y, x, z, y: the last row needs its own pivot to see rank 3.
TEST(QrFactorisation, WideMatrixPivotsAtTheLastRowToo) {
  const Matrix wide = {0, 1, 0, -1, 0, 0, 1, 0, 0, 0, 0, 1, 0, -1, 0};
  const Factored f = factor(wide, 3, 5);
  EXPECT_EQ(qrNumericalRank(f.qr.data(), 3, 5, qrDefaultTolerance(3, 5)), 3);
  EXPECT_EQ(f.pivot[2], 4);
  EXPECT_EQ(std::fabs(f.qr[2 + 2 * 3]), 1.0);
}

TEST(QrFactorisation, SolveRReportsTheZeroDiagonalPosition) {
  const Matrix r = {2, 0, 0, 1, 0, 0, 4, 5, 3};  // upper triangular, R(1,1) = 0
  std::vector<double> b = {1, 1, 1};
  const std::vector<double> noReflections(3, 0.0);
  EXPECT_EQ(qrSolveR(r.data(), 3, 3, noReflections.data(), b.data(), 3), 2);
  std::vector<double> c = {2, 6};  // leading 1x1 block only
  EXPECT_EQ(qrSolveR(r.data(), 3, 3, noReflections.data(), c.data(), 1), 0);
  EXPECT_EQ(c[0], 1.0);
}

// Least squares against LAPACK's rank-revealing solver, full rank and not.
TEST(QrFactorisation, LeastSquaresMatchesLapack) {
  struct Case {
    int m, n;
    bool makeDeficient;
  } const cases[] = {{6, 3, false}, {6, 3, true}, {3, 5, false}, {4, 4, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.m << "x" << c.n << " deficient " << c.makeDeficient);
    Matrix a = randomMatrix(c.m, c.n, 31 + c.m);
    if (c.makeDeficient)
      for (int i = 0; i < c.m; ++i) a[i + (c.n - 1) * c.m] = a[i] - 2.0 * a[i + c.m];
    const Matrix rhs = randomMatrix(c.m, 1, 77);

    Factored f = factor(a, c.m, c.n);
    std::vector<double> b = rhs, x(c.n);
    const std::vector<std::int32_t> pivotBefore = f.pivot;
    const bool deficient = qrLeastSquares(f.qr.data(), c.m, c.n, f.qraux.data(), f.pivot.data(),
                                          b.data(), x.data(), qrDefaultTolerance(c.m, c.n));
    EXPECT_EQ(deficient, c.makeDeficient);
    EXPECT_EQ(f.pivot, pivotBefore);

    if (!c.makeDeficient) {
      Matrix lapack = a;
      const int ldb = std::max(c.m, c.n), nrhs = 1, lwork = 200;
      std::vector<double> lb(ldb, 0.0), work(lwork);
      for (int i = 0; i < c.m; ++i) lb[i] = rhs[i];
      std::vector<int> jpvt(c.n, 0);
      const double rcond = 1e-12;
      int rank = 0, info = 0;
      dgelsy_(&c.m, &c.n, &nrhs, lapack.data(), &c.m, lb.data(), &ldb, jpvt.data(), &rcond, &rank,
              work.data(), &lwork, &info);
      ASSERT_EQ(info, 0);
      if (c.m >= c.n) {  // the unique least-squares solution
        for (int j = 0; j < c.n; ++j) EXPECT_NEAR(x[j], lb[j], 1e-12);
      }
    }
    // Whatever the rank, the residual is orthogonal to the columns used: Aᵀ(Ax - b) = 0
    // holds for a basic solution of a consistent or overdetermined full-column-rank problem.
    if (c.m >= c.n) {
      for (int j = 0; j < c.n; ++j) {
        double dot = 0.0;
        for (int i = 0; i < c.m; ++i) {
          double ax = 0.0;
          for (int k = 0; k < c.n; ++k) ax += a[i + k * c.m] * x[k];
          dot += a[i + j * c.m] * (ax - rhs[i]);
        }
        EXPECT_NEAR(dot, 0.0, 1e-12);
      }
    } else {  // underdetermined: an exact solution
      for (int i = 0; i < c.m; ++i) {
        double ax = 0.0;
        for (int k = 0; k < c.n; ++k) ax += a[i + k * c.m] * x[k];
        EXPECT_NEAR(ax, rhs[i], 1e-12);
      }
    }
  }
}

// The transposed solve gives LAPACK's minimum-norm solution of Aᵀ·y = c.
TEST(QrFactorisation, TransposedSolveIsTheMinimumNormSolution) {
  const int m = 5, n = 3;
  const Matrix a = randomMatrix(m, n, 123);
  const Matrix c = randomMatrix(n, 1, 321);
  const Factored f = factor(a, m, n);
  std::vector<double> y(m);
  EXPECT_EQ(qrTransposedSolve(f.qr.data(), m, n, f.qraux.data(), f.pivot.data(), c.data(), y.data(),
                              qrDefaultTolerance(m, n)),
            3);

  Matrix at(n * m);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) at[j + i * n] = a[i + j * m];
  const int ldb = m, nrhs = 1, lwork = 200;
  std::vector<double> lb(ldb, 0.0), work(lwork);
  for (int j = 0; j < n; ++j) lb[j] = c[j];
  std::vector<int> jpvt(m, 0);
  const double rcond = 1e-12;
  int rank = 0, info = 0;
  dgelsy_(&n, &m, &nrhs, at.data(), &n, lb.data(), &ldb, jpvt.data(), &rcond, &rank, work.data(),
          &lwork, &info);
  ASSERT_EQ(info, 0);
  for (int i = 0; i < m; ++i) EXPECT_NEAR(y[i], lb[i], 1e-12);
}

}  // namespace
