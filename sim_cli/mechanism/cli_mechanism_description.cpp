// The static records of the command-line build's linkage: bodies, joints,
// constraints, chains, machine environment and mechanism, and the constant
// parameters. Every vector the engine reads points into the description
// table, which the parameter callback fills.
#include <cstring>

#include "sim_cli/mechanism/cli_mechanism.h"
#include "sim_cli/mechanism/cli_mechanism_tables.h"

namespace sim_cli {

using namespace cli_tables;
namespace block = sim::linkage::block;

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
  auto diagonal = [&p](int at, Point v) {
    p[at] = v.x;
    p[at + 4] = v.y;
    p[at + 8] = v.z;
  };
  constexpr Point origin{0, 0, 0};
  constexpr Point zAxis{0, 0, 1};
  constexpr Point small{0.001, 0.001, 0.001};

  put(kRevolute5Axis, zAxis);

  const Point link4Centre{0.1100958871, 0.0633079429, 0};
  put(kLink4Parameters + kParamCentreOfMass, link4Centre);
  diagonal(kLink4Parameters + kParamInertia, small);
  p[kLink4Parameters + kParamMass] = 1.0;
  const Point link4Frames[5] = {
      link4Centre, link4Centre, origin, {0.2201917742, 0.1266158859, 0}, link4Centre};
  for (int k = 0; k < 5; ++k) put(frameParameter(kLink4Parameters, k + 1), link4Frames[k]);

  put(kRevolute3Axis, zAxis);
  put(kGround2Parameter, {0.2351566616, 0.0082118516, 0});
  put(kRevolute2Axis, zAxis);

  diagonal(kLink3Parameters + kParamInertia, small);
  p[kLink3Parameters + kParamMass] = 1.0;

  put(kRevolute1Axis, zAxis);

  // The Door carries its own mass here; only its weight and the persons'
  // loads come in as forces.
  put(kDoorParameters + kParamCentreOfMass, {-0.3109109746, 0.5998080742, 0});
  diagonal(kDoorParameters + kParamInertia, {1.0, 1.0, 183.03057936});
  p[kDoorParameters + kParamMass] = 401.0;
  const Point doorFrames[kDoorFrameCount] = {origin,
                                             origin,
                                             {0.1246100409, 0.1272475842, 0},
                                             {-0.1993888061, 0.4672345278, 0},
                                             {-0.2579739926, 0.58023652, 0},
                                             {-0.4333938397, 0.9189264278, 0},
                                             {-0.5503475442, 1.1445599943, 0},
                                             {-0.6508655322, 1.0905384262, 0}};
  for (int k = 0; k < kDoorFrameCount; ++k)
    put(frameParameter(kDoorParameters, k + 1), doorFrames[k]);

  put(kRevoluteAxis, zAxis);
  put(kGround1Parameter, origin);

  diagonal(kRodParameters + kParamInertia, small);
  p[kRodParameters + kParamMass] = 25755.573764142293;

  put(kPrismaticAxis, {1, 0, 0});

  diagonal(kExlarParameters + kParamInertia, small);
  p[kExlarParameters + kParamMass] = 1.0;
  put(frameParameter(kExlarParameters, 1), {-0.25, 0, 0});

  put(kRevolute4Axis, zAxis);
  put(kGround3Parameter, {0.9277, 0.0715, 0});
  return p;
}

// ---------------------------------------------------------------------------
// How the model's signals meet the mechanism
//
// | port                 | engine reader                            | source                  |
// |----------------------|------------------------------------------|-------------------------|
// | dynamic inputs 0-11  | Door force actuators at CS4, CS5, CS6,   | feet 4, 3, 2, 1 (0,F,0) |
// |                      | CS7 (kind 2, world axes)                 |                         |
// | dynamic inputs 12-14 | Door force actuator at CS2 (= CG)        | Door weight (0, W, 0)   |
// |                      | (kind 2, world axes)                     |                         |
// | dynamic input 15     | Prismatic primitive, actuation 7         | actuator force          |
// | kinematic output 0   | Revolute angle sensor, x 180/pi          | ramp position (deg)     |
// | kinematic output 1   | Prismatic position sensor, x 1           | actuator displacement   |
// | environment vector   | gravity, written by the engine           | three zeros: weights    |
// |                      |                                          | are applied as forces   |
//
// The five Door loads are weights: each acts in its frame's fixed world
// rotation (identity), so it stays vertical while the door turns.
//
// The engine reads the signals chain by chain (chain 0 first), joint by joint
// from the tip, each outboard body's inputs before the joint's own: chain 0
// ends at the Door (Revolute), chain 1 holds the Prismatic. Door CS8 is
// described but connected to nothing, as zorvath's Door CS9.
constexpr CliFrame kDoorForceFrames[] = {CliFrame::DoorCS4, CliFrame::DoorCS5, CliFrame::DoorCS6,
                                         CliFrame::DoorCS7, CliFrame::DoorCS2};

// Port constants: the ramp hinge's sensor scale (radians to degrees) and the
// actuator's (metres as they are).
constexpr double kRadiansToDegrees[1] = {57.29577951308232};
constexpr double kUnitScale[1] = {1.0};

// ---------------------------------------------------------------------------
// Static records

constexpr const char* kGroundName =
    "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/Ground";
constexpr double kStopTime = 14.0;

double descriptionTable[kMechanismDescriptionCount];
std::uint8_t descriptionFlags[2];
double gravity[3];
EngineMatrix environmentVector{0, 1, gravity};
EngineMatrix transform2D{0, 1, descriptionTable + DescriptionLayout::kIdentity};

// Both chains hang from the ground chain: two leaves, no branch.
constexpr std::int32_t kLeafChains[] = {0, 1};
const EngineSweepOrder sweepOrder{2, kLeafChains, 0, nullptr};

constexpr int kBodyCount = static_cast<int>(CliBody::Count);
constexpr int kJointCount = static_cast<int>(CliJoint::Count);

char bodyNames[kBodyCount][128];
char jointNames[kJointCount][128];

EnginePrimitive primitives[kJointCount];
EngineSensor revoluteSensors[1];
EngineSensor prismaticSensors[1];
EngineBodyInput doorActuators[5];
EngineBodyDescription bodyDescriptions[kBodyCount];
EngineBody bodies[kBodyCount];
EngineJoint joints[6];  // the tree joints, in record order
EngineConstraint constraints[2];

EngineBody* body(CliBody b) {
  return &bodies[static_cast<int>(b)];
}

EngineBody* chain0Bodies[] = {body(CliBody::Link4), body(CliBody::Link3), body(CliBody::Door)};
EngineBody* chain1Bodies[] = {body(CliBody::Rod), body(CliBody::Exlar)};
EngineBody* chain2Bodies[] = {body(CliBody::PermeatingBody)};
EngineJoint* chain0Joints[3];
EngineJoint* chain1Joints[2];
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
double* framePart(CliFrame f, int part) {
  return at(DescriptionLayout::frame(f) + part);
}
double* bodyPart(CliBody b, int part) {
  return at(DescriptionLayout::body(b) + part);
}
double* jointPart(CliJoint j, int part) {
  return at(DescriptionLayout::joint(j) + part);
}
int index(CliJoint j) {
  return static_cast<int>(j);
}

EngineAttachment attachment(CliJoint j, CliFrame frame, int positionPart) {
  return {jointPart(j, positionPart), framePart(frame, block::kFrameRotation),
          framePart(frame, block::kFrameOffset)};
}

void nameBlock(char* out, const char* name, bool withPath) {
  std::strcpy(out, withPath ? kBlockPathPrefix : "");
  std::strcat(out, name);
}

void describeBodies() {
  nameBlock(bodyNames[static_cast<int>(CliBody::PermeatingBody)], "PermeatingBody", false);
  for (const BodySpec& spec : kBodies)
    nameBlock(bodyNames[static_cast<int>(spec.body)], spec.name, true);
  struct Parent {
    CliBody body, parent;
  };
  constexpr Parent kParents[] = {{CliBody::Door, CliBody::PermeatingBody},
                                 {CliBody::Link4, CliBody::Link3},
                                 {CliBody::Link3, CliBody::Door},
                                 {CliBody::Rod, CliBody::Exlar},
                                 {CliBody::PermeatingBody, CliBody::PermeatingBody},
                                 {CliBody::Exlar, CliBody::PermeatingBody}};
  for (const Parent& link : kParents) {
    const int b = static_cast<int>(link.body);
    EngineBodyDescription& d = bodyDescriptions[b];
    d = {};
    d.mass = bodyPart(link.body, block::kBodyMass);
    d.inertia = bodyPart(link.body, block::kBodyInertia);
    d.centreOfMass = bodyPart(link.body, block::kBodyCentreOfMass);
    d.position = bodyPart(link.body, block::kBodyPosition);
    d.rotation = bodyPart(link.body, block::kBodyRotation);
    bodies[b] = {bodyNames[b], &d, body(link.parent)};
  }
  for (int k = 0; k < 5; ++k)
    doorActuators[k] = {kBodyInputForce, framePart(kDoorForceFrames[k], block::kFrameOffset),
                        framePart(kDoorForceFrames[k], block::kFrameRotation), nullptr};
  EngineBodyDescription& door = bodyDescriptions[static_cast<int>(CliBody::Door)];
  door.numActuators = 5;
  door.actuators = doorActuators;
}

void describeJoints() {
  double* identity = at(DescriptionLayout::kIdentity);
  for (const JointSpec& spec : kJointSpecs) {
    const int j = index(spec.joint);
    nameBlock(jointNames[j], spec.name, spec.joint != CliJoint::PermeatingWeld);
    EnginePrimitive& primitive = primitives[j];
    primitive = {};
    if (spec.joint == CliJoint::PermeatingWeld) {
      primitive.kind = kPrimitiveWeld;
      primitive.actuation = kActuationMotionDriven;  // held still: no state
    } else if (spec.joint == CliJoint::Prismatic) {
      primitive.kind = kPrimitivePrismatic;
      primitive.actuation = kActuationForce;  // the actuator force input
    } else {
      primitive.kind = kPrimitiveRevolute;
      primitive.actuation = kActuationFree;
    }
  }
  revoluteSensors[0] = {kSensorPosition, 0, kRadiansToDegrees, nullptr, identity};
  prismaticSensors[0] = {kSensorPosition, 0, kUnitScale, nullptr, identity};

  // Tree joints in record order; reversed where the block's base side is the
  // outboard body (Revolute2: Link4 is the tip of its chain).
  struct TreeJoint {
    CliJoint joint;
    bool reversed;
  };
  constexpr TreeJoint kTreeJoints[] = {
      {CliJoint::Revolute2, true},  {CliJoint::PermeatingWeld, false},
      {CliJoint::Prismatic, false}, {CliJoint::Revolute4, false},
      {CliJoint::Revolute, false},  {CliJoint::Revolute1, false}};
  for (int k = 0; k < 6; ++k) {
    const CliJoint id = kTreeJoints[k].joint;
    const JointSpec& spec = kJointSpecs[index(id)];
    EngineJoint& joint = joints[k];
    joint = {};
    joint.blockName = jointNames[index(id)];
    joint.kind = kJointGeneral;
    joint.numPrimitives = 1;
    joint.primitives = &primitives[index(id)];
    joint.base = attachment(id, spec.base, block::kJointBasePosition);
    joint.follower = attachment(id, spec.follower, block::kJointFollowerPosition);
    joint.jointVector = jointPart(id, block::kJointVector);
    joint.reversed = kTreeJoints[k].reversed;
  }
}

EngineJoint* treeJoint(CliJoint id) {
  for (EngineJoint& joint : joints)
    if (joint.primitives == &primitives[index(id)]) return &joint;
  return nullptr;
}

void describeSensorsAndActuators() {
  EngineJoint* revolute = treeJoint(CliJoint::Revolute);
  revolute->numSensors = 1;
  revolute->sensors = revoluteSensors;
  EngineJoint* prismatic = treeJoint(CliJoint::Prismatic);
  prismatic->numActuators = 1;
  prismatic->numSensors = 1;
  prismatic->sensors = prismaticSensors;
}

void describeConstraints() {
  struct LoopClosure {
    CliJoint joint;
    CliJoint baseSide;  // tree joints whose outboard bodies carry the two frames
    CliJoint followerSide;
  };
  constexpr LoopClosure kClosures[2] = {
      {CliJoint::Revolute3, CliJoint::PermeatingWeld, CliJoint::Revolute2},
      {CliJoint::Revolute5, CliJoint::Revolute2, CliJoint::Prismatic}};
  for (int k = 0; k < 2; ++k) {
    const CliJoint id = kClosures[k].joint;
    const JointSpec& spec = kJointSpecs[index(id)];
    EngineConstraint& c = constraints[k];
    c = {};
    c.blockName = jointNames[index(id)];
    c.kind = kConstraintGeneral;
    c.numPrimitives = 1;
    c.primitives = &primitives[index(id)];
    c.baseJoint = treeJoint(kClosures[k].baseSide);
    c.followerJoint = treeJoint(kClosures[k].followerSide);
    c.base = attachment(id, spec.base, block::kJointBasePosition);
    c.follower = attachment(id, spec.follower, block::kJointFollowerPosition);
    c.jointVector = jointPart(id, block::kJointVector);
    constraintTable[k] = &c;
  }
}

void describeChains() {
  chain0Joints[0] = treeJoint(CliJoint::Revolute2);
  chain0Joints[1] = treeJoint(CliJoint::Revolute1);
  chain0Joints[2] = treeJoint(CliJoint::Revolute);
  chain1Joints[0] = treeJoint(CliJoint::Prismatic);
  chain1Joints[1] = treeJoint(CliJoint::Revolute4);
  chain2Joints[0] = treeJoint(CliJoint::PermeatingWeld);
  chains[0] = {3, chain0Bodies, chain0Joints, &chains[2]};
  chains[1] = {2, chain1Bodies, chain1Joints, &chains[2]};
  chains[2] = {1, chain2Bodies, chain2Joints, &chains[2]};
  for (int k = 0; k < 3; ++k) chainTable[k] = &chains[k];
}

}  // namespace

EnginePrimitive* cli_tables::primitiveOf(CliJoint j) {
  return &primitives[index(j)];
}

const std::array<double, kMechanismParameterCount> kMechanismParameters = buildParameters();

EngineMechanism* buildMechanismDescription() {
  if (built) return &mechanism;
  built = true;
  describeBodies();
  describeJoints();
  describeSensorsAndActuators();
  describeConstraints();
  describeChains();
  sim::linkage::describeRampEnvironment(
      environment, {kStateCount, kKinematicOutputCount, kDynamicInputCount, kDynamicOutputCount},
      kGroundName, &environmentVector, &sweepOrder);

  mechanism = {};
  mechanism.numChains = 3;
  mechanism.numConstraints = 2;
  mechanism.skipBlockJacobians = 1;
  mechanism.time = kStopTime;
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

}  // namespace sim_cli
