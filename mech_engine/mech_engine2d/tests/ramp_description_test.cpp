// The model's own ramp description on the engine's records: creation,
// destruction and the ten continuous states.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine2d/provided_methods.h"
#include "mech_engine_common/engine_entry_points.h"
#include "mech_engine_common/engine_error.h"
#include "sim/mechanism/ramp_mechanism.h"
#include "test_allocator.h"

namespace {

std::string errorText() {
  return getEngineError()->text != nullptr ? getEngineError()->text : "";
}

EngineMechanism* describedRamp() {
  EngineMechanism* mechanism = sim::buildMechanismDescription();
  char error[sim::kMechanismErrorBufferSize] = {};
  EXPECT_FALSE(sim::mechanismCallback(mechanism, sim::kMechanismParameters.data(), error,
                                      sim::kMechanismErrorTextLimit))
      << error;
  static EngineMethodTable methods{};
  fillProvidedEngineMethods(&methods);
  resetEngineMethodSet();
  registerMechanismMethods(&methods);
  return mechanism;
}

TEST(RampDescription, CreatesAndDestroysCleanly) {
  EngineMechanism* mechanism = describedRamp();
  TestAllocator::install();
  ASSERT_FALSE(createEngineMechanism(mechanism)) << errorText();
  EXPECT_EQ(mechanism->allowedSimulationDimensions, kEngineDimension2D);
  EXPECT_EQ(mechanism->kinematicData->numEquations, 4);
  destroyEngineMechanism(mechanism);
  EXPECT_TRUE(TestAllocator::live.empty());
  EXPECT_FALSE(mechanism->isCreated);
  TestAllocator::uninstall();
}

TEST(RampDescription, HasTenStatesInChainOrder) {
  EngineMechanism* mechanism = describedRamp();
  ASSERT_FALSE(createEngineMechanism(mechanism)) << errorText();
  std::int32_t driven = -1, free = -1, total = -1;
  ASSERT_FALSE(setupMotionArrays(mechanism, &driven, &free, &total)) << errorText();
  EXPECT_EQ(free, 5);
  EXPECT_EQ(driven, 0);
  // Chain 0 (Revolute1, Revolute2), chain 1 (Revolute5, Prismatic, Revolute4),
  // the weld without state; positions, then velocities.
  const char* order[5] = {"Revolute1", "Revolute2", "Revolute5", "Prismatic", "Revolute4"};
  EngineJoint* joints[5] = {mechanism->chains[0]->joints[0], mechanism->chains[0]->joints[1],
                            mechanism->chains[1]->joints[0], mechanism->chains[1]->joints[1],
                            mechanism->chains[1]->joints[2]};
  for (int i = 0; i < 5; ++i) {
    EXPECT_NE(std::string(joints[i]->blockName).find(order[i]), std::string::npos);
    jointPositions(joints[i])[0] = i + 1.0;
    jointVelocities(joints[i])[0] = 10.0 * (i + 1);
  }
  double state[11];
  state[10] = -7.0;
  ASSERT_FALSE(updateState(state, mechanism));
  // Revolute1 and Revolute5 are reversed in the description.
  const double expected[11] = {-1, 2, -3, 4, 5, -10, 20, -30, 40, 50, -7.0};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(state[i], expected[i]) << i;
  // The described configuration closes both loops.
  ASSERT_FALSE(setVelocityConstraint2D(mechanism));
  classifyConstraintEquations(mechanism);
  for (int i = 0; i < 5; ++i) jointPositions(joints[i])[0] = 0.0;
  ASSERT_FALSE(positionSweep2D(mechanism));
  double error[4];
  ASSERT_FALSE(positionError2D(mechanism, error, false));
  for (double e : error) EXPECT_NEAR(e, 0.0, 1e-9);
  destroyEngineMechanism(mechanism);
}

// The model's 26 dynamic inputs, as its initialisation wires them: four foot
// forces and the ramp weight as (0, F, 0), the ramp mass, its inertia row by
// row, the actuator force.
struct RampInputs {
  double zero = 0.0;
  double one = 1.0;
  double weight = -693.0 * 9.81;
  double mass = 693.0;
  double inertiaTerm = 693.0 * 0.6756;
  double actuatorForce = 0.0;
  double never = 12345.0;  // a 27th signal that must not be read
  double* port[27];

  RampInputs() {
    int k = 0;
    for (int force = 0; force < 5; ++force) {
      port[k++] = &zero;
      port[k++] = force == 4 ? &weight : &zero;
      port[k++] = &zero;
    }
    port[k++] = &mass;
    double* inertia[9] = {&one, &zero, &zero, &zero, &one, &zero, &zero, &zero, &inertiaTerm};
    for (double* entry : inertia) port[k++] = entry;
    port[k++] = &actuatorForce;
    port[k] = &never;
  }
};

TEST(RampDescription, ReadsItsTwentySixInputsAndStaysOnItsConstraints) {
  EngineMechanism* mechanism = describedRamp();
  ASSERT_FALSE(createEngineMechanism(mechanism)) << errorText();
  ASSERT_FALSE(setupMotionArrays(mechanism, nullptr, nullptr, nullptr));
  ASSERT_FALSE(positionSweep2D(mechanism));
  ASSERT_FALSE(setVelocityConstraint2D(mechanism));
  classifyConstraintEquations(mechanism);
  double state[10] = {};
  mechanism->stateVector = state;
  ASSERT_FALSE(updateState(state, mechanism));

  RampInputs inputs;
  double** running = inputs.port;
  EngineBody* door = mechanism->chains[0]->bodies[0];
  EngineJoint* doorJoint = mechanism->chains[0]->joints[0];
  ASSERT_TRUE(door->methods[kBodyForceInput] != nullptr);
  ASSERT_FALSE(
      methodAs<BodyInputMethod>(door->methods[kBodyForceInput])(door, doorJoint, &running));
  EXPECT_EQ(running, inputs.port + 25);  // the Door's 25, then the actuator's 1
  EXPECT_EQ(bodyData(door, kBodyMass)[0], 693.0);
  // The door's weight, (0, -693·g) at its centre of mass, is an applied force.
  EXPECT_NEAR(bodyData(door, kBodyAppliedForce)[2], -693.0 * 9.81, 1e-9);

  double zeros[3] = {0.0, 0.0, 0.0};
  double* environment[3] = {&zeros[0], &zeros[1], &zeros[2]};
  double kinematicOutputs[3] = {};
  double stateOut[10] = {};
  int assembled = 1;
  MechanismInputView kinematicsIn{};
  kinematicsIn.firstCallFlag = &assembled;
  MechanismOutputView kinematicsOut{};
  kinematicsOut.isMajorStep = 1;
  kinematicsOut.numOutputPorts = 2;
  kinematicsOut.outputPorts[0] = kinematicOutputs;
  kinematicsOut.outputPorts[1] = stateOut;
  MechanismInputView dynamicsIn{};
  dynamicsIn.numInputPorts = 2;
  dynamicsIn.inputPorts[0] = inputs.port;
  dynamicsIn.inputPorts[1] = environment;
  double dynamicOutput = -1.0;
  MechanismOutputView dynamicsOut{};
  dynamicsOut.numOutputPorts = 1;
  dynamicsOut.outputPorts[0] = &dynamicOutput;
  const double h = 0.001;
  double worst = 0.0;
  for (int step = 1; step <= 300; ++step) {
    kinematicsIn.time = dynamicsIn.time = step * h;
    ASSERT_FALSE(mechanismKinematicsStep(mechanism, &kinematicsIn, &kinematicsOut)) << errorText();
    ASSERT_FALSE(mechanismDynamicsStep(mechanism, &dynamicsIn, &dynamicsOut)) << errorText();
    double derivatives[10];
    ASSERT_FALSE(mechanismDerivatives(mechanism, derivatives));
    for (int i = 0; i < 10; ++i) state[i] += h * derivatives[i];
    ASSERT_FALSE(mechanismPostStep(mechanism, &kinematicsIn)) << errorText() << " at " << step;
    double error[4];
    ASSERT_FALSE(positionError2D(mechanism, error, false));
    for (double e : error) worst = std::max(worst, std::fabs(e));
  }
  EXPECT_LT(worst, 1e-9);
  // Unheld, the ramp swings down under its weight: its angle (degrees) moves,
  // and the actuator's displacement output is the prismatic state of the
  // same kinematics step.
  EXPECT_GT(std::fabs(kinematicOutputs[1]), 1e-3);
  EXPECT_LT(kinematicOutputs[0], 0.0);
  EXPECT_EQ(kinematicOutputs[0], stateOut[3]);
  destroyEngineMechanism(mechanism);
}

}  // namespace
