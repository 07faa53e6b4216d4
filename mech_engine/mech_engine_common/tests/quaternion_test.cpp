#include "mech_engine_common/quaternion.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// Rotation matrix (column-major) of the unit quaternion (x, y, z, w).
void rotationOf(const double* q, double* r) {
  const double x = q[0], y = q[1], z = q[2], w = q[3];
  const double m[9] = {
      w * w + x * x - y * y - z * z, 2 * (x * y + w * z),           2 * (x * z - w * y),
      2 * (x * y - w * z),           y * y + w * w - x * x - z * z, 2 * (y * z + w * x),
      2 * (x * z + w * y),           2 * (y * z - w * x),           z * z + w * w - x * x - y * y};
  for (int i = 0; i < 9; ++i) r[i] = m[i];
}

// One quaternion per branch: w, x, y and z the largest component.
TEST(Quaternion, RotationRoundTripPicksTheSignNearestThePrevious) {
  const double halfSqrt = std::sqrt(0.5);
  const double cases[][4] = {
      {0.1, 0.2, 0.3, std::sqrt(1 - 0.14)},
      {std::sqrt(1 - 0.14), 0.1, -0.2, 0.3},
      {0.3, -std::sqrt(1 - 0.14), 0.2, 0.1},
      {0.0, 0.0, halfSqrt, halfSqrt},  // tie of w and z: w is taken
      {0.2, 0.1, std::sqrt(1 - 0.14), -0.3},
  };
  for (const auto& q : cases) {
    double r[9];
    rotationOf(q, r);
    double same[4] = {q[0] + 0.01, q[1], q[2], q[3]};
    quaternionFromRotation(r, same);
    double opposite[4] = {-q[0], -q[1], -q[2], -q[3] + 0.01};
    quaternionFromRotation(r, opposite);
    for (int i = 0; i < 4; ++i) {
      EXPECT_NEAR(same[i], q[i], 1e-15);
      EXPECT_NEAR(opposite[i], -q[i], 1e-15);
    }
  }
}

TEST(Quaternion, RateAtTheIdentityIsHalfTheAngularRate) {
  const double q[] = {0, 0, 0, 1};
  const double omega[] = {1, 2, 3};
  double rate[4];
  quaternionRate(q, omega, rate);
  EXPECT_EQ(rate[0], 0.5);
  EXPECT_EQ(rate[1], 1.0);
  EXPECT_EQ(rate[2], 1.5);
  EXPECT_EQ(rate[3], 0.0);
}

// The derivative form is the time derivative of the rate along q + t·q̇, ω + t·ω̇.
TEST(Quaternion, RateDerivativeMatchesAFiniteDifference) {
  const double q[] = {0.1, -0.2, 0.3, 0.9};
  const double qRate[] = {0.5, 0.1, -0.4, 0.2};
  const double omega[] = {0.7, -1.1, 0.4};
  const double omegaRate[] = {-0.3, 0.8, 1.6};
  const double h = 1e-6;
  double ahead[4], behind[4], derivative[4];
  auto rateAt = [&](double t, double* out) {
    double qt[4], wt[3];
    for (int i = 0; i < 4; ++i) qt[i] = q[i] + t * qRate[i];
    for (int i = 0; i < 3; ++i) wt[i] = omega[i] + t * omegaRate[i];
    quaternionRate(qt, wt, out);
  };
  rateAt(h, ahead);
  rateAt(-h, behind);
  quaternionRateDerivative(q, qRate, omega, omegaRate, derivative);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(derivative[i], (ahead[i] - behind[i]) / (2 * h), 1e-8);
}

}  // namespace
