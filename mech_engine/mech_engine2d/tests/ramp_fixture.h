// A hand-made description of the ramp linkage for engine tests: five bodies
// on three chains (Door–Link3, Link4–rod–Exlar, the ground weld) and two
// loop-closing revolute constraints, at the described configuration, in world
// coordinates. Inertias are about each body's reference point (the follower
// frame of its inboard joint), worked out here by the parallel-axis rule.
#pragma once

#include <cstring>

#include "mech_engine2d/provided_methods.h"
#include "mech_engine_common/engine_entry_points.h"
#include "mech_engine_common/engine_method_table.h"
#include "mech_engine_common/engine_records.h"

struct Point {
  double x;
  double y;
};

namespace ramp_points {
inline constexpr Point kGround1{0.0, 0.0};
inline constexpr Point kGround2{0.2351566616, 0.0082118516};
inline constexpr Point kGround3{0.9277, 0.0715};
inline constexpr Point kExlarCS1{0.6777, 0.0715};
inline constexpr Point kLink4CS5{0.2351566616 + 0.1100958871, 0.0082118516 + 0.0633079429};
inline constexpr Point kLink4CS4{0.2351566616 + 0.2201917742, 0.0082118516 + 0.1266158859};
inline constexpr Point kDoorCS4{0.1246100409, 0.1272475842};
inline constexpr Point kDoorCG{-0.3109109746, 0.5998080742};
}  // namespace ramp_points

// Inertia about a reference point: the zz entry I_cg + m·|cg - ref|².
inline void inertiaAbout(double* inertia, double mass, double cgInertia, Point cg, Point ref) {
  std::memset(inertia, 0, 9 * sizeof(double));
  const double dx = cg.x - ref.x;
  const double dy = cg.y - ref.y;
  inertia[0] = cgInertia + mass * dy * dy;
  inertia[4] = cgInertia + mass * dx * dx;
  inertia[8] = cgInertia + mass * (dx * dx + dy * dy);
}

inline void setPoint(double* v, Point p) {
  v[0] = p.x;
  v[1] = p.y;
  v[2] = 0.0;
}

// A described frame with its own storage (world position, identity rotation).
struct FrameData {
  double position[3] = {0, 0, 0};
  double rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  EngineAttachment side() { return EngineAttachment{position, rotation, nullptr}; }
};

// A body description with its own storage.
struct BodyData {
  double mass = 0.0;
  double inertia[9] = {};
  double centreOfMass[3] = {};
  double position[3] = {};
  double rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  EngineBodyDescription description{&mass, inertia, centreOfMass, position, rotation};
};

// The tolerances and solver settings both test linkages assemble with.
inline void setAssemblySettings(MachineEnvironment& environment, const char* groundName) {
  environment.relativePositionTolerance = 0.0001;
  environment.absolutePositionTolerance = 0.0001;
  environment.constraintTolerance = 1.4901161193847656e-08;
  environment.linearAssemblyTolerance = 0.001;
  environment.angularAssemblyTolerance = 0.001;
  environment.redundancyToleranceMode = 1;
  environment.redundancyTolerance = 1e-14;
  environment.groundName = groundName;
  environment.analysisMode = kAnalysisDynamics;
  environment.constraintSolverKind = 1;
}

// Registers the provided methods (anew) and creates the mechanism, whose
// continuous states then live in `state`; true on failure.
inline bool createWithProvidedMethods(EngineMechanism& mechanism, EngineMethodTable& methods,
                                      double* state) {
  resetEngineMethodSet();
  registerMechanismMethods(&methods);
  const bool failed = createEngineMechanism(&mechanism);
  if (!failed) mechanism.stateVector = state;
  return failed;
}

struct RampFixture {
  EnginePrimitive revolute[6];
  EnginePrimitive prismatic{kPrimitivePrismatic, kActuationForce, 0, 0, {1, 0, 0}};
  EnginePrimitive weld{kPrimitiveWeld, kActuationMotionDriven};
  EngineJoint revolute1{"ramp/Revolute1", kJointGeneral, 1, &revolute[0]};
  EngineJoint revolute2{"ramp/Revolute2", kJointGeneral, 1, &revolute[1]};
  EngineJoint revolute5{"ramp/Revolute5", kJointGeneral, 1, &revolute[2]};
  EngineJoint prismaticJoint{"ramp/Prismatic", kJointGeneral, 1, &prismatic};
  EngineJoint revolute4{"ramp/Revolute4", kJointGeneral, 1, &revolute[3]};
  EngineJoint permeatingWeld{"PermeatingWeld", kJointGeneral, 1, &weld};
  // Frames: two per tree joint (inboard, outboard), two per constraint.
  FrameData frames[16];
  BodyData bodyData[6];
  EngineBody door{"ramp/Door", &bodyData[0].description};
  EngineBody link3{"ramp/Link3", &bodyData[1].description};
  EngineBody link4{"ramp/Link4", &bodyData[2].description};
  EngineBody rod{"ramp/ExlarRodPlusRotarInertia", &bodyData[3].description};
  EngineBody exlar{"ramp/Exlar", &bodyData[4].description};
  EngineBody permeatingBody{"PermeatingBody", &bodyData[5].description};
  EngineBody* bodies0[2] = {&door, &link3};
  EngineJoint* joints0[2] = {&revolute1, &revolute2};
  EngineBody* bodies1[3] = {&link4, &rod, &exlar};
  EngineJoint* joints1[3] = {&revolute5, &prismaticJoint, &revolute4};
  EngineBody* bodies2[1] = {&permeatingBody};
  EngineJoint* joints2[1] = {&permeatingWeld};
  EngineChain chains[3] = {{2, bodies0, joints0, &chains[1]},
                           {3, bodies1, joints1, &chains[2]},
                           {1, bodies2, joints2, &chains[2]}};
  EngineChain* chainTable[3] = {&chains[0], &chains[1], &chains[2]};
  EngineConstraint revoluteLoop{"ramp/Revolute", kConstraintGeneral, 1, &revolute[4]};
  EngineConstraint revolute3Loop{"ramp/Revolute3", kConstraintGeneral, 1, &revolute[5]};
  EngineConstraint* constraintTable[2] = {&revoluteLoop, &revolute3Loop};
  MachineEnvironment environment{};
  double gravity[3] = {0.0, -9.81, 0.0};
  EngineMatrix gravityCell{0, 1, gravity};
  double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  EngineMatrix transform2D{0, 1, identity};
  EngineMechanism mechanism{};
  EngineMethodTable methods{};
  double state[10] = {};

  // doorMass: the door's mass at its centre of gravity (the model feeds it as
  // a variable mass; here it is part of the description).
  explicit RampFixture(double doorMass = 60.0) {
    using namespace ramp_points;
    for (int i = 0; i < 6; ++i) revolute[i] = {kPrimitiveRevolute, kActuationFree, 0, 0, {0, 0, 1}};
    // Revolute1 and Revolute5 name the outboard body's frame first: reversed.
    joint(revolute1, 0, kDoorCS4, kDoorCS4, true);
    joint(revolute2, 2, kLink4CS4, kLink4CS4, false);
    joint(revolute5, 4, kLink4CS5, kLink4CS5, true);
    joint(prismaticJoint, 6, kExlarCS1, kExlarCS1, false);
    joint(revolute4, 8, kGround3, kGround3, false);
    joint(permeatingWeld, 10, kGround1, kGround1, false);
    body(bodyData[0], doorMass, 0.2 * doorMass, kDoorCG, kDoorCS4);
    body(bodyData[1], 1.0, 0.001, kDoorCS4, kLink4CS4);
    body(bodyData[2], 1.0, 0.001, kLink4CS5, kLink4CS5);
    body(bodyData[3], 25755.573764142293, 0.001, kLink4CS5, kExlarCS1);
    body(bodyData[4], 1.0, 0.001, kGround3, kGround3);
    bodyData[5].inertia[0] = bodyData[5].inertia[4] = bodyData[5].inertia[8] = 1.0;
    constraint(revoluteLoop, 12, &permeatingWeld, &revolute1, kGround1);
    constraint(revolute3Loop, 14, &permeatingWeld, &revolute5, kGround2);

    environment.numStates = 10;
    setAssemblySettings(environment, "ramp/Ground");
    environment.environmentVector = &gravityCell;
    environment.methodFlag = 1;
    environment.methodTolerance = 1e-5;
    mechanism.numChains = 3;
    mechanism.numConstraints = 2;
    mechanism.skipBlockJacobians = 1;
    mechanism.time = 20.0;
    mechanism.chains = chainTable;
    mechanism.constraints = constraintTable;
    mechanism.environment = &environment;
    mechanism.allowedSimulationDimensions = kEngineDimension2D;
    mechanism.transform2D = &transform2D;
    fillProvidedEngineMethods(&methods);
  }
  ~RampFixture() { destroyEngineMechanism(&mechanism); }
  RampFixture(const RampFixture&) = delete;
  RampFixture& operator=(const RampFixture&) = delete;

  // Registers the provided methods (anew) and creates the mechanism.
  bool create() { return createWithProvidedMethods(mechanism, methods, state); }

  // A joint between frame pair f (inboard frame f, outboard frame f + 1).
  void joint(EngineJoint& j, int f, Point inboard, Point outboard, bool reversed) {
    setPoint(frames[f].position, inboard);
    setPoint(frames[f + 1].position, outboard);
    j.base = reversed ? frames[f + 1].side() : frames[f].side();
    j.follower = reversed ? frames[f].side() : frames[f + 1].side();
    j.reversed = reversed ? 1 : 0;
  }
  void constraint(EngineConstraint& c, int f, EngineJoint* base, EngineJoint* follower, Point at) {
    setPoint(frames[f].position, at);
    setPoint(frames[f + 1].position, at);
    c.base = frames[f].side();
    c.follower = frames[f + 1].side();
    c.baseJoint = base;
    c.followerJoint = follower;
  }
  static void body(BodyData& b, double mass, double cgInertia, Point cg, Point reference) {
    b.mass = mass;
    setPoint(b.position, reference);
    b.centreOfMass[0] = cg.x - reference.x;
    b.centreOfMass[1] = cg.y - reference.y;
    inertiaAbout(b.inertia, mass, cgInertia, cg, reference);
  }

  // Point of a frame on the outboard body of a joint (world, described).
  static double* outboardPosition(EngineJoint& j) {
    return j.reversed ? j.base.position : j.follower.position;
  }

  // The five tree joints with a coordinate, in state order.
  EngineJoint* stateJoints(int i) {
    EngineJoint* joints[5] = {&revolute1, &revolute2, &revolute5, &prismaticJoint, &revolute4};
    return joints[i];
  }
};
