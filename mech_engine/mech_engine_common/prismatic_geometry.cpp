#include "mech_engine_common/prismatic_geometry.h"

#include <cmath>

#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/tolerance_check.h"

namespace {

double dot(const double* a, const double* b, int dimension) {
  double sum = 0.0;
  for (int i = 0; i < dimension; ++i) sum += a[i] * b[i];
  return sum;
}

// Parallel or anti-parallel unit axes leave no plane to solve in.
bool aligned(double g) {
  return std::fabs(g) == 1.0;
}

bool alignedFailure(const char* blockName) {
  return setEngineError(kMessageAlignedPrismaticAxes, blockName != nullptr ? blockName : "");
}

}  // namespace

bool checkPrismaticGeometry(const char* blockName, const double* d, const double* const* axes,
                            int p, int dimension, double linearTolerance, double* displacements) {
  double r[3] = {0, 0, 0};
  for (int i = 0; i < dimension; ++i) r[i] = d[i];
  if (p == 1) {
    const double s = dot(d, axes[0], dimension);
    for (int i = 0; i < dimension; ++i) r[i] -= s * axes[0][i];
    displacements[0] = s;
  } else if (p == 2) {
    const double g = dot(axes[0], axes[1], dimension);
    if (aligned(g)) return alignedFailure(blockName);
    // d = s1·a1 + s2·a2 solved in the plane of the two axes. (Exchanging the
    // axes, as a joint names them, gives the same two displacements.)
    const double h = 1.0 / (g * g - 1.0);
    const double t1 = dot(d, axes[0], dimension);
    const double t2 = dot(d, axes[1], dimension);
    const double s1 = h * (g * t2 - t1);
    const double s2 = h * (g * t1 - t2);
    for (int i = 0; i < dimension; ++i) r[i] -= s1 * axes[0][i] + s2 * axes[1][i];
    displacements[0] = s1;
    displacements[1] = s2;
  } else if (p == 3) {
    if (aligned(dot(axes[0], axes[1], 3)) || aligned(dot(axes[0], axes[2], 3)) ||
        aligned(dot(axes[1], axes[2], 3))) {
      return alignedFailure(blockName);
    }
    // d = Σ s_i a_i: Cramer's rule on the 3x3 system of the axes.
    const double* a = axes[0];
    const double* b = axes[1];
    const double* c = axes[2];
    const double det = a[0] * (b[1] * c[2] - b[2] * c[1]) - b[0] * (a[1] * c[2] - a[2] * c[1]) +
                       c[0] * (a[1] * b[2] - a[2] * b[1]);
    if (det == 0.0) return alignedFailure(blockName);
    const double sa = (d[0] * (b[1] * c[2] - b[2] * c[1]) - b[0] * (d[1] * c[2] - d[2] * c[1]) +
                       c[0] * (d[1] * b[2] - d[2] * b[1])) /
                      det;
    const double sb = (a[0] * (d[1] * c[2] - d[2] * c[1]) - d[0] * (a[1] * c[2] - a[2] * c[1]) +
                       c[0] * (a[1] * d[2] - a[2] * d[1])) /
                      det;
    const double sc = (a[0] * (b[1] * d[2] - b[2] * d[1]) - b[0] * (a[1] * d[2] - a[2] * d[1]) +
                       d[0] * (a[1] * b[2] - a[2] * b[1])) /
                      det;
    displacements[0] = sa;
    displacements[1] = sb;
    displacements[2] = sc;
    for (int i = 0; i < 3; ++i) r[i] -= sa * a[i] + sb * b[i] + sc * c[i];
  }
  double norm = 0.0;
  for (int i = 0; i < dimension; ++i) norm += r[i] * r[i];
  if (violates(std::sqrt(norm), linearTolerance)) {
    return setEngineError(kMessageFramesOffAxis, blockName != nullptr ? blockName : "");
  }
  return false;
}
