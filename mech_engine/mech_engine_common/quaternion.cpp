#include "mech_engine_common/quaternion.h"

#include <cmath>

namespace {

// out = E(q)·v for the 4x3 matrix E of the rate formula.
void applyRateMatrix(const double* q, const double* v, double* out) {
  const double x = q[0], y = q[1], z = q[2], w = q[3];
  out[0] = w * v[0] + z * v[1] - y * v[2];
  out[1] = -z * v[0] + w * v[1] + x * v[2];
  out[2] = y * v[0] - x * v[1] + w * v[2];
  out[3] = -x * v[0] - y * v[1] - z * v[2];
}

}  // namespace

void quaternionRate(const double* q, const double* omega, double* rate) {
  double e[4];
  applyRateMatrix(q, omega, e);
  for (int i = 0; i < 4; ++i) rate[i] = 0.5 * e[i];
}

void quaternionRateDerivative(const double* q, const double* qRate, const double* omega,
                              const double* omegaRate, double* out) {
  double first[4], second[4];
  applyRateMatrix(q, omegaRate, first);
  applyRateMatrix(qRate, omega, second);
  for (int i = 0; i < 4; ++i) out[i] = 0.5 * (first[i] + second[i]);
}

void quaternionFromRotation(const double* r, double* previous) {
  auto R = [r](int i, int j) { return r[i + 3 * j]; };
  const double quarter[4] = {
      (1.0 + R(0, 0) + R(1, 1) + R(2, 2)) / 4.0,  // w²
      (1.0 + R(0, 0) - R(1, 1) - R(2, 2)) / 4.0,  // x²
      (1.0 - R(0, 0) + R(1, 1) - R(2, 2)) / 4.0,  // y²
      (1.0 - R(0, 0) - R(1, 1) + R(2, 2)) / 4.0,  // z²
  };
  int largest = 0;
  for (int i = 1; i < 4; ++i) {
    if (quarter[i] > quarter[largest]) largest = i;
  }
  const double s = std::sqrt(quarter[largest]);
  const double d = 4.0 * s;
  double x, y, z, w;
  switch (largest) {
    case 0:
      w = s;
      x = (R(2, 1) - R(1, 2)) / d;
      y = (R(0, 2) - R(2, 0)) / d;
      z = (R(1, 0) - R(0, 1)) / d;
      break;
    case 1:
      x = s;
      y = (R(0, 1) + R(1, 0)) / d;
      z = (R(0, 2) + R(2, 0)) / d;
      w = (R(2, 1) - R(1, 2)) / d;
      break;
    case 2:
      y = s;
      x = (R(0, 1) + R(1, 0)) / d;
      z = (R(2, 1) + R(1, 2)) / d;
      w = (R(0, 2) - R(2, 0)) / d;
      break;
    default:
      z = s;
      x = (R(0, 2) + R(2, 0)) / d;
      y = (R(2, 1) + R(1, 2)) / d;
      w = (R(1, 0) - R(0, 1)) / d;
      break;
  }
  const double q[4] = {x, y, z, w};
  double sumDistance = 0.0, differenceDistance = 0.0;
  for (int i = 0; i < 4; ++i) {
    sumDistance += (q[i] + previous[i]) * (q[i] + previous[i]);
    differenceDistance += (q[i] - previous[i]) * (q[i] - previous[i]);
  }
  const double sign = sumDistance < differenceDistance ? -1.0 : 1.0;
  for (int i = 0; i < 4; ++i) previous[i] = sign * q[i];
}
