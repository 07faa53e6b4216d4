#include "mech_engine_common/rotation_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "mech_engine_common/coordinate_transform.h"

namespace {

constexpr double kQuarterTurn = 1.5707963267948966;  // 90 degrees

// Rows as written on paper, compared with a column-major result.
void expectMatrix(const double* actual, const double (&rows)[3][3], double tolerance = 1e-15) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(actual[i + 3 * j], rows[i][j], tolerance) << "(" << i << ", " << j << ")";
}

TEST(RotationKernels, QuarterTurnsAboutEachAxis) {
  double r[9];
  const double quarterFirst[3] = {kQuarterTurn, 0.0, 0.0};
  const double quarterMiddle[3] = {0.0, kQuarterTurn, 0.0};
  callRotationKernel(0, quarterFirst, r);  // XYX: Rx(90°)
  expectMatrix(r, {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}});
  callRotationKernel(1, quarterMiddle, r);  // XYZ: Ry(90°)
  expectMatrix(r, {{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}});
  callRotationKernel(10, quarterFirst, r);  // ZYX: Rz(90°)
  expectMatrix(r, {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}});
  const double zero[3] = {0.0, 0.0, 0.0};
  for (int k = 0; k < 12; ++k) {
    callRotationKernel(k, zero, r);
    expectMatrix(r, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, 0.0);
  }
}

// Rx(a)·Ry(b)·Rz(c) for XYZ, worked out symbolically.
TEST(RotationKernels, SequenceIsTheProductInOrder) {
  const double a = 0.3, b = -0.7, c = 1.1;
  const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b);
  const double cc = std::cos(c), sc = std::sin(c);
  const double angles[3] = {a, b, c};
  double r[9];
  callRotationKernel(1, angles, r);
  expectMatrix(r, {{cb * cc, -cb * sc, sb},
                   {ca * sc + sa * sb * cc, ca * cc - sa * sb * sc, -sa * cb},
                   {sa * sc - ca * sb * cc, sa * cc + ca * sb * sc, ca * cb}});
}

TEST(RotationKernels, QuaternionAndCopyEntries) {
  const double h = std::sqrt(0.5);
  const double q[4] = {0.0, 0.0, h, h};  // 90° about z
  double r[9];
  callRotationKernel(12, q, r);
  expectMatrix(r, {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}, 1e-15);
  const double m[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  callRotationKernel(13, m, r);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(r[i], m[i]);
  double untouched[9] = {};
  callRotationKernel(14, m, untouched);
  callRotationKernel(-1, m, untouched);
  for (double v : untouched) EXPECT_EQ(v, 0.0);
}

TEST(CoordinateTransform, AxesPerpendicularToTheNormal) {
  double frame[6];
  const double z[3] = {0, 0, 1};
  coordinateTransform(frame, z);
  const double expectedZ[6] = {0, 1, 0, -1, 0, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(frame[i], expectedZ[i]);
  const double x[3] = {1, 0, 0};
  coordinateTransform(frame, x);  // |n_y| < |n_x|: e = y
  const double expectedX[6] = {0, 0, 1, 0, -1, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(frame[i], expectedX[i]);
  const double zero[3] = {0, 0, 0};
  coordinateTransformNormalised(frame, zero);
  for (double v : frame) EXPECT_EQ(v, 0.0);

  const double twiceZ[3] = {0, 0, 2};
  testing::internal::CaptureStdout();
  coordinateTransform(frame, twiceZ);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "at line 43 of file \"mech_engine/mech_engine_common/coordinateTransform\""),
            std::string::npos);
  testing::internal::CaptureStdout();
  coordinateTransformNormalised(frame, twiceZ);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  for (int i = 0; i < 6; ++i) EXPECT_EQ(frame[i], expectedZ[i]);
}

TEST(PlaneRotation, TurnsWithTheSignOfTheAxis) {
  double r[4];
  const double up[3] = {0, 0, 1}, down[3] = {0, 0, -1};
  planeRotation(up, kQuarterTurn, r);
  EXPECT_NEAR(r[0], 0.0, 1e-16);
  EXPECT_EQ(r[1], 1.0);
  EXPECT_EQ(r[2], -1.0);
  planeRotation(down, kQuarterTurn, r);
  EXPECT_EQ(r[1], -1.0);
  EXPECT_EQ(r[2], 1.0);
  const double tilted[3] = {0, 1, 0};
  testing::internal::CaptureStdout();
  planeRotation(tilted, 0.0, r);
  const std::string report = testing::internal::GetCapturedStdout();
  EXPECT_NE(report.find("Assertion Failed fabs(axis[2])==1 at line 1083 of file "
                        "\"mech_engine/mech_engine_common/vfMath\".\n\tAxis is not parallel to "
                        "+/- z\n"),
            std::string::npos);
}

}  // namespace
