// Keeping the ramp on its constraints: the position solver, the velocity and
// acceleration projections, stabilisation, and a run through the entry points.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_entry_points.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_vector_kernels.h"
#include "ramp_fixture.h"

namespace {

std::string errorText() {
  return getEngineError()->text != nullptr ? getEngineError()->text : "";
}

class ProjectionTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ramp_.create()) << errorText();
    m_ = &ramp_.mechanism;
    ASSERT_FALSE(setupMotionArrays(m_, nullptr, nullptr, nullptr));
    ASSERT_FALSE(positionSweep2D(m_));
    ASSERT_FALSE(setVelocityConstraint2D(m_));
    classifyConstraintEquations(m_);
  }

  void set(const double* q, const double* qd = nullptr) {
    for (int i = 0; i < 5; ++i) {
      jointPositions(ramp_.stateJoints(i))[0] = q[i];
      jointVelocities(ramp_.stateJoints(i))[0] = qd != nullptr ? qd[i] : 0.0;
    }
    ASSERT_FALSE(positionSweep2D(m_));
    ASSERT_FALSE(velocitySweep2D(m_));
  }

  double positionErrorNorm() {
    double error[4];
    EXPECT_FALSE(positionError2D(m_, error, false));
    return twonorm(error, 4);
  }

  double velocityErrorNorm() {
    double error[4];
    EXPECT_FALSE(setVelocityConstraint2D(m_));
    EXPECT_FALSE(velocityError2D(m_, error));
    return twonorm(error, 4);
  }

  // The dense J over the four equations (free columns).
  std::vector<double> jacobian() {
    std::vector<double> j(20);
    EXPECT_FALSE(setVelocityConstraint2D(m_));
    EXPECT_FALSE(constructJacobian2D(m_, j.data(), false));
    return j;
  }

  // x = Jᵀ·(J·Jᵀ)⁻¹·b, the minimum-norm solution of J·x = b.
  static std::vector<double> minimumNorm(const std::vector<double>& j, const double* b) {
    double g[16] = {};
    for (int a = 0; a < 4; ++a) {
      for (int c = 0; c < 4; ++c) {
        for (int k = 0; k < 5; ++k) g[a + 4 * c] += j[a + 4 * k] * j[c + 4 * k];
      }
    }
    // Gauss–Jordan on the 4x4 system.
    double y[4] = {b[0], b[1], b[2], b[3]};
    for (int c = 0; c < 4; ++c) {
      const double pivot = g[c + 4 * c];
      for (int k = 0; k < 4; ++k) g[c + 4 * k] /= pivot;
      y[c] /= pivot;
      for (int r = 0; r < 4; ++r) {
        if (r == c) continue;
        const double f = g[r + 4 * c];
        for (int k = 0; k < 4; ++k) g[r + 4 * k] -= f * g[c + 4 * k];
        y[r] -= f * y[c];
      }
    }
    std::vector<double> x(5, 0.0);
    for (int k = 0; k < 5; ++k) {
      for (int a = 0; a < 4; ++a) x[k] += j[a + 4 * k] * y[a];
    }
    return x;
  }

  bool runDynamics() {
    return dynamicSweep2D(m_) || external2D(m_, true) || ricatti2D(m_) || lagrange2D(m_) ||
           acceleration2D(m_, true);
  }

  RampFixture ramp_;
  EngineMechanism* m_ = nullptr;
};

TEST_F(ProjectionTest, SolverConvergesFromAPerturbedConfiguration) {
  const double q[5] = {0.02, -0.03, 0.01, 0.004, 0.05};
  set(q);
  ASSERT_GT(positionErrorNorm(), 1e-3);
  std::uint8_t converged = 0;
  ASSERT_FALSE(nonlinearSolver(m_, false, &converged)) << errorText();
  EXPECT_EQ(converged, 1);
  EXPECT_LT(positionErrorNorm(), ramp_.environment.constraintTolerance);
  EXPECT_FALSE(assemblyCheck(m_));
  // The tight switch drives the residual down to rounding.
  set(q);
  ASSERT_FALSE(nonlinearSolver(m_, true, &converged));
  EXPECT_EQ(converged, 1);
  EXPECT_LT(positionErrorNorm(), 1e-12);
}

TEST_F(ProjectionTest, ZeroResidualConvergesWithoutAStep) {
  const double q[5] = {0, 0, 0, 0, 0};
  set(q);
  ASSERT_EQ(positionErrorNorm(), 0.0);
  std::uint8_t converged = 0;
  ASSERT_FALSE(nonlinearSolver(m_, false, &converged));
  EXPECT_EQ(converged, 1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(jointPositions(ramp_.stateJoints(i))[0], 0.0);
}

TEST_F(ProjectionTest, UnreachableLoopDoesNotConvergeAndTheCheckReportsIt) {
  // Ground point of the Link4 loop 5 m away: farther than the linkage reaches.
  ramp_.revolute3Loop.general->baseAttachment[0] += 5.0;
  const double q[5] = {0, 0, 0, 0, 0};
  set(q);
  std::uint8_t converged = 1;
  ASSERT_FALSE(nonlinearSolver(m_, false, &converged)) << errorText();
  EXPECT_EQ(converged, 0);
  EXPECT_TRUE(assemblyCheck(m_));
  EXPECT_THAT(errorText(), testing::HasSubstr("A constraint has been violated."));
}

TEST_F(ProjectionTest, VelocityProjectionIsTheMinimumNormChange) {
  const double q[5] = {0, 0, 0, 0, 0};
  const double qd[5] = {0.3, -0.7, 1.1, 0.2, -0.4};
  set(q, qd);
  const std::vector<double> j = jacobian();
  double jq[4] = {};
  for (int a = 0; a < 4; ++a) {
    for (int k = 0; k < 5; ++k) jq[a] += j[a + 4 * k] * qd[k];
  }
  const std::vector<double> change = minimumNorm(j, jq);
  ASSERT_FALSE(projectVelocity(m_, true)) << errorText();
  for (int i = 0; i < 5; ++i) {
    EXPECT_NEAR(jointVelocities(ramp_.stateJoints(i))[0], qd[i] - change[i], 1e-12) << i;
  }
  EXPECT_LT(velocityErrorNorm(), 1e-12);
  EXPECT_EQ(m_->kinematicData->flags[kFlagVelocitiesProjected], 1);
}

TEST_F(ProjectionTest, ZeroVelocityResidualLeavesVelocitiesAndPassesTheCheck) {
  const double q[5] = {0, 0, 0, 0, 0};
  set(q);
  ASSERT_FALSE(projectVelocity(m_, true));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(jointVelocities(ramp_.stateJoints(i))[0], 0.0);
  EXPECT_EQ(m_->kinematicData->flags[kFlagVelocitiesProjected], 0);
}

TEST_F(ProjectionTest, VelocityCheckCoversEquationsLeftOutOfTheActiveLists) {
  const double q[5] = {0, 0, 0, 0, 0};
  set(q);
  const std::vector<double> j = jacobian();
  // Leave the last equation (the Link4 loop's y row) out of the active lists,
  // as the redundancy analysis would; the saved lists keep it.
  ramp_.revolute3Loop.equations->active->count = 1;
  m_->kinematicData->activeCount = 3;
  m_->kinematicData->positionActiveCount = 3;
  for (const auto& [residual, fails] : {std::pair{1.5e-4, true}, std::pair{0.9e-4, false}}) {
    const double target[4] = {0, 0, 0, residual};
    const std::vector<double> qd = minimumNorm(j, target);
    set(q, qd.data());
    EXPECT_EQ(projectVelocity(m_, true), fails) << residual;
    if (fails) {
      EXPECT_EQ(errorText(),
                "Mechanical model velocity constraints are inconsistent. Check constraints, "
                "stiction actuators, and DoFs. Joint(s) with stiction might have locked at or near "
                "a kinematic singularity.");
    }
    EXPECT_EQ(ramp_.revolute3Loop.equations->active->count, 1);  // lists swapped back
  }
}

TEST_F(ProjectionTest, StabilisationPutsPositionsAndVelocitiesBackOnTheConstraints) {
  const double q[5] = {0.001, -0.002, 0.0015, 0.0005, 0.002};
  const double qd[5] = {0.3, -0.7, 1.1, 0.2, -0.4};
  set(q, qd);
  ASSERT_FALSE(runDynamics()) << errorText();
  ASSERT_GT(positionErrorNorm(), 1e-5);
  ASSERT_EQ(m_->kinematicData->flags[kFlagStabilisePositions], 1);
  ASSERT_FALSE(stabilise2D(m_)) << errorText();
  // Two Newton passes from an error of 2.4e-3.
  EXPECT_LT(positionErrorNorm(), 1e-9);
  EXPECT_LT(velocityErrorNorm(), 1e-10);
  // The least-squares path gives the same.
  set(q, qd);
  m_->kinematicData->flags[kFlagStabilisePositions] = 0;
  ASSERT_FALSE(stabilise2D(m_)) << errorText();
  EXPECT_LT(positionErrorNorm(), 1e-9);
  EXPECT_LT(velocityErrorNorm(), 1e-10);
}

TEST_F(ProjectionTest, AccelerationProjectionRemovesTheResidual) {
  const double q[5] = {0, 0, 0, 0, 0};
  set(q);
  ASSERT_FALSE(runDynamics()) << errorText();
  for (int i = 0; i < 5; ++i) jointAccelerations(ramp_.stateJoints(i))[0] += 0.1 * (i + 1);
  ASSERT_FALSE(projectAcceleration2D(m_, true)) << errorText();
  EXPECT_EQ(m_->kinematicData->flags[kFlagAccelerationFactor], 1);
  // J·q̈ + J̇·q̇ - γ is zero again (J̇·q̇ = 0 at rest, γ = 0).
  const std::vector<double> j = jacobian();
  for (int a = 0; a < 4; ++a) {
    double sum = 0.0;
    for (int k = 0; k < 5; ++k) sum += j[a + 4 * k] * jointAccelerations(ramp_.stateJoints(k))[0];
    EXPECT_NEAR(sum, 0.0, 1e-10) << a;
  }
}

TEST_F(ProjectionTest, AccelerationCheckCoversEquationsLeftOutOfTheActiveLists) {
  const double q[5] = {0, 0, 0, 0, 0};
  set(q);
  ASSERT_FALSE(runDynamics()) << errorText();
  const std::vector<double> j = jacobian();
  ramp_.revolute3Loop.equations->active->count = 1;
  m_->kinematicData->activeCount = 3;
  m_->kinematicData->positionActiveCount = 3;
  for (const auto& [residual, fails] : {std::pair{1.5e-4, true}, std::pair{0.9e-4, false}}) {
    const double target[4] = {0, 0, 0, residual};
    const std::vector<double> qdd = minimumNorm(j, target);
    for (int i = 0; i < 5; ++i) jointAccelerations(ramp_.stateJoints(i))[0] = qdd[i];
    m_->kinematicData->flags[kFlagAccelerationFactor] = 0;
    EXPECT_EQ(projectAcceleration2D(m_, true), fails) << residual << " " << errorText();
    if (fails) {
      EXPECT_EQ(errorText(),
                "Mechanical model acceleration constraints are inconsistent. Check constraints, "
                "stiction actuators, and DoFs. Joint(s) with stiction might have locked at or near "
                "a kinematic singularity.");
    }
    EXPECT_EQ(ramp_.revolute3Loop.equations->active->count, 1);
  }
}

// A NaN or infinite state never passes a tolerance test as satisfied.
constexpr double kNonFinite[] = {NAN, INFINITY, -INFINITY};

TEST_F(ProjectionTest, NonFinitePositionFailsTheAssemblyCheckAndNeverConverges) {
  for (const double value : kNonFinite) {
    const double q[5] = {0, 0, value, 0, 0};
    set(q);
    EXPECT_TRUE(assemblyCheck(m_)) << value;
    EXPECT_THAT(errorText(), testing::HasSubstr("A constraint has been violated.")) << value;
    std::uint8_t converged = 1;
    EXPECT_FALSE(nonlinearSolver(m_, false, &converged)) << value;
    EXPECT_EQ(converged, 0) << value;
  }
}

TEST_F(ProjectionTest, NonFiniteVelocityFailsTheVelocityCheck) {
  const double q[5] = {0, 0, 0, 0, 0};
  for (const double value : kNonFinite) {
    const double qd[5] = {0, value, 0, 0, 0};
    set(q, qd);
    EXPECT_TRUE(projectVelocity(m_, true)) << value;
    EXPECT_THAT(errorText(), testing::HasSubstr("velocity constraints are inconsistent")) << value;
  }
}

TEST_F(ProjectionTest, NonFiniteAccelerationFailsTheAccelerationCheck) {
  const double q[5] = {0, 0, 0, 0, 0};
  for (const double value : kNonFinite) {
    set(q);
    ASSERT_FALSE(runDynamics()) << errorText();
    jointAccelerations(ramp_.stateJoints(3))[0] = value;
    m_->kinematicData->flags[kFlagAccelerationFactor] = 0;
    EXPECT_TRUE(projectAcceleration2D(m_, true)) << value;
    EXPECT_THAT(errorText(), testing::HasSubstr("acceleration constraints are inconsistent"))
        << value;
  }
}

TEST_F(ProjectionTest, AssemblySupportSavesRestoresAndSolves) {
  std::vector<double> buffer(positionValueCount(m_));
  ASSERT_EQ(buffer.size(), 6u);
  const double q[5] = {0.01, 0.0, 0.0, 0.0, 0.0};
  set(q);
  savePositions(m_, buffer.data());
  const double other[5] = {0.5, 0.5, 0.5, 0.5, 0.5};
  set(other);
  ASSERT_FALSE(restorePositions(m_, buffer.data()));
  EXPECT_EQ(jointPositions(&ramp_.revolute1)[0], 0.01);
  std::uint8_t converged = 0;
  ASSERT_FALSE(solvePositions(m_, false, &converged));
  EXPECT_EQ(converged, 1);
  ASSERT_FALSE(toggleInitialConditionEquations(m_, true));
  EXPECT_EQ(ramp_.revoluteLoop.general->icSwitch, 1);
  ASSERT_FALSE(toggleInitialConditionEquations(m_, false));
  EXPECT_EQ(ramp_.revolute3Loop.general->icSwitch, 0);
}

TEST(EntryPointRun, RampAssemblesAndStaysOnItsConstraintsThroughTheEntryPoints) {
  // One second of the model's loop: kinematics (the first call assembles:
  // motion arrays, active equations), dynamics, derivatives, Euler update,
  // post-step with the stabilising solver.
  RampFixture ramp;
  ASSERT_FALSE(ramp.create()) << errorText();
  EngineMechanism* m = &ramp.mechanism;
  ramp.environment.numDynamicInputs = 1;
  double force = 2.0e4;
  double* dynamicInputs[1] = {&force};
  double gravity[3] = {0.0, -9.81, 0.0};
  double* gravityPort[3] = {&gravity[0], &gravity[1], &gravity[2]};
  double stateOut[10] = {};
  int assembled = 0;
  MechanismInputView kinematicsIn{};
  kinematicsIn.firstCallFlag = &assembled;
  MechanismOutputView kinematicsOut{};
  kinematicsOut.numOutputPorts = 1;
  kinematicsOut.outputPorts[0] = stateOut;
  kinematicsOut.isMajorStep = 1;
  MechanismInputView dynamicsIn{};
  dynamicsIn.numInputPorts = 2;
  dynamicsIn.inputPorts[0] = dynamicInputs;
  dynamicsIn.inputPorts[1] = gravityPort;
  MechanismOutputView dynamicsOut{};
  const double h = 0.001;
  double worst = 0.0;
  for (int step = 1; step <= 1000; ++step) {
    kinematicsIn.time = dynamicsIn.time = step * h;
    ASSERT_FALSE(mechanismKinematicsStep(m, &kinematicsIn, &kinematicsOut)) << errorText();
    if (step == 1) {
      EXPECT_EQ(assembled, 1);
      EXPECT_EQ(freeCoordinateCount(m), 5);
      EXPECT_EQ(m->kinematicData->activeCount, 4);
    }
    ASSERT_FALSE(mechanismDynamicsStep(m, &dynamicsIn, &dynamicsOut)) << errorText();
    double derivatives[10];
    ASSERT_FALSE(mechanismDerivatives(m, derivatives));
    for (int i = 0; i < 10; ++i) ramp.state[i] += h * derivatives[i];
    ASSERT_FALSE(mechanismPostStep(m, &kinematicsIn)) << errorText() << " at step " << step;
    double error[4];
    ASSERT_FALSE(positionError2D(m, error, false));
    worst = std::max(worst, twonorm(error, 4));
  }
  EXPECT_LT(worst, 1e-9);
  double velocityError[4];
  ASSERT_FALSE(setVelocityConstraint2D(m));
  ASSERT_FALSE(velocityError2D(m, velocityError));
  EXPECT_LT(twonorm(velocityError, 4), 1e-9);
  // The linkage moved.
  EXPECT_GT(std::fabs(ramp.state[3]), 1e-4);
}

// Everything the position and velocity sweeps write for the ramp's joints
// and constraints, as raw bytes.
std::vector<unsigned char> sweepResults(EngineMechanism* m) {
  std::vector<unsigned char> bytes;
  const auto add = [&](const void* data, std::size_t size) {
    const auto* begin = static_cast<const unsigned char*>(data);
    bytes.insert(bytes.end(), begin, begin + size);
  };
  forEachJoint(m, [&](EngineJoint* joint, int, int) {
    add(joint->rotation->rotation, sizeof(double) * 4);
    add(joint->rotation->translation, sizeof(double) * 3);
    add(joint->rotation->position, sizeof(double) * 3);
    for (MotionEntry entry : {kMotionOffset, kMotionVelocity, kMotionRelativeVelocity,
                              kMotionVelocityProduct}) {
      add(motionData(joint, entry), sizeof(double) * 3);
    }
    for (MotionEntry entry : {kMotionSubspace, kMotionSubspaceRate}) {
      add(motionData(joint, entry), sizeof(double) * kSpatialSize * joint->numVelocities);
    }
    return false;
  });
  for (int i = 0; i < m->numConstraints; ++i) {
    const EngineConstraint* constraint = m->constraints[i];
    for (int entry = 0; entry < kAttachmentCount; ++entry) {
      add(attachmentData(constraint, static_cast<AttachmentEntry>(entry)), sizeof(double) * 3);
    }
    const EngineGeneralConstraint* g = constraint->general;
    add(g->positions->data, sizeof(double) * constraint->numPrimitives);
    add(g->velocities->data, sizeof(double) * constraint->numPrimitives);
    add(g->axisMatrix->data, sizeof(double) * 3 * constraint->numPrimitives);
  }
  return bytes;
}

TEST(EntryPointRun, KinematicsStepAfterAPostStepLeavesWhatItsSweepsWouldLeave) {
  // The kinematics step right after a post step may keep the stabilisation's
  // sweeps; whether it keeps them or not, fresh sweeps must find nothing to
  // change. Every third step a coordinate is moved after the post step, and
  // the kept sweeps would then be wrong.
  RampFixture ramp;
  ASSERT_FALSE(ramp.create()) << errorText();
  EngineMechanism* m = &ramp.mechanism;
  ramp.environment.numDynamicInputs = 1;
  double force = 2.0e4;
  double* dynamicInputs[1] = {&force};
  double gravity[3] = {0.0, -9.81, 0.0};
  double* gravityPort[3] = {&gravity[0], &gravity[1], &gravity[2]};
  double stateOut[10] = {};
  int assembled = 0;
  MechanismInputView kinematicsIn{};
  kinematicsIn.firstCallFlag = &assembled;
  MechanismOutputView kinematicsOut{};
  kinematicsOut.numOutputPorts = 1;
  kinematicsOut.outputPorts[0] = stateOut;
  kinematicsOut.isMajorStep = 1;
  MechanismOutputView minorOut = kinematicsOut;
  minorOut.isMajorStep = 0;
  MechanismInputView dynamicsIn{};
  dynamicsIn.numInputPorts = 2;
  dynamicsIn.inputPorts[0] = dynamicInputs;
  dynamicsIn.inputPorts[1] = gravityPort;
  MechanismOutputView dynamicsOut{};
  const double h = 0.001;
  for (int step = 1; step <= 30; ++step) {
    kinematicsIn.time = dynamicsIn.time = step * h;
    ASSERT_FALSE(mechanismKinematicsStep(m, &kinematicsIn, &kinematicsOut)) << errorText();
    const std::vector<unsigned char> kept = sweepResults(m);
    ASSERT_FALSE(positionSweep2D(m) || velocitySweep2D(m)) << errorText();
    EXPECT_EQ(kept, sweepResults(m)) << "step " << step;
    ASSERT_FALSE(mechanismDynamicsStep(m, &dynamicsIn, &dynamicsOut)) << errorText();
    double derivatives[10];
    ASSERT_FALSE(mechanismDerivatives(m, derivatives));
    for (int i = 0; i < 10; ++i) ramp.state[i] += h * derivatives[i];
    // The minor step at the new time, then the post step, as the model runs them.
    kinematicsIn.time = (step + 1) * h;
    ASSERT_FALSE(mechanismKinematicsStep(m, &kinematicsIn, &minorOut)) << errorText();
    ASSERT_FALSE(mechanismPostStep(m, &kinematicsIn)) << errorText() << " at step " << step;
    EXPECT_EQ(m->sweepsRecorded, 1) << "step " << step;
    if (step % 3 == 0) ramp.state[step % 2 == 0 ? 1 : 6] += 1e-9;  // a position or a velocity
  }
}

// The ramp run through the entry points in the model's order.
struct EntryPointLoop {
  bool create() {
    if (ramp.create()) return false;
    ramp.environment.numDynamicInputs = 1;
    kinematicsIn.firstCallFlag = &assembled;
    kinematicsOut.numOutputPorts = 1;
    kinematicsOut.outputPorts[0] = stateOut;
    kinematicsOut.isMajorStep = 1;
    minorOut = kinematicsOut;
    minorOut.outputPorts[0] = minorStateOut;
    minorOut.isMajorStep = 0;
    dynamicsIn.numInputPorts = 2;
    dynamicsIn.inputPorts[0] = dynamicInputs;
    dynamicsIn.inputPorts[1] = gravityPort;
    return true;
  }
  // Major step, Euler update, minor step; false on an engine error.
  bool upToPostStep(int step) {
    EngineMechanism* m = &ramp.mechanism;
    kinematicsIn.time = dynamicsIn.time = step * h;
    if (mechanismKinematicsStep(m, &kinematicsIn, &kinematicsOut) ||
        mechanismDynamicsStep(m, &dynamicsIn, &dynamicsOut)) {
      return false;
    }
    double derivatives[10];
    if (mechanismDerivatives(m, derivatives)) return false;
    for (int i = 0; i < 10; ++i) ramp.state[i] += h * derivatives[i];
    kinematicsIn.time = dynamicsIn.time = (step + 1) * h;
    const bool kinematicsFailed =
        minorWithoutOutputs ? mechanismKinematicsStepWithoutOutputs(m, &kinematicsIn, &minorOut)
                            : mechanismKinematicsStep(m, &kinematicsIn, &minorOut);
    return !kinematicsFailed && !mechanismArticulatedInertiaStep(m, &dynamicsIn, &dynamicsOut);
  }
  bool postStep() { return !mechanismPostStep(&ramp.mechanism, &kinematicsIn); }

  RampFixture ramp;
  bool minorWithoutOutputs = false;  // the minor step's kinematics leave the output ports
  double force = 2.0e4;
  double* dynamicInputs[1] = {&force};
  double gravity[3] = {0.0, -9.81, 0.0};
  double* gravityPort[3] = {&gravity[0], &gravity[1], &gravity[2]};
  double stateOut[10] = {};
  double minorStateOut[10] = {};
  int assembled = 0;
  const double h = 0.001;
  MechanismInputView kinematicsIn{};
  MechanismOutputView kinematicsOut{};
  MechanismOutputView minorOut{};
  MechanismInputView dynamicsIn{};
  MechanismOutputView dynamicsOut{};
};

TEST(EntryPointRun, StabilisationKeepsTheMinorStepsPlacementsOnlyWhereASweepWouldMakeThem) {
  // One run may keep the minor step's placements; the other always sweeps.
  // Every fourth step a position is moved between the minor step and the
  // post step, where the kept placements would be wrong.
  EntryPointLoop keeping;
  EntryPointLoop sweeping;
  ASSERT_TRUE(keeping.create()) << errorText();
  ASSERT_TRUE(sweeping.create()) << errorText();
  for (int step = 1; step <= 30; ++step) {
    ASSERT_TRUE(keeping.upToPostStep(step)) << errorText();
    ASSERT_TRUE(sweeping.upToPostStep(step)) << errorText();
    if (step % 4 == 0) {
      keeping.ramp.state[2] += 1e-9;
      sweeping.ramp.state[2] += 1e-9;
    }
    sweeping.ramp.mechanism.kinematicsStepSwept = 0;
    ASSERT_TRUE(keeping.postStep()) << errorText();
    ASSERT_TRUE(sweeping.postStep()) << errorText();
    EXPECT_EQ(std::memcmp(keeping.ramp.state, sweeping.ramp.state, sizeof keeping.ramp.state), 0)
        << "step " << step;
  }
}

TEST(EntryPointRun, MinorKinematicsWithoutOutputsLeavesThePortsAndChangesNothingElse) {
  // Two runs, one with the whole kinematics step in the minor step: the
  // states stay equal bit for bit, and the reduced step never writes its port.
  EntryPointLoop reduced;
  EntryPointLoop whole;
  ASSERT_TRUE(reduced.create()) << errorText();
  ASSERT_TRUE(whole.create()) << errorText();
  reduced.minorWithoutOutputs = true;
  const double untouched = -123.25;
  for (double& value : reduced.minorStateOut) value = untouched;
  for (int step = 1; step <= 20; ++step) {
    ASSERT_TRUE(reduced.upToPostStep(step)) << errorText();
    ASSERT_TRUE(whole.upToPostStep(step)) << errorText();
    ASSERT_TRUE(reduced.postStep()) << errorText();
    ASSERT_TRUE(whole.postStep()) << errorText();
    EXPECT_EQ(std::memcmp(reduced.ramp.state, whole.ramp.state, sizeof whole.ramp.state), 0)
        << "step " << step;
    EXPECT_EQ(std::memcmp(reduced.stateOut, whole.stateOut, sizeof whole.stateOut), 0)
        << "step " << step;
  }
  for (double value : reduced.minorStateOut) EXPECT_EQ(value, untouched);
  // The whole step writes the minor step's state port.
  EXPECT_NE(whole.minorStateOut[0], 0.0);
}

TEST(EntryPointRun, PostStepReadsTheStateAgainOnlyWhenTheJointsMayNotHoldIt) {
  EntryPointLoop loop;
  ASSERT_TRUE(loop.create()) << errorText();
  ASSERT_TRUE(loop.upToPostStep(1)) << errorText();
  EngineMechanism* m = &loop.ramp.mechanism;
  double* position = jointPositions(loop.ramp.stateJoints(0));
  const double held = position[0];
  // A value the joints would keep if the state were not read again.
  const auto poisonAndUnpack = [&] {
    position[0] = 1234.5;
    return !unpackState(m, false);
  };
  ASSERT_TRUE(poisonAndUnpack());
  EXPECT_EQ(position[0], 1234.5) << "right after the minor step: kept";
  loop.ramp.state[0] += 1e-9;  // another state
  ASSERT_TRUE(poisonAndUnpack());
  EXPECT_NE(position[0], 1234.5);
  loop.ramp.state[0] -= 1e-9;
  ASSERT_TRUE(poisonAndUnpack());
  EXPECT_EQ(position[0], held) << "read again: nothing recorded since the last read";
  m->kinematicsStepSwept = 0;  // another entry point ran since
  ASSERT_TRUE(poisonAndUnpack());
  EXPECT_EQ(position[0], held);

  // Over a run, post steps that keep the joints and post steps that read the
  // state every time stay equal bit for bit.
  EntryPointLoop keeping;
  EntryPointLoop reading;
  ASSERT_TRUE(keeping.create()) << errorText();
  ASSERT_TRUE(reading.create()) << errorText();
  for (int step = 1; step <= 20; ++step) {
    ASSERT_TRUE(keeping.upToPostStep(step)) << errorText();
    ASSERT_TRUE(reading.upToPostStep(step)) << errorText();
    reading.ramp.mechanism.kinematicData->unpacked.valid = 0;
    ASSERT_TRUE(keeping.postStep()) << errorText();
    ASSERT_TRUE(reading.postStep()) << errorText();
    EXPECT_EQ(std::memcmp(keeping.ramp.state, reading.ramp.state, sizeof keeping.ramp.state), 0)
        << "step " << step;
  }
}

}  // namespace
