#include "mech_engine2d/transform2d_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/transform_buffer.h"

namespace {

// A plane transform whose rows are (0, 1, 0), (0, 0, 1), (1, 0, 0): it maps the
// y-z plane onto x-y (x → normal, y → first axis, z → second axis).
const double kPlane[9] = {0, 0, 1, 1, 0, 0, 0, 1, 0};

class Transform2D : public testing::Test {
 protected:
  void SetUp() override {
    beginTransformBuffer();
    reserveTransformBuffer(8);
    ASSERT_FALSE(allocateTransformBuffer());
  }
  void TearDown() override { releaseTransformBuffer(); }
};

TEST_F(Transform2D, SharedTargetIsTransformedOnce) {
  double v[3] = {0.0, 2.0, 3.0};
  EXPECT_FALSE(transformVector2D(kPlane, v));
  EXPECT_FALSE(transformVector2D(kPlane, v));
  EXPECT_EQ(v[0], 2.0);
  EXPECT_EQ(v[1], 3.0);
  EXPECT_EQ(v[2], 0.0);
}

TEST_F(Transform2D, MatrixFormsAgree) {
  double m[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  double n[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_FALSE(transformMatrix2D(kPlane, m));
  EXPECT_FALSE(transformMatrixAccumulated2D(kPlane, n));
  const double expected[9] = {2, 3, 1, 5, 6, 4, 8, 9, 7};
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(m[i], expected[i]);
    EXPECT_EQ(n[i], expected[i]);
  }
}

TEST_F(Transform2D, InPlaneDirectionIsRescaledToUnitLength) {
  const double s = std::sqrt(0.5);
  double v[3] = {0.1, s * 0.99498743710662, s * 0.99498743710662};  // unit, slightly off-plane
  EXPECT_FALSE(transformInPlaneDirection2D(kPlane, v));
  EXPECT_EQ(v[2], 0.0);
  EXPECT_NEAR(v[0], s, 1e-15);
  EXPECT_NEAR(v[1], s, 1e-15);
}

TEST_F(Transform2D, NormalDirectionKeepsOnlyItsSign) {
  double up[3] = {0.8, 0.6, 0.0};
  double flat[3] = {0.0, 1.0, 0.0};  // no normal component after rotation: becomes -1
  EXPECT_FALSE(transformNormalDirection2D(kPlane, up));
  EXPECT_FALSE(transformNormalDirection2D(kPlane, flat));
  EXPECT_EQ(up[0], 0.0);
  EXPECT_EQ(up[1], 0.0);
  EXPECT_EQ(up[2], 1.0);
  EXPECT_EQ(flat[2], -1.0);
}

TEST_F(Transform2D, NonUnitDirectionIsReportedAndStillTransformed) {
  double v[3] = {0.0, 2.0, 0.0};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(transformInPlaneDirection2D(kPlane, v));
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "Assertion Failed fabs(norm-1.0)<1e-5 at line 129 of file "
                "\"mech_engine/mech_engine2d/transform2dUtil\".\n\tPresumed unit vector has "
                "non-unit norm\n"),
            std::string::npos);
  EXPECT_EQ(v[0], 1.0);
}

TEST_F(Transform2D, FullBufferFailsWithoutTouchingTheTarget) {
  double vectors[9][3] = {};
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(transformVector2D(kPlane, vectors[i]));
  vectors[8][1] = 5.0;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(transformVector2D(kPlane, vectors[8]));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(vectors[8][1], 5.0);
  EXPECT_EQ(vectors[8][0], 0.0);
}

}  // namespace
