// The ramp description: the record is built once, the callback converts and
// checks the parameters, and the engine accepts the result.
#include "sim/mechanism/ramp_mechanism.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "mech_engine_common/engine_entry_points.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_method_table.h"
#include "mech_engine_common/rotation_kernels.h"
#include "sim/tests/linkage_test_fixture.h"

namespace {

using sim::RampBody;
using sim::RampFrame;
using sim::RampJoint;
namespace layout = sim::description_layout;

using linkage_test::kPath;
using linkage_test::Parameters;

class RampMechanismTest : public linkage_test::LinkageDescriptionTest {
 protected:
  void SetUp() override {
    mechanism_ = sim::buildMechanismDescription();
    ASSERT_FALSE(runCallback(sim::kMechanismParameters));
  }

  const double* framePosition(RampFrame f) const {
    return table() + layout::frame(f) + layout::kFramePosition;
  }
  const double* frameRotation(RampFrame f) const {
    return table() + layout::frame(f) + layout::kFrameRotation;
  }
  const double* jointAxis(RampJoint j) const {
    return table() + layout::joint(j) + layout::kJointAxis;
  }
  const double* bodyPart(RampBody b, int part) const { return table() + layout::body(b) + part; }
};

TEST_F(RampMechanismTest, BuildingTwiceReturnsTheSameUnchangedRecord) {
  std::vector<unsigned char> before(sizeof(EngineMechanism));
  std::memcpy(before.data(), mechanism_, sizeof(EngineMechanism));
  const std::vector<double> tableBefore(table(), table() + sim::kMechanismDescriptionCount);
  EXPECT_EQ(sim::buildMechanismDescription(), mechanism_);
  EXPECT_EQ(std::memcmp(before.data(), mechanism_, sizeof(EngineMechanism)), 0);
  EXPECT_EQ(std::vector<double>(table(), table() + sim::kMechanismDescriptionCount), tableBefore);
}

TEST_F(RampMechanismTest, RootRecordAndEnvironmentHoldTheModelsSettings) {
  EXPECT_EQ(mechanism_->numChains, 3);
  EXPECT_EQ(mechanism_->numConstraints, 2);
  EXPECT_EQ(mechanism_->skipBlockJacobians, 1);
  EXPECT_EQ(mechanism_->time, 20.0);
  EXPECT_EQ(mechanism_->descriptionCount, 733);
  EXPECT_EQ(mechanism_->allowedSimulationDimensions, 4);
  EXPECT_EQ(mechanism_->descriptionFlags[0], 1);
  EXPECT_EQ(mechanism_->descriptionFlags[1], 0);
  const MachineEnvironment& e = *mechanism_->environment;
  EXPECT_EQ(e.numStates, 10);
  EXPECT_EQ(e.numKinematicOutputs, 3);
  EXPECT_EQ(e.numDynamicInputs, 26);
  EXPECT_EQ(e.numDynamicOutputs, 1);
  EXPECT_EQ(e.constraintTolerance, 1.4901161193847656e-08);
  EXPECT_EQ(e.analysisMode, 2);
  EXPECT_EQ(e.constraintSolverKind, 1);
  EXPECT_EQ(e.redundancyTolerance, 1e-14);
  EXPECT_STREQ(e.groundName, (std::string(kPath) + "Ground").c_str());
  // The last nine values are the identity.
  EXPECT_THAT(std::vector<double>(table() + 724, table() + 733),
              ::testing::ElementsAre(1, 0, 0, 0, 1, 0, 0, 0, 1));
  EXPECT_EQ(mechanism_->transform2D->data, table() + 724);
}

TEST_F(RampMechanismTest, ChainsListBodiesAndJointsTipFirst) {
  auto names = [&](int c) {
    std::vector<std::string> out;
    const EngineChain* chain = mechanism_->chains[c];
    for (int j = 0; j < chain->numJoints; ++j)
      out.push_back(std::string(chain->bodies[j]->blockName) + "|" + chain->joints[j]->blockName);
    return out;
  };
  const std::string p = kPath;
  EXPECT_THAT(names(0), ::testing::ElementsAre(p + "Door|" + p + "Revolute1",
                                               p + "Link3|" + p + "Revolute2"));
  EXPECT_THAT(names(1), ::testing::ElementsAre(p + "Link4|" + p + "Revolute5",
                                               p + "ExlarRodPlusRotarInertia|" + p + "Prismatic",
                                               p + "Exlar|" + p + "Revolute4"));
  EXPECT_THAT(names(2), ::testing::ElementsAre("PermeatingBody|PermeatingWeld"));
  EXPECT_EQ(mechanism_->chains[0]->parent, mechanism_->chains[1]);
  EXPECT_EQ(mechanism_->chains[1]->parent, mechanism_->chains[2]);
  EXPECT_EQ(mechanism_->chains[2]->parent, mechanism_->chains[2]);
  EXPECT_EQ(mechanism_->constraints[0]->followerJoint, treeJoint("Revolute1"));
  EXPECT_EQ(mechanism_->constraints[1]->followerJoint, treeJoint("Revolute5"));
  EXPECT_STREQ(mechanism_->constraints[0]->baseJoint->blockName, "PermeatingWeld");
}

TEST_F(RampMechanismTest, ZeroAxisReportsTheFirstJointInCheckOrderAndWritesNothing) {
  const std::vector<double> tableBefore(table(), table() + sim::kMechanismDescriptionCount);
  Parameters parameters = sim::kMechanismParameters;
  for (int i : {224, 225, 226, 70, 71, 72}) parameters[i] = 0.0;  // Revolute4 and Revolute
  parameters[212] = 5.0;  // a changed position that must not reach the table

  ASSERT_TRUE(runCallback(parameters));
  const std::string expected =
      std::string(kPath) +
      "Revolute4: Joint primitive R1 has an invalid axis.  Axis must evaluate to a 1-by-3 "
      "matrix.  Check and reconfigure primitive axis vector.";
  EXPECT_EQ(std::string(error_), expected);
  EXPECT_EQ(std::vector<double>(table(), table() + sim::kMechanismDescriptionCount), tableBefore);

  ASSERT_TRUE(runCallback(parameters, 20));
  EXPECT_EQ(std::string(error_), expected.substr(0, 20));
}

TEST_F(RampMechanismTest, PrismaticAxisMessageNamesP1) {
  Parameters parameters = sim::kMechanismParameters;
  for (int i : {193, 194, 195}) parameters[i] = 0.0;
  ASSERT_TRUE(runCallback(parameters));
  EXPECT_EQ(std::string(error_),
            std::string(kPath) +
                "Prismatic: Joint primitive P1 has an invalid axis.  Axis must evaluate to a "
                "1-by-3 matrix.  Check and reconfigure primitive axis vector.");
}

TEST_F(RampMechanismTest, AxesAreNormalisedIntoTableAndPrimitive) {
  Parameters parameters = sim::kMechanismParameters;
  parameters[226] = 2.0;   // Revolute4 (0, 0, 2)
  parameters[193] = -3.0;  // Prismatic (-3, 0, 0)
  ASSERT_FALSE(runCallback(parameters));
  EXPECT_THAT(
      std::vector<double>(jointAxis(RampJoint::Revolute4), jointAxis(RampJoint::Revolute4) + 3),
      ::testing::ElementsAre(0, 0, 1));
  EXPECT_THAT(treeJoint("Revolute4")->primitives[0].axis, ::testing::ElementsAre(0, 0, 1));
  EXPECT_THAT(treeJoint("Prismatic")->primitives[0].axis, ::testing::ElementsAre(-1, 0, 0));
  ASSERT_FALSE(runCallback(sim::kMechanismParameters));
}

TEST_F(RampMechanismTest, DegreesBecomeRadiansBeforeTheRotation) {
  Parameters parameters = sim::kMechanismParameters;
  parameters[218 + 5] = 90.0;  // Exlar CS2 turned 90 degrees about z
  ASSERT_FALSE(runCallback(parameters));
  double expected[9];
  const double angles[3] = {0, 0, 1.5707963267948966};
  callRotationKernel(1, angles, expected);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(frameRotation(RampFrame::ExlarCS2)[i], expected[i]) << i;
  // Exlar CS1 (-0.25, 0, 0) from CS2 now points along -y.
  EXPECT_NEAR(framePosition(RampFrame::ExlarCS1)[0], 0.9277, 1e-15);
  EXPECT_NEAR(framePosition(RampFrame::ExlarCS1)[1], 0.0715 - 0.25, 1e-15);
  ASSERT_FALSE(runCallback(sim::kMechanismParameters));
}

TEST_F(RampMechanismTest, WorldPositionsFollowTheReferenceChain) {
  struct Case {
    RampFrame frame;
    double x, y;
  };
  const Case cases[] = {
      {RampFrame::ExlarCS1, 0.6777, 0.0715},
      {RampFrame::Link4CS5, 0.3452525487, 0.0715197945},
      {RampFrame::Link4CS4, 0.4553484358, 0.1348277375},
      {RampFrame::RodCS2, 0.6777, 0.0715},              // on Exlar CS1
      {RampFrame::RodCS1, 0.3452525487, 0.0715197945},  // on Link4 CS5
      {RampFrame::Link3CS1, 0.1246100409, 0.1272475842},
      {RampFrame::DoorCS2, -0.3109109746, 0.5998080742},  // at the centre of mass
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(framePosition(c.frame)[0], c.x, 1e-12) << static_cast<int>(c.frame);
    EXPECT_NEAR(framePosition(c.frame)[1], c.y, 1e-12) << static_cast<int>(c.frame);
    EXPECT_EQ(framePosition(c.frame)[2], 0.0);
  }
  // Joint frames and the vector between them; the prismatic joint starts
  // with its two frames together.
  const double* prismatic = table() + layout::joint(RampJoint::Prismatic);
  EXPECT_THAT(std::vector<double>(prismatic + layout::kJointVector, prismatic + 12),
              ::testing::ElementsAre(0, 0, 0, 1, 0, 0));
}

TEST_F(RampMechanismTest, InertiaIsMovedToTheJointFrameByTheParallelAxisRule) {
  // The rod's centre of mass is at its CS1 (Link4 CS5); its reference point
  // is its CS2 (Exlar CS1).
  const double m = 25755.573764142293;
  const double rx = 0.3452525487 - 0.6777;
  const double ry = 0.0715197945 - 0.0715;
  const double* inertia = bodyPart(RampBody::Rod, layout::kBodyInertia);
  EXPECT_NEAR(inertia[0], 0.001 + m * ry * ry, 1e-9);
  EXPECT_NEAR(inertia[4], 0.001 + m * rx * rx, 1e-9);
  EXPECT_NEAR(inertia[8], 0.001 + m * (rx * rx + ry * ry), 1e-9);
  EXPECT_NEAR(inertia[1], -m * rx * ry, 1e-9);
  EXPECT_NEAR(inertia[3], -m * rx * ry, 1e-9);
  EXPECT_EQ(inertia[2], 0.0);
  EXPECT_EQ(*bodyPart(RampBody::Rod, layout::kBodyMass), m);
  EXPECT_NEAR(bodyPart(RampBody::Rod, layout::kBodyCentreOfMass)[0], rx, 1e-15);
  // Link4's centre of mass lies on its reference point: the inertia stays.
  EXPECT_THAT(std::vector<double>(bodyPart(RampBody::Link4, layout::kBodyInertia),
                                  bodyPart(RampBody::Link4, layout::kBodyInertia) + 9),
              ::testing::ElementsAre(0.001, 0, 0, 0, 0.001, 0, 0, 0, 0.001));
}

TEST_F(RampMechanismTest, DescriptionConnectsTheModelsSignals) {
  // Door: four feet and the ramp weight as forces, the ramp mass as a mass
  // entry at its centre of mass.
  const EngineBodyDescription* door = mechanism_->chains[0]->bodies[0]->description;
  ASSERT_EQ(door->numActuators, 5);
  ASSERT_EQ(door->numMassInputs, 1);
  EXPECT_EQ(door->massInputs[0].kind, kBodyInputMassAndInertia);
  const double* doorReference = bodyPart(RampBody::Door, layout::kBodyPosition);
  EXPECT_NEAR(door->actuators[4].position[0] + doorReference[0], -0.3109109746, 1e-12);
  EXPECT_NEAR(door->massInputs[0].position[1] + doorReference[1], 0.5998080742, 1e-12);
  EXPECT_NEAR(door->actuators[0].position[0] + doorReference[0], -0.2492360076, 1e-12);
  // The feet and the ramp weight act in world axes (their frames' fixed
  // rotations), not in the door's turning axes: a weight stays vertical.
  for (int k = 0; k < 5; ++k) {
    ASSERT_NE(door->actuators[k].rotation, nullptr) << k;
    EXPECT_THAT(std::vector<double>(door->actuators[k].rotation, door->actuators[k].rotation + 9),
                ::testing::ElementsAre(1, 0, 0, 0, 1, 0, 0, 0, 1))
        << k;
  }
  // 15 + 10 values on the Door, one on the prismatic joint.
  const EngineJoint* prismatic = treeJoint("Prismatic");
  EXPECT_EQ(prismatic->primitives[0].actuation, kActuationForce);
  EXPECT_EQ(prismatic->numSensors, 2);
  EXPECT_EQ(mechanism_->constraints[0]->numSensors, 2);
  EXPECT_EQ(mechanism_->constraints[0]->sensors[0].scale[0], 57.29577951308232);
  // Joints whose base side is outboard run reversed.
  EXPECT_TRUE(treeJoint("Revolute1")->reversed);
  EXPECT_TRUE(treeJoint("Revolute5")->reversed);
  EXPECT_FALSE(treeJoint("Revolute2")->reversed);
}

TEST_F(RampMechanismTest, EngineAcceptsTheDescription) {
  EngineMethodTable empty{};
  registerMechanismMethods(&empty);
  unsigned char blockWork[32];
  std::memset(blockWork, 0xff, sizeof blockWork);
  mechanism_->blockWork = blockWork;
  ASSERT_FALSE(createEngineMechanism(mechanism_)) << getEngineError()->text;
  EXPECT_EQ(mechanism_->isCreated, 1);
  EXPECT_EQ(mechanism_->allowedSimulationDimensions, kEngineDimension2D);
  EXPECT_EQ(blockWork[24], 0);
  mechanism_->destroy(mechanism_);
  EXPECT_EQ(mechanism_->isCreated, 0);
  mechanism_->blockWork = nullptr;
}

}  // namespace
