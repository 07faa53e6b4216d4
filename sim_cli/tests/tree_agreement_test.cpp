// The two builds describe one physical linkage through different spanning
// trees: zorvath closes its loops at Revolute and Revolute3, zorvath_cli at
// Revolute3 and Revolute5. Given the same physical data (test-only parameter
// sets) and the same loads, the engine must move both alike, step by step
// through the entry points the model calls. A fault that depends on
// the tree (a reversed joint, a body's reference frame, the order of the
// signals, a constraint between moving bodies) makes the two trajectories of
// the ramp hinge and of the actuator part.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "mech_engine2d/provided_methods.h"
#include "mech_engine_common/engine_entry_points.h"
#include "mech_engine_common/engine_error.h"
#include "sim/mechanism/ramp_mechanism.h"
#include "sim/mechanism/ramp_mechanism_tables.h"
#include "sim/model/model_data.h"
#include "sim/model/model_variant.h"
#include "sim/tests/temp_directory.h"
#include "sim/tests/udp_listener.h"
#include "sim_cli/mechanism/cli_mechanism.h"
#include "sim_cli/mechanism/cli_mechanism_tables.h"
#include "sim_cli/model/cli_model.h"

namespace {

// The model's step, and a run of 0.8 s.
constexpr double kStep = 0.001;
constexpr int kSteps = 800;
constexpr double kDoorMass = 401.0;
constexpr double kDoorInertia = 401.0 * 0.6756;  // about the centre of mass

// Test-only physical data, written into both parameter layouts: heavier
// links with their centres of mass off the joints, so that the inertias the
// two trees take about different joint frames matter.
struct LinkData {
  int rampStart, cliStart;  // the body's block in each parameter vector
  double mass, izz;
  double cg[3];  // from the frame it is placed from (the same one in both)
};
constexpr LinkData kLinks[] = {
    {sim::ramp_tables::kLink3Parameters,
     sim_cli::cli_tables::kLink3Parameters,
     5.0,
     0.05,
     {0.04, 0.03, 0}},
    {sim::ramp_tables::kLink4Parameters,
     sim_cli::cli_tables::kLink4Parameters,
     3.0,
     0.02,
     {0.1100958871, 0.0633079429, 0}},
    {sim::ramp_tables::kExlarParameters,
     sim_cli::cli_tables::kExlarParameters,
     12.0,
     0.4,
     {-0.1, 0.01, 0}},
};

template <std::size_t n>
void putLinks(std::array<double, n>& p, bool ramp) {
  for (const LinkData& link : kLinks) {
    const int start = ramp ? link.rampStart : link.cliStart;
    std::copy(link.cg, link.cg + 3, p.begin() + start);
    p[start + 14] = link.izz;  // zz of the row-by-row inertia
    p[start + 15] = link.mass;
  }
}

// zorvath's Door stays massless: its mass comes as a dynamic input.
std::array<double, sim::kMechanismParameterCount> rampParameters() {
  auto p = sim::kMechanismParameters;
  putLinks(p, true);
  return p;
}

// zorvath_cli's Door carries the same mass in its description, and its feet
// sit where zorvath's Door has them (its CS5..CS8).
std::array<double, sim_cli::kMechanismParameterCount> cliParameters() {
  auto p = sim_cli::kMechanismParameters;
  putLinks(p, false);
  const int door = sim_cli::cli_tables::kDoorParameters;
  p[door + 15] = kDoorMass;
  p[door + 14] = kDoorInertia;
  const double feet[4][2] = {{-0.2492360076, 0.5840431598},
                             {-0.2579739926, 0.58023652},
                             {-0.5417422997, 1.1486580347},
                             {-0.5503475442, 1.1445599943}};
  for (int k = 0; k < 4; ++k) {
    const int at = sim::linkage::frameParameter(door, 4 + k);
    p[at] = feet[k][0];
    p[at + 1] = feet[k][1];
  }
  return p;
}

// The loads, the same for both: the Door's weight at its centre of mass,
// persons on three foot positions and an actuator force that pushes, pulls
// and lets go.
struct Loads {
  double zero = 0.0;
  double one = 1.0;
  double weight = kDoorMass * -9.81;
  double mass = kDoorMass;
  double inertiaTerm = kDoorInertia;
  double foot[4] = {};  // f1..f4
  double actuatorForce = 0.0;

  void at(double t) {
    actuatorForce = t < 0.3 ? -30000.0 : t < 0.6 ? 40000.0 : 0.0;
    foot[0] = t >= 0.2 ? -1500.0 : 0.0;
    foot[1] = t >= 0.25 ? -1200.0 : 0.0;
    foot[2] = t >= 0.4 ? -800.0 : 0.0;
  }
};

// One description driven through the engine's entry points.
struct Trajectory {
  std::vector<double> rampPosition;  // deg
  std::vector<double> displacement;  // m
  std::string error;
};

class TreeAgreementTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static EngineMethodTable methods{};
    fillProvidedEngineMethods(&methods);
    resetEngineMethodSet();
    registerMechanismMethods(&methods);
  }

  static std::string engineError() {
    return getEngineError()->text != nullptr ? getEngineError()->text : "engine failure";
  }

  // Creates the mechanism and runs the model's step sequence on it: at each
  // major step t the kinematics (the first one assembles) and dynamics, the
  // derivatives and the Euler update, then at t + h the minor step and the
  // post-step stabilisation onto the constraints.
  Trajectory drive(EngineMechanism* mechanism, const double* parameters, double** port,
                   int rampPositionOutput, int displacementOutput, int refinement) {
    const double h = kStep / refinement;
    Trajectory run;
    char text[sim::kMechanismErrorBufferSize] = {};
    if (mechanism->parameterCallback(mechanism, parameters, text, sim::kMechanismErrorTextLimit)) {
      run.error = text;
      return run;
    }
    double state[10] = {};
    if (createEngineMechanism(mechanism)) {
      run.error = engineError();
      return run;
    }
    mechanism->stateVector = state;

    double* environment[3] = {&loads_.zero, &loads_.zero, &loads_.zero};
    double kinematicOutputs[3] = {};
    double stateOutputs[10] = {};
    int assembled = 0;
    MechanismInputView kinematicsIn{};
    kinematicsIn.firstCallFlag = &assembled;
    MechanismOutputView kinematicsOut{};
    kinematicsOut.numOutputPorts = 2;
    kinematicsOut.outputPorts[0] = kinematicOutputs;
    kinematicsOut.outputPorts[1] = stateOutputs;
    MechanismInputView dynamicsIn{};
    dynamicsIn.numInputPorts = 2;
    dynamicsIn.inputPorts[0] = port;
    dynamicsIn.inputPorts[1] = environment;
    double dynamicOutput = 0.0;
    MechanismOutputView dynamicsOut{};
    dynamicsOut.numOutputPorts = 1;
    dynamicsOut.outputPorts[0] = &dynamicOutput;

    auto runEntryPoints = [&](double t, bool major) {
      kinematicsIn.time = dynamicsIn.time = t;
      kinematicsOut.isMajorStep = dynamicsOut.isMajorStep = major ? 1 : 0;
      return mechanismKinematicsStep(mechanism, &kinematicsIn, &kinematicsOut) ||
             mechanismDynamicsStep(mechanism, &dynamicsIn, &dynamicsOut);
    };
    for (int step = 0; step < kSteps * refinement && run.error.empty(); ++step) {
      loads_.at(step * h);
      double derivatives[10];
      if (runEntryPoints(step * h, true) || mechanismDerivatives(mechanism, derivatives)) {
        run.error = engineError();
        break;
      }
      if (step % refinement == 0) {  // compared at the model's steps
        run.rampPosition.push_back(kinematicOutputs[rampPositionOutput]);
        run.displacement.push_back(kinematicOutputs[displacementOutput]);
      }
      for (int i = 0; i < 10; ++i) state[i] += h * derivatives[i];
      if (runEntryPoints((step + 1) * h, false) || mechanismPostStep(mechanism, &kinematicsIn))
        run.error = engineError();
    }
    destroyEngineMechanism(mechanism);
    mechanism->stateVector = nullptr;
    return run;
  }

  Trajectory driveRamp(int refinement) {
    const auto parameters = rampParameters();
    double* port[26];
    int k = 0;
    for (int foot = 3; foot >= 0; --foot) {
      port[k++] = &loads_.zero;
      port[k++] = &loads_.foot[foot];
      port[k++] = &loads_.zero;
    }
    port[k++] = &loads_.zero;
    port[k++] = &loads_.weight;
    port[k++] = &loads_.zero;
    port[k++] = &loads_.mass;
    double* inertia[9] = {&loads_.one,  &loads_.zero, &loads_.zero, &loads_.zero,       &loads_.one,
                          &loads_.zero, &loads_.zero, &loads_.zero, &loads_.inertiaTerm};
    for (double* entry : inertia) port[k++] = entry;
    port[k++] = &loads_.actuatorForce;
    return drive(sim::buildMechanismDescription(), parameters.data(), port, 1, 0, refinement);
  }

  Trajectory driveCli(int refinement) {
    const auto parameters = cliParameters();
    double* port[16];
    int k = 0;
    for (int foot = 3; foot >= 0; --foot) {
      port[k++] = &loads_.zero;
      port[k++] = &loads_.foot[foot];
      port[k++] = &loads_.zero;
    }
    port[k++] = &loads_.zero;
    port[k++] = &loads_.weight;
    port[k++] = &loads_.zero;
    port[k++] = &loads_.actuatorForce;
    return drive(sim_cli::buildMechanismDescription(), parameters.data(), port, 0, 1, refinement);
  }

  Loads loads_;
};

// Largest differences between the two trees' trajectories.
struct Gap {
  double angle = 0.0;         // deg
  double displacement = 0.0;  // m
};

Gap gapBetween(const Trajectory& a, const Trajectory& b) {
  Gap gap;
  for (std::size_t k = 0; k < a.rampPosition.size() && k < b.rampPosition.size(); ++k) {
    gap.angle = std::max(gap.angle, std::fabs(a.rampPosition[k] - b.rampPosition[k]));
    gap.displacement = std::max(gap.displacement, std::fabs(a.displacement[k] - b.displacement[k]));
  }
  return gap;
}

// Each tree integrates its own joint coordinates with the explicit Euler
// step, so the two agree up to the method's first-order error: close at the
// model's step, and twice as close at half the step. A fault that depends on
// the tree leaves a gap that does not shrink with the step.
TEST_F(TreeAgreementTest, BothTreesMoveTheHingeAndTheActuatorAlike) {
  const Trajectory ramp = driveRamp(1);
  const Trajectory cli = driveCli(1);
  ASSERT_EQ(ramp.error, "");
  ASSERT_EQ(cli.error, "");
  ASSERT_EQ(ramp.displacement.size(), static_cast<std::size_t>(kSteps));
  ASSERT_EQ(cli.displacement.size(), static_cast<std::size_t>(kSteps));

  // The loads really move the linkage: tens of degrees and centimetres.
  const auto [low, high] = std::minmax_element(ramp.rampPosition.begin(), ramp.rampPosition.end());
  const double travel = *high - *low;
  EXPECT_GT(travel, 10.0);
  const auto [in, out] = std::minmax_element(ramp.displacement.begin(), ramp.displacement.end());
  const double stroke = *out - *in;
  EXPECT_GT(stroke, 0.01);

  const Gap gap = gapBetween(ramp, cli);
  EXPECT_LT(gap.angle, 5e-4 * travel);
  EXPECT_LT(gap.displacement, 5e-4 * stroke);

  const Gap finer = gapBetween(driveRamp(2), driveCli(2));
  EXPECT_NEAR(finer.angle / gap.angle, 0.5, 0.05);
  EXPECT_NEAR(finer.displacement / gap.displacement, 0.5, 0.05);
}

// ---------------------------------------------------------------------------
// The whole models: both builds' loops with the same controller, persons and
// test data; only the mechanism, its parameters and its wiring differ.

constexpr double kModelRunTime = 4.0;  // s: the ramp opens and persons step on and off
constexpr sim::ModelBlock kViewerOnly[] = {sim::kOgreSendBlock};

const auto kRampModelParameters = rampParameters();
const auto kCliModelParameters = cliParameters();

sim::ModelVariant rampTestBuild() {
  sim::ModelVariant v = sim::kRampModel;
  v.stopTime = kModelRunTime;
  v.blocks = kViewerOnly;
  v.mechanismParameters = kRampModelParameters.data();
  v.defaultParameters.rampMass = kDoorMass;  // the Door's mass, weight and inertia inputs
  return v;
}

sim::ModelVariant cliTestBuild() {
  const sim::ModelVariant& cli = sim_cli::kCliModel;
  sim::ModelVariant v = rampTestBuild();
  v.rampMassTerms = cli.rampMassTerms;
  v.dynamicInputs = cli.dynamicInputs;
  v.displacementOutput = cli.displacementOutput;
  v.rampPositionOutput = cli.rampPositionOutput;
  v.dynamicOutputPort = cli.dynamicOutputPort;
  v.buildMechanism = cli.buildMechanism;
  v.mechanismParameters = kCliModelParameters.data();
  return v;
}

class ModelTreeAgreementTest : public TempDirectoryTest {
 protected:
  void SetUp() override {
    TempDirectoryTest::SetUp();
    sim::blockParameters.port[2] = listener_.port();
  }
  void TearDown() override {
    sim::blockParameters = sim::kDefaultBlockParameters;
    sim::selectModelVariant(sim::kRampModel);
    TempDirectoryTest::TearDown();
  }

  static Trajectory run(const sim::ModelVariant& build) {
    sim::selectModelVariant(build);
    const double arrivals[8] = {0.1, 0.15, 0.3, 0.35, 0.5, 0.55, 0.7, 0.75};
    const double masses[8] = {80, 95, 70, 110, 85, 60, 100, 90};
    std::copy(arrivals, arrivals + 8, sim::parameters.manTime);
    std::copy(masses, masses + 8, sim::parameters.manMass);
    Trajectory t;
    sim::modelInitialize();
    while (sim::model->errorStatus == nullptr) {
      sim::oneStep();
      t.rampPosition.push_back(sim::signals.kinematicOutputs[build.rampPositionOutput]);
      t.displacement.push_back(sim::signals.kinematicOutputs[build.displacementOutput]);
    }
    t.error = sim::model->errorStatus;
    sim::modelTerminate();
    return t;
  }

  UdpListener listener_;
};

// Both programs' loops, each with its own mechanism, wiring and signal order,
// open the ramp alike.
TEST_F(ModelTreeAgreementTest, BothModelsOpenTheRampAlike) {
  const Trajectory ramp = run(rampTestBuild());
  const Trajectory cli = run(cliTestBuild());
  ASSERT_EQ(ramp.error, "Simulation finished");
  ASSERT_EQ(cli.error, "Simulation finished");
  ASSERT_EQ(ramp.rampPosition.size(), cli.rampPosition.size());

  const auto [low, high] = std::minmax_element(ramp.rampPosition.begin(), ramp.rampPosition.end());
  const double travel = *high - *low;
  const auto [in, out] = std::minmax_element(ramp.displacement.begin(), ramp.displacement.end());
  const double stroke = *out - *in;
  EXPECT_GT(stroke, 0.1);  // open past the persons' 0.1 m
  const Gap gap = gapBetween(ramp, cli);
  // The controller holds both on the same path: the gap stays near a
  // millionth of the travel (a five per cent error in the Door's inertia in
  // one of the two makes it twenty times larger).
  EXPECT_LT(gap.angle, 1e-5 * travel);
  EXPECT_LT(gap.displacement, 1e-5 * stroke);
}

}  // namespace
