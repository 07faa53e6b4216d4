#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "linkage_fixture.h"
#include "mech_engine_common/engine_entry_points.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_method_signatures.h"
#include "mech_engine_common/engine_method_table.h"
#include "test_allocator.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using Id = EngineMethodId;

// --- recording stub methods ----------------------------------------------------

std::vector<std::string> callLog;
Id failingMethod = Id::UNKNOWN_METHOD;
std::map<const void*, std::string> portNames;

std::string nameOf(const void* port) {
  if (port == nullptr) return "null";
  const auto found = portNames.find(port);
  return found != portNames.end() ? found->second : "?";
}

template <Id method>
bool record(const std::string& arguments) {
  const std::string name(engineMethodNames[static_cast<int>(method)]);
  callLog.push_back(name + arguments);
  if (method != failingMethod) return false;
  return setEngineError("Error originates in Mechanical block %s. %s failed at step %i.", "m/Block",
                        engineMethodNames[static_cast<int>(method)].data(), 3);
}

template <Id method>
bool mechanismStub(EngineMechanism*) {
  return record<method>("");
}
template <Id method>
bool switchStub(EngineMechanism*, bool on) {
  return record<method>(on ? "(1)" : "(0)");
}
template <Id method>
bool inputPortStub(double** port, EngineMechanism*) {
  return record<method>("(" + nameOf(port) + ")");
}
template <Id method>
bool vectorStub(double* vector, EngineMechanism*) {
  return record<method>("(" + nameOf(vector) + ")");
}
bool outputConstraintsStub(EngineMechanism*, double* first, double* second) {
  return record<Id::outputConstraints2D>("(" + nameOf(first) + ", " + nameOf(second) + ")");
}
bool updateModeVectorStub(EngineMechanism*, double** port) {
  return record<Id::updateModeVector>("(" + nameOf(port) + ")");
}
bool nonlinearSolverStub(EngineMechanism*, bool on, std::uint8_t* converged) {
  return record<Id::nonlinearSolver>("(" + std::to_string(on) + ", " +
                                     (converged != nullptr ? "converged" : "null") + ")");
}

// Creation stubs own a block each, so a leak or a double free shows.
void* bodyBlock = nullptr;
std::uint8_t kinematicDataRecord[16];

bool createBodyStub(EngineMechanism*) {
  bodyBlock = engineAllocate(32);
  if (bodyBlock == nullptr) {
    return setEngineError(
        "Error originates in a Mechanical model. Insufficient memory for data structure "
        "allocation.");
  }
  return record<Id::createEngineBody>("");
}
bool destroyBodyStub(EngineMechanism*) {
  engineRelease(&bodyBlock);
  return record<Id::destroyEngineBody>("");
}
bool createKinematicDataStub(EngineMechanism* m) {
  m->kinematicData = reinterpret_cast<EngineKinematicData*>(kinematicDataRecord);
  return record<Id::createKinematicData>("");
}
bool destroyKinematicDataStub(EngineMechanism* m) {
  m->kinematicData = nullptr;
  return record<Id::destroyKinematicData>("");
}

template <typename Function>
void put(EngineMethodTable& table, Id id, Function* function) {
  table.methods[static_cast<int>(id)] = toEngineMethod(function);
}

EngineMethodTable stubTable() {
  EngineMethodTable t{};
  put(t, Id::createEngineJoint, &mechanismStub<Id::createEngineJoint>);
  put(t, Id::createEngineBody, &createBodyStub);
  put(t, Id::createEngineConstraint2D, &mechanismStub<Id::createEngineConstraint2D>);
  put(t, Id::createKinematicData, &createKinematicDataStub);
  put(t, Id::destroyEngineBody, &destroyBodyStub);
  put(t, Id::destroyEngineJoint, &mechanismStub<Id::destroyEngineJoint>);
  put(t, Id::destroyEngineConstraint, &mechanismStub<Id::destroyEngineConstraint>);
  put(t, Id::destroyKinematicData, &destroyKinematicDataStub);
  put(t, Id::destroyMechanismMethods, &destroyMechanismMethods);
  put(t, Id::unpackState, &switchStub<Id::unpackState>);
  put(t, Id::assemblyAnalysis, &switchStub<Id::assemblyAnalysis>);
  put(t, Id::updateState, &vectorStub<Id::updateState>);
  put(t, Id::positionSweep2D, &mechanismStub<Id::positionSweep2D>);
  put(t, Id::velocitySweep2D, &mechanismStub<Id::velocitySweep2D>);
  put(t, Id::kinematicInputs, &inputPortStub<Id::kinematicInputs>);
  put(t, Id::kinematicOutputs2D, &vectorStub<Id::kinematicOutputs2D>);
  put(t, Id::outputConstraints2D, &outputConstraintsStub);
  put(t, Id::dynamicInputs, &inputPortStub<Id::dynamicInputs>);
  put(t, Id::dynamicOutputs, &vectorStub<Id::dynamicOutputs>);
  put(t, Id::dynamicSweep2D, &mechanismStub<Id::dynamicSweep2D>);
  put(t, Id::external2D, &switchStub<Id::external2D>);
  put(t, Id::ricatti2D, &mechanismStub<Id::ricatti2D>);
  put(t, Id::lagrange2D, &mechanismStub<Id::lagrange2D>);
  put(t, Id::acceleration2D, &switchStub<Id::acceleration2D>);
  put(t, Id::kinematicAcceleration2D, &mechanismStub<Id::kinematicAcceleration2D>);
  put(t, Id::kinematicLagrange2D, &mechanismStub<Id::kinematicLagrange2D>);
  put(t, Id::eventInputs, &inputPortStub<Id::eventInputs>);
  put(t, Id::updateModeVector, &updateModeVectorStub);
  put(t, Id::updateStateDerivatives, &vectorStub<Id::updateStateDerivatives>);
  put(t, Id::stabilise2D, &mechanismStub<Id::stabilise2D>);
  put(t, Id::assemblyCheck, &mechanismStub<Id::assemblyCheck>);
  put(t, Id::nonlinearSolver, &nonlinearSolverStub);
  put(t, Id::projectVelocity, &switchStub<Id::projectVelocity>);
  return t;
}

// --- the model side: one mechanism and its three blocks -------------------------

struct Block {
  double signals[8][3] = {};
  double* signalPointers[8][3];
  double outputs[8][4] = {};
  std::int32_t flag = 0;
  MechanismBlockData data{};

  Block(const char* name, int inputs, int outputCount, std::int32_t initialFlag) {
    flag = initialFlag;
    data.input.startTime = 0.0;
    data.input.time = 0.0;
    data.input.firstCallFlag = &flag;
    data.input.numInputPorts = inputs;
    data.output.numOutputPorts = outputCount;
    data.output.isMajorStep = 1;
    for (int p = 0; p < 8; ++p) {
      for (int s = 0; s < 3; ++s) signalPointers[p][s] = &signals[p][s];
      data.input.inputPorts[p] = p < inputs ? signalPointers[p] : nullptr;
      data.output.outputPorts[p] = p < outputCount ? outputs[p] : nullptr;
      portNames[signalPointers[p]] = std::string(name) + ".in" + std::to_string(p);
      portNames[outputs[p]] = std::string(name) + ".out" + std::to_string(p);
    }
  }
  MechanismInputView* in() { return &data.input; }
  MechanismOutputView* out() { return &data.output; }
};

class MechanismEntryPoints : public testing::Test {
 protected:
  Linkage linkage;
  EngineMechanism& mechanism = linkage.mechanism;
  MachineEnvironment& environment = linkage.environment;
  double state[10] = {};
  double gravity[3] = {};
  EngineMatrix gravityCell{0, 1, gravity};
  std::uint8_t blockWork[32];
  Block kinematics{"k", 2, 3, 0};
  Block dynamics{"d", 4, 2, 0};
  Block events{"e", 1, 1, 1};

  void SetUp() override {
    resetEngineMethodSet();
    const EngineMethodTable table = stubTable();
    registerMechanismMethods(&table);
    callLog.clear();
    failingMethod = Id::UNKNOWN_METHOD;
    portNames[state] = "state";
    for (std::uint8_t& b : blockWork) b = 0xAA;
    mechanism.blockWork = blockWork;
    mechanism.allowedSimulationDimensions = kEngineDimension2D;
    mechanism.skipBlockJacobians = 1;
    mechanism.transform2D = nullptr;  // as in the ramp description
    environment.numStates = 10;
    environment.numKinematicOutputs = 3;
    environment.numDynamicInputs = 26;
    environment.numDynamicOutputs = 1;
    environment.analysisMode = kAnalysisDynamics;
    environment.constraintSolverKind = 1;
    environment.methodFlag = 1;
    environment.environmentVector = &gravityCell;
  }
  void TearDown() override {
    destroyEngineMechanism(&mechanism);
    resetEngineMethodSet();
  }

  void create() {
    ASSERT_FALSE(createEngineMechanism(&mechanism)) << getEngineError()->text;
    mechanism.stateVector = state;
    callLog.clear();
  }
};

TEST_F(MechanismEntryPoints, CreateRunsTheCreateMethodsInOrder) {
  ASSERT_FALSE(createEngineMechanism(&mechanism));
  EXPECT_THAT(callLog, ElementsAre("createEngineJoint", "createEngineBody",
                                   "createEngineConstraint2D", "createKinematicData"));
  EXPECT_EQ(mechanism.isCreated, 1);
  EXPECT_EQ(blockWork[24], 0);
  EXPECT_EQ(blockWork[23], 0xAA);
  EXPECT_EQ(mechanism.destroy, &destroyEngineMechanism);
  EXPECT_EQ(mechanism.allowedSimulationDimensions, kEngineDimension2D);
  ASSERT_NE(mechanism.transform2D, nullptr);  // the engine's identity stands in
  EXPECT_EQ(mechanism.transform2D->data[0], 1.0);
  EXPECT_EQ(mechanism.transform2D->data[4], 1.0);
  EXPECT_EQ(globalTransformBuffer.table, nullptr);

  callLog.clear();
  EXPECT_FALSE(createEngineMechanism(&mechanism));  // already created: nothing happens
  EXPECT_THAT(callLog, IsEmpty());

  mechanism.destroy(&mechanism);
  EXPECT_THAT(callLog, ElementsAre("destroyEngineBody", "destroyEngineJoint",
                                   "destroyEngineConstraint", "destroyKinematicData"));
  EXPECT_EQ(mechanism.isCreated, 0);
  EXPECT_EQ(mechanism.methods, nullptr);
  EXPECT_EQ(mechanism.planeTransform, nullptr);
  EXPECT_EQ(mechanism.transform2D, nullptr);
}

TEST_F(MechanismEntryPoints, VerboseCreatePrintsTheDimension) {
  mechanism.verbose = 1;
  testing::internal::CaptureStdout();
  ASSERT_FALSE(createEngineMechanism(&mechanism));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Simulation running in 2 dimensions.\n");
}

// A failure in any create method destroys the mechanism, frees everything and
// lets a second create start clean.
TEST_F(MechanismEntryPoints, FailedCreateLeavesNothingBehind) {
  for (Id failing : {Id::createEngineJoint, Id::createEngineBody, Id::createEngineConstraint2D,
                     Id::createKinematicData}) {
    SCOPED_TRACE(engineMethodNames[static_cast<int>(failing)]);
    TestAllocator::install();
    failingMethod = failing;
    callLog.clear();
    EXPECT_TRUE(createEngineMechanism(&mechanism));
    EXPECT_NE(std::string(getEngineError()->text).find("failed at step 3."), std::string::npos);
    EXPECT_EQ(callLog.back(), "destroyKinematicData");
    EXPECT_EQ(mechanism.isCreated, 0);
    EXPECT_EQ(mechanism.methods, nullptr);
    EXPECT_EQ(mechanism.transform2D, nullptr);
    EXPECT_TRUE(TestAllocator::live.empty());

    failingMethod = Id::UNKNOWN_METHOD;
    EXPECT_FALSE(createEngineMechanism(&mechanism));
    destroyEngineMechanism(&mechanism);
    EXPECT_TRUE(TestAllocator::live.empty());
    TestAllocator::uninstall();
  }
}

TEST_F(MechanismEntryPoints, AllocationFailureAnywhereInCreateLeaksNothing) {
  TestAllocator::install();
  ASSERT_FALSE(createEngineMechanism(&mechanism));
  destroyEngineMechanism(&mechanism);
  const int allocations = TestAllocator::calls;
  for (int failAt = 0; failAt < allocations; ++failAt) {
    TestAllocator::install(failAt);
    const bool failed = createEngineMechanism(&mechanism);
    destroyEngineMechanism(&mechanism);
    EXPECT_EQ(mechanism.isCreated, 0);
    EXPECT_TRUE(TestAllocator::live.empty()) << failAt;
    EXPECT_TRUE(failed) << failAt;
    if (failed) {
      EXPECT_EQ(
          std::string(getEngineError()->text).rfind("Error originates in a Mechanical model.", 0),
          0u)
          << failAt;
    }
  }
  TestAllocator::uninstall();
}

TEST_F(MechanismEntryPoints, NoAllowedDimensionIsAnError) {
  mechanism.allowedSimulationDimensions = 0;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(createEngineMechanism(&mechanism));
  const std::string report = testing::internal::GetCapturedStdout();
  EXPECT_NE(report.find("Assertion Failed ENGINE_DIMENSION_ALLOW_3D(allowedSimulationDimensions) "
                        "at line 443 of file "
                        "\"mech_engine/mech_engine_common/determineSimulationDimensionality\".\n"
                        "\tNeither 2D nor 3D simulations are enabled\n"),
            std::string::npos);
  EXPECT_STREQ(getEngineError()->text,
               "Error originates in a Mechanical model. Neither 2D nor 3D simulation is enabled.");
  EXPECT_EQ(mechanism.isCreated, 0);
}

// The dimension check fails before any method table exists; destroy must still
// clear isCreated so that a corrected description can be created.
TEST_F(MechanismEntryPoints, NonPlanarMechanismWith2DOnlyFailsAndCanBeRetried) {
  linkage.prismatic.kind = kPrimitiveSpherical;
  EXPECT_TRUE(createEngineMechanism(&mechanism));
  EXPECT_STREQ(getEngineError()->arguments[0], "m/Prismatic");
  EXPECT_EQ(mechanism.isCreated, 0);
  EXPECT_EQ(mechanism.transform2D, nullptr);
  linkage.prismatic.kind = kPrimitivePrismatic;
  callLog.clear();
  EXPECT_FALSE(createEngineMechanism(&mechanism));
  EXPECT_EQ(callLog.size(), 4u);
}

TEST_F(MechanismEntryPoints, NonPlanarMechanismFallsBackTo3DWhenAllowed) {
  linkage.prismatic.kind = kPrimitiveSpherical;
  mechanism.allowedSimulationDimensions = kEngineDimension2D | kEngineDimension3D;
  ASSERT_FALSE(createEngineMechanism(&mechanism));
  EXPECT_EQ(mechanism.allowedSimulationDimensions, kEngineDimension3D);
  EXPECT_EQ(mechanism.methods->bindingTable, &methodBindingTable3D);
  // The 3D variants were not registered: only dimension-free create methods ran.
  EXPECT_THAT(callLog, ElementsAre("createEngineJoint", "createEngineBody", "createKinematicData"));
}

// --- kinematics step -------------------------------------------------------------

struct KinematicsCase {
  const char* name;
  int mode;
  bool assembled, atStart, major, kinematicData;
  std::vector<std::string> expected;
};

TEST_F(MechanismEntryPoints, KinematicsStepByModeAndState) {
  const std::vector<std::string> outputs = {"kinematicOutputs2D(k.out0)", "updateState(k.out1)"};
  auto with = [&](std::vector<std::string> head, std::vector<std::string> tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const KinematicsCase cases[] = {
      {"first call assembles", 2, false, true, true, true,
       with({"unpackState(1)", "assemblyAnalysis(1)", "updateState(state)"}, outputs)},
      {"dynamics at start", 2, true, true, true, true,
       with({"unpackState(0)", "assemblyAnalysis(0)", "updateState(state)"}, outputs)},
      {"dynamics at start, minor step", 2, true, true, false, true,
       with({"unpackState(0)", "positionSweep2D", "velocitySweep2D"}, outputs)},
      {"dynamics at start, no kinematic data", 2, true, true, true, false,
       with({"unpackState(0)", "positionSweep2D", "velocitySweep2D"}, outputs)},
      {"dynamics later", 2, true, false, true, true,
       with({"unpackState(0)", "positionSweep2D", "velocitySweep2D"}, outputs)},
      {"trimming", 1, true, false, true, true,
       with({"unpackState(0)", "positionSweep2D", "velocitySweep2D"},
            with(outputs, {"outputConstraints2D(k.out2, null)"}))},
      {"kinematics, major", 3, true, false, true, true,
       with({"unpackState(0)", "assemblyAnalysis(0)", "updateState(state)"}, outputs)},
      {"kinematics, minor", 3, true, false, false, true,
       with({"unpackState(0)", "assemblyAnalysis(0)"}, outputs)},
      {"inputs and outputs only", 4, true, false, true, true, with({"unpackState(0)"}, outputs)},
  };
  for (const KinematicsCase& c : cases) {
    SCOPED_TRACE(c.name);
    environment.analysisMode = c.mode;
    create();
    if (!c.kinematicData) mechanism.kinematicData = nullptr;
    kinematicDataRecord[3] = 7;
    kinematics.flag = c.assembled ? 1 : 0;
    kinematics.data.input.time = c.atStart ? 0.0 : 0.25;
    kinematics.data.output.isMajorStep = c.major;
    EXPECT_FALSE(mechanismKinematicsStep(&mechanism, kinematics.in(), kinematics.out()));
    EXPECT_EQ(callLog, c.expected);
    EXPECT_EQ(kinematics.flag, 1);
    EXPECT_EQ(mechanism.time, kinematics.data.input.time);
    if (c.kinematicData) {
      EXPECT_EQ(kinematicDataRecord[3], 0);
    }
    destroyEngineMechanism(&mechanism);
  }
}

TEST_F(MechanismEntryPoints, KinematicsStepWithInputsEventsAndNoOutputs) {
  environment.numKinematicInputs = 2;
  environment.numKinematicOutputs = 0;
  environment.hasEvents = 1;
  create();
  kinematics.flag = 1;
  kinematics.data.input.time = 0.5;
  kinematics.signals[0][0] = 4.5;  // first signal of the port before the last
  EXPECT_FALSE(mechanismKinematicsStep(&mechanism, kinematics.in(), kinematics.out()));
  EXPECT_THAT(callLog,
              ElementsAre("kinematicInputs(k.in0)", "unpackState(0)", "positionSweep2D",
                          "velocitySweep2D", "kinematicOutputs2D(null)", "updateState(k.out0)"));
  EXPECT_EQ(kinematics.outputs[2][0], 4.5);
}

TEST_F(MechanismEntryPoints, FirstFailingMethodStopsTheStepAndKeepsItsMessage) {
  create();
  kinematics.flag = 1;
  kinematics.data.input.time = 0.5;
  failingMethod = Id::positionSweep2D;
  EXPECT_TRUE(mechanismKinematicsStep(&mechanism, kinematics.in(), kinematics.out()));
  EXPECT_THAT(callLog, ElementsAre("unpackState(0)", "positionSweep2D"));
  EXPECT_STREQ(getEngineError()->text,
               "Error originates in Mechanical block %s. %s failed at step 3.");
  EXPECT_STREQ(getEngineError()->arguments[0], "m/Block");
  EXPECT_STREQ(getEngineError()->arguments[1], "positionSweep2D");

  callLog.clear();
  failingMethod = Id::ricatti2D;
  EXPECT_TRUE(mechanismDynamicsStep(&mechanism, dynamics.in(), dynamics.out()));
  EXPECT_THAT(callLog,
              ElementsAre("dynamicInputs(d.in0)", "dynamicSweep2D", "external2D(1)", "ricatti2D"));
}

TEST_F(MechanismEntryPoints, EmptySlotsAreSkipped) {
  resetEngineMethodSet();
  EngineMethodTable partial{};
  put(partial, Id::velocitySweep2D, &mechanismStub<Id::velocitySweep2D>);
  put(partial, Id::lagrange2D, &mechanismStub<Id::lagrange2D>);
  put(partial, Id::destroyMechanismMethods, &destroyMechanismMethods);
  registerMechanismMethods(&partial);
  create();
  kinematics.flag = 1;
  kinematics.data.input.time = 0.5;
  EXPECT_FALSE(mechanismKinematicsStep(&mechanism, kinematics.in(), kinematics.out()));
  EXPECT_FALSE(mechanismDynamicsStep(&mechanism, dynamics.in(), dynamics.out()));
  EXPECT_FALSE(mechanismDerivatives(&mechanism, state));
  EXPECT_FALSE(mechanismPostStep(&mechanism, kinematics.in()));
  EXPECT_THAT(callLog, ElementsAre("velocitySweep2D", "lagrange2D"));
}

// --- dynamics step ---------------------------------------------------------------

TEST_F(MechanismEntryPoints, DynamicsStepByMode) {
  struct Case {
    int mode;
    std::uint8_t request1, request5;
    std::vector<std::string> expected;
  } const cases[] = {
      {1,
       0,
       0,
       {"dynamicInputs(d.in0)", "dynamicSweep2D", "external2D(1)", "ricatti2D", "lagrange2D",
        "acceleration2D(1)", "dynamicOutputs(d.out0)"}},
      {2,
       0,
       0,
       {"dynamicInputs(d.in0)", "dynamicSweep2D", "external2D(1)", "ricatti2D", "lagrange2D",
        "acceleration2D(1)", "dynamicOutputs(d.out0)"}},
      {3, 0, 0, {"dynamicInputs(d.in0)", "dynamicOutputs(d.out0)"}},
      {3, 0, 1, {"dynamicInputs(d.in0)", "kinematicAcceleration2D", "dynamicOutputs(d.out0)"}},
      {3,
       1,
       0,
       {"dynamicInputs(d.in0)", "kinematicAcceleration2D", "kinematicLagrange2D",
        "dynamicOutputs(d.out0)"}},
      {4, 1, 1, {"dynamicInputs(d.in0)", "dynamicOutputs(d.out0)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    environment.analysisMode = c.mode;
    environment.kinematicRequest[0] = c.request1;
    environment.kinematicRequest[4] = c.request5;
    create();
    EXPECT_FALSE(mechanismDynamicsStep(&mechanism, dynamics.in(), dynamics.out()));
    EXPECT_EQ(callLog, c.expected);
    destroyEngineMechanism(&mechanism);
  }
}

TEST_F(MechanismEntryPoints, DynamicsStepMapsTheEnvironmentVectorIntoThePlane) {
  double turn[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};  // 90° about z, column-major
  EngineMatrix transform{0, 1, turn};
  mechanism.transform2D = &transform;
  environment.numDynamicOutputs = 0;
  create();
  dynamics.signals[3][0] = 0.0;
  dynamics.signals[3][1] = -9.81;
  dynamics.signals[3][2] = 0.5;
  EXPECT_FALSE(mechanismDynamicsStep(&mechanism, dynamics.in(), dynamics.out()));
  EXPECT_EQ(callLog.back(), "dynamicOutputs(null)");
  EXPECT_EQ(gravity[0], 9.81);
  EXPECT_EQ(gravity[1], 0.0);
  EXPECT_EQ(gravity[2], 0.5);
}

// --- events, derivatives and the post-step ------------------------------------------

TEST_F(MechanismEntryPoints, EventStepSkipsTheFirstMajorStepsInputs) {
  EXPECT_FALSE(mechanismEventStep(&mechanism, events.in(), events.out()));  // no events: nothing
  environment.hasEvents = 1;
  create();
  events.signals[0][0] = 2.5;
  EXPECT_FALSE(mechanismEventStep(&mechanism, events.in(), events.out()));
  EXPECT_EQ(events.flag, 0);
  EXPECT_EQ(events.outputs[0][0], 2.5);
  EXPECT_FALSE(mechanismEventStep(&mechanism, events.in(), events.out()));
  events.data.output.isMajorStep = 0;
  EXPECT_FALSE(mechanismEventStep(&mechanism, events.in(), events.out()));
  EXPECT_THAT(callLog,
              ElementsAre("updateModeVector(null)", "eventInputs(null)", "updateModeVector(null)"));

  failingMethod = Id::eventInputs;
  events.data.output.isMajorStep = 1;
  EXPECT_TRUE(mechanismEventStep(&mechanism, events.in(), events.out()));
}

TEST_F(MechanismEntryPoints, DerivativesOnlyInTrimmingAndDynamics) {
  for (int mode : {1, 2, 3, 4}) {
    environment.analysisMode = mode;
    create();
    failingMethod = Id::updateStateDerivatives;
    EXPECT_EQ(mechanismDerivatives(&mechanism, state), mode <= 2) << mode;
    failingMethod = Id::UNKNOWN_METHOD;
    EXPECT_EQ(callLog.size(), mode <= 2 ? 1u : 0u);
    if (mode <= 2) {
      EXPECT_EQ(callLog[0], "updateStateDerivatives(state)");
    }
    destroyEngineMechanism(&mechanism);
  }
}

TEST_F(MechanismEntryPoints, PostStepAtTheStartTimeOnlyCopiesTheState) {
  create();
  kinematics.data.input.time = 0.0;
  EXPECT_FALSE(mechanismPostStep(&mechanism, kinematics.in()));
  EXPECT_THAT(callLog, ElementsAre("updateState(state)"));
}

TEST_F(MechanismEntryPoints, PostStepBySolverAndMode) {
  struct Case {
    const char* name;
    int mode, solver, constraints, kinematicInputs;
    bool registerSolver;
    std::vector<std::string> expected;
  } const cases[] = {
      {"stabilising",
       2,
       1,
       1,
       0,
       true,
       {"unpackState(0)", "stabilise2D", "assemblyCheck", "updateState(state)"}},
      {"stabilising with inputs",
       2,
       1,
       1,
       1,
       true,
       {"kinematicInputs(k.in0)", "unpackState(0)", "stabilise2D", "assemblyCheck",
        "updateState(state)"}},
      {"projecting",
       2,
       2,
       1,
       0,
       true,
       {"unpackState(0)", "nonlinearSolver(0, converged)", "assemblyCheck", "projectVelocity(0)",
        "updateState(state)"}},
      {"projecting without a solver",
       2,
       2,
       1,
       0,
       false,
       {"unpackState(0)", "assemblyCheck", "projectVelocity(0)", "updateState(state)"}},
      {"no constraints", 2, 1, 0, 0, true, {"updateState(state)"}},
      {"trimming", 1, 1, 1, 0, true, {}},
      {"kinematics", 3, 1, 1, 0, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.registerSolver) {
      resetEngineMethodSet();
      EngineMethodTable table = stubTable();
      table.methods[static_cast<int>(Id::nonlinearSolver)] = nullptr;
      registerMechanismMethods(&table);
    }
    environment.analysisMode = c.mode;
    environment.constraintSolverKind = c.solver;
    environment.numKinematicInputs = c.kinematicInputs;
    mechanism.numConstraints = c.constraints;
    create();
    kinematics.data.input.time = 0.125;
    EXPECT_FALSE(mechanismPostStep(&mechanism, kinematics.in()));
    EXPECT_EQ(callLog, c.expected);
    destroyEngineMechanism(&mechanism);
  }
}

}  // namespace
