// The description builder both ramp linkages share: the static records the
// engine reads (named bodies and joints, primitives, sensors, body loads,
// spanning tree, loop closures, chains, machine environment, mechanism), made
// from a build's tables. The builds differ only in their data (a traits type,
// see describeLinkage); every vector the engine reads points into the
// description table, which the parameter callback fills.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "mech_engine_common/engine_mechanism.h"
#include "sim/mechanism/linkage_parameters.h"

namespace sim::linkage {

// Both builds name their blocks under the same path.
inline constexpr const char* kRampBlockPathPrefix =
    "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/";
inline constexpr const char* kRampGroundName =
    "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/Ground";
// The ground body's and the ground weld's names carry no path.
inline constexpr const char* kGroundBodyName = "PermeatingBody";

inline constexpr int kBlockNameSize = 128;
inline constexpr int kMaxChainLinks = 3;

template <typename Body>
struct BodyParent {
  Body body;
  Body parent;
};

// A joint of the spanning tree; reversed where the block's base side is the
// outboard body.
template <typename Joint>
struct TreeJointEntry {
  Joint joint;
  bool reversed;
};

// A joint that closes a loop: a general constraint between the outboard
// bodies of two tree joints, which carry its base and follower frames.
template <typename Joint>
struct ClosureEntry {
  Joint joint;
  Joint baseSide;
  Joint followerSide;
};

// A sensor on a joint or constraint; its output is the value times *scale.
template <typename Joint>
struct SensorEntry {
  Joint joint;
  std::int32_t code;  // EngineSensorCode
  const double* scale;
};

// A run of bodies and their joints, tip first; parent is a chain index (the
// ground chain, last, is its own parent).
template <typename Body, typename Joint>
struct ChainEntry {
  int numLinks;
  Body bodies[kMaxChainLinks];
  Joint joints[kMaxChainLinks];
  int parent;
};

// The machine environment both ramp mechanisms use; only the signal counts
// differ.
struct SignalCounts {
  int states;
  int kinematicOutputs;
  int dynamicInputs;
  int dynamicOutputs;
};

inline void describeRampEnvironment(MachineEnvironment& environment, const SignalCounts& counts,
                                    const char* groundName, EngineMatrix* environmentVector,
                                    const EngineSweepOrder* sweepOrder) {
  environment = {};
  environment.numStates = counts.states;
  environment.numKinematicOutputs = counts.kinematicOutputs;
  environment.numDynamicInputs = counts.dynamicInputs;
  environment.numDynamicOutputs = counts.dynamicOutputs;
  environment.relativePositionTolerance = 0.0001;
  environment.absolutePositionTolerance = 0.0001;
  environment.constraintTolerance = 1.4901161193847656e-08;  // 2^-26
  environment.linearAssemblyTolerance = 0.001;
  environment.angularAssemblyTolerance = 0.001;
  environment.redundancyToleranceMode = 1;
  environment.redundancyTolerance = 1e-14;
  environment.groundName = groundName;
  environment.environmentVector = environmentVector;
  environment.sweepOrder = const_cast<EngineSweepOrder*>(sweepOrder);
  environment.analysisMode = kAnalysisDynamics;
  environment.constraintSolverKind = kConstraintSolverStabilising;
  environment.methodFlag = 1;
  environment.methodTolerance = 1e-5;
}

// ---------------------------------------------------------------------------
// The records
//
// Besides what convertLinkageParameters needs, traits type L supplies:
// kBodyParents (every body and its parent in the tree); kLoadedBody with
// kForceFrames (its force actuators, world axes) and kMassInputFrames (its
// mass-and-inertia entries, possibly none); kTreeJoints (in record order);
// kClosures; kSensors (each joint's sensors next to each other, in reading
// order); kChains; kSweepOrder; kSignals (a SignalCounts); kStopTime. The
// enum Joint has PermeatingWeld (the ground weld, held still) and Prismatic
// (the force-driven actuator); every other joint is a free revolute.

// Every joint is described once: as a tree joint or as a closure.
template <typename L>
constexpr bool everyJointOnce() {
  for (int j = 0; j < static_cast<int>(L::Joint::Count); ++j) {
    int uses = 0;
    for (const auto& t : L::kTreeJoints) uses += static_cast<int>(t.joint) == j;
    for (const auto& c : L::kClosures) uses += static_cast<int>(c.joint) == j;
    if (uses != 1) return false;
  }
  return true;
}

template <typename L>
struct LinkageRecords {
  static constexpr int kBodies = static_cast<int>(L::Body::Count);
  static constexpr int kJoints = static_cast<int>(L::Joint::Count);
  static constexpr int kTreeJoints = static_cast<int>(std::size(L::kTreeJoints));
  static constexpr int kConstraints = static_cast<int>(std::size(L::kClosures));
  static constexpr int kChains = static_cast<int>(std::size(L::kChains));
  static constexpr int kSensors = static_cast<int>(std::size(L::kSensors));
  static constexpr int kActuators = static_cast<int>(std::size(L::kForceFrames));
  static constexpr int kMassInputs = static_cast<int>(std::size(L::kMassInputFrames));
  static_assert(everyJointOnce<L>(), "every joint is a tree joint or a closure, once");

  double descriptionTable[L::kDescriptionCount];
  std::uint8_t descriptionFlags[2];
  double gravity[3];
  EngineMatrix environmentVector;
  EngineMatrix transform2D;
  char bodyNames[kBodies][kBlockNameSize];
  char jointNames[kJoints][kBlockNameSize];
  EnginePrimitive primitives[kJoints];
  EngineSensor sensors[kSensors];
  std::array<EngineBodyInput, kActuators> actuators;
  std::array<EngineBodyInput, kMassInputs> massInputs;
  EngineBodyDescription bodyDescriptions[kBodies];
  EngineBody bodies[kBodies];
  EngineJoint joints[kTreeJoints];  // in the order of L::kTreeJoints
  EngineConstraint constraints[kConstraints];
  EngineBody* chainBodies[kChains][kMaxChainLinks];
  EngineJoint* chainJoints[kChains][kMaxChainLinks];
  EngineChain chains[kChains];
  EngineChain* chainTable[kChains];
  EngineConstraint* constraintTable[kConstraints];
  MachineEnvironment environment;
  EngineMechanism mechanism;
  bool built;
};

template <typename L>
inline LinkageRecords<L> records{};

// The primitive record of a joint or constraint, where the parameter callback
// stores the unit axis.
template <typename L>
EnginePrimitive* primitiveOf(typename L::Joint j) {
  return &records<L>.primitives[static_cast<int>(j)];
}

namespace describe {

template <typename E>
int index(E e) {
  return static_cast<int>(e);
}

template <typename L>
double* framePart(typename L::Frame f, int part) {
  return records<L>.descriptionTable + L::Layout::frame(f) + part;
}
template <typename L>
double* bodyPart(typename L::Body b, int part) {
  return records<L>.descriptionTable + L::Layout::body(b) + part;
}
template <typename L>
double* jointPart(typename L::Joint j, int part) {
  return records<L>.descriptionTable + L::Layout::joint(j) + part;
}

template <typename L>
EngineAttachment attachment(typename L::Joint j, typename L::Frame frame, int positionPart) {
  return {jointPart<L>(j, positionPart), framePart<L>(frame, block::kFrameRotation),
          framePart<L>(frame, block::kFrameOffset)};
}

template <typename L>
const auto& jointEntry(typename L::Joint j) {
  for (const auto& entry : L::kJointEntries)
    if (entry.joint == j) return entry;
  return L::kJointEntries[0];
}

inline void nameBlock(char* out, const char* name, bool withPath) {
  std::strcpy(out, withPath ? kRampBlockPathPrefix : "");
  std::strcat(out, name);
}

template <typename L>
void describeBodies() {
  LinkageRecords<L>& r = records<L>;
  nameBlock(r.bodyNames[index(L::kGround)], kGroundBodyName, false);
  for (const auto& entry : L::kBodies) nameBlock(r.bodyNames[index(entry.body)], entry.name, true);
  for (const BodyParent<typename L::Body>& link : L::kBodyParents) {
    const int b = index(link.body);
    EngineBodyDescription& d = r.bodyDescriptions[b];
    d = {};
    d.mass = bodyPart<L>(link.body, block::kBodyMass);
    d.inertia = bodyPart<L>(link.body, block::kBodyInertia);
    d.centreOfMass = bodyPart<L>(link.body, block::kBodyCentreOfMass);
    d.position = bodyPart<L>(link.body, block::kBodyPosition);
    d.rotation = bodyPart<L>(link.body, block::kBodyRotation);
    r.bodies[b] = {r.bodyNames[b], &d, &r.bodies[index(link.parent)]};
  }
  // The loads are weights and persons' forces: each acts in its frame's fixed
  // world rotation, so it stays vertical while the body turns.
  for (int k = 0; k < LinkageRecords<L>::kActuators; ++k)
    r.actuators[k] = {kBodyInputForce, framePart<L>(L::kForceFrames[k], block::kFrameOffset),
                      framePart<L>(L::kForceFrames[k], block::kFrameRotation), nullptr};
  for (int k = 0; k < LinkageRecords<L>::kMassInputs; ++k)
    r.massInputs[k] = {kBodyInputMassAndInertia,
                       framePart<L>(L::kMassInputFrames[k], block::kFrameOffset), nullptr, nullptr};
  EngineBodyDescription& loaded = r.bodyDescriptions[index(L::kLoadedBody)];
  loaded.numActuators = LinkageRecords<L>::kActuators;
  loaded.actuators = LinkageRecords<L>::kActuators > 0 ? r.actuators.data() : nullptr;
  loaded.numMassInputs = LinkageRecords<L>::kMassInputs;
  loaded.massInputs = LinkageRecords<L>::kMassInputs > 0 ? r.massInputs.data() : nullptr;
}

// What a tree joint's record and a closure's have alike: the block name, one
// primitive, the two attachments and the joint vector.
template <typename L, typename Record>
void describeConnection(Record& record, typename L::Joint id) {
  LinkageRecords<L>& r = records<L>;
  const auto& entry = jointEntry<L>(id);
  record.blockName = r.jointNames[index(id)];
  record.numPrimitives = 1;
  record.primitives = &r.primitives[index(id)];
  record.base = attachment<L>(id, entry.base, block::kJointBasePosition);
  record.follower = attachment<L>(id, entry.follower, block::kJointFollowerPosition);
  record.jointVector = jointPart<L>(id, block::kJointVector);
}

template <typename L>
void describeJoints() {
  using Joint = typename L::Joint;
  LinkageRecords<L>& r = records<L>;
  for (const auto& entry : L::kJointEntries) {
    const int j = index(entry.joint);
    nameBlock(r.jointNames[j], entry.name, entry.joint != Joint::PermeatingWeld);
    EnginePrimitive& primitive = r.primitives[j];
    primitive = {};
    if (entry.joint == Joint::PermeatingWeld) {
      primitive.kind = kPrimitiveWeld;
      primitive.actuation = kActuationMotionDriven;  // held still: no state
    } else if (entry.joint == Joint::Prismatic) {
      primitive.kind = kPrimitivePrismatic;
      primitive.actuation = kActuationForce;  // the actuator force input
    } else {
      primitive.kind = kPrimitiveRevolute;
      primitive.actuation = kActuationFree;
    }
  }
  for (int k = 0; k < LinkageRecords<L>::kTreeJoints; ++k) {
    const Joint id = L::kTreeJoints[k].joint;
    EngineJoint& joint = r.joints[k];
    joint = {};
    describeConnection<L>(joint, id);
    joint.kind = kJointGeneral;
    joint.reversed = L::kTreeJoints[k].reversed;
    joint.numActuators = r.primitives[index(id)].actuation == kActuationForce ? 1 : 0;
  }
}

template <typename L>
EngineJoint* treeJoint(typename L::Joint id) {
  for (EngineJoint& joint : records<L>.joints)
    if (joint.primitives == &records<L>.primitives[index(id)]) return &joint;
  return nullptr;
}

template <typename L>
void describeConstraints() {
  LinkageRecords<L>& r = records<L>;
  for (int k = 0; k < LinkageRecords<L>::kConstraints; ++k) {
    const ClosureEntry<typename L::Joint>& closure = L::kClosures[k];
    EngineConstraint& c = r.constraints[k];
    c = {};
    describeConnection<L>(c, closure.joint);
    c.kind = kConstraintGeneral;
    c.baseJoint = treeJoint<L>(closure.baseSide);
    c.followerJoint = treeJoint<L>(closure.followerSide);
    r.constraintTable[k] = &c;
  }
}

// Each joint's sensors sit next to each other, so one pointer and a count
// give them to its record.
template <typename L>
constexpr bool sensorsGroupedByJoint() {
  const auto& s = L::kSensors;
  for (std::size_t b = 1; b < std::size(s); ++b) {
    if (s[b].joint == s[b - 1].joint) continue;
    for (std::size_t a = 0; a < b; ++a)
      if (s[a].joint == s[b].joint) return false;
  }
  return true;
}

template <typename L>
void describeSensors() {
  static_assert(sensorsGroupedByJoint<L>(), "a joint's sensors must be listed together");
  LinkageRecords<L>& r = records<L>;
  double* identity = r.descriptionTable + L::Layout::kIdentity;
  for (int k = 0; k < LinkageRecords<L>::kSensors; ++k) {
    const SensorEntry<typename L::Joint>& entry = L::kSensors[k];
    r.sensors[k] = {entry.code, 0, entry.scale, nullptr, identity};
    std::int32_t* count = nullptr;
    EngineSensor** first = nullptr;
    if (EngineJoint* joint = treeJoint<L>(entry.joint)) {
      count = &joint->numSensors;
      first = &joint->sensors;
    } else {
      for (EngineConstraint& c : r.constraints)
        if (c.primitives == &r.primitives[index(entry.joint)]) {
          count = &c.numSensors;
          first = &c.sensors;
        }
    }
    if (*count == 0) *first = &r.sensors[k];
    ++*count;
  }
}

template <typename L>
void describeChains() {
  LinkageRecords<L>& r = records<L>;
  for (int c = 0; c < LinkageRecords<L>::kChains; ++c) {
    const auto& entry = L::kChains[c];
    for (int k = 0; k < entry.numLinks; ++k) {
      r.chainBodies[c][k] = &r.bodies[index(entry.bodies[k])];
      r.chainJoints[c][k] = treeJoint<L>(entry.joints[k]);
    }
    r.chains[c] = {entry.numLinks, r.chainBodies[c], r.chainJoints[c], &r.chains[entry.parent]};
    r.chainTable[c] = &r.chains[c];
  }
}

}  // namespace describe

// The mechanism record of linkage L, built in static storage by the first
// call; every later call returns the same record unchanged.
template <typename L>
EngineMechanism* describeLinkage(EngineParameterCallback parameterCallback) {
  LinkageRecords<L>& r = records<L>;
  if (r.built) return &r.mechanism;
  r.built = true;
  r.environmentVector = {0, 1, r.gravity};
  r.transform2D = {0, 1, r.descriptionTable + L::Layout::kIdentity};
  describe::describeBodies<L>();
  describe::describeJoints<L>();
  describe::describeConstraints<L>();
  describe::describeSensors<L>();
  describe::describeChains<L>();
  describeRampEnvironment(r.environment, L::kSignals, kRampGroundName, &r.environmentVector,
                          &L::kSweepOrder);

  EngineMechanism& m = r.mechanism;
  m = {};
  m.numChains = LinkageRecords<L>::kChains;
  m.numConstraints = LinkageRecords<L>::kConstraints;
  m.skipBlockJacobians = 1;
  m.time = L::kStopTime;
  m.environmentFlag = 1;
  m.chains = r.chainTable;
  m.constraints = r.constraintTable;
  m.environment = &r.environment;
  m.descriptionCount = L::kDescriptionCount;
  m.descriptionTable = r.descriptionTable;
  m.allowedSimulationDimensions = kEngineDimension2D;
  m.transform2D = &r.transform2D;
  r.descriptionFlags[0] = r.descriptionFlags[1] = 0;
  m.descriptionFlags = r.descriptionFlags;
  m.parameterCallback = parameterCallback;
  r.descriptionFlags[0] = 1;
  return &m;
}

}  // namespace sim::linkage
