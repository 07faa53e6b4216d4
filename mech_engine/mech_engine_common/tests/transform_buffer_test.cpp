#include "mech_engine_common/transform_buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "mech_engine_common/engine_error.h"

namespace {

class TransformBufferTest : public testing::Test {
 protected:
  void SetUp() override {
    beginTransformBuffer();
    setEngineError("no error");
  }
  void TearDown() override { releaseTransformBuffer(); }
};

TEST_F(TransformBufferTest, RegistersEachTargetOnce) {
  reserveTransformBuffer(2);
  ASSERT_FALSE(allocateTransformBuffer());
  double a[3], b[3];
  EXPECT_EQ(registerTransformTarget(a), TransformRegistration::transform);
  EXPECT_EQ(registerTransformTarget(a), TransformRegistration::alreadyTransformed);
  EXPECT_EQ(registerTransformTarget(nullptr), TransformRegistration::alreadyTransformed);
  EXPECT_EQ(registerTransformTarget(b), TransformRegistration::transform);
  EXPECT_EQ(globalTransformBuffer.num, 2);
}

TEST_F(TransformBufferTest, OverflowRecordsAnErrorInsteadOfWritingPastTheTable) {
  reserveTransformBuffer(1);
  ASSERT_FALSE(allocateTransformBuffer());
  double a[3], b[3];
  EXPECT_EQ(registerTransformTarget(a), TransformRegistration::transform);
  testing::internal::CaptureStdout();
  EXPECT_EQ(registerTransformTarget(b), TransformRegistration::overflow);
  EXPECT_NE(
      testing::internal::GetCapturedStdout().find(
          "Assertion Failed globalTransformBuffer.num < globalTransformBuffer.max at line 111"),
      std::string::npos);
  EXPECT_EQ(globalTransformBuffer.num, 1);
  EXPECT_EQ(std::string(getEngineError()->text).rfind("Error originates in a Mechanical model.", 0),
            0u);
}

TEST_F(TransformBufferTest, NothingReservedMeansNoTableAndNoRoom) {
  ASSERT_FALSE(allocateTransformBuffer());
  EXPECT_EQ(globalTransformBuffer.table, nullptr);
  double a[3];
  testing::internal::CaptureStdout();
  EXPECT_EQ(registerTransformTarget(a), TransformRegistration::overflow);
  testing::internal::GetCapturedStdout();
}

TEST_F(TransformBufferTest, ReleaseLeavesItReadyForTheNextMechanism) {
  reserveTransformBuffer(3);
  ASSERT_FALSE(allocateTransformBuffer());
  double a[3];
  registerTransformTarget(a);
  releaseTransformBuffer();
  EXPECT_EQ(globalTransformBuffer.table, nullptr);
  EXPECT_EQ(globalTransformBuffer.num, 0);
  EXPECT_EQ(globalTransformBuffer.max, 0);
  testing::internal::CaptureStdout();
  beginTransformBuffer();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no assertion on a clean start
  reserveTransformBuffer(1);
  ASSERT_FALSE(allocateTransformBuffer());
  EXPECT_EQ(registerTransformTarget(a), TransformRegistration::transform);
}

}  // namespace
