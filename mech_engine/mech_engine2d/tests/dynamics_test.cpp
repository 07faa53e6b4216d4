// Dynamics against an independent reference: a dense Lagrangian model of the
// ramp built here from the same body data (mass matrix, velocity terms and
// constraint Jacobian from plain kinematics by finite differences), solved as
// [M Jᵀ; J 0]·[q̈; μ] = [Q - h; -J̇·q̇]; and a pendulum against its closed form.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/cholesky.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_vector_kernels.h"
#include "ramp_fixture.h"
#include "ramp_reference.h"

namespace {

using namespace ramp_points;
std::string errorText() {
  return getEngineError()->text != nullptr ? getEngineError()->text : "";
}

constexpr int kCoordinates = 5;
constexpr int kEquations = 4;
using Vector5 = std::array<double, kCoordinates>;

// --- dense helpers -------------------------------------------------------------------------

// Solves A·x = b (n x n, row-major) by Gaussian elimination with partial pivoting.
std::vector<double> solveDense(std::vector<double> a, std::vector<double> b) {
  const int n = static_cast<int>(b.size());
  for (int c = 0; c < n; ++c) {
    int pivot = c;
    for (int r = c + 1; r < n; ++r) {
      if (std::fabs(a[r * n + c]) > std::fabs(a[pivot * n + c])) pivot = r;
    }
    for (int k = 0; k < n; ++k) std::swap(a[c * n + k], a[pivot * n + k]);
    std::swap(b[c], b[pivot]);
    for (int r = c + 1; r < n; ++r) {
      const double f = a[r * n + c] / a[c * n + c];
      for (int k = c; k < n; ++k) a[r * n + k] -= f * a[c * n + k];
      b[r] -= f * b[c];
    }
  }
  std::vector<double> x(n);
  for (int r = n - 1; r >= 0; --r) {
    double sum = b[r];
    for (int k = r + 1; k < n; ++k) sum -= a[r * n + k] * x[k];
    x[r] = sum / a[r * n + r];
  }
  return x;
}

// --- the reference model -------------------------------------------------------------------------

struct ReferenceBody {
  double mass;
  double inertiaAtCentre;
  Point centre;     // described centre of mass
  Point reference;  // described reference point
};

struct RampReference {
  std::array<ReferenceBody, 5> bodies;  // Door, Link3, Link4, rod, Exlar
  double gravity[2];

  explicit RampReference(double doorMass, const double* g)
      : bodies{{{doorMass, 0.2 * doorMass, kDoorCG, kDoorCS4},
                {1.0, 0.001, kDoorCS4, kLink4CS4},
                {1.0, 0.001, kLink4CS5, kLink4CS5},
                {25755.573764142293, 0.001, kLink4CS5, kExlarCS1},
                {1.0, 0.001, kGround3, kGround3}}},
        gravity{g[0], g[1]} {}

  // Per body (angle, centre x, centre y) at q.
  std::array<double, 15> centres(const Vector5& q) const {
    const TreePlacements p = forwardKinematics(q.data());
    const Placement placements[5] = {p.door, p.link3, p.link4, p.rod, p.exlar};
    std::array<double, 15> out{};
    for (int b = 0; b < 5; ++b) {
      const Point offset = minus(bodies[b].centre, bodies[b].reference);
      const Point at = plus(placements[b].at, along(placements[b].angle, offset));
      out[3 * b] = placements[b].angle;
      out[3 * b + 1] = at.x;
      out[3 * b + 2] = at.y;
    }
    return out;
  }

  // Ground point minus the moving loop point, per loop.
  static std::array<double, 4> constraints(const Vector5& q) {
    const TreePlacements p = forwardKinematics(q.data());
    const Point door = plus(p.door.at, along(p.door.angle, minus(kGround1, kDoorCS4)));
    const Point link4 = plus(p.link4.at, along(p.link4.angle, minus(kGround2, kLink4CS5)));
    return {kGround1.x - door.x, kGround1.y - door.y, kGround2.x - link4.x, kGround2.y - link4.y};
  }

  // ∂f/∂q (rows of f, columns of q) and the second derivative along q̇.
  template <typename F, std::size_t N>
  static void differentiate(F f, const Vector5& q, const Vector5& qd,
                            std::array<std::array<double, kCoordinates>, N>& jacobian,
                            std::array<double, N>& curvature) {
    const double h = 1e-6;
    for (int c = 0; c < kCoordinates; ++c) {
      Vector5 ahead = q;
      Vector5 behind = q;
      ahead[c] += h;
      behind[c] -= h;
      const auto fa = f(ahead);
      const auto fb = f(behind);
      for (std::size_t r = 0; r < N; ++r) jacobian[r][c] = (fa[r] - fb[r]) / (2 * h);
    }
    const double s = 1e-4;
    Vector5 ahead = q;
    Vector5 behind = q;
    for (int c = 0; c < kCoordinates; ++c) {
      ahead[c] += s * qd[c];
      behind[c] -= s * qd[c];
    }
    const auto fa = f(ahead);
    const auto f0 = f(q);
    const auto fb = f(behind);
    for (std::size_t r = 0; r < N; ++r) curvature[r] = (fa[r] - 2 * f0[r] + fb[r]) / (s * s);
  }

  struct Solution {
    Vector5 accelerations;
    std::array<double, 4> multipliers;  // generalised constraint force = Jᵀ·μ
  };

  Solution solve(const Vector5& q, const Vector5& qd, double actuatorForce) const {
    std::array<std::array<double, kCoordinates>, 15> jb{};
    std::array<double, 15> jbdot{};
    differentiate([this](const Vector5& x) { return centres(x); }, q, qd, jb, jbdot);
    std::array<std::array<double, kCoordinates>, 4> jc{};
    std::array<double, 4> jcdot{};
    differentiate([](const Vector5& x) { return constraints(x); }, q, qd, jc, jcdot);
    const int n = kCoordinates + kEquations;
    std::vector<double> a(n * n, 0.0);
    std::vector<double> rhs(n, 0.0);
    for (int b = 0; b < 5; ++b) {
      const ReferenceBody& body = bodies[b];
      const double* w = jb[3 * b].data();
      for (int i = 0; i < kCoordinates; ++i) {
        for (int j = 0; j < kCoordinates; ++j) {
          a[i * n + j] += body.mass * (jb[3 * b + 1][i] * jb[3 * b + 1][j] +
                                       jb[3 * b + 2][i] * jb[3 * b + 2][j]) +
                          body.inertiaAtCentre * w[i] * w[j];
        }
        // Q - h: gravity minus the velocity terms.
        rhs[i] += body.mass * (jb[3 * b + 1][i] * (gravity[0] - jbdot[3 * b + 1]) +
                               jb[3 * b + 2][i] * (gravity[1] - jbdot[3 * b + 2]));
      }
    }
    rhs[3] += actuatorForce;
    for (int r = 0; r < kEquations; ++r) {
      for (int c = 0; c < kCoordinates; ++c) {
        a[(kCoordinates + r) * n + c] = jc[r][c];
        a[c * n + kCoordinates + r] = -jc[r][c];  // M·q̈ - Jᵀ·μ = Q - h
      }
      rhs[kCoordinates + r] = -jcdot[r];
    }
    const std::vector<double> x = solveDense(a, rhs);
    Solution out{};
    for (int i = 0; i < kCoordinates; ++i) out.accelerations[i] = x[i];
    for (int r = 0; r < kEquations; ++r) out.multipliers[r] = x[kCoordinates + r];
    return out;
  }

  // Newton on the loop equations from q (minimum-norm steps).
  static Vector5 assemble(Vector5 q) {
    for (int iteration = 0; iteration < 30; ++iteration) {
      std::array<std::array<double, kCoordinates>, 4> j{};
      std::array<double, 4> unused{};
      const Vector5 zero{};
      differentiate([](const Vector5& x) { return constraints(x); }, q, zero, j, unused);
      const std::array<double, 4> c = constraints(q);
      std::vector<double> jjt(16, 0.0);
      for (int r = 0; r < 4; ++r) {
        for (int s = 0; s < 4; ++s) {
          for (int k = 0; k < kCoordinates; ++k) jjt[r * 4 + s] += j[r][k] * j[s][k];
        }
      }
      const std::vector<double> y = solveDense(jjt, {c[0], c[1], c[2], c[3]});
      for (int k = 0; k < kCoordinates; ++k) {
        for (int r = 0; r < 4; ++r) q[k] -= j[r][k] * y[r];
      }
    }
    return q;
  }

  // q̇ with its part across the constraints removed.
  static Vector5 consistentRates(const Vector5& q, Vector5 qd) {
    std::array<std::array<double, kCoordinates>, 4> j{};
    std::array<double, 4> unused{};
    differentiate([](const Vector5& x) { return constraints(x); }, q, Vector5{}, j, unused);
    std::vector<double> jjt(16, 0.0);
    std::vector<double> jq(4, 0.0);
    for (int r = 0; r < 4; ++r) {
      for (int k = 0; k < kCoordinates; ++k) jq[r] += j[r][k] * qd[k];
      for (int s = 0; s < 4; ++s) {
        for (int k = 0; k < kCoordinates; ++k) jjt[r * 4 + s] += j[r][k] * j[s][k];
      }
    }
    const std::vector<double> y = solveDense(jjt, jq);
    for (int k = 0; k < kCoordinates; ++k) {
      for (int r = 0; r < 4; ++r) qd[k] -= j[r][k] * y[r];
    }
    return qd;
  }
};

// --- the engine side
// ---------------------------------------------------------------------------------

class RampDynamics {
 public:
  explicit RampDynamics(double doorMass) : ramp(doorMass) {
    ramp.prismatic.factor = 1.0;
    EXPECT_FALSE(ramp.create()) << errorText();
    EXPECT_FALSE(setupMotionArrays(&ramp.mechanism, nullptr, nullptr, nullptr));
    EXPECT_FALSE(positionSweep2D(&ramp.mechanism));
    EXPECT_FALSE(setVelocityConstraint2D(&ramp.mechanism));
    classifyConstraintEquations(&ramp.mechanism);
  }

  // Runs the dynamics step's methods at (q, q̇) and returns q̈.
  Vector5 accelerations(const Vector5& q, const Vector5& qd, double actuatorForce) {
    for (int i = 0; i < 5; ++i) {
      jointPositions(ramp.stateJoints(i))[0] = q[i];
      jointVelocities(ramp.stateJoints(i))[0] = qd[i];
    }
    double force = actuatorForce;
    double* port[1] = {&force};
    EngineMechanism* m = &ramp.mechanism;
    EXPECT_FALSE(positionSweep2D(m));
    EXPECT_FALSE(velocitySweep2D(m));
    EXPECT_FALSE(dynamicInputs(port, m));
    EXPECT_FALSE(dynamicSweep2D(m));
    EXPECT_FALSE(external2D(m, true));
    EXPECT_FALSE(ricatti2D(m)) << errorText();
    EXPECT_FALSE(lagrange2D(m)) << errorText();
    EXPECT_FALSE(acceleration2D(m, true));
    Vector5 out{};
    for (int i = 0; i < 5; ++i) out[i] = jointAccelerations(ramp.stateJoints(i))[0];
    return out;
  }

  double multiplier(int k) const { return ramp.mechanism.kinematicData->multipliers[k]; }

  RampFixture ramp;
};

double scaleOf(const Vector5& v) {
  double s = 1.0;
  for (double x : v) s = std::max(s, std::fabs(x));
  return s;
}

TEST(RampDynamicsReference, AccelerationsAndConstraintForcesAgreeAtRandomStates) {
  const double gravity[3] = {0.0, -9.81, 0.0};
  RampDynamics engine(60.0);
  const RampReference reference(60.0, gravity);
  std::mt19937 random(7);
  std::uniform_real_distribution<double> small(-0.05, 0.05);
  std::uniform_real_distribution<double> rate(-1.0, 1.0);
  for (int trial = 0; trial < 5; ++trial) {
    Vector5 q{};
    for (double& x : q) x = small(random);
    q = RampReference::assemble(q);
    ASSERT_LT(std::fabs(RampReference::constraints(q)[0]), 1e-12);
    Vector5 qd{};
    for (double& x : qd) x = rate(random);
    qd = RampReference::consistentRates(q, qd);
    const double force = 1000.0 * rate(random);

    const Vector5 expected = reference.solve(q, qd, force).accelerations;
    const auto multipliers = reference.solve(q, qd, force).multipliers;
    const Vector5 actual = engine.accelerations(q, qd, force);
    const double scale = scaleOf(expected);
    for (int i = 0; i < 5; ++i) {
      EXPECT_NEAR(actual[i], expected[i], 2e-5 * scale) << "trial " << trial << " q̈" << i;
    }
    double largest = 1.0;
    for (double m : multipliers) largest = std::max(largest, std::fabs(m));
    // The engine adds Jᵀ·λ to the bias, so its multipliers are the negatives.
    for (int k = 0; k < 4; ++k) {
      EXPECT_NEAR(-engine.multiplier(k), multipliers[k], 2e-5 * largest) << "trial " << trial;
    }
  }
}

TEST(RampDynamicsReference, DynamicsStepAndDerivativesRunThroughTheEntryPoints) {
  RampDynamics engine(60.0);
  EngineMechanism* m = &engine.ramp.mechanism;
  engine.ramp.environment.numDynamicInputs = 1;
  double force = 250.0;
  double* inputs[1] = {&force};
  double gravity[3] = {0.0, -9.81, 0.0};
  double* gravityPort[3] = {&gravity[0], &gravity[1], &gravity[2]};
  MechanismInputView in{};
  in.numInputPorts = 2;
  in.inputPorts[0] = inputs;
  in.inputPorts[1] = gravityPort;
  MechanismOutputView out{};
  ASSERT_FALSE(positionSweep2D(m));
  ASSERT_FALSE(velocitySweep2D(m));
  ASSERT_FALSE(mechanismDynamicsStep(m, &in, &out)) << errorText();
  double derivatives[10];
  ASSERT_FALSE(mechanismDerivatives(m, derivatives));
  const RampReference reference(60.0, gravity);
  const Vector5 expected = reference.solve(Vector5{}, Vector5{}, force).accelerations;
  // Derivatives: rates (zero here), then accelerations (reversed joints negated).
  const double signs[5] = {-1, 1, -1, 1, 1};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(derivatives[i], 0.0);
    EXPECT_NEAR(derivatives[5 + i], signs[i] * expected[i], 2e-5 * scaleOf(expected)) << i;
  }
}

// --- the speed paths give the plain paths' results bit for bit ----------------------------

// G column by column: one articulated response per unit constraint force.
std::vector<double> matrixByColumns(EngineMechanism* m, bool positionLevel) {
  const int rows = countedEquations(m, positionLevel);
  std::vector<double> g;
  for (int i = 0; i < m->numConstraints; ++i) {
    EngineConstraint* constraint = m->constraints[i];
    const EngineEquationSet* set = constraint->equations;
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      const std::int32_t mode = set->modes->indices[e];
      if (positionLevel && (mode == kEquationVelocity || mode == kEquationVelocityDriver)) continue;
      clearForceAccumulators(m);
      addConstraintForce(constraint, e, 1.0);
      articulatedResponse(m);
      std::vector<double> column(rows);
      const int written = evaluateRows(m, positionLevel, column.data());
      for (int r = 0; r < written; ++r) g.push_back(-column[r]);
    }
  }
  clearForceAccumulators(m);
  return g;
}

bool sameBits(const double* a, const double* b, int count) {
  return std::memcmp(a, b, sizeof(double) * count) == 0;
}

class RampSpeedPaths : public testing::Test {
 protected:
  // A random assembled state with rates, through the dynamics step's methods.
  void moveToRandomState(int seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> small(-0.05, 0.05);
    std::uniform_real_distribution<double> rate(-1.0, 1.0);
    Vector5 q{};
    for (double& x : q) x = small(random);
    q = RampReference::assemble(q);
    Vector5 qd{};
    for (double& x : qd) x = rate(random);
    engine.accelerations(q, RampReference::consistentRates(q, qd), 1000.0 * rate(random));
  }
  std::vector<double> multipliers() const {
    const double* lambda = engine.ramp.mechanism.kinematicData->multipliers;
    return std::vector<double>(lambda, lambda + kEquations);
  }
  // G over all equations, factored and kept as the stabilisation keeps it.
  void keepFactor() {
    EngineMechanism* m = &engine.ramp.mechanism;
    double* g = m->kinematicData->normalMatrix;
    ASSERT_FALSE(buildMatrix2D(m, g, false));
    const double oneNorm = matrixOneNorm(g, kEquations, kEquations);
    ASSERT_FALSE(choleskyFactor(g, kEquations));
    keepMassMatrixFactor(m, kEquations, oneNorm);
  }

  RampDynamics engine{60.0};
};

TEST_F(RampSpeedPaths, MatrixInOnePassIsTheColumnByColumnMatrix) {
  EngineMechanism* m = &engine.ramp.mechanism;
  for (int seed = 1; seed <= 4; ++seed) {
    moveToRandomState(seed);
    for (const bool positionLevel : {false, true}) {
      const std::vector<double> expected = matrixByColumns(m, positionLevel);
      ASSERT_EQ(expected.size(), std::size_t{kEquations * kEquations});
      double g[kEquations * kEquations];
      ASSERT_FALSE(buildMatrix2D(m, g, positionLevel));
      EXPECT_TRUE(sameBits(g, expected.data(), kEquations * kEquations))
          << "seed " << seed << (positionLevel ? ", position level" : "");
    }
  }
}

TEST_F(RampSpeedPaths, KeptFactorGivesTheMultipliersOfAFreshFactor) {
  EngineMechanism* m = &engine.ramp.mechanism;
  m->kinematicData->keptFactor.valid = 0;
  moveToRandomState(3);
  const std::vector<double> fresh = multipliers();

  // Kept at this configuration and these masses, the factor is used when the
  // same state comes through the dynamics step again.
  keepFactor();
  double factor[kEquations * kEquations];
  double oneNorm = 0.0;
  EXPECT_TRUE(reuseMassMatrixFactor(m, kEquations, factor, &oneNorm));
  moveToRandomState(3);
  EXPECT_TRUE(sameBits(multipliers().data(), fresh.data(), kEquations));
}

TEST_F(RampSpeedPaths, KeptFactorIsIgnoredOnceWhatGIsFormedFromChanges) {
  EngineMechanism* m = &engine.ramp.mechanism;
  moveToRandomState(5);
  keepFactor();
  // A factor that would give wrong multipliers if it were used.
  for (int i = 0; i < kEquations * kEquations; ++i) m->kinematicData->keptFactor.factor[i] *= 3.0;
  // Another configuration: the Jacobian and the articulated inertia change.
  moveToRandomState(6);
  const std::vector<double> withKept = multipliers();
  m->kinematicData->keptFactor.valid = 0;
  moveToRandomState(6);
  EXPECT_TRUE(sameBits(withKept.data(), multipliers().data(), kEquations));

  // The same configuration with another mass: D⁻¹ and U change.
  keepFactor();
  double factor[kEquations * kEquations];
  double oneNorm = 0.0;
  EXPECT_TRUE(reuseMassMatrixFactor(m, kEquations, factor, &oneNorm));
  double* inverse = motionData(engine.ramp.stateJoints(0), kMotionInverseInertia);
  inverse[0] *= 1.0 + 1e-12;
  EXPECT_FALSE(reuseMassMatrixFactor(m, kEquations, factor, &oneNorm));
}

TEST_F(RampSpeedPaths, ArticulatedInertiaStepLeavesWhatTheWholeStepLeavesForTheStabilisation) {
  EngineMechanism* m = &engine.ramp.mechanism;
  engine.ramp.environment.numDynamicInputs = 1;
  moveToRandomState(2);
  double force = 250.0;
  double* inputs[1] = {&force};
  double gravity[3] = {0.0, -9.81, 0.0};
  double* gravityPort[3] = {&gravity[0], &gravity[1], &gravity[2]};
  MechanismInputView in{};
  in.numInputPorts = 2;
  in.inputPorts[0] = inputs;
  in.inputPorts[1] = gravityPort;
  MechanismOutputView out{};
  // What the stabilisation reads: P, D⁻¹ and U of every joint, as G over
  // all equations shows them (it is formed from nothing else that changes).
  ASSERT_FALSE(mechanismDynamicsStep(m, &in, &out)) << errorText();
  double whole[kEquations * kEquations];
  ASSERT_FALSE(buildMatrix2D(m, whole, false));
  const std::vector<double> lambda = multipliers();
  force = -400.0;  // the multipliers of another load would differ
  ASSERT_FALSE(mechanismArticulatedInertiaStep(m, &in, &out)) << errorText();
  double minor[kEquations * kEquations];
  ASSERT_FALSE(buildMatrix2D(m, minor, false));
  EXPECT_TRUE(sameBits(whole, minor, kEquations * kEquations));
  EXPECT_TRUE(sameBits(lambda.data(), multipliers().data(), kEquations)) << "no multipliers formed";
}

TEST_F(RampSpeedPaths, RecordedArticulatedInertiaIsKeptOnlyAtTheSameInputs) {
  EngineMechanism* m = &engine.ramp.mechanism;
  EngineJoint* joint = engine.ramp.stateJoints(2);
  double* inverse = motionData(joint, kMotionInverseInertia);
  double* mass = bodyData(&engine.ramp.link4, kBodyMass);
  // Factors poisoned after the record: kept, they stay poisoned; formed
  // again, they are the fresh ones.
  const auto poisonAndRecord = [&] {
    ASSERT_FALSE(ricatti2D(m));
    recordArticulatedInertiaInputs(m);
    inverse[0] *= 3.0;
  };
  moveToRandomState(7);
  ASSERT_FALSE(ricatti2D(m));
  const double fresh = inverse[0];

  poisonAndRecord();
  ASSERT_FALSE(ricatti2D(m));
  EXPECT_EQ(inverse[0], 3.0 * fresh) << "same inputs: the factors are kept";

  // Another mass (as a person's arrival brings): formed again.
  poisonAndRecord();
  const double before = mass[0];
  mass[0] *= 1.0 + 1e-12;
  ASSERT_FALSE(ricatti2D(m));
  const double otherMass = inverse[0];
  EXPECT_NE(otherMass, 3.0 * fresh);
  mass[0] = before;
  ASSERT_FALSE(ricatti2D(m));
  EXPECT_EQ(inverse[0], fresh) << "back at the first mass";

  // A position sweep since: formed again, though nothing recorded changed.
  poisonAndRecord();
  ASSERT_FALSE(positionSweep2D(m));
  ASSERT_FALSE(ricatti2D(m));
  EXPECT_EQ(inverse[0], fresh);

  // Without a record (no stabilisation ended since the factors were made).
  ASSERT_FALSE(ricatti2D(m));
  inverse[0] *= 3.0;
  ASSERT_FALSE(ricatti2D(m));
  EXPECT_EQ(inverse[0], fresh);
}

TEST(RampDynamicsReference, KineticEnergyStaysConstantWithoutForces) {
  const double noGravity[3] = {0.0, 0.0, 0.0};
  RampDynamics engine(60.0);
  engine.ramp.gravity[1] = 0.0;
  const RampReference reference(60.0, noGravity);
  Vector5 q = RampReference::assemble(Vector5{0.01, 0, 0, 0.02, 0});
  Vector5 qd = RampReference::consistentRates(q, Vector5{0.5, -0.2, 0.3, 0.1, -0.4});
  const auto energy = [&](const Vector5& position, const Vector5& rates) {
    std::array<std::array<double, kCoordinates>, 15> jb{};
    std::array<double, 15> unused{};
    RampReference::differentiate([&](const Vector5& x) { return reference.centres(x); }, position,
                                 Vector5{}, jb, unused);
    double total = 0.0;
    for (int b = 0; b < 5; ++b) {
      double w = 0, vx = 0, vy = 0;
      for (int k = 0; k < 5; ++k) {
        w += jb[3 * b][k] * rates[k];
        vx += jb[3 * b + 1][k] * rates[k];
        vy += jb[3 * b + 2][k] * rates[k];
      }
      total += 0.5 * reference.bodies[b].mass * (vx * vx + vy * vy) +
               0.5 * reference.bodies[b].inertiaAtCentre * w * w;
    }
    return total;
  };
  const double before = energy(q, qd);
  ASSERT_GT(before, 1.0);
  // Classical fourth-order Runge–Kutta on (q, q̇) with the engine's accelerations.
  const double dt = 1e-3;
  for (int step = 0; step < 100; ++step) {
    const auto f = [&](const Vector5& x, const Vector5& v) {
      return engine.accelerations(x, v, 0.0);
    };
    Vector5 q2, q3, q4, v2, v3, v4;
    const Vector5 a1 = f(q, qd);
    for (int i = 0; i < 5; ++i) q2[i] = q[i] + 0.5 * dt * qd[i], v2[i] = qd[i] + 0.5 * dt * a1[i];
    const Vector5 a2 = f(q2, v2);
    for (int i = 0; i < 5; ++i) q3[i] = q[i] + 0.5 * dt * v2[i], v3[i] = qd[i] + 0.5 * dt * a2[i];
    const Vector5 a3 = f(q3, v3);
    for (int i = 0; i < 5; ++i) q4[i] = q[i] + dt * v3[i], v4[i] = qd[i] + dt * a3[i];
    const Vector5 a4 = f(q4, v4);
    for (int i = 0; i < 5; ++i) {
      q[i] += dt / 6 * (qd[i] + 2 * v2[i] + 2 * v3[i] + v4[i]);
      qd[i] += dt / 6 * (a1[i] + 2 * a2[i] + 2 * a3[i] + a4[i]);
    }
  }
  EXPECT_NEAR(energy(q, qd), before, 1e-6 * before);
  EXPECT_LT(std::fabs(RampReference::constraints(q)[0]), 1e-8);
}

// --- a pendulum
// ------------------------------------------------------------------------------------

struct Pendulum {
  EnginePrimitive revolute{kPrimitiveRevolute, kActuationFree, 0, 0, {0, 0, 1}};
  EnginePrimitive weld{kPrimitiveWeld, kActuationMotionDriven};
  EngineJoint hinge{"pendulum/Hinge", kJointGeneral, 1, &revolute};
  EngineJoint groundWeld{"pendulum/Weld", kJointGeneral, 1, &weld};
  FrameData frames[4];
  BodyData bobData;
  BodyData groundData;
  EngineBody bob{"pendulum/Bob", &bobData.description};
  EngineBody groundBody{"pendulum/Ground", &groundData.description};
  EngineBody* bodies0[1] = {&bob};
  EngineJoint* joints0[1] = {&hinge};
  EngineBody* bodies1[1] = {&groundBody};
  EngineJoint* joints1[1] = {&groundWeld};
  EngineChain chains[2] = {{1, bodies0, joints0, &chains[1]}, {1, bodies1, joints1, &chains[1]}};
  EngineChain* chainTable[2] = {&chains[0], &chains[1]};
  MachineEnvironment environment{};
  double gravity[3] = {0.0, -9.81, 0.0};
  EngineMatrix gravityCell{0, 1, gravity};
  EngineMechanism mechanism{};
  EngineMethodTable methods{};

  Pendulum(double mass, double centreDistance, double inertiaAtCentre) {
    hinge.base = frames[0].side();
    hinge.follower = frames[1].side();
    groundWeld.base = frames[2].side();
    groundWeld.follower = frames[3].side();
    bobData.mass = mass;
    bobData.centreOfMass[0] = centreDistance;
    bobData.inertia[8] = inertiaAtCentre + mass * centreDistance * centreDistance;
    environment.environmentVector = &gravityCell;
    environment.analysisMode = kAnalysisDynamics;
    environment.linearAssemblyTolerance = 0.001;
    environment.constraintTolerance = 1.4901161193847656e-08;
    mechanism.numChains = 2;
    mechanism.chains = chainTable;
    mechanism.environment = &environment;
    mechanism.allowedSimulationDimensions = kEngineDimension2D;
    fillProvidedEngineMethods(&methods);
    resetEngineMethodSet();
    registerMechanismMethods(&methods);
  }
  ~Pendulum() { destroyEngineMechanism(&mechanism); }

  bool create() {
    return createEngineMechanism(&mechanism) ||
           setupMotionArrays(&mechanism, nullptr, nullptr, nullptr);
  }

  bool accelerate(double angle, double rate) {
    jointPositions(&hinge)[0] = angle;
    jointVelocities(&hinge)[0] = rate;
    return positionSweep2D(&mechanism) || velocitySweep2D(&mechanism) ||
           dynamicSweep2D(&mechanism) || external2D(&mechanism, true) || ricatti2D(&mechanism) ||
           lagrange2D(&mechanism) || acceleration2D(&mechanism, true);
  }
};

TEST(PendulumDynamics, FollowsItsClosedForm) {
  const double m = 2.0, d = 0.4, icg = 0.05, g = 9.81;
  Pendulum pendulum(m, d, icg);
  ASSERT_FALSE(pendulum.create()) << errorText();
  EXPECT_EQ(pendulum.mechanism.kinematicData, nullptr);  // no constraints
  const double inertia = icg + m * d * d;
  for (double angle : {0.0, 0.3, -1.2, 2.5}) {
    // θ measured from hanging straight down is angle + π/2.
    ASSERT_FALSE(pendulum.accelerate(angle, 1.7)) << errorText();
    const double theta = angle + M_PI / 2;
    EXPECT_NEAR(jointAccelerations(&pendulum.hinge)[0], -(m * g * d / inertia) * std::sin(theta),
                1e-12)
        << angle;
  }
}

TEST(PendulumDynamics, ZeroJointSpaceInertiaIsSingular) {
  Pendulum pendulum(0.0, 0.0, 0.0);
  ASSERT_FALSE(pendulum.create()) << errorText();
  EXPECT_TRUE(pendulum.accelerate(0.0, 0.0));
  EXPECT_EQ(errorText(),
            "Error originates in Mechanical block %s. The motion is singular (the mass matrix is "
            "singular). Check the mass properties and joint axes of the attached bodies.");
  EXPECT_STREQ(getEngineError()->arguments[0], "pendulum/Hinge");
}

TEST(PendulumDynamics, TinyJointSpaceInertiaIsInverted) {
  Pendulum pendulum(1e-300, 0.0, 1e-300);
  pendulum.gravity[1] = 0.0;
  ASSERT_FALSE(pendulum.create()) << errorText();
  EXPECT_FALSE(pendulum.accelerate(0.0, 0.0)) << errorText();
  EXPECT_EQ(motionData(&pendulum.hinge, kMotionInverseInertia)[0], 1.0 / 1e-300);
}

TEST(BodyInputs, VariableMassWithoutMassKeepsTheCentreAndAddsInertia) {
  RampFixture ramp(0.0);
  EngineBodyInput massEntry{kBodyInputMassAndInertia, nullptr, nullptr, nullptr};
  double at[3] = {0.3, 0.4, 0.0};  // from the Door's reference point
  massEntry.position = at;
  ramp.bodyData[0].description.numMassInputs = 1;
  ramp.bodyData[0].description.massInputs = &massEntry;
  ASSERT_FALSE(ramp.create()) << errorText();
  const double centre[2] = {bodyData(&ramp.door, kBodyCentreOfMass)[0],
                            bodyData(&ramp.door, kBodyCentreOfMass)[1]};
  double values[10] = {0.0, 0, 0, 0, 0, 0, 0, 0, 0, 2.0};  // mass 0, Izz 2
  double* port[10];
  for (int i = 0; i < 10; ++i) port[i] = &values[i];
  double** running = port;
  ASSERT_FALSE(bodyDynamicInputs2D(&ramp.door, &ramp.revolute1, &running));
  EXPECT_EQ(running, port + 10);
  EXPECT_EQ(bodyData(&ramp.door, kBodyCentreOfMass)[0], centre[0]);
  EXPECT_EQ(bodyData(&ramp.door, kBodyCentreOfMass)[1], centre[1]);
  EXPECT_EQ(bodyData(&ramp.door, kBodyInertia)[8], 2.0);
  // A 10 kg entry puts the mass at its point, 0.5 m away: Izz gains 10·0.25.
  values[0] = 10.0;
  running = port;
  ASSERT_FALSE(bodyDynamicInputs2D(&ramp.door, &ramp.revolute1, &running));
  EXPECT_EQ(bodyData(&ramp.door, kBodyMass)[0], 10.0);
  EXPECT_NEAR(bodyData(&ramp.door, kBodyCentreOfMass)[0], 0.3, 1e-15);
  EXPECT_NEAR(bodyData(&ramp.door, kBodyCentreOfMass)[1], 0.4, 1e-15);
  EXPECT_NEAR(bodyData(&ramp.door, kBodyInertia)[8], 2.0 + 10.0 * 0.25, 1e-14);
}

// --- a double pendulum with one motion-driven hinge -----------------------------------------

// Link 1 (1 m, centre at 0.5 m) on a hinge at the origin, link 2 (centre
// 0.5 m beyond its hinge P at the tip of link 1) on a second hinge; both along
// x when the coordinates are 0. One of the two hinges is motion-driven.
struct DoublePendulum {
  static constexpr double kLength1 = 1.0, kCentre1 = 0.5, kMass1 = 1.0, kInertia1 = 0.1;
  static constexpr double kCentre2 = 0.5, kMass2 = 2.0, kInertia2 = 0.2, kGravity = 9.81;
  EnginePrimitive revolute1{kPrimitiveRevolute, kActuationFree, 0, 0, {0, 0, 1}};
  EnginePrimitive revolute2{kPrimitiveRevolute, kActuationFree, 0, 0, {0, 0, 1}};
  EnginePrimitive weld{kPrimitiveWeld, kActuationMotionDriven};
  EngineJoint hinge1{"pendulum/Hinge1", kJointGeneral, 1, &revolute1};
  EngineJoint hinge2{"pendulum/Hinge2", kJointGeneral, 1, &revolute2};
  EngineJoint groundWeld{"pendulum/Weld", kJointGeneral, 1, &weld};
  FrameData frames[6];
  BodyData data1, data2, groundData;
  EngineBody link1{"pendulum/Link1", &data1.description};
  EngineBody link2{"pendulum/Link2", &data2.description};
  EngineBody groundBody{"pendulum/Ground", &groundData.description};
  EngineBody* bodies0[2] = {&link2, &link1};
  EngineJoint* joints0[2] = {&hinge2, &hinge1};
  EngineBody* bodies1[1] = {&groundBody};
  EngineJoint* joints1[1] = {&groundWeld};
  EngineChain chains[2] = {{2, bodies0, joints0, &chains[1]}, {1, bodies1, joints1, &chains[1]}};
  EngineChain* chainTable[2] = {&chains[0], &chains[1]};
  MachineEnvironment environment{};
  double gravity[3] = {0.0, -kGravity, 0.0};
  EngineMatrix gravityCell{0, 1, gravity};
  EngineMechanism mechanism{};
  EngineMethodTable methods{};

  explicit DoublePendulum(bool driveFirst) {
    (driveFirst ? revolute1 : revolute2).actuation = kActuationMotionDriven;
    frames[2].position[0] = frames[3].position[0] = kLength1;
    hinge1.base = frames[0].side();
    hinge1.follower = frames[1].side();
    hinge2.base = frames[2].side();
    hinge2.follower = frames[3].side();
    groundWeld.base = frames[4].side();
    groundWeld.follower = frames[5].side();
    RampFixture::body(data1, kMass1, kInertia1, {kCentre1, 0.0}, {0.0, 0.0});
    RampFixture::body(data2, kMass2, kInertia2, {kLength1 + kCentre2, 0.0}, {kLength1, 0.0});
    environment.environmentVector = &gravityCell;
    environment.analysisMode = kAnalysisDynamics;
    environment.constraintTolerance = 1.4901161193847656e-08;
    mechanism.numChains = 2;
    mechanism.chains = chainTable;
    mechanism.environment = &environment;
    mechanism.allowedSimulationDimensions = kEngineDimension2D;
    fillProvidedEngineMethods(&methods);
    resetEngineMethodSet();
    registerMechanismMethods(&methods);
  }
  ~DoublePendulum() { destroyEngineMechanism(&mechanism); }

  // Positions and rates of both hinges; the driven one also gets its acceleration.
  bool run(const double* q, const double* w, double drivenAcceleration) {
    EngineMechanism* m = &mechanism;
    if (createEngineMechanism(m) || setupMotionArrays(m, nullptr, nullptr, nullptr)) return true;
    EngineJoint* hinges[2] = {&hinge1, &hinge2};
    for (int i = 0; i < 2; ++i) {
      jointPositions(hinges[i])[0] = q[i];
      jointVelocities(hinges[i])[0] = w[i];
      if (hinges[i]->primitives[0].actuation == kActuationMotionDriven) {
        jointAccelerations(hinges[i])[0] = drivenAcceleration;
      }
    }
    return positionSweep2D(m) || velocitySweep2D(m) || dynamicSweep2D(m) || external2D(m, true) ||
           ricatti2D(m) || lagrange2D(m) || acceleration2D(m, true);
  }
};

// Newton–Euler for the pendulum at angular accelerations (α1, α2) of the two
// links: the forces and moments the hinges must transmit. Hinge 2 acts on
// link 2 at P; hinge 1 acts on both links at the origin. Moments about the hinge.
struct HingeLoads {
  double moment1, force1[2];
  double moment2, force2[2];
};
HingeLoads hingeLoads(const double* q, const double* w, double alpha1, double alpha2) {
  using P = DoublePendulum;
  const auto crossZ = [](double ax, double ay, double bx, double by) { return ax * by - ay * bx; };
  const double g[2] = {0.0, -P::kGravity};
  const double phi2 = q[0] + q[1];
  const double w2 = w[0] + w[1];
  const double r1[2] = {P::kCentre1 * std::cos(q[0]), P::kCentre1 * std::sin(q[0])};
  const double p[2] = {P::kLength1 * std::cos(q[0]), P::kLength1 * std::sin(q[0])};
  const double c[2] = {P::kCentre2 * std::cos(phi2), P::kCentre2 * std::sin(phi2)};
  const double a1[2] = {-alpha1 * r1[1] - w[0] * w[0] * r1[0],
                        alpha1 * r1[0] - w[0] * w[0] * r1[1]};
  const double ap[2] = {-alpha1 * p[1] - w[0] * w[0] * p[0], alpha1 * p[0] - w[0] * w[0] * p[1]};
  const double a2[2] = {ap[0] - alpha2 * c[1] - w2 * w2 * c[0],
                        ap[1] + alpha2 * c[0] - w2 * w2 * c[1]};
  HingeLoads loads{};
  for (int k = 0; k < 2; ++k) {
    loads.force2[k] = P::kMass2 * (a2[k] - g[k]);
    loads.force1[k] = P::kMass1 * (a1[k] - g[k]) + loads.force2[k];
  }
  loads.moment2 = P::kInertia2 * alpha2 + crossZ(c[0], c[1], loads.force2[0], loads.force2[1]);
  const double r2[2] = {p[0] + c[0], p[1] + c[1]};
  loads.moment1 = P::kInertia1 * alpha1 + P::kInertia2 * alpha2 +
                  crossZ(r1[0], r1[1], P::kMass1 * (a1[0] - g[0]), P::kMass1 * (a1[1] - g[1])) +
                  crossZ(r2[0], r2[1], loads.force2[0], loads.force2[1]);
  return loads;
}

class DoublePendulumDynamics : public testing::TestWithParam<bool> {};

// With one hinge driven, the other's acceleration makes its moment vanish
// (it is free and unactuated); the moments are linear in that acceleration.
TEST_P(DoublePendulumDynamics, FreeHingeFollowsTheDrivenOneAsNewtonEulerSays) {
  const bool driveFirst = GetParam();
  const double q[2] = {0.2, 0.4};
  const double w[2] = {0.7, -0.5};
  const double driven = 3.0;
  DoublePendulum pendulum(driveFirst);
  ASSERT_FALSE(pendulum.run(q, w, driven)) << errorText();
  // Absolute accelerations (α1, α2) from the free hinge's relative one x.
  const auto alphas = [&](double x, double* alpha) {
    alpha[0] = driveFirst ? driven : x;
    alpha[1] = alpha[0] + (driveFirst ? x : driven);
  };
  const auto freeMoment = [&](double x) {
    double alpha[2];
    alphas(x, alpha);
    const HingeLoads loads = hingeLoads(q, w, alpha[0], alpha[1]);
    return driveFirst ? loads.moment2 : loads.moment1;
  };
  const double free = -freeMoment(0.0) / (freeMoment(1.0) - freeMoment(0.0));
  EngineJoint* drivenHinge = driveFirst ? &pendulum.hinge1 : &pendulum.hinge2;
  EngineJoint* freeHinge = driveFirst ? &pendulum.hinge2 : &pendulum.hinge1;
  EXPECT_EQ(jointAccelerations(drivenHinge)[0], driven);
  EXPECT_NEAR(jointAccelerations(freeHinge)[0], free, 1e-12);
  double alpha[2];
  alphas(free, alpha);
  EXPECT_NEAR(motionData(&pendulum.hinge1, kMotionAcceleration)[0], alpha[0], 1e-12);
  EXPECT_NEAR(motionData(&pendulum.hinge2, kMotionAcceleration)[0], alpha[1], 1e-12);
}

// The reaction kept for the force outputs: what each hinge transmits to the
// links outboard of it (moment about the hinge, then the force).
TEST_P(DoublePendulumDynamics, HingeReactionsAreTheNewtonEulerLoads) {
  const bool driveFirst = GetParam();
  const double q[2] = {0.2, 0.4};
  const double w[2] = {0.7, -0.5};
  DoublePendulum pendulum(driveFirst);
  ASSERT_FALSE(pendulum.run(q, w, 3.0)) << errorText();
  const HingeLoads loads = hingeLoads(q, w, motionData(&pendulum.hinge1, kMotionAcceleration)[0],
                                      motionData(&pendulum.hinge2, kMotionAcceleration)[0]);
  const double* reaction1 = pendulum.hinge1.force[kForceSpatial]->data;
  const double* reaction2 = pendulum.hinge2.force[kForceSpatial]->data;
  EXPECT_NEAR(reaction1[0], loads.moment1, 1e-12);
  EXPECT_NEAR(reaction1[1], loads.force1[0], 1e-12);
  EXPECT_NEAR(reaction1[2], loads.force1[1], 1e-12);
  EXPECT_NEAR(reaction2[0], loads.moment2, 1e-12);
  EXPECT_NEAR(reaction2[1], loads.force2[0], 1e-12);
  EXPECT_NEAR(reaction2[2], loads.force2[1], 1e-12);
  // The free hinge transmits no moment.
  EXPECT_NEAR((driveFirst ? reaction2 : reaction1)[0], 0.0, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(DrivenHinge, DoublePendulumDynamics, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("First") : std::string("Second");
                         });

}  // namespace
