// The model's own ramp description on the engine's records: creation,
// destruction and the ten continuous states.
#include <gtest/gtest.h>

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

}  // namespace
