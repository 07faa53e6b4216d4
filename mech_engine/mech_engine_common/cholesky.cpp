#include "mech_engine_common/cholesky.h"

#include <cmath>

#include "mech_engine_common/engine_vector_kernels.h"

bool choleskyFactor(double* a, int n) {
  auto at = [a, n](int i, int j) -> double& { return a[i + j * n]; };
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < i; ++j) {
      double sum = at(i, j);
      for (int k = 0; k < j; ++k) sum -= at(i, k) * at(j, k);
      at(i, j) = sum / at(j, j);
      at(j, i) = at(i, j);
    }
    // The diagonal value minus the sum of squares: sum first, subtract once.
    double sumOfSquares = 0.0;
    for (int k = 0; k < i; ++k) sumOfSquares += at(i, k) * at(i, k);
    const double diagonal = at(i, i) - sumOfSquares;
    if (!(diagonal > 0.0)) return true;  // not positive, or NaN
    at(i, i) = std::sqrt(diagonal);
  }
  return false;
}

void forwardSubstitution(const double* l, double* x, const double* b, int n, bool unitDiagonal) {
  for (int i = 0; i < n; ++i) {
    double value = b[i];
    for (int k = 0; k < i; ++k) value -= l[i + k * n] * x[k];
    x[i] = unitDiagonal ? value : value / l[i + i * n];
  }
}

void backSubstitution(const double* u, double* x, const double* b, int n, bool unitDiagonal) {
  for (int i = n - 1; i >= 0; --i) {
    double value = b[i];
    for (int k = i + 1; k < n; ++k) value -= u[i + k * n] * x[k];
    x[i] = unitDiagonal ? value : value / u[i + i * n];
  }
}

void choleskySolve(const double* factor, double* x, const double* b, int n) {
  forwardSubstitution(factor, x, b, n, false);
  backSubstitution(factor, x, x, n, false);
}

namespace {

void scale(double* z, int n, double s) {
  for (int i = 0; i < n; ++i) z[i] *= s;
}

}  // namespace

double choleskyReciprocalCondition(const double* factor, int n, double oneNorm, double* z) {
  if (oneNorm == 0.0 || n <= 0) return 0.0;
  // r(i, j) for i <= j is the upper factor R = Lᵀ with A = Rᵀ·R.
  auto r = [factor, n](int i, int j) { return factor[i + j * n]; };

  // Solve Rᵀ·w = e, choosing e = ±1 so that w grows.
  double ek = 1.0;
  for (int j = 0; j < n; ++j) z[j] = 0.0;
  for (int k = 0; k < n; ++k) {
    if (z[k] != 0.0) ek = std::copysign(std::fabs(ek), -z[k]);
    if (std::fabs(ek - z[k]) > r(k, k)) {
      const double s = r(k, k) / std::fabs(ek - z[k]);
      scale(z, n, s);
      ek *= s;
    }
    double wk = ek - z[k];
    double wkm = -ek - z[k];
    double s = std::fabs(wk);
    double sm = std::fabs(wkm);
    wk /= r(k, k);
    wkm /= r(k, k);
    if (k + 1 < n) {
      for (int j = k + 1; j < n; ++j) {
        sm += std::fabs(z[j] + wkm * r(k, j));
        z[j] += wk * r(k, j);
        s += std::fabs(z[j]);
      }
      if (s < sm) {
        const double t = wkm - wk;
        wk = wkm;
        for (int j = k + 1; j < n; ++j) z[j] += t * r(k, j);
      }
    }
    z[k] = wk;
  }
  scale(z, n, 1.0 / vectorOneNorm(z, n));

  // Solve R·y = w.
  for (int k = n - 1; k >= 0; --k) {
    if (std::fabs(z[k]) > r(k, k)) scale(z, n, r(k, k) / std::fabs(z[k]));
    z[k] /= r(k, k);
    const double t = -z[k];
    for (int i = 0; i < k; ++i) z[i] += t * r(i, k);
  }
  scale(z, n, 1.0 / vectorOneNorm(z, n));
  double ynorm = 1.0;

  // Solve Rᵀ·v = y.
  for (int k = 0; k < n; ++k) {
    double dot = 0.0;
    for (int i = 0; i < k; ++i) dot += r(i, k) * z[i];
    z[k] -= dot;
    if (std::fabs(z[k]) > r(k, k)) {
      const double s = r(k, k) / std::fabs(z[k]);
      scale(z, n, s);
      ynorm *= s;
    }
    z[k] /= r(k, k);
  }
  double s = 1.0 / vectorOneNorm(z, n);
  scale(z, n, s);
  ynorm *= s;

  // Solve R·z = v.
  for (int k = n - 1; k >= 0; --k) {
    if (std::fabs(z[k]) > r(k, k)) {
      const double t = r(k, k) / std::fabs(z[k]);
      scale(z, n, t);
      ynorm *= t;
    }
    z[k] /= r(k, k);
    const double t = -z[k];
    for (int i = 0; i < k; ++i) z[i] += t * r(i, k);
  }
  s = 1.0 / vectorOneNorm(z, n);
  scale(z, n, s);
  ynorm *= s;
  return ynorm / oneNorm;
}
