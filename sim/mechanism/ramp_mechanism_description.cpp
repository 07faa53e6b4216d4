// The static records of the ramp linkage: bodies, joints, constraints,
// chains, machine environment and mechanism, and the constant parameters.
// Every vector the engine reads points into the description table, which the
// parameter callback fills.
#include <cstring>

#include "sim/mechanism/ramp_mechanism.h"
#include "sim/mechanism/ramp_mechanism_tables.h"

namespace sim {

using namespace ramp_tables;
namespace layout = description_layout;

namespace {

// ---------------------------------------------------------------------------
// Constant parameters

struct Point {
  double x, y, z;
};

constexpr std::array<double, kMechanismParameterCount> buildParameters() {
  std::array<double, kMechanismParameterCount> p{};
  auto put = [&p](int at, Point v) {
    p[at] = v.x;
    p[at + 1] = v.y;
    p[at + 2] = v.z;
  };
  auto diagonal = [&p](int at, double v) { p[at] = p[at + 4] = p[at + 8] = v; };
  constexpr Point origin{0, 0, 0};
  constexpr Point zAxis{0, 0, 1};

  // Door: massless in the description; its mass and inertia come from the
  // dynamics inputs.
  put(kDoorParameters + kParamCentreOfMass, {-0.3109109746, 0.5998080742, 0});
  const Point doorFrames[9] = {origin,
                               origin,
                               origin,
                               {0.1246100409, 0.1272475842, 0},
                               {-0.2492360076, 0.5840431598, 0},
                               {-0.2579739926, 0.58023652, 0},
                               {-0.5417422997, 1.1486580347, 0},
                               {-0.5503475442, 1.1445599943, 0},
                               {-0.6508655322, 1.0905384262, 0}};
  for (int k = 0; k < 9; ++k) put(frameParameter(kDoorParameters, k + 1), doorFrames[k]);
  put(70, zAxis);                  // Revolute
  put(kGround1Parameter, origin);  // first ground point
  put(76, zAxis);                  // Revolute1

  diagonal(kLink3Parameters + kParamInertia, 0.001);
  p[kLink3Parameters + kParamMass] = 1.0;
  put(107, zAxis);  // Revolute2

  const Point link4Centre{0.1100958871, 0.0633079429, 0};
  put(kLink4Parameters + kParamCentreOfMass, link4Centre);
  diagonal(kLink4Parameters + kParamInertia, 0.001);
  p[kLink4Parameters + kParamMass] = 1.0;
  const Point link4Frames[5] = {
      link4Centre, link4Centre, origin, {0.2201917742, 0.1266158859, 0}, link4Centre};
  for (int k = 0; k < 5; ++k) put(frameParameter(kLink4Parameters, k + 1), link4Frames[k]);
  put(156, zAxis);                                          // Revolute3
  put(kGround2Parameter, {0.2351566616, 0.0082118516, 0});  // second ground point
  put(162, zAxis);                                          // Revolute5

  diagonal(kRodParameters + kParamInertia, 0.001);
  p[kRodParameters + kParamMass] = 25755.573764142293;
  put(193, {1, 0, 0});  // Prismatic

  diagonal(kExlarParameters + kParamInertia, 0.001);
  p[kExlarParameters + kParamMass] = 1.0;
  put(frameParameter(kExlarParameters, 1), {-0.25, 0, 0});
  put(224, zAxis);                              // Revolute4
  put(kGround3Parameter, {0.9277, 0.0715, 0});  // third ground point
  return p;
}

// ---------------------------------------------------------------------------
// How the model's signals meet the mechanism
//
// | port                      | engine reader                    | source                       |
// |---------------------------|----------------------------------|------------------------------|
// | dynamic inputs 0-11       | Door force actuators at CS5, CS6, | feet 4, 3, 2, 1 (0, F, 0)    |
// |                           | CS7, CS8 (kind 2, world axes)    |                              |
// | dynamic inputs 12-14      | Door force actuator at CS2 (= CG) | ramp weight (0, m g, 0)      |
// |                           | (kind 2, world axes)             |                              |
// | dynamic inputs 15-24      | Door mass-and-inertia entry at    | RampMass, 3x3 inertia        |
// |                           | CS3 (= CG)                       |                              |
// | dynamic input 25          | Prismatic primitive, actuation 7 | actuator force               |
// | kinematic output 0        | Prismatic position sensor, x 1   | actuator displacement (m)    |
// | kinematic output 1        | Revolute angle sensor, x 180/pi  | ramp position (deg)          |
// | kinematic output 2        | Revolute rate sensor, x 180/pi   | ramp rate (deg/s)            |
// | dynamic output 0          | Prismatic force sensor, x 1      | actuator force transmitted   |
// |                           | (no joint force-output method is | (read by nothing; stays 0)   |
// |                           | provided, so it is never written)|                              |
// | environment vector        | gravity, written by the engine   | three zeros: weights are     |
// |                           |                                  | applied as forces instead    |
//
// The five Door loads are weights: each acts in its frame's fixed world
// rotation (identity), so it stays vertical while the door turns; without a
// frame the engine would turn it with the door.
//
// The engine reads the dynamic inputs chain by chain (chain 0 first), joint by
// joint, each outboard body's actuators and mass entries before the joint's
// own inputs; the outputs likewise, joints before constraints. Door CS9 and
// the constant load below are described but connected to nothing.
constexpr RampFrame kDoorForceFrames[] = {RampFrame::DoorCS5, RampFrame::DoorCS6,
                                          RampFrame::DoorCS7, RampFrame::DoorCS8,
                                          RampFrame::DoorCS2};
constexpr RampFrame kDoorMassFrame = RampFrame::DoorCS3;

// Port constants: sensor scales (radians to degrees for the angle, rate and
// acceleration of the ramp's hinge; metres and newtons as they are), and a
// constant force-and-torque load (Tx, Ty, Tz, Fx, Fy, Fz) of a 1400 kg weight
// that no port uses.
constexpr double kRadiansToDegrees[3] = {57.29577951308232, 57.29577951308232, 57.29577951308232};
constexpr double kUnitScale[1] = {1.0};
[[maybe_unused]] constexpr double kConstantLoad[6] = {0, 0, 0, 0, -13734.0, 0};

// ---------------------------------------------------------------------------
// Static records

constexpr const char* kGroundName =
    "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/Ground";

double descriptionTable[kMechanismDescriptionCount];
std::uint8_t descriptionFlags[2];
double gravity[3];
EngineMatrix environmentVector{0, 1, gravity};
EngineMatrix transform2D{0, 1, descriptionTable + layout::kIdentity};

constexpr std::int32_t kLeafChains[] = {0};
constexpr std::int32_t kChain1Children[] = {0};
constexpr EngineBranchChain kBranchChains[] = {{1, 1, kChain1Children}};
const EngineSweepOrder sweepOrder{1, kLeafChains, 1, kBranchChains};

char bodyNames[static_cast<int>(RampBody::Count)][128];
char jointNames[static_cast<int>(RampJoint::Count)][128];

EnginePrimitive primitives[static_cast<int>(RampJoint::Count)];
EngineSensor prismaticSensors[2];
EngineSensor revoluteSensors[2];
EngineBodyInput doorActuators[5];
EngineBodyInput doorMassInputs[1];
EngineBodyDescription bodyDescriptions[static_cast<int>(RampBody::Count)];
EngineBody bodies[static_cast<int>(RampBody::Count)];
EngineJoint joints[6];  // the tree joints, in RampJoint order without the constraints
EngineConstraint constraints[2];

EngineBody* chain0Bodies[] = {&bodies[static_cast<int>(RampBody::Door)],
                              &bodies[static_cast<int>(RampBody::Link3)]};
EngineBody* chain1Bodies[] = {&bodies[static_cast<int>(RampBody::Link4)],
                              &bodies[static_cast<int>(RampBody::Rod)],
                              &bodies[static_cast<int>(RampBody::Exlar)]};
EngineBody* chain2Bodies[] = {&bodies[static_cast<int>(RampBody::PermeatingBody)]};
EngineJoint* chain0Joints[2];
EngineJoint* chain1Joints[3];
EngineJoint* chain2Joints[1];
EngineChain chains[3];
EngineChain* chainTable[3];
EngineConstraint* constraintTable[2];
MachineEnvironment environment;
EngineMechanism mechanism;
bool built = false;

double* at(int offset) {
  return descriptionTable + offset;
}
double* framePart(RampFrame f, int part) {
  return at(layout::frame(f) + part);
}
double* bodyPart(RampBody b, int part) {
  return at(layout::body(b) + part);
}
double* jointPart(RampJoint j, int part) {
  return at(layout::joint(j) + part);
}
int index(RampJoint j) {
  return static_cast<int>(j);
}
int index(RampBody b) {
  return static_cast<int>(b);
}

EngineAttachment attachment(RampJoint j, RampFrame frame, int positionPart) {
  return {jointPart(j, positionPart), framePart(frame, layout::kFrameRotation),
          framePart(frame, layout::kFrameOffset)};
}

void nameBlock(char* out, const char* name, bool withPath) {
  std::strcpy(out, withPath ? kBlockPathPrefix : "");
  std::strcat(out, name);
}

void describeBodies() {
  nameBlock(bodyNames[index(RampBody::PermeatingBody)], "PermeatingBody", false);
  for (const BodySpec& spec : kBodies) nameBlock(bodyNames[index(spec.body)], spec.name, true);
  const RampBody parents[] = {RampBody::PermeatingBody, RampBody::Exlar, RampBody::Rod,
                              RampBody::Link4,          RampBody::Link3, RampBody::PermeatingBody};
  for (int b = 0; b < static_cast<int>(RampBody::Count); ++b) {
    const RampBody body = static_cast<RampBody>(b);
    EngineBodyDescription& d = bodyDescriptions[b];
    d.mass = bodyPart(body, layout::kBodyMass);
    d.inertia = bodyPart(body, layout::kBodyInertia);
    d.centreOfMass = bodyPart(body, layout::kBodyCentreOfMass);
    d.position = bodyPart(body, layout::kBodyPosition);
    d.rotation = bodyPart(body, layout::kBodyRotation);
    bodies[b] = {bodyNames[b], &d, &bodies[index(parents[b])]};
  }
  for (int k = 0; k < 5; ++k)
    doorActuators[k] = {kBodyInputForce, framePart(kDoorForceFrames[k], layout::kFrameOffset),
                        framePart(kDoorForceFrames[k], layout::kFrameRotation), nullptr};
  doorMassInputs[0] = {kBodyInputMassAndInertia, framePart(kDoorMassFrame, layout::kFrameOffset),
                       nullptr, nullptr};
  EngineBodyDescription& door = bodyDescriptions[index(RampBody::Door)];
  door.numActuators = 5;
  door.actuators = doorActuators;
  door.numMassInputs = 1;
  door.massInputs = doorMassInputs;
}

void describeJoints() {
  double* identity = at(layout::kIdentity);
  for (const JointSpec& spec : kJointSpecs) {
    const int j = index(spec.joint);
    nameBlock(jointNames[j], spec.name, spec.joint != RampJoint::PermeatingWeld);
    EnginePrimitive& primitive = primitives[j];
    primitive = {};
    if (spec.joint == RampJoint::PermeatingWeld) {
      primitive.kind = kPrimitiveWeld;
      primitive.actuation = kActuationMotionDriven;  // held still: no state
    } else if (spec.joint == RampJoint::Prismatic) {
      primitive.kind = kPrimitivePrismatic;
      primitive.actuation = kActuationForce;  // the actuator force input
    } else {
      primitive.kind = kPrimitiveRevolute;
      primitive.actuation = kActuationFree;
    }
  }
  prismaticSensors[0] = {kSensorPosition, 0, kUnitScale, nullptr, identity};
  prismaticSensors[1] = {kSensorForce, 0, kUnitScale, nullptr, identity};
  revoluteSensors[0] = {kSensorPosition, 0, &kRadiansToDegrees[0], nullptr, identity};
  revoluteSensors[1] = {kSensorVelocity, 0, &kRadiansToDegrees[1], nullptr, identity};

  // Tree joints; reversed where the block's base side is the outboard body.
  struct TreeJoint {
    RampJoint joint;
    bool reversed;
  };
  const TreeJoint treeJoints[] = {
      {RampJoint::Revolute4, false}, {RampJoint::Prismatic, false},
      {RampJoint::Revolute5, true},  {RampJoint::Revolute2, false},
      {RampJoint::Revolute1, true},  {RampJoint::PermeatingWeld, false}};
  for (int k = 0; k < 6; ++k) {
    const RampJoint id = treeJoints[k].joint;
    const JointSpec& spec = kJointSpecs[index(id)];
    EngineJoint& joint = joints[k];
    joint = {};
    joint.blockName = jointNames[index(id)];
    joint.kind = kJointGeneral;
    joint.numPrimitives = 1;
    joint.primitives = &primitives[index(id)];
    joint.base = attachment(id, spec.base, layout::kJointBasePosition);
    joint.follower = attachment(id, spec.follower, layout::kJointFollowerPosition);
    joint.jointVector = jointPart(id, layout::kJointVector);
    joint.reversed = treeJoints[k].reversed;
  }
  EngineJoint& prismatic = joints[1];
  prismatic.numActuators = 1;
  prismatic.numSensors = 2;
  prismatic.sensors = prismaticSensors;
}

EngineJoint* treeJoint(RampJoint id) {
  for (EngineJoint& joint : joints)
    if (joint.primitives == &primitives[index(id)]) return &joint;
  return nullptr;
}

void describeConstraints() {
  struct LoopClosure {
    RampJoint joint;
    RampJoint followerSide;  // tree joint whose outboard body carries the follower frame
  };
  const LoopClosure closures[2] = {{RampJoint::Revolute, RampJoint::Revolute1},
                                   {RampJoint::Revolute3, RampJoint::Revolute5}};
  for (int k = 0; k < 2; ++k) {
    const RampJoint id = closures[k].joint;
    const JointSpec& spec = kJointSpecs[index(id)];
    EngineConstraint& c = constraints[k];
    c = {};
    c.blockName = jointNames[index(id)];
    c.kind = kConstraintGeneral;
    c.numPrimitives = 1;
    c.primitives = &primitives[index(id)];
    c.baseJoint = treeJoint(RampJoint::PermeatingWeld);
    c.followerJoint = treeJoint(closures[k].followerSide);
    c.base = attachment(id, spec.base, layout::kJointBasePosition);
    c.follower = attachment(id, spec.follower, layout::kJointFollowerPosition);
    c.jointVector = jointPart(id, layout::kJointVector);
    constraintTable[k] = &c;
  }
  constraints[0].numSensors = 2;
  constraints[0].sensors = revoluteSensors;
}

void describeChains() {
  chain0Joints[0] = treeJoint(RampJoint::Revolute1);
  chain0Joints[1] = treeJoint(RampJoint::Revolute2);
  chain1Joints[0] = treeJoint(RampJoint::Revolute5);
  chain1Joints[1] = treeJoint(RampJoint::Prismatic);
  chain1Joints[2] = treeJoint(RampJoint::Revolute4);
  chain2Joints[0] = treeJoint(RampJoint::PermeatingWeld);
  chains[0] = {2, chain0Bodies, chain0Joints, &chains[1]};
  chains[1] = {3, chain1Bodies, chain1Joints, &chains[2]};
  chains[2] = {1, chain2Bodies, chain2Joints, &chains[2]};
  for (int k = 0; k < 3; ++k) chainTable[k] = &chains[k];
}

void describeEnvironment() {
  linkage::describeRampEnvironment(
      environment,
      {kRampStateCount, kRampKinematicOutputCount, kRampDynamicInputCount, kRampDynamicOutputCount},
      kGroundName, &environmentVector, &sweepOrder);
}

}  // namespace

EnginePrimitive* ramp_tables::primitiveOf(RampJoint j) {
  return &primitives[index(j)];
}

const std::array<double, kMechanismParameterCount> kMechanismParameters = buildParameters();

EngineMechanism* buildMechanismDescription() {
  if (built) return &mechanism;
  built = true;
  describeBodies();
  describeJoints();
  describeConstraints();
  describeChains();
  describeEnvironment();

  mechanism = {};
  mechanism.numChains = 3;
  mechanism.numConstraints = 2;
  mechanism.skipBlockJacobians = 1;
  mechanism.time = 20.0;  // the model's stop time
  mechanism.environmentFlag = 1;
  mechanism.chains = chainTable;
  mechanism.constraints = constraintTable;
  mechanism.environment = &environment;
  mechanism.descriptionCount = kMechanismDescriptionCount;
  mechanism.descriptionTable = descriptionTable;
  mechanism.allowedSimulationDimensions = kEngineDimension2D;
  mechanism.transform2D = &transform2D;
  descriptionFlags[0] = descriptionFlags[1] = 0;
  mechanism.descriptionFlags = descriptionFlags;
  mechanism.parameterCallback = &mechanismCallback;
  descriptionFlags[0] = 1;
  return &mechanism;
}

}  // namespace sim
