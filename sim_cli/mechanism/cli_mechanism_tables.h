// The fixed data of the command-line build's linkage, which the shared
// description builder and parameter callback read: where each body,
// coordinate system and joint sits in the parameter vector, what each is
// attached to, and how the records are wired (tree, closures, sensors, loads,
// chains, signals).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "sim/mechanism/linkage_description.h"
#include "sim_cli/mechanism/cli_mechanism.h"

namespace sim_cli::cli_tables {

using sim::linkage::frameParameter;
using sim::linkage::kNoParameter;
using sim::linkage::kParamCentreOfMass;
using sim::linkage::kParamInertia;
using sim::linkage::kParamMass;
using BodyEntry = sim::linkage::BodyEntry<CliBody, CliFrame>;
using FrameEntry = sim::linkage::FrameEntry<CliBody, CliFrame>;
using JointEntry = sim::linkage::JointEntry<CliJoint, CliFrame>;

inline constexpr const char* kBlockPathPrefix = sim::linkage::kRampBlockPathPrefix;

// Starts of the blocks of the parameter vector.
inline constexpr int kRevolute5Axis = 0;
inline constexpr int kLink4Parameters = 3;
inline constexpr int kRevolute3Axis = 49;
inline constexpr int kGround2Parameter = 52;
inline constexpr int kRevolute2Axis = 55;
inline constexpr int kLink3Parameters = 58;
inline constexpr int kRevolute1Axis = 86;
inline constexpr int kDoorParameters = 89;
inline constexpr int kRevoluteAxis = 153;
inline constexpr int kGround1Parameter = 156;
inline constexpr int kRodParameters = 159;
inline constexpr int kPrismaticAxis = 187;
inline constexpr int kExlarParameters = 190;
inline constexpr int kRevolute4Axis = 218;
inline constexpr int kGround3Parameter = 221;

inline constexpr int kDoorFrameCount = 8;

// In the order the callback converts them; each body's inertia is taken
// about the coordinate system where it meets its parent in this tree.
inline constexpr BodyEntry kBodies[] = {
    {CliBody::Exlar, "Exlar", kExlarParameters, 2, CliFrame::ExlarCG, CliFrame::ExlarCS2},
    {CliBody::Rod, "ExlarRodPlusRotarInertia", kRodParameters, 2, CliFrame::RodCG,
     CliFrame::RodCS2},
    {CliBody::Link4, "Link4", kLink4Parameters, 5, CliFrame::Link4CG, CliFrame::Link4CS4},
    {CliBody::Link3, "Link3", kLink3Parameters, 2, CliFrame::Link3CG, CliFrame::Link3CS1},
    {CliBody::Door, "Door", kDoorParameters, kDoorFrameCount, CliFrame::DoorCG, CliFrame::DoorCS1},
};

inline constexpr CliFrame kWorld = CliFrame::Count;

// In the order of computation: every reference comes before its users.
inline constexpr FrameEntry kFrameEntries[] = {
    {CliFrame::Ground1, CliBody::PermeatingBody, kGround1Parameter, true, kWorld},
    {CliFrame::Ground2, CliBody::PermeatingBody, kGround2Parameter, true, kWorld},
    {CliFrame::Ground3, CliBody::PermeatingBody, kGround3Parameter, true, kWorld},
    {CliFrame::ExlarCS2, CliBody::Exlar, frameParameter(kExlarParameters, 2), false,
     CliFrame::Ground3},
    {CliFrame::ExlarCG, CliBody::Exlar, kExlarParameters, false, CliFrame::ExlarCS2},
    {CliFrame::ExlarCS1, CliBody::Exlar, frameParameter(kExlarParameters, 1), false,
     CliFrame::ExlarCS2},
    {CliFrame::Link4CS3, CliBody::Link4, frameParameter(kLink4Parameters, 3), false,
     CliFrame::Ground2},
    {CliFrame::Link4CG, CliBody::Link4, kLink4Parameters, false, CliFrame::Link4CS3},
    {CliFrame::Link4CS1, CliBody::Link4, frameParameter(kLink4Parameters, 1), false,
     CliFrame::Link4CS3},
    {CliFrame::Link4CS2, CliBody::Link4, frameParameter(kLink4Parameters, 2), false,
     CliFrame::Link4CS3},
    {CliFrame::Link4CS4, CliBody::Link4, frameParameter(kLink4Parameters, 4), false,
     CliFrame::Link4CS3},
    {CliFrame::Link4CS5, CliBody::Link4, frameParameter(kLink4Parameters, 5), false,
     CliFrame::Link4CS3},
    {CliFrame::RodCS1, CliBody::Rod, frameParameter(kRodParameters, 1), false, CliFrame::Link4CS5},
    {CliFrame::RodCG, CliBody::Rod, kRodParameters, false, CliFrame::RodCS1},
    {CliFrame::RodCS2, CliBody::Rod, frameParameter(kRodParameters, 2), false, CliFrame::ExlarCS1},
    {CliFrame::DoorCS1, CliBody::Door, frameParameter(kDoorParameters, 1), false, kWorld},
    {CliFrame::DoorCG, CliBody::Door, kDoorParameters, false, CliFrame::DoorCS1},
    {CliFrame::DoorCS3, CliBody::Door, frameParameter(kDoorParameters, 3), false,
     CliFrame::DoorCS1},
    {CliFrame::DoorCS4, CliBody::Door, frameParameter(kDoorParameters, 4), false,
     CliFrame::DoorCS1},
    {CliFrame::DoorCS5, CliBody::Door, frameParameter(kDoorParameters, 5), false,
     CliFrame::DoorCS1},
    {CliFrame::DoorCS6, CliBody::Door, frameParameter(kDoorParameters, 6), false,
     CliFrame::DoorCS1},
    {CliFrame::DoorCS7, CliBody::Door, frameParameter(kDoorParameters, 7), false,
     CliFrame::DoorCS1},
    {CliFrame::DoorCS8, CliBody::Door, frameParameter(kDoorParameters, 8), false,
     CliFrame::DoorCS1},
    {CliFrame::DoorCS2, CliBody::Door, frameParameter(kDoorParameters, 2), false, CliFrame::DoorCG},
    {CliFrame::Link3CS1, CliBody::Link3, frameParameter(kLink3Parameters, 1), false,
     CliFrame::DoorCS3},
    {CliFrame::Link3CG, CliBody::Link3, kLink3Parameters, false, CliFrame::Link3CS1},
    {CliFrame::Link3CS2, CliBody::Link3, frameParameter(kLink3Parameters, 2), false,
     CliFrame::Link4CS4},
    {CliFrame::WorldOrigin, CliBody::PermeatingBody, kNoParameter, false, kWorld},
};
static_assert(std::size(kFrameEntries) == static_cast<std::size_t>(CliFrame::Count));
constexpr bool framesInEnumOrder() {
  for (std::size_t k = 0; k < std::size(kFrameEntries); ++k)
    if (static_cast<std::size_t>(kFrameEntries[k].frame) != k) return false;
  return true;
}
static_assert(framesInEnumOrder());

// In the order of the axis checks.
inline constexpr JointEntry kJointEntries[] = {
    {CliJoint::Revolute4, "Revolute4", "R1", kRevolute4Axis, CliFrame::Ground3, CliFrame::ExlarCS2},
    {CliJoint::Prismatic, "Prismatic", "P1", kPrismaticAxis, CliFrame::ExlarCS1, CliFrame::RodCS2},
    {CliJoint::Revolute, "Revolute", "R1", kRevoluteAxis, CliFrame::Ground1, CliFrame::DoorCS1},
    {CliJoint::Revolute1, "Revolute1", "R1", kRevolute1Axis, CliFrame::DoorCS3, CliFrame::Link3CS1},
    {CliJoint::Revolute2, "Revolute2", "R1", kRevolute2Axis, CliFrame::Link4CS4,
     CliFrame::Link3CS2},
    {CliJoint::Revolute3, "Revolute3", "R1", kRevolute3Axis, CliFrame::Ground2, CliFrame::Link4CS3},
    {CliJoint::Revolute5, "Revolute5", "R1", kRevolute5Axis, CliFrame::Link4CS5, CliFrame::RodCS1},
    {CliJoint::PermeatingWeld, "PermeatingWeld", nullptr, kNoParameter, CliFrame::WorldOrigin,
     CliFrame::WorldOrigin},
};
static_assert(std::size(kJointEntries) == static_cast<std::size_t>(CliJoint::Count));

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
// Port constants: the ramp hinge's sensor scale (radians to degrees) and the
// actuator's (metres as they are).
inline constexpr double kRadiansToDegrees[1] = {57.29577951308232};
inline constexpr double kUnitScale[1] = {1.0};

// ---------------------------------------------------------------------------
// The linkage: its tables and how its records are wired

// Both chains hang from the ground chain: two leaves, no branch.
inline constexpr std::int32_t kLeafChains[] = {0, 1};

struct CliLinkage {
  using Body = CliBody;
  using Frame = CliFrame;
  using Joint = CliJoint;
  using Layout = DescriptionLayout;
  static constexpr int kParameterCount = kMechanismParameterCount;
  static constexpr int kDescriptionCount = kMechanismDescriptionCount;
  static constexpr const char* kBlockPathPrefix = cli_tables::kBlockPathPrefix;
  static constexpr const auto& kBodies = cli_tables::kBodies;
  static constexpr const auto& kFrameEntries = cli_tables::kFrameEntries;
  static constexpr const auto& kJointEntries = cli_tables::kJointEntries;
  static constexpr Body kGround = CliBody::PermeatingBody;
  static EnginePrimitive* primitiveOf(Joint j) { return sim::linkage::primitiveOf<CliLinkage>(j); }

  static constexpr sim::linkage::BodyParent<CliBody> kBodyParents[] = {
      {CliBody::Door, CliBody::PermeatingBody},
      {CliBody::Link4, CliBody::Link3},
      {CliBody::Link3, CliBody::Door},
      {CliBody::Rod, CliBody::Exlar},
      {CliBody::PermeatingBody, CliBody::PermeatingBody},
      {CliBody::Exlar, CliBody::PermeatingBody}};

  // The Door carries its own mass: no mass-and-inertia entry.
  static constexpr CliBody kLoadedBody = CliBody::Door;
  static constexpr std::array<CliFrame, 5> kForceFrames = {CliFrame::DoorCS4, CliFrame::DoorCS5,
                                                           CliFrame::DoorCS6, CliFrame::DoorCS7,
                                                           CliFrame::DoorCS2};
  static constexpr std::array<CliFrame, 0> kMassInputFrames = {};

  // In record order; Revolute2 is reversed: its base side, Link4, is the tip
  // of its chain.
  static constexpr sim::linkage::TreeJointEntry<CliJoint> kTreeJoints[] = {
      {CliJoint::Revolute2, true},  {CliJoint::PermeatingWeld, false},
      {CliJoint::Prismatic, false}, {CliJoint::Revolute4, false},
      {CliJoint::Revolute, false},  {CliJoint::Revolute1, false}};
  static constexpr sim::linkage::ClosureEntry<CliJoint> kClosures[] = {
      {CliJoint::Revolute3, CliJoint::PermeatingWeld, CliJoint::Revolute2},
      {CliJoint::Revolute5, CliJoint::Revolute2, CliJoint::Prismatic}};
  static constexpr sim::linkage::SensorEntry<CliJoint> kSensors[] = {
      {CliJoint::Revolute, kSensorPosition, &kRadiansToDegrees[0]},
      {CliJoint::Prismatic, kSensorPosition, &kUnitScale[0]}};

  static constexpr sim::linkage::ChainEntry<CliBody, CliJoint> kChains[] = {
      {3,
       {CliBody::Link4, CliBody::Link3, CliBody::Door},
       {CliJoint::Revolute2, CliJoint::Revolute1, CliJoint::Revolute},
       2},
      {2, {CliBody::Rod, CliBody::Exlar}, {CliJoint::Prismatic, CliJoint::Revolute4}, 2},
      {1, {CliBody::PermeatingBody}, {CliJoint::PermeatingWeld}, 2}};
  static constexpr EngineSweepOrder kSweepOrder{2, kLeafChains, 0, nullptr};

  static constexpr sim::linkage::SignalCounts kSignals{kStateCount, kKinematicOutputCount,
                                                       kDynamicInputCount, kDynamicOutputCount};
  static constexpr double kStopTime = 14.0;
};

}  // namespace sim_cli::cli_tables
