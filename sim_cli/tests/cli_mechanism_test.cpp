// The command-line build's linkage description: its own tree, parameter
// layout and signals, the same physical linkage as zorvath's, and the
// engine's acceptance of it.
#include "sim_cli/mechanism/cli_mechanism.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine2d/provided_methods.h"
#include "mech_engine_common/engine_entry_points.h"
#include "mech_engine_common/engine_error.h"
#include "sim/mechanism/ramp_mechanism.h"
#include "sim/tests/linkage_test_fixture.h"

namespace {

using sim_cli::CliBody;
using sim_cli::CliFrame;
using sim_cli::CliJoint;
using ::testing::ElementsAre;
using Layout = sim_cli::DescriptionLayout;
namespace block = sim::linkage::block;

using linkage_test::kPath;
using linkage_test::Parameters;
static_assert(sim_cli::kMechanismParameterCount == sim::kMechanismParameterCount);

class CliMechanismTest : public linkage_test::LinkageDescriptionTest {
 protected:
  void SetUp() override {
    mechanism_ = sim_cli::buildMechanismDescription();
    ASSERT_FALSE(runCallback(sim_cli::kMechanismParameters));
  }

  const double* framePosition(CliFrame f) const {
    return table() + Layout::frame(f) + block::kFramePosition;
  }
  const double* bodyPart(CliBody b, int part) const { return table() + Layout::body(b) + part; }
};

TEST_F(CliMechanismTest, BuildingTwiceReturnsTheSameUnchangedRecord) {
  std::vector<unsigned char> before(sizeof(EngineMechanism));
  std::memcpy(before.data(), mechanism_, sizeof(EngineMechanism));
  EXPECT_EQ(sim_cli::buildMechanismDescription(), mechanism_);
  EXPECT_EQ(std::memcmp(before.data(), mechanism_, sizeof(EngineMechanism)), 0);
  EXPECT_NE(mechanism_, sim::buildMechanismDescription());
}

TEST_F(CliMechanismTest, RootRecordAndEnvironmentHoldTheBuildsSettings) {
  EXPECT_EQ(mechanism_->numChains, 3);
  EXPECT_EQ(mechanism_->numConstraints, 2);
  EXPECT_EQ(mechanism_->time, 14.0);
  EXPECT_EQ(mechanism_->descriptionCount, 689);
  EXPECT_EQ(mechanism_->allowedSimulationDimensions, 4);
  EXPECT_EQ(mechanism_->descriptionFlags[0], 1);
  const MachineEnvironment& e = *mechanism_->environment;
  EXPECT_EQ(e.numStates, 10);
  EXPECT_EQ(e.numKinematicOutputs, 2);
  EXPECT_EQ(e.numDynamicInputs, 16);
  EXPECT_EQ(e.numDynamicOutputs, 0);
  EXPECT_EQ(e.analysisMode, 2);
  EXPECT_STREQ(e.groundName, (std::string(kPath) + "Ground").c_str());
  EXPECT_THAT(std::vector<double>(table() + 680, table() + 689),
              ElementsAre(1, 0, 0, 0, 1, 0, 0, 0, 1));
  EXPECT_EQ(mechanism_->transform2D->data, table() + 680);
}

TEST_F(CliMechanismTest, ChainsRunFromTheGroundToTheDoorAndToTheRod) {
  auto names = [&](int c) {
    std::vector<std::string> out;
    const EngineChain* chain = mechanism_->chains[c];
    for (int j = 0; j < chain->numJoints; ++j)
      out.push_back(std::string(chain->bodies[j]->blockName) + "|" + chain->joints[j]->blockName);
    return out;
  };
  const std::string p = kPath;
  EXPECT_THAT(names(0), ElementsAre(p + "Link4|" + p + "Revolute2", p + "Link3|" + p + "Revolute1",
                                    p + "Door|" + p + "Revolute"));
  EXPECT_THAT(names(1), ElementsAre(p + "ExlarRodPlusRotarInertia|" + p + "Prismatic",
                                    p + "Exlar|" + p + "Revolute4"));
  EXPECT_THAT(names(2), ElementsAre("PermeatingBody|PermeatingWeld"));
  for (int c = 0; c < 3; ++c) EXPECT_EQ(mechanism_->chains[c]->parent, mechanism_->chains[2]);
  // Each body's parent is the next body towards the ground.
  const EngineChain* chain0 = mechanism_->chains[0];
  EXPECT_EQ(chain0->bodies[0]->parent, chain0->bodies[1]);
  EXPECT_EQ(chain0->bodies[1]->parent, chain0->bodies[2]);
  EXPECT_EQ(chain0->bodies[2]->parent, mechanism_->chains[2]->bodies[0]);
  EXPECT_EQ(mechanism_->chains[1]->bodies[0]->parent, mechanism_->chains[1]->bodies[1]);
  // Only Revolute2 has its base side (Link4) outboard.
  for (const char* name : {"Revolute1", "Revolute", "Prismatic", "Revolute4"})
    EXPECT_FALSE(treeJoint(name)->reversed) << name;
  EXPECT_TRUE(treeJoint("Revolute2")->reversed);
}

TEST_F(CliMechanismTest, LoopsAreClosedAtRevolute3AndRevolute5) {
  const EngineConstraint* revolute3 = mechanism_->constraints[0];
  const EngineConstraint* revolute5 = mechanism_->constraints[1];
  EXPECT_EQ(std::string(revolute3->blockName), std::string(kPath) + "Revolute3");
  EXPECT_EQ(std::string(revolute5->blockName), std::string(kPath) + "Revolute5");
  EXPECT_STREQ(revolute3->baseJoint->blockName, "PermeatingWeld");  // ground point 2
  EXPECT_EQ(revolute3->followerJoint, treeJoint("Revolute2"));      // Link4 CS3
  EXPECT_EQ(revolute5->baseJoint, treeJoint("Revolute2"));          // Link4 CS5
  EXPECT_EQ(revolute5->followerJoint, treeJoint("Prismatic"));      // rod CS1
  // The described configuration closes both: the two frames coincide.
  for (const EngineConstraint* c : {revolute3, revolute5})
    EXPECT_THAT(std::vector<double>(c->jointVector, c->jointVector + 3), ElementsAre(0, 0, 0));
}

TEST_F(CliMechanismTest, SignalsAreTheRampPositionAndDisplacementOutAndSixteenIn) {
  const EngineJoint* revolute = treeJoint("Revolute");
  ASSERT_EQ(revolute->numSensors, 1);
  EXPECT_EQ(revolute->sensors[0].code, kSensorPosition);
  EXPECT_EQ(revolute->sensors[0].scale[0], 57.29577951308232);
  const EngineJoint* prismatic = treeJoint("Prismatic");
  ASSERT_EQ(prismatic->numSensors, 1);
  EXPECT_EQ(prismatic->sensors[0].code, kSensorPosition);
  EXPECT_EQ(prismatic->sensors[0].scale[0], 1.0);
  EXPECT_EQ(prismatic->numActuators, 1);
  EXPECT_EQ(prismatic->primitives[0].actuation, kActuationForce);

  // Door: feet 4, 3, 2, 1 at CS4..CS7 and its weight at its centre of mass
  // (CS2); its mass is in the description, so no mass entry.
  const EngineBodyDescription* door = mechanism_->chains[0]->bodies[2]->description;
  ASSERT_EQ(door->numActuators, 5);
  EXPECT_EQ(door->numMassInputs, 0);
  const double* doorReference = bodyPart(CliBody::Door, block::kBodyPosition);
  const CliFrame at[5] = {CliFrame::DoorCS4, CliFrame::DoorCS5, CliFrame::DoorCS6,
                          CliFrame::DoorCS7, CliFrame::DoorCS2};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(door->actuators[k].kind, kBodyInputForce);
    // Weights stay vertical: world axes, not the door's turning ones.
    ASSERT_NE(door->actuators[k].rotation, nullptr);
    EXPECT_THAT(std::vector<double>(door->actuators[k].rotation, door->actuators[k].rotation + 9),
                ElementsAre(1, 0, 0, 0, 1, 0, 0, 0, 1));
    for (int i = 0; i < 2; ++i)
      EXPECT_NEAR(door->actuators[k].position[i] + doorReference[i], framePosition(at[k])[i],
                  1e-15);
  }
  EXPECT_NEAR(framePosition(CliFrame::DoorCS2)[0], -0.3109109746, 1e-15);
  EXPECT_EQ(sim_cli::kDoorWeight, 401.0 * -9.81);
}

TEST_F(CliMechanismTest, ParameterVectorFollowsTheBuildsLayout) {
  const auto& p = sim_cli::kMechanismParameters;
  auto three = [&](int at) { return std::vector<double>(p.begin() + at, p.begin() + at + 3); };
  struct Entry {
    int at;
    std::vector<double> values;
  };
  const Entry entries[] = {
      {0, {0, 0, 1}},                                   // Revolute5 axis
      {3, {0.1100958871, 0.0633079429, 0}},             // Link4 CG
      {37, {0.2201917742, 0.1266158859, 0}},            // Link4 CS4
      {49, {0, 0, 1}},                                  // Revolute3 axis
      {52, {0.2351566616, 0.0082118516, 0}},            // second ground point
      {89, {-0.3109109746, 0.5998080742, 0}},           // Door CG
      {105 + 6 * 2, {0.1246100409, 0.1272475842, 0}},   // Door CS3
      {105 + 6 * 3, {-0.1993888061, 0.4672345278, 0}},  // Door CS4
      {105 + 6 * 5, {-0.4333938397, 0.9189264278, 0}},  // Door CS6
      {105 + 6 * 7, {-0.6508655322, 1.0905384262, 0}},  // Door CS8
      {153, {0, 0, 1}},                                 // Revolute axis
      {187, {1, 0, 0}},                                 // Prismatic axis
      {206, {-0.25, 0, 0}},                             // Exlar CS1
      {218, {0, 0, 1}},                                 // Revolute4 axis
      {221, {0.9277, 0.0715, 0}},                       // third ground point
  };
  for (const Entry& e : entries) EXPECT_EQ(three(e.at), e.values) << "index " << e.at;
  EXPECT_EQ(p[104], 401.0);  // Door mass
  EXPECT_THAT(std::vector<double>(p.begin() + 95, p.begin() + 104),
              ElementsAre(1.0, 0, 0, 0, 1.0, 0, 0, 0, 183.03057936));
  EXPECT_EQ(p[18], 1.0);                  // Link4 mass
  EXPECT_EQ(p[73], 1.0);                  // Link3 mass
  EXPECT_EQ(p[174], 25755.573764142293);  // rod mass
  EXPECT_EQ(p[205], 1.0);                 // Exlar mass
  for (int i = 224; i < 240; ++i) EXPECT_EQ(p[i], 0.0) << i;
}

// The two builds describe one physical linkage: every coordinate system the
// two have in common lies at the same world position.
TEST_F(CliMechanismTest, SameLinkageAsZorvathsDescription) {
  EngineMechanism* ramp = sim::buildMechanismDescription();
  char error[sim::kMechanismErrorBufferSize] = {};
  ASSERT_FALSE(ramp->parameterCallback(ramp, sim::kMechanismParameters.data(), error,
                                       sim::kMechanismErrorTextLimit));
  using sim::RampFrame;
  struct Pair {
    CliFrame cli;
    RampFrame ramp;
  };
  const Pair pairs[] = {
      {CliFrame::ExlarCS1, RampFrame::ExlarCS1}, {CliFrame::ExlarCG, RampFrame::ExlarCG},
      {CliFrame::Link4CS3, RampFrame::Link4CS3}, {CliFrame::Link4CS4, RampFrame::Link4CS4},
      {CliFrame::Link4CS5, RampFrame::Link4CS5}, {CliFrame::Link4CG, RampFrame::Link4CG},
      {CliFrame::RodCS1, RampFrame::RodCS1},     {CliFrame::RodCS2, RampFrame::RodCS2},
      {CliFrame::Link3CS1, RampFrame::Link3CS1}, {CliFrame::Link3CS2, RampFrame::Link3CS2},
      {CliFrame::Link3CG, RampFrame::Link3CG},   {CliFrame::DoorCS1, RampFrame::DoorCS1},
      {CliFrame::DoorCG, RampFrame::DoorCG},     {CliFrame::DoorCS2, RampFrame::DoorCS2},
      {CliFrame::DoorCS3, RampFrame::DoorCS4},   {CliFrame::DoorCS5, RampFrame::DoorCS6},
      {CliFrame::DoorCS7, RampFrame::DoorCS8},   {CliFrame::DoorCS8, RampFrame::DoorCS9},
  };
  for (const Pair& pair : pairs) {
    const double* theirs =
        ramp->descriptionTable + sim::description_layout::frame(pair.ramp) + block::kFramePosition;
    for (int i = 0; i < 3; ++i)
      EXPECT_NEAR(framePosition(pair.cli)[i], theirs[i], 1e-15) << static_cast<int>(pair.cli);
  }
}

TEST_F(CliMechanismTest, InertiasAreTakenAboutEachBodysJointWithItsParent) {
  struct Case {
    CliBody body;
    CliFrame reference;
    double mass, izz;  // about the centre of mass
  };
  const Case cases[] = {
      {CliBody::Door, CliFrame::DoorCS1, 401.0, 183.03057936},
      {CliBody::Link4, CliFrame::Link4CS4, 1.0, 0.001},
      {CliBody::Link3, CliFrame::Link3CS1, 1.0, 0.001},
      {CliBody::Rod, CliFrame::RodCS2, 25755.573764142293, 0.001},
      {CliBody::Exlar, CliFrame::ExlarCS2, 1.0, 0.001},
  };
  const CliFrame centres[] = {CliFrame::DoorCG, CliFrame::Link4CG, CliFrame::Link3CG,
                              CliFrame::RodCG, CliFrame::ExlarCG};
  for (int k = 0; k < 5; ++k) {
    const Case& c = cases[k];
    const double rx = framePosition(centres[k])[0] - framePosition(c.reference)[0];
    const double ry = framePosition(centres[k])[1] - framePosition(c.reference)[1];
    EXPECT_EQ(*bodyPart(c.body, block::kBodyMass), c.mass);
    EXPECT_NEAR(bodyPart(c.body, block::kBodyInertia)[8], c.izz + c.mass * (rx * rx + ry * ry),
                1e-9 * c.mass)
        << static_cast<int>(c.body);
    EXPECT_NEAR(bodyPart(c.body, block::kBodyCentreOfMass)[0], rx, 1e-15);
    EXPECT_EQ(bodyPart(c.body, block::kBodyPosition)[0], framePosition(c.reference)[0]);
  }
}

struct ZeroAxisCase {
  const char* title;
  std::vector<int> zeroed;  // axis starts
  const char* reported;
};

class CliAxisCheckTest : public CliMechanismTest,
                         public ::testing::WithParamInterface<ZeroAxisCase> {};

TEST_P(CliAxisCheckTest, FirstJointInTheBuildsCheckOrderIsReported) {
  const std::vector<double> before(table(), table() + sim_cli::kMechanismDescriptionCount);
  Parameters parameters = sim_cli::kMechanismParameters;
  for (int start : GetParam().zeroed)
    for (int i = 0; i < 3; ++i) parameters[start + i] = 0.0;
  ASSERT_TRUE(runCallback(parameters));
  const std::string reported = GetParam().reported;
  const char* primitive = reported == "Prismatic" ? "P1" : "R1";
  EXPECT_EQ(std::string(error_), std::string(kPath) + reported + ": Joint primitive " + primitive +
                                     " has an invalid axis.  Axis must evaluate to a 1-by-3 "
                                     "matrix.  Check and reconfigure primitive axis vector.");
  EXPECT_EQ(std::vector<double>(table(), table() + sim_cli::kMechanismDescriptionCount), before);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, CliAxisCheckTest,
    ::testing::Values(ZeroAxisCase{"RevoluteBeforeRevolute5", {153, 0}, "Revolute"},
                      ZeroAxisCase{"Revolute4First", {0, 153, 218}, "Revolute4"},
                      ZeroAxisCase{"PrismaticBeforeRevolute", {153, 187}, "Prismatic"},
                      ZeroAxisCase{"Revolute1BeforeRevolute2", {55, 86}, "Revolute1"},
                      ZeroAxisCase{"Revolute3BeforeRevolute5", {0, 49}, "Revolute3"},
                      ZeroAxisCase{"Revolute5Alone", {0}, "Revolute5"}),
    [](const auto& info) { return std::string(info.param.title); });

TEST_F(CliMechanismTest, EngineCreatesItWithTenStatesAndClosedLoops) {
  static EngineMethodTable methods{};
  fillProvidedEngineMethods(&methods);
  resetEngineMethodSet();
  registerMechanismMethods(&methods);
  unsigned char blockWork[32];
  std::memset(blockWork, 0xff, sizeof blockWork);
  mechanism_->blockWork = blockWork;
  ASSERT_FALSE(createEngineMechanism(mechanism_)) << getEngineError()->text;
  EXPECT_EQ(blockWork[24], 0);
  std::int32_t driven = -1, free = -1, total = -1;
  ASSERT_FALSE(setupMotionArrays(mechanism_, &driven, &free, &total));
  EXPECT_EQ(free, 5);  // Revolute2, Revolute1, Revolute, Prismatic, Revolute4
  ASSERT_FALSE(setVelocityConstraint2D(mechanism_));
  classifyConstraintEquations(mechanism_);
  ASSERT_FALSE(positionSweep2D(mechanism_));
  double error[4];
  ASSERT_FALSE(positionError2D(mechanism_, error, false));
  for (double e : error) EXPECT_NEAR(e, 0.0, 1e-9);
  mechanism_->destroy(mechanism_);
  EXPECT_EQ(mechanism_->isCreated, 0);
  mechanism_->blockWork = nullptr;
}

}  // namespace
