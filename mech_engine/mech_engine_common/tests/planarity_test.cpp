#include "mech_engine_common/planarity.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "linkage_fixture.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/rotation_kernels.h"
#include "mech_engine_common/transform_buffer.h"
#include "test_allocator.h"

namespace {

std::vector<double> apply(const double* t, const double* v) {
  std::vector<double> out(3, 0.0);
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) out[i] += t[i + 3 * k] * v[k];
  return out;
}

TEST(Planarity, LinkageInTheXYPlaneNeedsNoFactorisation) {
  Linkage linkage;
  bool planar = false;
  ASSERT_FALSE(checkMechanismPlanarity(&linkage.mechanism, true, &planar));
  EXPECT_TRUE(planar);
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(linkage.plane()[i], identity[i]);
  // Reservations: per joint 2·(1 + 0 + sensors) + 3 plus 1 + sensors + 3; the
  // constraint 1 + 4 (two frames and its axis); one for transform2D. The
  // fixture has no bodies.
  EXPECT_EQ(globalTransformBuffer.max, (5 + 4) + (7 + 5) + (5 + 4) + 5 + 1);
}

TEST(Planarity, TiltedLinkageIsPlanarAndItsPlaneTransformMapsItIntoXY) {
  Linkage linkage;
  const double angles[3] = {0.4, -0.9, 0.25};
  double r[9];
  callRotationKernel(1, angles, r);
  linkage.rotateAll(r);
  bool planar = false;
  ASSERT_FALSE(checkMechanismPlanarity(&linkage.mechanism, true, &planar));
  ASSERT_TRUE(planar);
  const std::vector<double> slide = apply(linkage.plane(), linkage.prismatic.axis);
  EXPECT_NEAR(slide[2], 0.0, 1e-15);
  EXPECT_NEAR(std::hypot(slide[0], slide[1]), 1.0, 1e-15);
  const std::vector<double> hinge = apply(linkage.plane(), linkage.revolute.axis);
  EXPECT_NEAR(std::fabs(hinge[2]), 1.0, 1e-15);
  // The plane transform is a rotation: its rows are orthonormal.
  const double* t = linkage.plane();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double dot = 0.0;
      for (int k = 0; k < 3; ++k) dot += t[i + 3 * k] * t[j + 3 * k];
      EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-15);
    }
}

const char* const k3DDisabled =
    "Error originates in Mechanical block %s. This block is configured for 3D simulation, but 3D "
    "simulation is disabled. Either enable 3D simulation mode, replace this block with one that "
    "can run in 2D mode, or reconfigure this block for 2D simulation, if possible.";

TEST(Planarity, SphericalPrimitiveNamesItsBlockWhenOnly2DIsAllowed) {
  Linkage linkage;
  linkage.prismatic.kind = kPrimitiveSpherical;
  bool planar = true;
  EXPECT_TRUE(checkMechanismPlanarity(&linkage.mechanism, true, &planar));
  EXPECT_FALSE(planar);
  EXPECT_STREQ(getEngineError()->text, k3DDisabled);
  EXPECT_STREQ(getEngineError()->arguments[0], "m/Prismatic");

  Linkage quiet;
  quiet.prismatic.kind = kPrimitiveSpherical;
  setEngineError("untouched");
  EXPECT_FALSE(checkMechanismPlanarity(&quiet.mechanism, false, &planar));
  EXPECT_FALSE(planar);
  EXPECT_STREQ(getEngineError()->text, "untouched");
}

TEST(Planarity, NonGeneralKindsAndMarkedPrimitivesAreNotPlanar) {
  struct Case {
    const char* name;
    void (*change)(Linkage&);
    const char* block;
  } const cases[] = {
      {"screw joint", [](Linkage& l) { l.joints[0].kind = kJointScrew; }, "m/Revolute"},
      {"code 15", [](Linkage& l) { l.weld.kind = kPrimitiveNonPlanar; }, "m/Weld"},
      {"screw constraint", [](Linkage& l) { l.loop.kind = kConstraintScrew; }, "m/Loop"},
      {"two revolutes",
       [](Linkage& l) {
         l.joints[1] = {"m/Double", kJointGeneral, 2, nullptr};
         static EnginePrimitive two[2] = {{kPrimitiveRevolute, 6, 0, 0, {0, 0, 1}},
                                          {kPrimitiveRevolute, 6, 0, 0, {0, 0, 1}}};
         l.joints[1].primitives = two;
       },
       "m/Double"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Linkage linkage;
    c.change(linkage);
    bool planar = true;
    EXPECT_TRUE(checkMechanismPlanarity(&linkage.mechanism, true, &planar));
    EXPECT_FALSE(planar);
    EXPECT_STREQ(getEngineError()->arguments[0], c.block);
  }
}

// Each joint alone is planar, but their planes differ: no single block is to
// blame, so the ground is named.
TEST(Planarity, JointsInDifferentPlanesSpanSpace) {
  Linkage linkage;
  linkage.loopRevolute.axis[0] = 1.0;
  linkage.loopRevolute.axis[2] = 0.0;
  bool planar = true;
  EXPECT_TRUE(checkMechanismPlanarity(&linkage.mechanism, true, &planar));
  EXPECT_FALSE(planar);
  EXPECT_STREQ(getEngineError()->text, k3DDisabled);
  EXPECT_STREQ(getEngineError()->arguments[0], "m/Ground");
}

TEST(Planarity, OtherConstraintKindsCollectTheirVectors) {
  Linkage linkage;
  double vectors[12] = {0, 0, 1, 0, 0, 1, 0.5, 0.2, 0, -0.1, 0.3, 0};
  linkage.loop = EngineConstraint{"m/CV", kConstraintConstantVelocity};
  linkage.loop.numKindVectors = 4;
  linkage.loop.kindVectors = vectors;
  bool planar = false;
  ASSERT_FALSE(checkMechanismPlanarity(&linkage.mechanism, true, &planar));
  EXPECT_TRUE(planar);

  Linkage tilted;
  double parallel[6] = {0, 0.6, 0.8, 1, 0, 0};  // (0, .6, .8) leaves the x-y plane
  tilted.loop = EngineConstraint{"m/Parallel", kConstraintParallel};
  tilted.loop.numKindVectors = 2;
  tilted.loop.kindVectors = parallel;
  EXPECT_TRUE(checkMechanismPlanarity(&tilted.mechanism, true, &planar));
  EXPECT_FALSE(planar);

  // A cubic curve in the x-y plane: stationary points stay in the plane.
  Linkage curve;
  EngineCurveSegment segment{{{1, -1, -1, 0}, {0, 1, 0, 2}, {0, 0, 0, 0}}};
  curve.loop = EngineConstraint{"m/Curve", kConstraintPointCurve};
  curve.loop.numCurveSegments = 1;
  curve.loop.curveSegments = &segment;
  ASSERT_FALSE(checkMechanismPlanarity(&curve.mechanism, true, &planar));
  EXPECT_TRUE(planar);
  segment.coefficients[2][1] = 1.0;  // z = t²: stationary at t = 0, the point (0, 2, 0) - first
  segment.coefficients[2][0] = 1.0;  // z = t³ + t²: a second stationary point off the plane
  Linkage curve3D;
  curve3D.loop = curve.loop;
  EXPECT_TRUE(checkMechanismPlanarity(&curve3D.mechanism, true, &planar));
  EXPECT_FALSE(planar);
}

TEST(Planarity, AllocationFailuresAreReportedAndLeakNothing) {
  TestAllocator::install();
  {
    Linkage linkage;
    const double angles[3] = {0.4, -0.9, 0.25};
    double r[9];
    callRotationKernel(1, angles, r);
    linkage.rotateAll(r);
    bool planar = false;
    ASSERT_FALSE(checkMechanismPlanarity(&linkage.mechanism, true, &planar));
  }
  const int allocations = TestAllocator::calls;
  for (int failAt = 0; failAt < allocations; ++failAt) {
    TestAllocator::install(failAt);
    {
      Linkage linkage;
      const double angles[3] = {0.4, -0.9, 0.25};
      double r[9];
      callRotationKernel(1, angles, r);
      linkage.rotateAll(r);
      bool planar = true;
      EXPECT_TRUE(checkMechanismPlanarity(&linkage.mechanism, true, &planar)) << failAt;
      EXPECT_FALSE(planar);
      EXPECT_STREQ(getEngineError()->text,
                   "Error originates in a Mechanical model. Insufficient memory for data "
                   "structure allocation.");
    }
    EXPECT_TRUE(TestAllocator::live.empty()) << failAt;
  }
  TestAllocator::uninstall();
}

}  // namespace
