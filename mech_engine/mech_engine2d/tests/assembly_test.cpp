// Redundancy and assembly analysis: the rank tests on a double parallelogram
// (one equation too many) and over-determining drivers; the homotopy's step
// sequence, the retry and the perturbation test on the ramp with scripted
// methods in the mechanism's slots.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/engine_method_signatures.h"
#include "ramp_fixture.h"

namespace {

using ::testing::HasSubstr;

std::string errorText() {
  return getEngineError()->text != nullptr ? getEngineError()->text : "";
}

void setSlot(EngineMechanism* m, MechanismSlot slot, EngineMethod method) {
  m->methods->slots[static_cast<int>(slot)] = method;
}

// --- a double parallelogram -------------------------------------------------------------
//
// Three parallel unit cranks on the ground at x = 0, 1, 2 carry one coupler
// from (0, 1) to (2, 1). Tree: crank 1 and the coupler on one chain, cranks 2
// and 3 on chains of their own; two revolute constraints join the coupler to
// the tips of cranks 2 and 3. Four coordinates, four equations, one degree of
// freedom: one equation is redundant.
struct ParallelogramFixture {
  EnginePrimitive revolute[6];
  EnginePrimitive weld{kPrimitiveWeld, kActuationMotionDriven};
  EngineJoint coupler{"p/Coupler", kJointGeneral, 1, &revolute[0]};
  EngineJoint crank1{"p/Crank1", kJointGeneral, 1, &revolute[1]};
  EngineJoint crank2{"p/Crank2", kJointGeneral, 1, &revolute[2]};
  EngineJoint crank3{"p/Crank3", kJointGeneral, 1, &revolute[3]};
  EngineJoint groundWeld{"p/Weld", kJointGeneral, 1, &weld};
  FrameData frames[14];
  BodyData bodyData[5];
  EngineBody couplerBody{"p/CouplerBody", &bodyData[0].description};
  EngineBody crank1Body{"p/Crank1Body", &bodyData[1].description};
  EngineBody crank2Body{"p/Crank2Body", &bodyData[2].description};
  EngineBody crank3Body{"p/Crank3Body", &bodyData[3].description};
  EngineBody groundBody{"p/Ground", &bodyData[4].description};
  EngineBody* bodies0[2] = {&couplerBody, &crank1Body};
  EngineJoint* joints0[2] = {&coupler, &crank1};
  EngineBody* bodies1[1] = {&crank2Body};
  EngineJoint* joints1[1] = {&crank2};
  EngineBody* bodies2[1] = {&crank3Body};
  EngineJoint* joints2[1] = {&crank3};
  EngineBody* bodies3[1] = {&groundBody};
  EngineJoint* joints3[1] = {&groundWeld};
  EngineChain chains[4] = {{2, bodies0, joints0, &chains[3]},
                           {1, bodies1, joints1, &chains[3]},
                           {1, bodies2, joints2, &chains[3]},
                           {1, bodies3, joints3, &chains[3]}};
  EngineChain* chainTable[4] = {&chains[0], &chains[1], &chains[2], &chains[3]};
  EngineConstraint loop2{"p/Loop2", kConstraintGeneral, 1, &revolute[4]};
  EngineConstraint loop3{"p/Loop3", kConstraintGeneral, 1, &revolute[5]};
  EngineConstraint* constraintTable[2] = {&loop2, &loop3};
  MachineEnvironment environment{};
  double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  EngineMatrix transform2D{0, 1, identity};
  EngineMechanism mechanism{};
  EngineMethodTable methods{};
  double state[8] = {};

  ParallelogramFixture() {
    for (EnginePrimitive& r : revolute) r = {kPrimitiveRevolute, kActuationFree, 0, 0, {0, 0, 1}};
    joint(coupler, 0, {0, 1});
    joint(crank1, 2, {0, 0});
    joint(crank2, 4, {1, 0});
    joint(crank3, 6, {2, 0});
    joint(groundWeld, 8, {0, 0});
    RampFixture::body(bodyData[0], 2.0, 0.1, {1, 1}, {0, 1});
    RampFixture::body(bodyData[1], 1.0, 0.1, {0, 0.5}, {0, 0});
    RampFixture::body(bodyData[2], 1.0, 0.1, {1, 0.5}, {1, 0});
    RampFixture::body(bodyData[3], 1.0, 0.1, {2, 0.5}, {2, 0});
    bodyData[4].inertia[0] = bodyData[4].inertia[4] = bodyData[4].inertia[8] = 1.0;
    constraint(loop2, 10, &crank2, {1, 1});
    constraint(loop3, 12, &crank3, {2, 1});

    environment.numStates = 8;
    setAssemblySettings(environment, "p/Ground");
    mechanism.numChains = 4;
    mechanism.numConstraints = 2;
    mechanism.skipBlockJacobians = 1;
    mechanism.chains = chainTable;
    mechanism.constraints = constraintTable;
    mechanism.environment = &environment;
    mechanism.allowedSimulationDimensions = kEngineDimension2D;
    mechanism.transform2D = &transform2D;
    fillProvidedEngineMethods(&methods);
  }
  ~ParallelogramFixture() { destroyEngineMechanism(&mechanism); }
  ParallelogramFixture(const ParallelogramFixture&) = delete;
  ParallelogramFixture& operator=(const ParallelogramFixture&) = delete;

  bool create() { return createWithProvidedMethods(mechanism, methods, state); }
  void joint(EngineJoint& j, int f, Point at) {
    setPoint(frames[f].position, at);
    setPoint(frames[f + 1].position, at);
    j.base = frames[f].side();
    j.follower = frames[f + 1].side();
  }
  void constraint(EngineConstraint& c, int f, EngineJoint* crank, Point at) {
    setPoint(frames[f].position, at);
    setPoint(frames[f + 1].position, at);
    c.base = frames[f].side();
    c.follower = frames[f + 1].side();
    c.baseJoint = crank;
    c.followerJoint = &coupler;
  }
};

int activeEquations(const EngineConstraint& constraint) {
  return constraint.equations->active->count;
}

TEST(RedundancyAnalysis, ParallelogramDropsOneRedundantEquationAndNotesItWhenVerbose) {
  ParallelogramFixture p;
  ASSERT_FALSE(p.create()) << errorText();
  EngineMechanism* m = &p.mechanism;
  m->verbose = 1;
  ::testing::internal::CaptureStdout();
  const bool failed = assemblyAnalysis(m, true);
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_FALSE(failed) << errorText();
  EXPECT_EQ(m->kinematicData->activeCount, 3);
  EXPECT_EQ(m->kinematicData->positionActiveCount, 3);
  EXPECT_EQ(m->kinematicData->redundancyFound, 1);
  EXPECT_EQ(activeEquations(p.loop2) + activeEquations(p.loop3), 3);
  const EngineConstraint& dropped = activeEquations(p.loop2) == 1 ? p.loop2 : p.loop3;
  EXPECT_EQ(out,
            std::string("Warning: The 1 position constraint equation associated with block: ") +
                dropped.blockName + " was redundant.\n");
  // The kept equations are numbered across the constraints.
  EXPECT_EQ(p.loop3.equations->redundancyPositions->indices[activeEquations(p.loop3) - 1], 2);

  // Silent without the verbose byte; the same equations stay.
  m->verbose = 0;
  ::testing::internal::CaptureStdout();
  ASSERT_FALSE(redundant(m, 0, 4, 4, true, false));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(m->kinematicData->activeCount, 3);
}

TEST(RedundancyAnalysis, TheRampKeepsAllFourEquations) {
  RampFixture ramp;
  ASSERT_FALSE(ramp.create()) << errorText();
  ASSERT_FALSE(assemblyAnalysis(&ramp.mechanism, true)) << errorText();
  EXPECT_EQ(ramp.mechanism.kinematicData->activeCount, 4);
  EXPECT_EQ(ramp.mechanism.kinematicData->redundancyFound, 0);
}

TEST(RedundancyAnalysis, NonFinitePositionsDropNoEquation) {
  // A NaN Jacobian has no rank to speak of; dropping its equations would
  // leave the mechanism unconstrained and the NaN unnoticed.
  RampFixture ramp;
  ASSERT_FALSE(ramp.create()) << errorText();
  EngineMechanism* m = &ramp.mechanism;
  ASSERT_FALSE(assemblyAnalysis(m, true)) << errorText();
  for (const double value : {NAN, INFINITY}) {
    jointPositions(ramp.stateJoints(2))[0] = value;
    ASSERT_FALSE(positionSweep2D(m));
    ASSERT_FALSE(redundant(m, 0, 5, 5, false, false)) << errorText();
    EXPECT_EQ(m->kinematicData->activeCount, 4) << value;
    EXPECT_EQ(m->kinematicData->redundancyFound, 0) << value;
  }
}

TEST(RedundancyAnalysis, LargeGivenToleranceDropsMoreEquations) {
  RampFixture ramp;
  ramp.environment.redundancyToleranceMode = 2;
  ramp.environment.redundancyTolerance = 0.9;
  ASSERT_FALSE(ramp.create()) << errorText();
  ASSERT_FALSE(assemblyAnalysis(&ramp.mechanism, true)) << errorText();
  EXPECT_LT(ramp.mechanism.kinematicData->activeCount, 4);
  EXPECT_EQ(ramp.mechanism.kinematicData->redundancyFound, 1);
}

TEST(RedundancyAnalysis, DriverOnAMotionTheConstraintsFixIsOverdetermined) {
  // Cranks 1 and 2 both driven: with crank 1 held, crank 2 cannot move.
  ParallelogramFixture p;
  p.revolute[1].actuation = kActuationMotionDriven;
  p.revolute[2].actuation = kActuationMotionDriven;
  ASSERT_FALSE(p.create()) << errorText();
  EngineMechanism* m = &p.mechanism;
  std::int32_t driven = 0, free = 0, total = 0;
  ASSERT_FALSE(setupMotionArrays(m, &driven, &free, &total));
  ASSERT_EQ(driven, 2);
  ASSERT_FALSE(positionSweep2D(m));
  ASSERT_TRUE(redundant(m, driven, free, total, false, false));
  EXPECT_EQ(errorText(),
            "Error originates in Mechanical block %s. The motion is overdetermined by redundant "
            "driver(s) applied to this joint. Remove redundant driver(s). If there are no "
            "redundant drivers, consider modifying the Redundancy Analysis Tolerance.");
  EXPECT_STREQ(getEngineError()->arguments[0], "p/Crank1");
  // Allowed, the same drivers pass.
  EXPECT_FALSE(redundant(m, driven, free, total, false, true)) << errorText();
}

TEST(RedundancyAnalysis, OneDriverOfTheParallelogramIsFine) {
  ParallelogramFixture p;
  p.revolute[1].actuation = kActuationMotionDriven;
  ASSERT_FALSE(p.create()) << errorText();
  EngineMechanism* m = &p.mechanism;
  std::int32_t driven = 0, free = 0, total = 0;
  ASSERT_FALSE(setupMotionArrays(m, &driven, &free, &total));
  ASSERT_FALSE(positionSweep2D(m));
  EXPECT_FALSE(redundant(m, driven, free, total, false, false)) << errorText();
  EXPECT_EQ(m->kinematicData->activeCount, 3);
}

// --- the homotopy with scripted methods ------------------------------------------------------

// What the scripted slots do, and what they saw.
struct Script {
  std::vector<bool> converges;  // per solve; beyond the end: converges
  std::vector<double> weights;  // the homotopy parameter at each solve
  int illegalCalls = 0;
  const char* illegalMessage = nullptr;  // the first check fails with it
  int redundantCalls = 0;
  std::function<bool(EngineMechanism*, int call)> afterRedundant;
};
Script script;

bool scriptedSolver(EngineMechanism* m, bool, std::uint8_t* converged) {
  const std::size_t n = script.weights.size();
  script.weights.push_back(m->kinematicData->homotopyWeight);
  *converged = n < script.converges.size() ? script.converges[n] : 1;
  return false;
}

bool scriptedIllegalCheck(EngineMechanism*) {
  if (script.illegalCalls++ == 0 && script.illegalMessage != nullptr) {
    return setEngineError(script.illegalMessage);
  }
  return false;
}

bool scriptedRedundant(EngineMechanism* m, std::int32_t driven, std::int32_t free,
                       std::int32_t total, bool print, bool allow) {
  if (redundant(m, driven, free, total, print, allow)) return true;
  const int call = ++script.redundantCalls;
  return script.afterRedundant && script.afterRedundant(m, call);
}

class HomotopyTest : public testing::Test {
 protected:
  void SetUp() override {
    script = Script{};
    ASSERT_FALSE(ramp_.create()) << errorText();
    m_ = &ramp_.mechanism;
    setSlot(m_, MechanismSlot::nonlinearSolver, toEngineMethod(&scriptedSolver));
    setSlot(m_, MechanismSlot::redundant, toEngineMethod(&scriptedRedundant));
  }
  std::vector<double> positions() {
    std::vector<double> q;
    for (int i = 0; i < 5; ++i) q.push_back(jointPositions(ramp_.stateJoints(i))[0]);
    return q;
  }

  RampFixture ramp_;
  EngineMechanism* m_ = nullptr;
};

TEST_F(HomotopyTest, ConvergingAtOneTakesOneSolve) {
  ASSERT_FALSE(assemblyAnalysis(m_, true)) << errorText();
  EXPECT_THAT(script.weights, testing::ElementsAre(1.0));
  EXPECT_EQ(m_->kinematicData->homotopyWeight, 1.0);
}

TEST_F(HomotopyTest, StepSequences) {
  const struct {
    std::vector<bool> converges;
    std::vector<double> weights;
  } kCases[] = {
      // Never converging: halving down to 1/64, then one last solve at 1.
      {{false, false, false, false, false, false, false, false},
       {1, 0.5, 0.25, 0.125, 0.0625, 0.03125, 0.015625, 1}},
      // Two successes in a row double the step; the last step is capped so
      // that it reaches exactly 1.
      {{false, false, false, true, true, true, true, true},
       {1, 0.5, 0.25, 0.125, 0.25, 0.5, 0.75, 1}},
      // A failure in between restarts the count of successes.
      {{false, false, true, false, true, true, true}, {1, 0.5, 0.25, 0.5, 0.375, 0.5, 0.75, 1}},
  };
  for (const auto& c : kCases) {
    script = Script{};
    script.converges = c.converges;
    std::vector<double> save(positionValueCount(m_));
    std::uint8_t converged = 0;
    ASSERT_FALSE(homotopyAssembly(m_, true, save.data(), &converged)) << errorText();
    EXPECT_EQ(script.weights, c.weights);
    EXPECT_EQ(converged, 1);  // the assembly check passes: the ramp stays assembled
  }
}

TEST_F(HomotopyTest, TrimmingModeSkipsTheHomotopy) {
  ramp_.environment.analysisMode = kAnalysisTrimming;
  ramp_.revolute3Loop.general->icSwitch = 0;
  ASSERT_FALSE(assemblyAnalysis(m_, true)) << errorText();
  EXPECT_TRUE(script.weights.empty());                  // no solve
  EXPECT_EQ(ramp_.revolute3Loop.general->icSwitch, 0);  // no initial-condition equations
  EXPECT_EQ(script.redundantCalls, 1);                  // the set-up's analysis only
  EXPECT_EQ(m_->kinematicData->homotopyWeight, 1.0);
}

TEST_F(HomotopyTest, RetriesOnceOnTheUnspecifiedKinematicsMessage) {
  ramp_.environment.analysisMode = kAnalysisKinematics;
  setSlot(m_, MechanismSlot::isIllegalKinematicMechanism, toEngineMethod(&scriptedIllegalCheck));
  script.illegalMessage = kMessageKinematicsNotSpecified;
  ASSERT_FALSE(assemblyAnalysis(m_, true)) << errorText();
  EXPECT_EQ(script.illegalCalls, 2);
  // Redundancy at the perturbed configuration before the second homotopy.
  EXPECT_GE(script.redundantCalls, 3);
}

TEST_F(HomotopyTest, AnyOtherFailureFailsAtOnce) {
  ramp_.environment.analysisMode = kAnalysisKinematics;
  setSlot(m_, MechanismSlot::isIllegalKinematicMechanism, toEngineMethod(&scriptedIllegalCheck));
  script.illegalMessage = "Error originates in a Mechanical model. Something else.";
  EXPECT_TRUE(assemblyAnalysis(m_, true));
  EXPECT_EQ(script.illegalCalls, 1);
  EXPECT_EQ(errorText(), "Error originates in a Mechanical model. Something else.");
}

TEST_F(HomotopyTest, UnconvergedTwiceFailsWithTheAssemblyCheck) {
  // Ground point of the Link4 loop 5 m away: farther than the linkage reaches.
  ramp_.revolute3Loop.general->baseAttachment[0] += 5.0;
  setSlot(m_, MechanismSlot::nonlinearSolver, toEngineMethod(&nonlinearSolver));
  EXPECT_TRUE(assemblyAnalysis(m_, true));
  EXPECT_THAT(errorText(), HasSubstr("A constraint has been violated"));
}

TEST_F(HomotopyTest, PerturbationWarningSingularAndPlural) {
  const struct {
    int initial;
    int perturbed;
    const char* expected;
  } kCases[] = {
      {1, 2,
       "Warning: The initial configuration has 1 active constraint, but a perturbation of the "
       "initial configuration has 2 constraints. \n"},
      {3, 2,
       "Warning: The initial configuration has 3 active constraints, but a perturbation of the "
       "initial configuration has 2 constraints. \n"},
      {4, 4, ""},
  };
  std::uint8_t flags[2] = {1, 1};
  m_->descriptionFlags = flags;
  for (const auto& c : kCases) {
    script = Script{};
    m_->kinematicData->perturbationTest = 1;
    // The first analysis finds c.initial active constraints, the one at the
    // perturbed configuration c.perturbed; the later ones are the real ones.
    script.afterRedundant = [&](EngineMechanism* m, int call) {
      if (call == 1) m->kinematicData->activeCount = c.initial;
      if (call == 2) m->kinematicData->activeCount = c.perturbed;
      return false;
    };
    ::testing::internal::CaptureStdout();
    const bool failed = assemblyAnalysis(m_, true);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_FALSE(failed) << errorText();
    EXPECT_EQ(out, c.expected);
    EXPECT_EQ(m_->kinematicData->initialActiveCount, c.initial);
    EXPECT_EQ(m_->kinematicData->perturbedActiveCount, c.perturbed);
    EXPECT_EQ(m_->kinematicData->activeCount, 4);
  }
  m_->descriptionFlags = nullptr;
}

TEST_F(HomotopyTest, FailedPerturbationTestRestoresThePositionsAndRerunsTheAnalysis) {
  m_->kinematicData->perturbationTest = 1;
  const std::vector<double> assembled = positions();
  std::vector<double> perturbed;
  script.afterRedundant = [&](EngineMechanism*, int call) {
    if (call != 2) return false;
    perturbed = positions();
    return setEngineError("Error originates in a Mechanical model. Injected failure.");
  };
  ASSERT_FALSE(assemblyAnalysis(m_, true)) << errorText();  // the failure is forgotten
  ASSERT_EQ(perturbed.size(), 5u);
  EXPECT_NE(perturbed, assembled);                           // the test did perturb
  for (double q : perturbed) EXPECT_LT(std::fabs(q), 1e-6);  // by 1e-7 .. 1e-4 scales
  EXPECT_EQ(positions(), assembled);
  EXPECT_GE(script.redundantCalls, 4);  // rerun at the restored configuration, then finally
  EXPECT_EQ(m_->kinematicData->activeCount, 4);
  EXPECT_EQ(m_->kinematicData->perturbedActiveCount, m_->kinematicData->initialActiveCount);
}

}  // namespace
