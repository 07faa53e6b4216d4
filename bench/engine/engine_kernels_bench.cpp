// The engine's numeric kernels at the sizes one ramp step works with: the
// matrix product on 3-vectors (2D) and 6-vectors (3D) in its dense and
// structured forms; the pivoted QR of the transposed constraint Jacobian
// (5 free velocities x 4 equations) and of J·Jᵀ (4 x 4) with their solves;
// the Cholesky factor, solve and condition estimate of G = J·A⁻¹·Jᵀ (4 x 4).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "mech_engine_common/cholesky.h"
#include "mech_engine_common/matrix_multiply.h"
#include "mech_engine_common/qr_factorisation.h"

namespace {

// Deterministic, well-spread values in [-1, 1).
std::vector<double> values(int count, std::uint32_t seed) {
  std::vector<double> out(count);
  for (double& v : out) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<double>(seed >> 8) / static_cast<double>(1u << 23) - 1.0;
  }
  return out;
}

// ---- matrixMultiply ----

struct ProductCase {
  const char* label;
  int rowsA, colsA, rowsB, colsB;
  int formA, formB, operation;
};

// A structured operand is an offset vector (2 doubles in 2D, 3 in 3D) whose
// dimension comes from the other operand.
constexpr ProductCase kProductCases[] = {
    {"2D dense 3x3 * 3-vector", 3, 3, 3, 1, kFormGeneral, kFormGeneral, kMultiplyProduct},
    {"2D shift * 3-vector", 3, 3, 3, 1, kFormShift, kFormGeneral, kMultiplyProduct},
    {"2D shift^T * 3-vector", 3, 3, 3, 1, kFormShift, kFormGeneral, kMultiplyTransposeProduct},
    {"2D shift * dense 3x3", 3, 3, 3, 3, kFormShift, kFormGeneral, kMultiplyProduct},
    {"3D dense 6x6 * 6-vector", 6, 6, 6, 1, kFormGeneral, kFormGeneral, kMultiplyProduct},
    {"3D shift * 6-vector", 6, 6, 6, 1, kFormShift, kFormGeneral, kMultiplyProduct},
    {"3D shift off-diagonal * 6-vector", 6, 6, 6, 1, kFormShiftOffDiagonal, kFormGeneral,
     kMultiplyProduct},
    {"3D dense 6x6 * 6x6", 6, 6, 6, 6, kFormGeneral, kFormGeneral, kMultiplyProduct},
};

void BM_MatrixMultiply(benchmark::State& state) {
  const ProductCase& c = kProductCases[state.range(0)];
  const std::vector<double> a = values(c.rowsA * c.colsA, 1);
  const std::vector<double> b = values(c.rowsB * c.colsB, 2);
  std::vector<double> out(36);
  for (auto _ : state) {
    matrixMultiply(out.data(), a.data(), b.data(), c.rowsA, c.colsA, c.rowsB, c.colsB, c.formA,
                   c.formB, c.operation);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(c.label);
}
BENCHMARK(BM_MatrixMultiply)->DenseRange(0, std::size(kProductCases) - 1);

// ---- pivoted QR ----

// The position solver factors Jᵀ (free velocities x equations: 5 x 4 on the
// ramp), the velocity projection J·Jᵀ (4 x 4).
void BM_QrFactorPivoted(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  const std::vector<double> original = values(m * n, 3);
  std::vector<double> x(original.size()), qraux(n), work(n);
  std::vector<std::int32_t> pivot(n);
  for (auto _ : state) {
    std::memcpy(x.data(), original.data(), original.size() * sizeof(double));
    std::fill(pivot.begin(), pivot.end(), 0);
    qrFactorPivoted(x.data(), m, n, qraux.data(), pivot.data(), work.data());
    benchmark::DoNotOptimize(x.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel("factor (copy of the input included)");
}
BENCHMARK(BM_QrFactorPivoted)->Args({5, 4})->Args({4, 4});

// Least squares with rank detection on an already factored matrix.
void BM_QrLeastSquares(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  std::vector<double> x = values(m * n, 4), qraux(n), work(n);
  std::vector<std::int32_t> pivot(n, 0);
  qrFactorPivoted(x.data(), m, n, qraux.data(), pivot.data(), work.data());
  const std::vector<double> rhs = values(m, 5);
  std::vector<double> b(m), solution(n);
  const double tolerance = qrDefaultTolerance(m, n);
  for (auto _ : state) {
    std::memcpy(b.data(), rhs.data(), m * sizeof(double));
    benchmark::DoNotOptimize(qrLeastSquares(x.data(), m, n, qraux.data(), pivot.data(), b.data(),
                                            solution.data(), tolerance));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_QrLeastSquares)->Args({4, 4})->Args({5, 4});

// The minimum-norm solve of the position solver's step: Aᵀ·y = c.
void BM_QrTransposedSolve(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  std::vector<double> x = values(m * n, 6), qraux(n), work(n);
  std::vector<std::int32_t> pivot(n, 0);
  qrFactorPivoted(x.data(), m, n, qraux.data(), pivot.data(), work.data());
  const std::vector<double> c = values(n, 7);
  std::vector<double> y(m);
  const double tolerance = qrDefaultTolerance(m, n);
  for (auto _ : state) {
    benchmark::DoNotOptimize(qrTransposedSolve(x.data(), m, n, qraux.data(), pivot.data(), c.data(),
                                               y.data(), tolerance));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_QrTransposedSolve)->Args({5, 4});

// ---- Cholesky ----

// A symmetric positive definite n x n matrix: B·Bᵀ + n·I.
std::vector<double> positiveDefinite(int n) {
  const std::vector<double> b = values(n * n, 8);
  std::vector<double> a(n * n, 0.0);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      for (int k = 0; k < n; ++k) a[i + n * j] += b[i + n * k] * b[j + n * k];
    }
    a[i + n * i] += n;
  }
  return a;
}

// G = J·A⁻¹·Jᵀ has one row per active constraint equation: 4 on the ramp.
void BM_CholeskyFactorAndSolve(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<double> original = positiveDefinite(n);
  const std::vector<double> rhs = values(n, 9);
  std::vector<double> a(original.size()), x(n);
  for (auto _ : state) {
    std::memcpy(a.data(), original.data(), original.size() * sizeof(double));
    benchmark::DoNotOptimize(choleskyFactor(a.data(), n));
    choleskySolve(a.data(), x.data(), rhs.data(), n);
    benchmark::DoNotOptimize(x.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel("factor + solve (copy of the input included)");
}
BENCHMARK(BM_CholeskyFactorAndSolve)->Arg(4);

void BM_CholeskyReciprocalCondition(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<double> a = positiveDefinite(n);
  double oneNorm = 0.0;
  for (int j = 0; j < n; ++j) {
    double column = 0.0;
    for (int i = 0; i < n; ++i) column += a[i + n * j] < 0 ? -a[i + n * j] : a[i + n * j];
    oneNorm = column > oneNorm ? column : oneNorm;
  }
  choleskyFactor(a.data(), n);
  std::vector<double> work(n);
  for (auto _ : state) {
    benchmark::DoNotOptimize(choleskyReciprocalCondition(a.data(), n, oneNorm, work.data()));
  }
}
BENCHMARK(BM_CholeskyReciprocalCondition)->Arg(4);

}  // namespace
