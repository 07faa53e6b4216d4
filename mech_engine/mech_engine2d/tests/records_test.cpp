// Bodies, joints and constraints: creation, destruction, the prismatic check,
// motion arrays and the continuous-state vector.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/prismatic_geometry.h"
#include "ramp_fixture.h"
#include "test_allocator.h"

namespace {

using testing::HasSubstr;

std::string errorText() {
  return getEngineError()->text != nullptr ? getEngineError()->text : "";
}

TEST(EngineRecords, RampCreatesItsRecords) {
  RampFixture ramp;
  ASSERT_FALSE(ramp.create()) << errorText();
  EXPECT_EQ(ramp.revolute1.numPositions, 1);
  EXPECT_EQ(ramp.revolute1.numVelocities, 1);
  EXPECT_EQ(ramp.prismaticJoint.actuatedFlag, 1);
  EXPECT_EQ(ramp.revolute1.actuatedFlag, 0);
  // Link3's centre of mass sits at Door CS4, seen from its own reference Link4 CS4.
  const double* offset = bodyData(&ramp.link3, kBodyCentreOfMass);
  EXPECT_NEAR(offset[0], ramp_points::kDoorCS4.x - ramp_points::kLink4CS4.x, 1e-15);
  EXPECT_NEAR(offset[1], ramp_points::kDoorCS4.y - ramp_points::kLink4CS4.y, 1e-15);
  // Revolute1's base frame on Link3, seen from Link3's reference point.
  const double* base = generalOf(&ramp.revolute1)->baseOffset;
  EXPECT_NEAR(base[0], ramp_points::kDoorCS4.x - ramp_points::kLink4CS4.x, 1e-15);
  // Door (k = 0) has no outboard joint; Link3 (k = 1) carries Revolute1's base frame.
  EXPECT_NEAR(bodyData(&ramp.link3, kBodyOutboardOffset)[1],
              ramp_points::kDoorCS4.y - ramp_points::kLink4CS4.y, 1e-15);
  // Loop constraints: two translation equations each (free revolute, no prismatic).
  EXPECT_EQ(ramp.revoluteLoop.equations->n, 2);
  EXPECT_EQ(ramp.revoluteLoop.general->numRevolute, 1);
  EXPECT_EQ(ramp.mechanism.kinematicData->numEquations, 4);
  EXPECT_EQ(ramp.mechanism.kinematicData->numPositionValues, 6);
  // The body's force input is bound only with actuators or variable masses.
  EXPECT_EQ(ramp.door.methods[kBodyForceInput], nullptr);
}

TEST(EngineRecords, CreateDestroyCreateIsClean) {
  TestAllocator::install();
  {
    RampFixture ramp;
    ASSERT_FALSE(ramp.create()) << errorText();
    destroyEngineMechanism(&ramp.mechanism);
    EXPECT_TRUE(TestAllocator::live.empty());
    ASSERT_FALSE(ramp.create()) << errorText();
  }
  EXPECT_TRUE(TestAllocator::live.empty());
  TestAllocator::uninstall();
}

TEST(EngineRecords, AllocationFailureAnywhereReportsAndLeaksNothing) {
  TestAllocator::install();
  {
    RampFixture ramp;
    ASSERT_FALSE(ramp.create());
  }
  const int total = TestAllocator::calls;
  ASSERT_GT(total, 100);
  for (int failAt = 0; failAt < total; ++failAt) {
    TestAllocator::install(failAt);
    {
      RampFixture ramp;
      EXPECT_TRUE(ramp.create()) << "allocation " << failAt;
      EXPECT_THAT(errorText(), HasSubstr("Insufficient memory for data structure allocation."))
          << "allocation " << failAt;
      EXPECT_FALSE(ramp.mechanism.isCreated);
    }
    EXPECT_TRUE(TestAllocator::live.empty()) << "allocation " << failAt;
  }
  TestAllocator::uninstall();
}

// --- the prismatic geometry check ------------------------------------------------

struct PrismaticCase {
  const char* name;
  double d[2];
  double axes[2][3];
  int p;
  const char* message;  // null: accepted
  double displacement0;
};

constexpr double kDiagonal = 0.7071067811865476;
const PrismaticCase kPrismaticCases[] = {
    {"along the axis", {0.25, 0.0}, {{1, 0, 0}}, 1, nullptr, 0.25},
    {"across the axis within tolerance", {0.25, 0.0009}, {{1, 0, 0}}, 1, nullptr, 0.25},
    {"across the axis", {0.25, 0.002}, {{1, 0, 0}}, 1, "must lie on the prismatic axis", 0.25},
    {"collocated without axes", {0.0005, 0.0}, {}, 0, nullptr, 0.0},
    {"apart without axes", {0.0, 0.01}, {}, 0, "must lie on the prismatic axis", 0.0},
    {"exactly aligned",
     {0.0, 0.0},
     {{1, 0, 0}, {1, 0, 0}},
     2,
     "Prismatic axes in this joint are aligned",
     0},
    {"anti-parallel",
     {0.0, 0.0},
     {{1, 0, 0}, {-1, 0, 0}},
     2,
     "Prismatic axes in this joint are aligned",
     0},
    {"nearly aligned",
     {0.3, 0.0},
     {{1, 0, 0}, {0.999999, std::sqrt(1 - 0.999999 * 0.999999), 0}},
     2,
     nullptr,
     0.3},
    {"two axes span the plane",
     {1.0, 1.0},
     {{1, 0, 0}, {kDiagonal, kDiagonal, 0}},
     2,
     nullptr,
     0.0},
};

TEST(PrismaticGeometry, CaseTable) {
  for (const PrismaticCase& c : kPrismaticCases) {
    SCOPED_TRACE(c.name);
    const double* axes[2] = {c.axes[0], c.axes[1]};
    double displacements[2] = {0, 0};
    const bool failed = checkPrismaticGeometry("m/Joint", c.d, axes, c.p, 2, 0.001, displacements);
    EXPECT_EQ(failed, c.message != nullptr);
    if (c.message != nullptr) {
      EXPECT_THAT(errorText(), HasSubstr(c.message));
      EXPECT_STREQ(getEngineError()->arguments[0], "m/Joint");
      continue;
    }
    if (c.p >= 1) {
      EXPECT_NEAR(displacements[0], c.displacement0, 1e-9);
    }
    if (c.p == 2) {
      // The displacements rebuild d.
      for (int k = 0; k < 2; ++k) {
        EXPECT_NEAR(displacements[0] * c.axes[0][k] + displacements[1] * c.axes[1][k], c.d[k],
                    1e-9);
      }
    }
  }
}

TEST(PrismaticGeometry, OffsetAlongTheRampActuatorBecomesItsInitialDisplacement) {
  RampFixture ramp;
  ramp.prismaticJoint.follower.position[0] += 0.1;  // rod frame 0.1 m out along the axis
  ASSERT_FALSE(ramp.create()) << errorText();
  EXPECT_NEAR(generalOf(&ramp.prismaticJoint)->displacements->data[0], 0.1, 1e-15);
}

TEST(PrismaticGeometry, RampActuatorFramesOffTheAxisFailCreation) {
  RampFixture ramp;
  ramp.prismaticJoint.follower.position[1] += 0.01;
  EXPECT_TRUE(ramp.create());
  EXPECT_THAT(errorText(), HasSubstr("must lie on the prismatic axis"));
  EXPECT_STREQ(getEngineError()->arguments[0], "ramp/Prismatic");
  EXPECT_FALSE(ramp.mechanism.isCreated);
}

// A joint sensor without its output frame is reported (and creation goes on).
TEST(EngineRecords, JointSensorWithoutTransformIsReported) {
  RampFixture ramp;
  EngineSensor sensor{kSensorPosition, 0, nullptr, nullptr, nullptr};
  ramp.prismaticJoint.numSensors = 1;
  ramp.prismaticJoint.sensors = &sensor;
  testing::internal::CaptureStdout();
  const bool failed = ramp.create();
  const std::string report = testing::internal::GetCapturedStdout();
  ASSERT_FALSE(failed) << errorText();
  EXPECT_THAT(report, HasSubstr("Assertion Failed transform2D != NULL at line 86 of file "
                                "\"mech_engine/mech_engine2d/xyTransformGeneralJoint2D\".\n"
                                "\tsensor transformation should not be NULL\n"));
}

// --- motion arrays and the state vector ------------------------------------------

bool setupArrays(EngineMechanism* mechanism, std::int32_t* driven, std::int32_t* free,
                 std::int32_t* total) {
  return setupMotionArrays(mechanism, driven, free, total);
}

TEST(MotionArrays, RampHasFiveFreeCoordinatesAndTenStates) {
  RampFixture ramp;
  ASSERT_FALSE(ramp.create()) << errorText();
  std::int32_t driven = -1, free = -1, total = -1;
  ASSERT_FALSE(setupArrays(&ramp.mechanism, &driven, &free, &total));
  EXPECT_EQ(driven, 0);
  EXPECT_EQ(free, 5);
  EXPECT_EQ(total, 5);
  EXPECT_EQ(ramp.permeatingWeld.drivenVelocities->count, 1);
  EXPECT_EQ(ramp.permeatingWeld.freeVelocities->count, 0);
  EXPECT_EQ(ramp.revolute1.freeVelocities->count, 1);

  for (int i = 0; i < 5; ++i) {
    jointPositions(ramp.stateJoints(i))[0] = 0.1 * (i + 1);
    jointVelocities(ramp.stateJoints(i))[0] = -(i + 1.0);
    jointAccelerations(ramp.stateJoints(i))[0] = 10.0 * (i + 1);
  }
  // Revolute1 and Revolute5 are reversed: their states are negated.
  double state[11];
  state[10] = 99.0;  // nothing is written past the ten states
  ASSERT_FALSE(updateState(state, &ramp.mechanism));
  const double expected[11] = {-0.1, 0.2, -0.3, 0.4, 0.5, 1, -2, 3, -4, -5, 99.0};
  for (int i = 0; i < 11; ++i) EXPECT_DOUBLE_EQ(state[i], expected[i]) << i;

  double derivatives[11];
  derivatives[10] = 99.0;
  ASSERT_FALSE(updateStateDerivatives(derivatives, &ramp.mechanism));
  const double expectedDerivatives[11] = {1, -2, 3, -4, -5, -10, 20, -30, 40, 50, 99.0};
  for (int i = 0; i < 11; ++i) EXPECT_DOUBLE_EQ(derivatives[i], expectedDerivatives[i]) << i;

  // Unpacking what was packed restores the coordinates.
  for (int i = 0; i < 5; ++i) {
    jointPositions(ramp.stateJoints(i))[0] = 0.0;
    jointVelocities(ramp.stateJoints(i))[0] = 0.0;
  }
  ramp.mechanism.stateVector = state;
  ASSERT_FALSE(unpackState(&ramp.mechanism, false));
  for (int i = 0; i < 5; ++i) {
    EXPECT_DOUBLE_EQ(jointPositions(ramp.stateJoints(i))[0], 0.1 * (i + 1));
    EXPECT_DOUBLE_EQ(jointVelocities(ramp.stateJoints(i))[0], -(i + 1.0));
  }
  double again[10];
  ASSERT_FALSE(updateState(again, &ramp.mechanism));
  for (int i = 0; i < 10; ++i) EXPECT_DOUBLE_EQ(again[i], state[i]);
}

TEST(MotionArrays, ReversedJointStoresNegatedCoordinates) {
  RampFixture ramp;
  ramp.revolute2.reversed = 1;
  ASSERT_FALSE(ramp.create()) << errorText();
  jointPositions(&ramp.revolute2)[0] = 0.5;
  jointVelocities(&ramp.revolute2)[0] = 2.0;
  double state[10];
  ASSERT_FALSE(updateState(state, &ramp.mechanism));
  EXPECT_EQ(state[1], -0.5);
  EXPECT_EQ(state[6], -2.0);
  state[1] = 0.25;
  ramp.mechanism.stateVector = state;
  ASSERT_FALSE(unpackState(&ramp.mechanism, false));
  EXPECT_EQ(jointPositions(&ramp.revolute2)[0], -0.25);
}

TEST(MotionArrays, MotionDrivenPrimitiveHasNoStateAndOneDrivenCoordinate) {
  RampFixture ramp;
  ramp.revolute[3].actuation = kActuationMotionDriven;  // Revolute4
  ASSERT_FALSE(ramp.create()) << errorText();
  std::int32_t driven = 0, free = 0, total = 0;
  ASSERT_FALSE(setupArrays(&ramp.mechanism, &driven, &free, &total));
  EXPECT_EQ(driven, 1);
  EXPECT_EQ(free, 4);
  EXPECT_EQ(ramp.revolute4.drivenVelocities->count, 1);
  double state[10] = {};
  double* end = state;
  ASSERT_FALSE(putGeneralJointPositionState(&ramp.revolute4, &end));
  EXPECT_EQ(end, state);
  EXPECT_TRUE(haveGeneralJointMotionDrivers(&ramp.revolute4));
  EXPECT_FALSE(haveGeneralJointMotionDrivers(&ramp.permeatingWeld));
}

TEST(MotionArrays, KeepHoldsInitialConditionCoordinatesUnlessTrimming) {
  RampFixture ramp;
  ramp.revolute[1].initialCondition = kInitialConditionActuated;  // Revolute2
  ramp.revolute[1].initialPosition = 0.3;
  ASSERT_FALSE(ramp.create()) << errorText();
  EXPECT_EQ(jointPositions(&ramp.revolute2)[0], 0.3);
  double state[10] = {0.0, 0.7};
  ramp.mechanism.stateVector = state;
  ASSERT_FALSE(unpackState(&ramp.mechanism, true));
  EXPECT_EQ(jointPositions(&ramp.revolute2)[0], 0.3);
  ramp.environment.analysisMode = kAnalysisTrimming;
  ASSERT_FALSE(unpackState(&ramp.mechanism, true));
  EXPECT_EQ(jointPositions(&ramp.revolute2)[0], 0.7);
  ramp.environment.analysisMode = kAnalysisDynamics;
  ASSERT_FALSE(unpackState(&ramp.mechanism, false));
  EXPECT_EQ(jointPositions(&ramp.revolute2)[0], 0.7);
  // The initial-condition primitive is driven at set-up, free after correction.
  std::int32_t driven = 0, free = 0, total = 0;
  ASSERT_FALSE(setupArrays(&ramp.mechanism, &driven, &free, &total));
  EXPECT_EQ(driven, 1);
  ASSERT_FALSE(correctMotionArrays(&ramp.mechanism, &driven, &free, &total));
  EXPECT_EQ(driven, 0);
  EXPECT_EQ(free, 5);
}

TEST(MotionArrays, StictionPrimitiveAtRestStartsLockedWithZeroDerivatives) {
  RampFixture ramp;
  ramp.revolute[1].stiction = kStictionActuated;  // Revolute2
  ASSERT_FALSE(ramp.create()) << errorText();
  ASSERT_FALSE(setupGeneralJointInitialState(&ramp.revolute2));
  EXPECT_EQ(jointMode(&ramp.revolute2, 0), kModeLocked);
  jointVelocities(&ramp.revolute2)[0] = 1.5;
  jointAccelerations(&ramp.revolute2)[0] = 3.0;
  double derivatives[10];
  ASSERT_FALSE(updateStateDerivatives(derivatives, &ramp.mechanism));
  EXPECT_EQ(derivatives[1], 0.0);
  EXPECT_EQ(derivatives[6], 0.0);
  // Locked: driven after correction; moving: sliding and free.
  std::int32_t driven = 0, free = 0, total = 0;
  ASSERT_FALSE(correctMotionArrays(&ramp.mechanism, &driven, &free, &total));
  EXPECT_EQ(driven, 1);
  ASSERT_FALSE(setupGeneralJointInitialState(&ramp.revolute2));
  EXPECT_EQ(jointMode(&ramp.revolute2, 0), kModeSlidingPositive);
  ASSERT_FALSE(unlockGeneralJointAxes(&ramp.revolute2));
  EXPECT_EQ(jointMode(&ramp.revolute2, 0), kModeUnlocked);
}

// A joint method that reports a failure stops the sweep, and the failure
// reaches the caller.
bool failingJointCounts(EngineJoint*, std::int32_t*, std::int32_t*) {
  return setEngineError("joint counts failed");
}

TEST(MotionArrays, FailingJointMethodStopsTheSweepAndIsPassedOn) {
  RampFixture ramp;
  ASSERT_FALSE(ramp.create()) << errorText();
  for (JointMethod method : {kJointSetupMotionArrays, kJointCorrectMotionArrays}) {
    SCOPED_TRACE(method);
    EngineMethod saved = generalOf(&ramp.revolute2)->methods[method];
    generalOf(&ramp.revolute2)->methods[method] = toEngineMethod(&failingJointCounts);
    std::int32_t driven = 0, free = 0, total = 0;
    const bool failed = method == kJointSetupMotionArrays
                            ? setupArrays(&ramp.mechanism, &driven, &free, &total)
                            : correctMotionArrays(&ramp.mechanism, &driven, &free, &total);
    EXPECT_TRUE(failed);
    EXPECT_EQ(errorText(), "joint counts failed");
    generalOf(&ramp.revolute2)->methods[method] = saved;
  }
}

TEST(MotionArrays, MechanismWithoutCoordinatesHasNoDegreesOfFreedom) {
  RampFixture ramp;
  ramp.mechanism.numChains = 1;
  ramp.chainTable[0] = &ramp.chains[2];  // the ground weld alone
  ramp.mechanism.numConstraints = 0;
  ASSERT_FALSE(ramp.create()) << errorText();
  std::int32_t total = -1;
  EXPECT_TRUE(setupArrays(&ramp.mechanism, nullptr, nullptr, &total));
  EXPECT_EQ(total, 0);
  EXPECT_EQ(errorText(), "Mechanical model has no DoFs. Check constraints, drivers, and DoFs.");
  // Without the total asked for, nothing is reported.
  EXPECT_FALSE(setupArrays(&ramp.mechanism, nullptr, nullptr, nullptr));
}

TEST(MotionArrays, DrivingInfoGivesTheRevoluteDriverRow) {
  RampFixture ramp;
  ramp.revolute[4].initialCondition = kInitialConditionActuated;  // loop "Revolute"
  ASSERT_FALSE(ramp.create()) << errorText();
  EngineConstraint* loop = &ramp.revoluteLoop;
  ASSERT_EQ(loop->equations->n, 3);
  ASSERT_FALSE(toggleGeneralConstraintIcEquations(loop, true));
  ASSERT_FALSE(updateGeneralConstraintDrivingInfo2D(loop));
  EXPECT_EQ(loop->general->numPrismaticEquations, 2);
  EXPECT_EQ(loop->equations->modes->indices[2], kEquationHolonomicDriver);
  ASSERT_FALSE(toggleGeneralConstraintIcEquations(loop, false));
  ASSERT_FALSE(updateGeneralConstraintDrivingInfo2D(loop));
  EXPECT_EQ(loop->equations->modes->indices[2], kEquationInactiveDriver);
  EXPECT_TRUE(generalConstraintIcActuated(loop));
  EXPECT_FALSE(generalConstraintIcActuated(&ramp.revolute3Loop));
}

// The equation mode of the revolute driver row for primitives that combine a
// stiction actuator with a motion driver or an initial-condition actuator: the
// driver (and, while the switch is on, the initial condition) makes the row
// active whatever the stiction mode.
TEST(MotionArrays, DrivingInfoRuleOrderForCombinedPrimitives) {
  struct Case {
    const char* name;
    std::int32_t actuation;
    bool initialCondition;
    std::int32_t mode;
    bool icSwitch;
    std::int32_t expected;
  };
  const Case cases[] = {
      {"ic + unlocked stiction, switch on", kActuationFree, true, kModeUnlocked, true,
       kEquationHolonomicDriver},
      {"ic + unlocked stiction, switch off", kActuationFree, true, kModeUnlocked, false,
       kEquationInactiveDriver},
      {"ic + locked stiction, switch off", kActuationFree, true, kModeLocked, false,
       kEquationHolonomicDriver},
      {"driven + unlocked stiction, switch off", kActuationMotionDriven, false, kModeUnlocked,
       false, kEquationHolonomicDriver},
      {"unlocked stiction alone", kActuationFree, false, kModeUnlocked, true,
       kEquationInactiveDriver},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RampFixture ramp;
    EnginePrimitive& primitive = ramp.revolute[4];  // loop "Revolute"
    primitive.stiction = kStictionActuated;
    primitive.actuation = c.actuation;
    primitive.initialCondition = c.initialCondition ? kInitialConditionActuated : 0;
    ASSERT_FALSE(ramp.create()) << errorText();
    EngineConstraint* loop = &ramp.revoluteLoop;
    ASSERT_EQ(loop->equations->n, 3);
    loop->general->modes->indices[0] = c.mode;
    ASSERT_FALSE(toggleGeneralConstraintIcEquations(loop, c.icSwitch));
    ASSERT_FALSE(updateGeneralConstraintDrivingInfo2D(loop));
    EXPECT_EQ(loop->equations->modes->indices[2], c.expected);
  }
}

}  // namespace
