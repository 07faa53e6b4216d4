#include "mech_engine_common/cholesky.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lapack_reference.h"
#include "mech_engine_common/engine_vector_kernels.h"

namespace {

using Matrix = std::vector<double>;

// A·Aᵀ + n·I for a pseudo-random A: symmetric positive definite.
Matrix spdMatrix(int n, std::uint32_t seed) {
  UniformRandom generator{};
  seedUniformRandom(generator, seed);
  Matrix a(n * n);
  for (double& x : a) x = nextUniformRandom(generator) - 0.5;
  Matrix s(n * n, 0.0);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      for (int k = 0; k < n; ++k) s[i + j * n] += a[i + k * n] * a[j + k * n];
      if (i == j) s[i + j * n] += n;
    }
  return s;
}

TEST(Cholesky, FactorMatchesLapackAndMirrorsTheTranspose) {
  const int n = 5;
  const Matrix a = spdMatrix(n, 11);
  Matrix f = a;
  ASSERT_FALSE(choleskyFactor(f.data(), n));

  Matrix lapack = a;
  int info = 0;
  dpotrf_("L", &n, lapack.data(), &n, &info);
  ASSERT_EQ(info, 0);
  for (int j = 0; j < n; ++j)
    for (int i = j; i < n; ++i) {
      EXPECT_NEAR(f[i + j * n], lapack[i + j * n], 1e-14);
      EXPECT_EQ(f[j + i * n], f[i + j * n]);
    }
}

// Each diagonal is the diagonal value minus the sum of the squares, summed
// first; subtracting the squares one at a time differs in the last bits.
TEST(Cholesky, DiagonalSubtractsTheSumOfSquaresOnce) {
  const int n = 6;
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    const Matrix a = spdMatrix(n, seed);
    Matrix f = a;
    ASSERT_FALSE(choleskyFactor(f.data(), n));
    for (int i = 0; i < n; ++i) {
      double sumOfSquares = 0.0;
      for (int k = 0; k < i; ++k) sumOfSquares += f[i + k * n] * f[i + k * n];
      EXPECT_EQ(f[i + i * n], std::sqrt(a[i + i * n] - sumOfSquares)) << "seed " << seed;
    }
  }
}

TEST(Cholesky, SolveRecoversTheRightHandSide) {
  const int n = 4;
  const Matrix a = spdMatrix(n, 5);
  Matrix f = a;
  ASSERT_FALSE(choleskyFactor(f.data(), n));
  const std::vector<double> expected = {1.0, -2.0, 0.5, 3.0};
  std::vector<double> b(n, 0.0);
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < n; ++k) b[i] += a[i + k * n] * expected[k];
  std::vector<double> x(n);
  choleskySolve(f.data(), x.data(), b.data(), n);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], expected[i], 1e-13);
}

TEST(Cholesky, FailsOnZeroAndIndefiniteMatrices) {
  Matrix zero(9, 0.0);
  EXPECT_TRUE(choleskyFactor(zero.data(), 3));
  Matrix indefinite = {1, 2, 2, 1};
  EXPECT_TRUE(choleskyFactor(indefinite.data(), 2));
  Matrix semidefinite = {1, 1, 1, 1};  // second pivot exactly 0
  EXPECT_TRUE(choleskyFactor(semidefinite.data(), 2));
}

TEST(Cholesky, SubstitutionsWithUnitDiagonal) {
  const Matrix l = {2, 1, 99, 3};  // lower (2, 0; 1, 3), upper entry 99
  const std::vector<double> b = {4, 5};
  std::vector<double> x(2);
  forwardSubstitution(l.data(), x.data(), b.data(), 2, false);
  EXPECT_EQ(x[0], 2.0);
  EXPECT_EQ(x[1], 1.0);
  forwardSubstitution(l.data(), x.data(), b.data(), 2, true);
  EXPECT_EQ(x[1], 1.0);  // 5 - 1·4
  backSubstitution(l.data(), x.data(), b.data(), 2, true);
  EXPECT_EQ(x[1], 5.0);
  EXPECT_EQ(x[0], 4.0 - 99.0 * 5.0);
}

// Worked by hand through the four solves with R = diag(1, 2, 10): w = (1, 1/2,
// 1/10), y ∝ (1, 1/4, 1/100), v ∝ (1, 1/8, 1/1000), z ∝ (1, 1/16, 1/10000);
// the growth of the last two solves is 1.26 / 1.0626, over the one-norm 100.
TEST(Cholesky, ConditionEstimateOfADiagonalMatrixByHand) {
  Matrix a = {1, 0, 0, 0, 4, 0, 0, 0, 100};
  const double norm = matrixOneNorm(a.data(), 3, 3);
  ASSERT_FALSE(choleskyFactor(a.data(), 3));
  std::vector<double> work(3);
  EXPECT_NEAR(choleskyReciprocalCondition(a.data(), 3, norm, work.data()), 1.26 / 1.0626 / 100.0,
              1e-16);
  EXPECT_EQ(choleskyReciprocalCondition(a.data(), 3, 0.0, work.data()), 0.0);
}

// The estimate is close to the true 1-norm reciprocal condition from LAPACK's inverse.
TEST(Cholesky, ConditionEstimateIsCloseToTheTrueValue) {
  for (int n : {2, 4, 7}) {
    Matrix a = spdMatrix(n, 40 + n);
    for (int i = 0; i < n; ++i) a[i + i * n] *= 1.0 + 50.0 * i;  // spread the spectrum
    const double norm = matrixOneNorm(a.data(), n, n);

    Matrix inverse = a;
    int info = 0;
    dpotrf_("U", &n, inverse.data(), &n, &info);
    dpotri_("U", &n, inverse.data(), &n, &info);
    ASSERT_EQ(info, 0);
    for (int j = 0; j < n; ++j)
      for (int i = j + 1; i < n; ++i) inverse[i + j * n] = inverse[j + i * n];
    const double trueReciprocal = 1.0 / (norm * matrixOneNorm(inverse.data(), n, n));

    Matrix f = a;
    ASSERT_FALSE(choleskyFactor(f.data(), n));
    std::vector<double> work(n);
    const double estimate = choleskyReciprocalCondition(f.data(), n, norm, work.data());
    EXPECT_GE(estimate, trueReciprocal * (1.0 - 1e-12)) << n;  // never optimistic about ‖A⁻¹‖
    EXPECT_LE(estimate, trueReciprocal * 3.0) << n;
  }
}

}  // namespace
