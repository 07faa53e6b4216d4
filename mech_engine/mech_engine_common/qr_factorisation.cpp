#include "mech_engine_common/qr_factorisation.h"

#include <algorithm>
#include <cmath>

#include "mech_engine_common/engine_vector_kernels.h"
#include "mech_engine_common/tolerance_check.h"

// Invariant of the factorisation: after step l, columns 0..l of x hold R's
// column and, below the diagonal, the tail of reflection l's vector, whose
// diagonal element is kept in qraux[l].

namespace {

// The reflections apply to rows l..m-1; the last row needs none.
int reflectionCount(int m, int n) {
  return std::max(0, std::min(n, m - 1));
}

void swapColumns(double* x, int m, int a, int b) {
  double* ca = x + a * m;
  double* cb = x + b * m;
  for (int i = 0; i < m; ++i) std::swap(ca[i], cb[i]);
}

}  // namespace

void qrFactorPivoted(double* x, int m, int n, double* qraux, std::int32_t* pivot, double* work) {
  auto at = [x, m](int i, int j) -> double& { return x[i + j * m]; };

  // Move the initial columns to the front and the final columns to the back.
  int pl = 0;  // first free column
  for (int j = 0; j < n; ++j) {
    const bool toFront = pivot[j] > 0;
    const bool toBack = pivot[j] < 0;
    pivot[j] = toBack ? -(j + 1) : j + 1;
    if (toFront) {
      if (j != pl) swapColumns(x, m, pl, j);
      pivot[j] = pivot[pl];
      pivot[pl] = j + 1;
      ++pl;
    }
  }
  int pu = n - 1;  // last free column
  for (int j = n - 1; j >= 0; --j) {
    if (pivot[j] < 0) {
      pivot[j] = -pivot[j];
      if (j != pu) {
        swapColumns(x, m, pu, j);
        std::swap(pivot[pu], pivot[j]);
      }
      --pu;
    }
  }
  for (int j = pl; j <= pu; ++j) {
    qraux[j] = scaledNorm(&at(0, j), m);
    work[j] = qraux[j];
  }

  const int steps = std::min(m, n);
  for (int l = 0; l < steps; ++l) {
    // Bring the free column of largest remaining norm into the pivot position.
    // This is done for the last row too, where no reflection follows: without
    // it a wide matrix can show a zero last diagonal element while a later
    // column still has weight there, and its rank comes out too low.
    if (l >= pl && l < pu) {
      double largest = 0.0;
      int chosen = l;
      for (int j = l; j <= pu; ++j) {
        if (qraux[j] > largest) {
          largest = qraux[j];
          chosen = j;
        }
      }
      if (chosen != l) {
        swapColumns(x, m, l, chosen);
        qraux[chosen] = qraux[l];
        work[chosen] = work[l];
        std::swap(pivot[chosen], pivot[l]);
      }
    }
    qraux[l] = 0.0;
    if (l == m - 1) continue;

    // Householder reflection for column l.
    double norm = scaledNorm(&at(l, l), m - l);
    if (norm == 0.0) continue;
    if (at(l, l) != 0.0) norm = std::copysign(std::fabs(norm), at(l, l));
    const double scale = 1.0 / norm;
    for (int i = l; i < m; ++i) at(i, l) *= scale;
    at(l, l) = 1.0 + at(l, l);

    // Apply it to the remaining columns and downdate their norms.
    for (int j = l + 1; j < n; ++j) {
      double dot = 0.0;
      for (int i = l; i < m; ++i) dot += at(i, l) * at(i, j);
      const double t = -dot / at(l, l);
      for (int i = l; i < m; ++i) at(i, j) += t * at(i, l);
      if (j < pl || j > pu || qraux[j] == 0.0) continue;
      const double ratio = std::fabs(at(l, j)) / qraux[j];
      const double remaining = std::max(1.0 - ratio * ratio, 0.0);
      const double relative = qraux[j] / work[j];
      if (1.0 + 0.05 * remaining * relative * relative != 1.0) {
        qraux[j] *= std::sqrt(remaining);
      } else {
        // Too much cancellation: recompute the norm of the column's tail.
        qraux[j] = scaledNorm(&at(l + 1, j), m - l - 1);
        work[j] = qraux[j];
      }
    }
    qraux[l] = at(l, l);
    at(l, l) = -norm;
  }
}

double qrDefaultTolerance(int m, int n) {
  return kEngineEps * std::max(m, n);
}

int qrNumericalRank(const double* qr, int m, int n, double tolerance) {
  const int count = std::min(m, n);
  if (count <= 0) return 0;
  const double threshold = std::fabs(qr[0]) * tolerance;
  int rank = 0;
  while (rank < count && violates(qr[rank + rank * m], threshold)) ++rank;
  return rank;
}

void qrApplyReflection(const double* qr, int m, int l, double scalar, double* v) {
  if (scalar == 0.0) return;
  const double* column = qr + l * m;
  // The reflection's diagonal element is the scalar, not R's entry.
  double dot = scalar * v[l];
  for (int i = l + 1; i < m; ++i) dot += column[i] * v[i];
  const double t = -dot / scalar;
  v[l] += t * scalar;
  for (int i = l + 1; i < m; ++i) v[i] += t * column[i];
}

void qrApplyQTranspose(const double* qr, int m, int n, const double* qraux, double* v) {
  const int count = reflectionCount(m, n);
  for (int l = 0; l < count; ++l) qrApplyReflection(qr, m, l, qraux[l], v);
}

void qrApplyQ(const double* qr, int m, int n, const double* qraux, double* v) {
  for (int l = reflectionCount(m, n) - 1; l >= 0; --l) qrApplyReflection(qr, m, l, qraux[l], v);
}

int qrSolveR(const double* qr, int m, int n, const double* qraux, double* b, int k) {
  const int count = reflectionCount(m, std::min(n, k));
  for (int l = 0; l < count; ++l) qrApplyReflection(qr, m, l, qraux[l], b);
  for (int j = k - 1; j >= 0; --j) {
    const double diagonal = qr[j + j * m];
    if (diagonal == 0.0) return j + 1;
    b[j] /= diagonal;
    const double t = -b[j];
    for (int i = 0; i < j; ++i) b[i] += t * qr[i + j * m];
  }
  return 0;
}

bool qrLeastSquares(const double* qr, int m, int n, const double* qraux, std::int32_t* pivot,
                    double* b, double* x, double tolerance) {
  const int rank = qrNumericalRank(qr, m, n, tolerance);
  if (rank > 0) qrSolveR(qr, m, n, qraux, b, rank);
  for (int j = 0; j < n; ++j) x[j] = j < rank ? b[j] : 0.0;

  // x is in pivoted order: the value at position j belongs to column pivot[j].
  // Follow each permutation cycle once, marking visited positions negative.
  for (int start = 0; start < n; ++start) {
    if (pivot[start] < 0) continue;
    double carried = x[start];
    int current = start;
    do {
      const int target = pivot[current] - 1;
      std::swap(carried, x[target]);
      pivot[current] = -pivot[current];
      current = target;
    } while (current != start);
  }
  for (int j = 0; j < n; ++j) pivot[j] = -pivot[j];
  return rank < std::min(m, n);
}

int qrTransposedSolve(const double* qr, int m, int n, const double* qraux,
                      const std::int32_t* pivot, const double* c, double* y, double tolerance) {
  const int rank = std::min(qrNumericalRank(qr, m, n, tolerance), m);
  for (int j = 0; j < rank; ++j) {
    double value = pivot != nullptr ? c[pivot[j] - 1] : c[j];
    for (int i = 0; i < j; ++i) value -= qr[i + j * m] * y[i];
    y[j] = value / qr[j + j * m];
  }
  for (int j = rank; j < m; ++j) y[j] = 0.0;
  qrApplyQ(qr, m, n, qraux, y);
  return rank;
}
