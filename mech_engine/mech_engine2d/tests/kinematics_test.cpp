// Kinematic sweeps, constraint equations and kinematic signals on the ramp,
// against trigonometry written here and finite differences.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"
#include "ramp_fixture.h"
#include "ramp_reference.h"

namespace {

using testing::HasSubstr;
using namespace ramp_points;

std::string errorText() {
  return getEngineError()->text != nullptr ? getEngineError()->text : "";
}

double angleOf(const EngineJoint* joint) {
  const double* r = joint->rotation->rotation;
  return std::atan2(r[1], r[0]);
}

void setCoordinates(RampFixture& ramp, const double* q, const double* qd = nullptr,
                    const double* qdd = nullptr) {
  for (int i = 0; i < 5; ++i) {
    jointPositions(ramp.stateJoints(i))[0] = q[i];
    jointVelocities(ramp.stateJoints(i))[0] = qd != nullptr ? qd[i] : 0.0;
    jointAccelerations(ramp.stateJoints(i))[0] = qdd != nullptr ? qdd[i] : 0.0;
  }
}

// Creates the ramp, lists its equations and returns the fixture ready to sweep.
void prepare(RampFixture& ramp) {
  ASSERT_FALSE(ramp.create()) << errorText();
  ASSERT_FALSE(setupMotionArrays(&ramp.mechanism, nullptr, nullptr, nullptr));
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
  ASSERT_FALSE(setVelocityConstraint2D(&ramp.mechanism));
  classifyConstraintEquations(&ramp.mechanism);
}

const double kConfigurations[][5] = {
    {0.0, 0.0, 0.0, 0.0, 0.0},
    {0.3, -0.2, 0.5, 0.05, 0.1},
    {-1.1, 0.7, -0.4, -0.12, 2.9},
};

TEST(KinematicSweeps, PositionsMatchIndependentTrigonometry) {
  RampFixture ramp;
  prepare(ramp);
  for (const auto& q : kConfigurations) {
    setCoordinates(ramp, q);
    ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
    const TreePlacements expected = forwardKinematics(q);
    const std::pair<const EngineJoint*, Placement> bodies[] = {{&ramp.revolute4, expected.exlar},
                                                               {&ramp.prismaticJoint, expected.rod},
                                                               {&ramp.revolute5, expected.link4},
                                                               {&ramp.revolute2, expected.link3},
                                                               {&ramp.revolute1, expected.door}};
    for (const auto& [joint, placement] : bodies) {
      SCOPED_TRACE(joint->blockName);
      EXPECT_NEAR(std::remainder(angleOf(joint) - placement.angle, 2 * M_PI), 0.0, 1e-12);
      EXPECT_NEAR(joint->rotation->position[0], placement.at.x, 1e-12);
      EXPECT_NEAR(joint->rotation->position[1], placement.at.y, 1e-12);
    }
    // The loop-closing frames: Door CS1 and Link4 CS3.
    const Point doorCS1 =
        plus(expected.door.at, along(expected.door.angle, minus(kGround1, kDoorCS4)));
    const Point link4CS3 =
        plus(expected.link4.at, along(expected.link4.angle, minus(kGround2, kLink4CS5)));
    EXPECT_NEAR(attachmentData(&ramp.revoluteLoop, kAttachFollowerPosition)[0], doorCS1.x, 1e-12);
    EXPECT_NEAR(attachmentData(&ramp.revoluteLoop, kAttachFollowerPosition)[1], doorCS1.y, 1e-12);
    EXPECT_NEAR(attachmentData(&ramp.revolute3Loop, kAttachFollowerPosition)[0], link4CS3.x, 1e-12);
    EXPECT_NEAR(attachmentData(&ramp.revolute3Loop, kAttachFollowerPosition)[1], link4CS3.y, 1e-12);
    // Each loop's revolute angle is its follower body's angle from the ground.
    EXPECT_NEAR(ramp.revoluteLoop.general->positions->data[0],
                std::remainder(expected.door.angle, 2 * M_PI), 1e-12);
  }
}

// Placement of every body at time t along q + q'·t + q''·t²/2.
std::vector<double> placementsAt(RampFixture& ramp, const double* q, const double* qd,
                                 const double* qdd, double t) {
  double moved[5];
  for (int i = 0; i < 5; ++i) moved[i] = q[i] + qd[i] * t + 0.5 * qdd[i] * t * t;
  setCoordinates(ramp, moved);
  EXPECT_FALSE(positionSweep2D(&ramp.mechanism));
  std::vector<double> out;
  for (int i = 0; i < 5; ++i) {
    const EngineJoint* joint = ramp.stateJoints(i);
    out.push_back(angleOf(joint));
    out.push_back(joint->rotation->position[0]);
    out.push_back(joint->rotation->position[1]);
  }
  return out;
}

TEST(KinematicSweeps, VelocitiesAndAccelerationsMatchFiniteDifferences) {
  RampFixture ramp;
  prepare(ramp);
  const double q[5] = {0.3, -0.2, 0.5, 0.05, 0.1};
  const double qd[5] = {0.7, -1.3, 0.4, 0.2, -0.9};
  const double qdd[5] = {-2.0, 0.5, 1.5, -0.3, 0.8};
  const double h = 1e-4;
  const std::vector<double> before = placementsAt(ramp, q, qd, qdd, -h);
  const std::vector<double> after = placementsAt(ramp, q, qd, qdd, h);
  const std::vector<double> now = placementsAt(ramp, q, qd, qdd, 0.0);
  setCoordinates(ramp, q, qd, qdd);
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
  ASSERT_FALSE(velocitySweep2D(&ramp.mechanism));
  ASSERT_FALSE(sweepAcceleration2D(&ramp.mechanism));
  for (int i = 0; i < 5; ++i) {
    const EngineJoint* joint = ramp.stateJoints(i);
    SCOPED_TRACE(joint->blockName);
    const double* v = motionData(joint, kMotionVelocity);
    const double* a = motionData(joint, kMotionAcceleration);
    for (int k = 0; k < 3; ++k) {
      const double rate = (after[3 * i + k] - before[3 * i + k]) / (2 * h);
      const double second = (after[3 * i + k] - 2 * now[3 * i + k] + before[3 * i + k]) / (h * h);
      EXPECT_NEAR(v[k], rate, 1e-6) << k;
      EXPECT_NEAR(a[k], second, 1e-4) << k;
    }
  }
}

TEST(ConstraintEquations, ErrorsVanishWhenAssembledAndMatchAHandComputation) {
  RampFixture ramp;
  prepare(ramp);
  EngineKinematicData* data = ramp.mechanism.kinematicData;
  ASSERT_EQ(data->activeCount, 4);
  ASSERT_EQ(data->positionActiveCount, 4);
  double error[4];
  ASSERT_FALSE(positionError2D(&ramp.mechanism, error, false));
  for (double e : error) EXPECT_NEAR(e, 0.0, 1e-15);
  EXPECT_EQ(assemblyCheck(&ramp.mechanism), false);

  const double q[5] = {0.02, -0.01, 0.03, 0.004, 0.015};
  setCoordinates(ramp, q);
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
  ASSERT_FALSE(positionError2D(&ramp.mechanism, error, false));
  const TreePlacements p = forwardKinematics(q);
  const Point doorCS1 = plus(p.door.at, along(p.door.angle, minus(kGround1, kDoorCS4)));
  const Point link4CS3 = plus(p.link4.at, along(p.link4.angle, minus(kGround2, kLink4CS5)));
  // Base point (ground) minus follower point, per loop.
  EXPECT_NEAR(error[0], kGround1.x - doorCS1.x, 1e-13);
  EXPECT_NEAR(error[1], kGround1.y - doorCS1.y, 1e-13);
  EXPECT_NEAR(error[2], kGround2.x - link4CS3.x, 1e-13);
  EXPECT_NEAR(error[3], kGround2.y - link4CS3.y, 1e-13);
  // The equation scale multiplies the residual.
  ramp.revoluteLoop.equationScale = 2.0;
  double scaled[4];
  ASSERT_FALSE(positionError2D(&ramp.mechanism, scaled, false));
  EXPECT_DOUBLE_EQ(scaled[0], 2.0 * error[0]);
  ramp.revoluteLoop.equationScale = 1.0;

  // The velocity error is the rate of the position error.
  const double qd[5] = {0.5, -0.4, 0.3, 0.2, -0.6};
  const double h = 1e-6;
  double moved[5];
  double ahead[4];
  double behind[4];
  for (int i = 0; i < 5; ++i) moved[i] = q[i] + h * qd[i];
  setCoordinates(ramp, moved);
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
  ASSERT_FALSE(positionError2D(&ramp.mechanism, ahead, false));
  for (int i = 0; i < 5; ++i) moved[i] = q[i] - h * qd[i];
  setCoordinates(ramp, moved);
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
  ASSERT_FALSE(positionError2D(&ramp.mechanism, behind, false));
  setCoordinates(ramp, q, qd);
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
  ASSERT_FALSE(velocitySweep2D(&ramp.mechanism));
  ASSERT_FALSE(setVelocityConstraint2D(&ramp.mechanism));
  double velocityError[4];
  ASSERT_FALSE(velocityError2D(&ramp.mechanism, velocityError));
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(velocityError[k], (ahead[k] - behind[k]) / (2 * h), 1e-8);
}

TEST(ConstraintEquations, AssemblyCheckReportsAViolationWithItsCounts) {
  RampFixture ramp;
  prepare(ramp);
  const double inside[5] = {0.0009, 0, 0, 0, 0};  // Door CS1 moves by about 0.0009·0.18 m
  setCoordinates(ramp, inside);
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
  EXPECT_FALSE(assemblyCheck(&ramp.mechanism));
  const double outside[5] = {0.05, 0, 0, 0, 0};
  setCoordinates(ramp, outside);
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
  EXPECT_TRUE(assemblyCheck(&ramp.mechanism));
  EXPECT_THAT(errorText(), testing::EndsWith("Check for kinematic singularities."));
  EXPECT_STREQ(getEngineError()->arguments[0], "ramp/Revolute");
  ramp.mechanism.kinematicData->initialActiveCount = 4;
  ramp.mechanism.kinematicData->perturbedActiveCount = 3;
  EXPECT_TRUE(assemblyCheck(&ramp.mechanism));
  EXPECT_THAT(errorText(), HasSubstr("\n\nThe constraints on the initial configuration of this "
                                     "mechanism are singular. There were 4 active constraints in "
                                     "the initial configuration, but machine initialization "
                                     "indicates that perturbing the initial configuration changes "
                                     "these to 3 active constraints."));
}

TEST(ConstraintEquations, RevoluteDriverRowDrivesTheRelativeAngle) {
  RampFixture ramp;
  ramp.revolute[4].initialCondition = kInitialConditionActuated;  // the ground–Door loop
  ramp.revolute[4].initialPosition = 0.25;
  ASSERT_FALSE(ramp.create()) << errorText();
  ASSERT_FALSE(setupMotionArrays(&ramp.mechanism, nullptr, nullptr, nullptr));
  ASSERT_FALSE(toggleGeneralConstraintIcEquations(&ramp.revoluteLoop, true));
  ASSERT_FALSE(updateGeneralConstraintDrivingInfo2D(&ramp.revoluteLoop));
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
  ASSERT_FALSE(setVelocityConstraint2D(&ramp.mechanism));
  classifyConstraintEquations(&ramp.mechanism);
  EXPECT_EQ(ramp.mechanism.kinematicData->activeCount, 5);
  // The driver angle is held; the Door's angle from the ground is 0 here.
  EXPECT_EQ(ramp.revoluteLoop.general->positions->data[0], 0.25);
  ASSERT_FALSE(generalConstraintPositionEquations(&ramp.revoluteLoop));
  EXPECT_NEAR(ramp.revoluteLoop.equations->residual[2], std::sin(0.25), 1e-15);
  EXPECT_EQ(testGeneralConstraintEquations(&ramp.revoluteLoop), 2);
  // Turn the Door (with Link3 fixed) by 0.25 about Revolute1: the row vanishes.
  const double q[5] = {0.25, 0, 0, 0, 0};
  setCoordinates(ramp, q);
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
  ASSERT_FALSE(generalConstraintPositionEquations(&ramp.revoluteLoop));
  EXPECT_NEAR(ramp.revoluteLoop.equations->residual[2], 0.0, 1e-15);
}

TEST(ConstraintEquations, DegenerateFramesCannotGiveAnAngle) {
  RampFixture ramp;
  double zero[9] = {};
  ramp.revoluteLoop.base.rotation = zero;
  ASSERT_FALSE(ramp.create()) << errorText();
  EXPECT_TRUE(computeSingleRevoluteAngle2D(&ramp.revoluteLoop));
  EXPECT_EQ(errorText(),
            "Error originates in Mechanical block %s. Unable to compute the rotation angle of this "
            "revolute joint. Check for singularities.");
  EXPECT_TRUE(positionSweep2D(&ramp.mechanism));
}

TEST(KinematicSignals, AngleWrapTable) {
  const struct {
    double angle;
    double wrapped;
  } cases[] = {{M_PI, M_PI}, {3 * M_PI, -M_PI}, {-M_PI, M_PI}, {-3 * M_PI, M_PI},
               {0.0, 0.0},   {1.0, 1.0},        {-1.0, -1.0},  {7.0, 7.0 - 2 * M_PI}};
  for (const auto& c : cases) EXPECT_NEAR(wrapRevoluteAngle(c.angle), c.wrapped, 1e-15) << c.angle;
}

TEST(KinematicSignals, SensorsReportPositionsAnglesAndRates) {
  RampFixture ramp;
  const double degrees = 57.29577951308232;
  EngineSensor prismaticSensor{8, 0, nullptr};
  EngineSensor loopSensors[2] = {{8, 0, &degrees}, {9, 0, &degrees}};
  ramp.prismaticJoint.numSensors = 1;
  ramp.prismaticJoint.sensors = &prismaticSensor;
  ramp.revoluteLoop.numSensors = 2;
  ramp.revoluteLoop.sensors = loopSensors;
  prepare(ramp);
  const double q[5] = {0.1, 0.2, -0.1, 0.03, 0.05};
  const double qd[5] = {0.4, 0.0, 0.0, 0.0, 0.0};
  setCoordinates(ramp, q, qd);
  ASSERT_FALSE(positionSweep2D(&ramp.mechanism));
  ASSERT_FALSE(velocitySweep2D(&ramp.mechanism));
  double outputs[4] = {0, 0, 0, 99};
  ASSERT_FALSE(kinematicOutputs2D(outputs, &ramp.mechanism));
  const TreePlacements p = forwardKinematics(q);
  EXPECT_DOUBLE_EQ(outputs[0], 0.03);
  EXPECT_NEAR(outputs[1], degrees * p.door.angle, 1e-12);
  // Only Revolute1 moves: the Door turns at 0.4 rad/s.
  EXPECT_NEAR(outputs[2], degrees * 0.4, 1e-12);
  EXPECT_EQ(outputs[3], 99);
  EXPECT_FALSE(kinematicOutputs2D(nullptr, &ramp.mechanism));
}

TEST(KinematicSignals, KinematicsStepMovesTheRampFromItsState) {
  RampFixture ramp;
  prepare(ramp);
  const double q[5] = {0.0, 0.0, 0.0, 0.0, 0.2};
  int assembled = 1;
  double kinematicOutputs[3] = {};
  double stateOut[10] = {};
  MechanismInputView in{};
  in.time = 0.5;
  in.firstCallFlag = &assembled;
  MechanismOutputView out{};
  out.numOutputPorts = 2;
  out.outputPorts[0] = kinematicOutputs;
  out.outputPorts[1] = stateOut;
  ramp.environment.numKinematicOutputs = 3;
  ramp.state[4] = q[4];  // Revolute4's position state
  ASSERT_FALSE(mechanismKinematicsStep(&ramp.mechanism, &in, &out)) << errorText();
  EXPECT_NEAR(angleOf(&ramp.revolute4), 0.2, 1e-15);
  EXPECT_EQ(stateOut[4], 0.2);
  EXPECT_EQ(ramp.mechanism.time, 0.5);
}

}  // namespace

// The closure's factor of A_fᵀ·A_f is kept only while the matrix it was
// formed from is the present one, bit for bit.
TEST(ClosureFactor, IsKeptForTheSameMatrixAndFormedAgainForAnother) {
  RampFixture ramp;
  prepare(ramp);
  EngineConstraint* closure = &ramp.revoluteLoop;
  EngineGeneralConstraint* g = closure->general;
  const int k = g->freeVelocities->count;
  ASSERT_GT(k, 0);
  const std::vector<double> fresh(g->normalFactor->data, g->normalFactor->data + k * k);

  // Same matrix: a marked factor is left as it is.
  g->normalFactor->data[0] = 42.0;
  updateGeneralConstraintAxisMatrix2D(closure);
  EXPECT_EQ(g->normalFactor->data[0], 42.0);

  // Another matrix factored last: the factor is formed again from this one.
  g->factoredNormal->data[0] += 1.0;
  updateGeneralConstraintAxisMatrix2D(closure);
  EXPECT_EQ(std::vector<double>(g->normalFactor->data, g->normalFactor->data + k * k), fresh);
}
