// A general constraint with prismatic primitives, placed on the ramp between
// the Exlar (base side: it turns by q4 at rate q̇4) and the Door (follower
// side: it turns by q0 + q1 + q2 + q4): its turned axes, its axis matrix A
// and the rate matrix Ȧ, against closed forms from the coordinates and
// against finite differences of A.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"
#include "ramp_fixture.h"
#include "ramp_reference.h"

namespace {

std::string errorText() {
  return getEngineError()->text != nullptr ? getEngineError()->text : "";
}

EnginePrimitive revolutePrimitive(double zSign) {
  return {kPrimitiveRevolute, kActuationFree, 0, 0, {0, 0, zSign}};
}
EnginePrimitive prismaticPrimitive(double x, double y) {
  return {kPrimitivePrismatic, kActuationFree, 0, 0, {x, y, 0}};
}

constexpr Point kAt{0.5, 0.3};  // the constraint's frames, described

// The ramp with its second closure replaced by a general constraint of the
// given primitives from the Exlar to the Door. `alongFirstPrismatic` moves the
// follower frame that far along the first prismatic axis (its offset).
struct PrismaticClosure {
  RampFixture ramp;
  std::vector<EnginePrimitive> primitives;
  EngineConstraint& closure = ramp.revolute3Loop;

  explicit PrismaticClosure(std::vector<EnginePrimitive> list, double alongFirstPrismatic = 0.0)
      : primitives(std::move(list)) {
    ramp.constraint(closure, 14, &ramp.revolute4, &ramp.revolute1, kAt);
    closure.numPrimitives = static_cast<int>(primitives.size());
    closure.primitives = primitives.data();
    for (const EnginePrimitive& p : primitives) {
      if (p.kind != kPrimitivePrismatic) continue;
      closure.follower.position[0] += alongFirstPrismatic * p.axis[0];
      closure.follower.position[1] += alongFirstPrismatic * p.axis[1];
      break;
    }
  }

  void create() {
    ASSERT_FALSE(ramp.create()) << errorText();
    ASSERT_FALSE(setupMotionArrays(&ramp.mechanism, nullptr, nullptr, nullptr)) << errorText();
    ASSERT_FALSE(correctMotionArrays(&ramp.mechanism, nullptr, nullptr, nullptr)) << errorText();
  }

  void setCoordinates(const double* q, const double* qd) {
    for (int i = 0; i < 5; ++i) {
      jointPositions(ramp.stateJoints(i))[0] = q[i];
      jointVelocities(ramp.stateJoints(i))[0] = qd[i];
    }
  }

  // Positions and velocities at (q, q̇); false on a failed sweep.
  bool sweep(const double* q, const double* qd) {
    setCoordinates(q, qd);
    return !positionSweep2D(&ramp.mechanism) && !velocitySweep2D(&ramp.mechanism);
  }

  EngineGeneralConstraint* g() { return closure.general; }
  int count() const { return closure.numPrimitives; }
  // Column j of A or of Ȧ (angular, x, y).
  std::vector<double> column(const EngineMatrix* m, int j) {
    return {m->data[j], m->data[count() + j], m->data[2 * count() + j]};
  }
};

const double kQ[5] = {0.3, -0.2, 0.5, 0.05, 0.4};
const double kQd[5] = {0.7, -1.3, 0.4, 0.2, -0.9};

double baseAngle(const double* q) {
  return forwardKinematics(q).exlar.angle;
}
double followerAngle(const double* q) {
  return forwardKinematics(q).door.angle;
}
double baseRate(const double* qd) {
  return qd[4];
}
double followerRate(const double* qd) {
  return qd[0] + qd[1] + qd[2] + qd[4];
}

// u turned by angle.
Point turned(double angle, const double* u) {
  return turn(angle, u[0], u[1]);
}

void expectColumn(const std::vector<double>& got, double angular, double x, double y) {
  EXPECT_NEAR(got[0], angular, 1e-12);
  EXPECT_NEAR(got[1], x, 1e-12);
  EXPECT_NEAR(got[2], y, 1e-12);
}

// --- the side rule: which body a prismatic axis turns with ---------------------------

struct SideCase {
  const char* name;
  std::vector<EnginePrimitive> primitives;
  int prismatic;  // index of the prismatic primitive
  bool follower;  // its axis is fixed to the follower body
};

// A slider without revolute primitive and a prismatic primitive before the
// revolute one turn with the base; one after it with the follower. Its column
// of A is (0, u), of Ȧ (0, ω × u), u = R(θ_side)·axis.
TEST(GeneralConstraintAxes, EachPrismaticAxisTurnsWithTheBodyOfItsSide) {
  const SideCase cases[] = {
      {"slider on a rotating base", {prismaticPrimitive(0.6, 0.8)}, 0, false},
      {"before the revolute primitive",
       {prismaticPrimitive(0.6, 0.8), revolutePrimitive(1)},
       0,
       false},
      {"after the revolute primitive",
       {revolutePrimitive(1), prismaticPrimitive(0.6, 0.8)},
       1,
       true},
  };
  for (const SideCase& c : cases) {
    SCOPED_TRACE(c.name);
    PrismaticClosure fixture(c.primitives);
    fixture.create();
    ASSERT_TRUE(fixture.sweep(kQ, kQd)) << errorText();
    const double angle = c.follower ? followerAngle(kQ) : baseAngle(kQ);
    const double omega = c.follower ? followerRate(kQd) : baseRate(kQd);
    const Point u = turned(angle, c.primitives[c.prismatic].axis);
    expectColumn(fixture.column(fixture.g()->axisMatrix, c.prismatic), 0.0, u.x, u.y);
    expectColumn(fixture.column(fixture.g()->axisRates, c.prismatic), 0.0, -omega * u.y,
                 omega * u.x);
  }
}

// A single prismatic primitive's second vector, its in-plane normal, turns
// and has its rate the same way.
TEST(GeneralConstraintAxes, SingleSliderNormalTurnsWithItsAxis) {
  PrismaticClosure fixture({revolutePrimitive(1), prismaticPrimitive(0.6, 0.8)});
  fixture.create();
  ASSERT_TRUE(fixture.sweep(kQ, kQd)) << errorText();
  const double normal[2] = {-0.8, 0.6};
  const Point n = turned(followerAngle(kQ), normal);
  const double omega = followerRate(kQd);
  EXPECT_NEAR(fixture.g()->turnedPrismaticNormal[0], n.x, 1e-12);
  EXPECT_NEAR(fixture.g()->turnedPrismaticNormal[1], n.y, 1e-12);
  EXPECT_NEAR(fixture.g()->prismaticNormalRate[0], -omega * n.y, 1e-12);
  EXPECT_NEAR(fixture.g()->prismaticNormalRate[1], omega * n.x, 1e-12);
}

// Between two revolute primitives the side is the one before; the rule reads
// only the revolute index list.
TEST(GeneralConstraintAxes, SideRuleByPrimitiveIndex) {
  std::int32_t revolute[2] = {1, 3};
  IndexList list{2, revolute};
  EngineGeneralConstraint g{};
  g.revoluteIndices = &list;
  for (ConstraintSide previous : {ConstraintSide::kBase, ConstraintSide::kFollower}) {
    EXPECT_EQ(prismaticAxisSide(&g, 0, previous), ConstraintSide::kBase);
    EXPECT_EQ(prismaticAxisSide(&g, 2, previous), previous);
    EXPECT_EQ(prismaticAxisSide(&g, 4, previous), ConstraintSide::kFollower);
  }
  list.count = 0;
  EXPECT_EQ(prismaticAxisSide(&g, 4, ConstraintSide::kFollower), ConstraintSide::kBase);
}

// --- a revolute primitive's lever ----------------------------------------------------

// A revolute primitive with a prismatic one after it: its columns are
// (s, -s·Σ_y, s·Σ_x) in A and (0, -s·D_y, s·D_x) in Ȧ, Σ = p·u and
// D = w·p + u·v, p the prismatic extent (its initial-condition coordinate
// plus the displacement at the description), v the rate the velocity step
// stored for it; one with no prismatic primitive after it has a zero column
// in Ȧ.
TEST(GeneralConstraintAxes, RevoluteColumnsFollowTheLeverOfTheSliderAfterIt) {
  for (double s : {1.0, -1.0}) {
    SCOPED_TRACE(s);
    EnginePrimitive slider = prismaticPrimitive(0.6, 0.8);
    slider.initialCondition = kInitialConditionActuated;
    slider.initialPosition = 0.3;
    slider.initialVelocity = 0.35;
    PrismaticClosure fixture({revolutePrimitive(s), slider}, 0.2);
    fixture.create();
    ASSERT_TRUE(fixture.sweep(kQ, kQd)) << errorText();
    const double p = 0.3 + 0.2;
    const Point u = turned(followerAngle(kQ), slider.axis);
    const double omega = followerRate(kQd);
    const Point w{-omega * u.y, omega * u.x};
    const double v = fixture.g()->velocities->data[1];
    EXPECT_NE(v, 0.0);
    expectColumn(fixture.column(fixture.g()->axisMatrix, 0), s, -s * p * u.y, s * p * u.x);
    const Point d{w.x * p + u.x * v, w.y * p + u.y * v};
    expectColumn(fixture.column(fixture.g()->axisRates, 0), 0.0, -s * d.y, s * d.x);
  }
  PrismaticClosure last({prismaticPrimitive(0.6, 0.8), revolutePrimitive(1)});
  last.create();
  ASSERT_TRUE(last.sweep(kQ, kQd)) << errorText();
  expectColumn(last.column(last.g()->axisRates, 1), 0.0, 0.0, 0.0);
}

// Ȧ is the time derivative of A along a short motion: the joints move by
// q̇·t and the prismatic primitives by the rates the velocity step solved
// for, times t.
TEST(GeneralConstraintAxes, RateMatrixIsTheDerivativeOfTheAxisMatrix) {
  PrismaticClosure fixture(
      {prismaticPrimitive(1, 0), revolutePrimitive(1), prismaticPrimitive(0.6, 0.8)});
  fixture.create();
  const int n = fixture.count();
  fixture.g()->positions->data[2] = 0.4;  // the lever of the revolute primitive
  ASSERT_TRUE(fixture.sweep(kQ, kQd)) << errorText();
  const std::vector<double> rates(fixture.g()->axisRates->data,
                                  fixture.g()->axisRates->data + 3 * n);
  const std::vector<double> primitiveRates(fixture.g()->velocities->data,
                                           fixture.g()->velocities->data + n);
  for (int j = 0; j < n; ++j) EXPECT_GT(std::fabs(primitiveRates[j]), 0.02) << "primitive " << j;
  const std::vector<double> extents(fixture.g()->positions->data, fixture.g()->positions->data + n);
  const double h = 1e-5;
  std::vector<double> a[2];
  for (int side = 0; side < 2; ++side) {
    const double t = side == 0 ? -h : h;
    double q[5];
    for (int i = 0; i < 5; ++i) q[i] = kQ[i] + kQd[i] * t;
    for (int j : {0, 2}) fixture.g()->positions->data[j] = extents[j] + primitiveRates[j] * t;
    ASSERT_TRUE(fixture.sweep(q, kQd)) << errorText();
    a[side].assign(fixture.g()->axisMatrix->data, fixture.g()->axisMatrix->data + 3 * n);
  }
  double largest = 0.0;
  for (int i = 0; i < 3 * n; ++i) {
    EXPECT_NEAR(rates[i], (a[1][i] - a[0][i]) / (2 * h), 1e-8) << "entry " << i;
    largest = std::fmax(largest, std::fabs(rates[i]));
  }
  EXPECT_GT(largest, 0.1);  // the motion turns the axes and stretches the lever
}

// With as many free primitives as the plane has freedoms, the primitive
// rates follow the bodies exactly, and the primitive accelerations (which
// subtract Ȧ times the rates) are the derivatives of those rates.
TEST(GeneralConstraintAxes, PrimitiveAccelerationsAreTheDerivativesOfTheirRates) {
  PrismaticClosure fixture(
      {prismaticPrimitive(1, 0), revolutePrimitive(1), prismaticPrimitive(0.6, 0.8)});
  fixture.create();
  EngineGeneralConstraint* g = fixture.g();
  const int n = fixture.count();
  const double qdd[5] = {-2.0, 0.5, 1.5, -0.3, 0.8};
  const double p0[3] = {0.3, 0.0, 0.4};
  for (int j : {0, 2}) g->positions->data[j] = p0[j];
  for (int i = 0; i < 5; ++i) jointAccelerations(fixture.ramp.stateJoints(i))[0] = qdd[i];
  ASSERT_TRUE(fixture.sweep(kQ, kQd)) << errorText();
  ASSERT_FALSE(sweepAcceleration2D(&fixture.ramp.mechanism)) << errorText();
  const std::vector<double> v0(g->velocities->data, g->velocities->data + n);
  const std::vector<double> a0(g->accelerations->data, g->accelerations->data + n);

  const double h = 1e-5;
  std::vector<double> rates[2];
  for (int side = 0; side < 2; ++side) {
    const double t = side == 0 ? -h : h;
    double q[5];
    double qd[5];
    for (int i = 0; i < 5; ++i) {
      q[i] = kQ[i] + kQd[i] * t + 0.5 * qdd[i] * t * t;
      qd[i] = kQd[i] + qdd[i] * t;
    }
    for (int j : {0, 2}) g->positions->data[j] = p0[j] + v0[j] * t + 0.5 * a0[j] * t * t;
    ASSERT_TRUE(fixture.sweep(q, qd)) << errorText();
    rates[side].assign(g->velocities->data, g->velocities->data + n);
  }
  for (int j = 0; j < n; ++j) {
    EXPECT_GT(std::fabs(v0[j]), 0.02) << "primitive " << j;  // every primitive moves
    EXPECT_NEAR(a0[j], (rates[1][j] - rates[0][j]) / (2 * h), 1e-6) << "primitive " << j;
  }
}

// --- aligned axes ----------------------------------------------------------------------

// Axes on the two sides turned into line by the motion (or described within
// tolerance of each other) stop the position step with the message naming
// the constraint; a little more apart they pass.
TEST(GeneralConstraintAxes, AlignedPrismaticAxesStopThePositionStep) {
  struct AlignedCase {
    const char* name;
    std::vector<EnginePrimitive> primitives;
    double q2;  // turns the Door against the Exlar
    bool fails;
  };
  const double nearly = std::cos(1e-4);
  const AlignedCase cases[] = {
      {"turned into line",
       {prismaticPrimitive(1, 0), revolutePrimitive(1), prismaticPrimitive(0, 1)},
       M_PI / 2 - 1e-4,
       true},
      {"turned almost into line",
       {prismaticPrimitive(1, 0), revolutePrimitive(1), prismaticPrimitive(0, 1)},
       M_PI / 2 - 1e-2,
       false},
      {"described within tolerance",
       {prismaticPrimitive(1, 0), prismaticPrimitive(nearly, std::sin(1e-4))},
       0.0,
       true},
  };
  for (const AlignedCase& c : cases) {
    SCOPED_TRACE(c.name);
    PrismaticClosure fixture(c.primitives);
    fixture.create();
    const double q[5] = {0.0, 0.0, c.q2, 0.0, 0.25};
    const double qd[5] = {};
    setEngineError("");
    fixture.setCoordinates(q, qd);
    EXPECT_EQ(positionSweep2D(&fixture.ramp.mechanism), c.fails);
    if (!c.fails) continue;
    EXPECT_EQ(errorText(),
              "Error originates in Mechanical block %s. The prismatic axes in this joint are "
              "aligned, within tolerance. The motion is singular. Consider using another joint "
              "or a (massless) body between the aligned axes.");
    EXPECT_STREQ(getEngineError()->arguments[0], "ramp/Revolute3");
  }
}

}  // namespace
