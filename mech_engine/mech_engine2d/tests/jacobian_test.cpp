// The Jacobian operators against a dense J built here from finite differences
// of the position error, and the stiction zero-crossing signals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"
#include "ramp_fixture.h"

namespace {

std::string errorText() {
  return getEngineError()->text != nullptr ? getEngineError()->text : "";
}

struct Dense {
  int rows;
  int columns;
  std::vector<double> values;  // column-major
  double operator()(int i, int j) const { return values[i + rows * j]; }
};

class JacobianTest : public testing::Test {
 protected:
  void SetUp() override {
    ramp_.revolute[3].actuation = driveRevolute4_ ? kActuationMotionDriven : kActuationFree;
    ASSERT_FALSE(ramp_.create()) << errorText();
    ASSERT_FALSE(setupMotionArrays(&ramp_.mechanism, nullptr, nullptr, nullptr));
    setCoordinates(kConfiguration);
    ASSERT_FALSE(setVelocityConstraint2D(&ramp_.mechanism));
    classifyConstraintEquations(&ramp_.mechanism);
  }

  void setCoordinates(const double* q) {
    for (int i = 0; i < 5; ++i) jointPositions(ramp_.stateJoints(i))[0] = q[i];
    ASSERT_FALSE(positionSweep2D(&ramp_.mechanism));
  }

  // d(position error)/dq over the given coordinates (indices into stateJoints).
  Dense finiteDifferenceJacobian(const std::vector<int>& coordinates) {
    const int rows = ramp_.mechanism.kinematicData->activeCount;
    Dense j{rows, static_cast<int>(coordinates.size()), {}};
    const double h = 1e-6;
    std::vector<double> ahead(rows), behind(rows);
    for (int c : coordinates) {
      double q[5];
      std::copy(std::begin(kConfiguration), std::end(kConfiguration), q);
      q[c] += h;
      setCoordinates(q);
      EXPECT_FALSE(positionError2D(&ramp_.mechanism, ahead.data(), false));
      q[c] -= 2 * h;
      setCoordinates(q);
      EXPECT_FALSE(positionError2D(&ramp_.mechanism, behind.data(), false));
      for (int r = 0; r < rows; ++r) j.values.push_back((ahead[r] - behind[r]) / (2 * h));
    }
    setCoordinates(kConfiguration);
    EXPECT_FALSE(setVelocityConstraint2D(&ramp_.mechanism));
    return j;
  }

  static constexpr double kConfiguration[5] = {0.3, -0.2, 0.5, 0.05, 0.1};
  bool driveRevolute4_ = false;
  RampFixture ramp_;
};

TEST_F(JacobianTest, ConstructedJacobianMatchesFiniteDifferences) {
  const Dense expected = finiteDifferenceJacobian({0, 1, 2, 3, 4});
  double j[4 * 5];
  ASSERT_FALSE(constructJacobian2D(&ramp_.mechanism, j, false));
  for (int c = 0; c < 5; ++c) {
    for (int r = 0; r < 4; ++r) EXPECT_NEAR(j[r + 4 * c], expected(r, c), 1e-8) << r << "," << c;
  }
  // Position-level rows are the same here (all four are holonomic).
  double positionLevel[4 * 5];
  ASSERT_FALSE(constructJacobian2D(&ramp_.mechanism, positionLevel, true));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(positionLevel[i], j[i]);
}

TEST_F(JacobianTest, OperatorsAgreeWithDenseProducts) {
  double j[4 * 5];
  ASSERT_FALSE(constructJacobian2D(&ramp_.mechanism, j, false));
  const Dense J{4, 5, std::vector<double>(j, j + 20)};

  const double rates[5] = {0.7, -1.1, 0.4, 2.0, -0.3};
  double product[4];
  ASSERT_FALSE(operateJacobian2D(&ramp_.mechanism, product, rates, false));
  for (int r = 0; r < 4; ++r) {
    double expected = 0.0;
    for (int c = 0; c < 5; ++c) expected += J(r, c) * rates[c];
    EXPECT_NEAR(product[r], expected, 1e-12);
  }

  const double multipliers[4] = {1.5, -0.25, 3.0, 0.5};
  double forces[5];
  ASSERT_FALSE(operateReducedJacobianTransp2D(&ramp_.mechanism, multipliers, forces, false));
  for (int c = 0; c < 5; ++c) {
    double expected = 0.0;
    for (int r = 0; r < 4; ++r) expected += J(r, c) * multipliers[r];
    EXPECT_NEAR(forces[c], expected, 1e-12) << c;
  }

  double transposed[5 * 4];
  ASSERT_FALSE(transposeJacobian2D(&ramp_.mechanism, transposed));
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 5; ++c) EXPECT_NEAR(transposed[c + 5 * r], J(r, c), 1e-12);
  }

  double normal[4 * 4];
  ASSERT_FALSE(generateNormalEquations2D(&ramp_.mechanism, normal, false));
  for (int a = 0; a < 4; ++a) {
    for (int b = 0; b < 4; ++b) {
      double expected = 0.0;
      for (int c = 0; c < 5; ++c) expected += J(a, c) * J(b, c);
      EXPECT_NEAR(normal[a + 4 * b], expected, 1e-12);
    }
  }

  double full[4 * 5];  // no driven columns asked for: J itself
  ASSERT_FALSE(velocityJacobian2D(&ramp_.mechanism, full, 0));
  for (int i = 0; i < 20; ++i) EXPECT_NEAR(full[i], j[i], 1e-15);
}

TEST_F(JacobianTest, ZeroRatesAndZeroMultipliersTouchNothing) {
  const double zeros[5] = {};
  double product[4] = {9, 9, 9, 9};
  ASSERT_FALSE(operateJacobian2D(&ramp_.mechanism, product, zeros, false));
  for (double p : product) EXPECT_EQ(p, 0.0);
  EXPECT_TRUE(ramp_.revolute1.motion[kMotionBuffer]->zeroFlag);

  // No multiplier on the Door's loop: the Door's accumulator stays flagged zero.
  const double multipliers[4] = {0.0, 0.0, 1.0, 1.0};
  double forces[5];
  ASSERT_FALSE(operateReducedJacobianTransp2D(&ramp_.mechanism, multipliers, forces, false));
  EXPECT_TRUE(ramp_.revolute1.motion[kMotionForceAccumulator]->zeroFlag);
  EXPECT_EQ(forces[0], 0.0);
  EXPECT_EQ(forces[1], 0.0);
}

TEST(JacobianWithoutEquations, WritesNothing) {
  RampFixture ramp;
  ASSERT_FALSE(ramp.create()) << errorText();
  ASSERT_FALSE(setupMotionArrays(&ramp.mechanism, nullptr, nullptr, nullptr));
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));  // nothing classified: no active equations
  double out[4] = {7, 7, 7, 7};
  ASSERT_FALSE(constructJacobian2D(&ramp.mechanism, out, false));
  ASSERT_FALSE(generateNormalEquations2D(&ramp.mechanism, out, false));
  for (double v : out) EXPECT_EQ(v, 7);
}

class DrivenJacobianTest : public JacobianTest {
 protected:
  DrivenJacobianTest() { driveRevolute4_ = true; }
};

TEST_F(DrivenJacobianTest, VelocityJacobianAppendsTheDrivenColumns) {
  // Revolute4 is motion-driven: four free columns, then its driven column.
  const Dense expected = finiteDifferenceJacobian({0, 1, 2, 3, 4});
  double j[4 * 5] = {};
  ASSERT_FALSE(velocityJacobian2D(&ramp_.mechanism, j, 1));
  for (int c = 0; c < 5; ++c) {
    for (int r = 0; r < 4; ++r) EXPECT_NEAR(j[r + 4 * c], expected(r, c), 1e-8) << r << "," << c;
  }
  double reduced[4 * 4];
  ASSERT_FALSE(constructJacobian2D(&ramp_.mechanism, reduced, false));
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(reduced[i], j[i], 1e-15);
}

// --- stiction zero-crossings -----------------------------------------------------------------

struct ZeroCrossingCase {
  const char* name;
  std::int32_t mode;
  double velocity;
  double expected[4];
};

TEST(StictionZeroCrossings, UnlinkedSignalsPerMode) {
  RampFixture ramp;
  ramp.revolute[4].stiction = kStictionActuated;  // the ground–Door loop
  ASSERT_FALSE(ramp.create()) << errorText();
  EngineConstraint* loop = &ramp.revoluteLoop;
  EXPECT_TRUE(generalConstraintEventTest(loop));
  EXPECT_FALSE(generalConstraintEventTest(&ramp.revolute3Loop));
  double entry[3] = {5.0, -2.0, 3.0};  // force, lower limit, upper limit
  const ZeroCrossingCase cases[] = {
      {"locked", kModeLocked, 0.0, {-1, 1, 7.0, 2.0}},
      {"sliding positive", kModeSlidingPositive, 0.5, {0.5, 1, 1, -1}},
      {"sliding positive at rest", kModeSlidingPositive, 0.0, {0.0, 1, 1, -1}},
      {"sliding negative", kModeSlidingNegative, -0.5, {-1, -0.5, 1, -1}},
      {"unlocked", kModeUnlocked, 0.3, {-1, 1, 1, -1}},
      {"undetermined", kModeUndetermined, 0.0, {-1, 1, 1, -1}},
      {"lower stop", kModeStopLower, -0.1, {-1, 1, 1, -1}},
      {"upper stop", kModeStopUpper, 0.1, {-1, 1, 1, -1}},
  };
  for (const ZeroCrossingCase& c : cases) {
    SCOPED_TRACE(c.name);
    loop->general->modes->indices[0] = c.mode;
    loop->general->velocities->data[0] = c.velocity;
    double* inputs[1] = {entry};
    double** input = inputs;
    double signals[5] = {0, 0, 0, 0, 99};
    double* out = signals;
    ASSERT_FALSE(generalConstraintZeroCrossingFunction(loop, &input, &out));
    EXPECT_EQ(out, signals + 4);
    EXPECT_EQ(input, inputs + 1);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(signals[i], c.expected[i]) << i;
    EXPECT_EQ(signals[4], 99);
  }
}

TEST(StictionZeroCrossings, LinkedConstraintGivesItsMarginsOnceWhenAllAreLocked) {
  RampFixture ramp;
  ramp.revolute[4].stiction = kStictionActuated;
  ramp.revoluteLoop.linked = 1;
  ASSERT_FALSE(ramp.create()) << errorText();
  EngineConstraint* loop = &ramp.revoluteLoop;
  double entry[3] = {1.0, -4.0, 4.0};
  for (const auto& [mode, margins] : {std::pair{kModeLocked, std::pair{5.0, -3.0}},
                                      std::pair{kModeUnlocked, std::pair{1.0, -1.0}}}) {
    loop->general->modes->indices[0] = mode;
    loop->general->velocities->data[0] = 0.0;
    double* inputs[1] = {entry};
    double** input = inputs;
    double signals[4] = {};
    double* out = signals;
    ASSERT_FALSE(generalConstraintZeroCrossingFunction(loop, &input, &out));
    EXPECT_EQ(out, signals + 4);
    EXPECT_EQ(input, inputs + 1);
    EXPECT_EQ(signals[0], -1.0);
    EXPECT_EQ(signals[1], 1.0);
    EXPECT_EQ(signals[2], margins.first);
    EXPECT_EQ(signals[3], margins.second);
  }
}

}  // namespace
