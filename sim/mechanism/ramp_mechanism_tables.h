// The fixed data of the ramp linkage, which the shared description builder
// and parameter callback read: where each body, coordinate system and joint
// sits in the parameter vector, what each is attached to, and how the records
// are wired (tree, closures, sensors, loads, chains, signals).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "sim/mechanism/linkage_description.h"
#include "sim/mechanism/ramp_mechanism.h"

namespace sim::ramp_tables {

inline constexpr const char* kBlockPathPrefix = linkage::kRampBlockPathPrefix;

using linkage::frameParameter;
using linkage::kParamCentreOfMass;
using linkage::kParamFirstFrame;
using linkage::kParamFrameStride;
using linkage::kParamInertia;
using linkage::kParamMass;
using linkage::kParamOrientation;

inline constexpr int kDoorParameters = 0;
inline constexpr int kLink3Parameters = 79;
inline constexpr int kLink4Parameters = 110;
inline constexpr int kRodParameters = 165;
inline constexpr int kExlarParameters = 196;

inline constexpr int kGround1Parameter = 73;
inline constexpr int kGround2Parameter = 159;
inline constexpr int kGround3Parameter = 227;

using BodyEntry = linkage::BodyEntry<RampBody, RampFrame>;

// In the order the callback converts them.
inline constexpr BodyEntry kBodies[] = {
    {RampBody::Exlar, "Exlar", kExlarParameters, 2, RampFrame::ExlarCG, RampFrame::ExlarCS2},
    {RampBody::Rod, "ExlarRodPlusRotarInertia", kRodParameters, 2, RampFrame::RodCG,
     RampFrame::RodCS2},
    {RampBody::Link4, "Link4", kLink4Parameters, 5, RampFrame::Link4CG, RampFrame::Link4CS5},
    {RampBody::Link3, "Link3", kLink3Parameters, 2, RampFrame::Link3CG, RampFrame::Link3CS2},
    {RampBody::Door, "Door", kDoorParameters, 9, RampFrame::DoorCG, RampFrame::DoorCS4},
};

using linkage::kNoParameter;
inline constexpr RampFrame kWorld = RampFrame::Count;

using FrameEntry = linkage::FrameEntry<RampBody, RampFrame>;

// In the order of computation: every reference comes before its users.
inline constexpr FrameEntry kFrameEntries[] = {
    {RampFrame::Ground1, RampBody::PermeatingBody, kGround1Parameter, true, kWorld},
    {RampFrame::Ground2, RampBody::PermeatingBody, kGround2Parameter, true, kWorld},
    {RampFrame::Ground3, RampBody::PermeatingBody, kGround3Parameter, true, kWorld},
    {RampFrame::ExlarCS2, RampBody::Exlar, frameParameter(kExlarParameters, 2), false,
     RampFrame::Ground3},
    {RampFrame::ExlarCG, RampBody::Exlar, kExlarParameters, false, RampFrame::ExlarCS2},
    {RampFrame::ExlarCS1, RampBody::Exlar, frameParameter(kExlarParameters, 1), false,
     RampFrame::ExlarCS2},
    {RampFrame::Link4CS3, RampBody::Link4, frameParameter(kLink4Parameters, 3), false,
     RampFrame::Ground2},
    {RampFrame::Link4CG, RampBody::Link4, kLink4Parameters, false, RampFrame::Link4CS3},
    {RampFrame::Link4CS1, RampBody::Link4, frameParameter(kLink4Parameters, 1), false,
     RampFrame::Link4CS3},
    {RampFrame::Link4CS2, RampBody::Link4, frameParameter(kLink4Parameters, 2), false,
     RampFrame::Link4CS3},
    {RampFrame::Link4CS4, RampBody::Link4, frameParameter(kLink4Parameters, 4), false,
     RampFrame::Link4CS3},
    {RampFrame::Link4CS5, RampBody::Link4, frameParameter(kLink4Parameters, 5), false,
     RampFrame::Link4CS3},
    {RampFrame::RodCS1, RampBody::Rod, frameParameter(kRodParameters, 1), false,
     RampFrame::Link4CS5},
    {RampFrame::RodCG, RampBody::Rod, kRodParameters, false, RampFrame::RodCS1},
    {RampFrame::RodCS2, RampBody::Rod, frameParameter(kRodParameters, 2), false,
     RampFrame::ExlarCS1},
    {RampFrame::DoorCS1, RampBody::Door, frameParameter(kDoorParameters, 1), false, kWorld},
    {RampFrame::DoorCG, RampBody::Door, kDoorParameters, false, RampFrame::DoorCS1},
    {RampFrame::DoorCS4, RampBody::Door, frameParameter(kDoorParameters, 4), false,
     RampFrame::DoorCS1},
    {RampFrame::DoorCS5, RampBody::Door, frameParameter(kDoorParameters, 5), false,
     RampFrame::DoorCS1},
    {RampFrame::DoorCS6, RampBody::Door, frameParameter(kDoorParameters, 6), false,
     RampFrame::DoorCS1},
    {RampFrame::DoorCS7, RampBody::Door, frameParameter(kDoorParameters, 7), false,
     RampFrame::DoorCS1},
    {RampFrame::DoorCS8, RampBody::Door, frameParameter(kDoorParameters, 8), false,
     RampFrame::DoorCS1},
    {RampFrame::DoorCS9, RampBody::Door, frameParameter(kDoorParameters, 9), false,
     RampFrame::DoorCS1},
    {RampFrame::DoorCS2, RampBody::Door, frameParameter(kDoorParameters, 2), false,
     RampFrame::DoorCG},
    {RampFrame::DoorCS3, RampBody::Door, frameParameter(kDoorParameters, 3), false,
     RampFrame::DoorCG},
    {RampFrame::Link3CS1, RampBody::Link3, frameParameter(kLink3Parameters, 1), false,
     RampFrame::DoorCS4},
    {RampFrame::Link3CG, RampBody::Link3, kLink3Parameters, false, RampFrame::Link3CS1},
    {RampFrame::Link3CS2, RampBody::Link3, frameParameter(kLink3Parameters, 2), false,
     RampFrame::Link4CS4},
    {RampFrame::WorldOrigin, RampBody::PermeatingBody, kNoParameter, false, kWorld},
};
static_assert(std::size(kFrameEntries) == static_cast<std::size_t>(RampFrame::Count));

using JointEntry = linkage::JointEntry<RampJoint, RampFrame>;

// In the order of the axis checks.
inline constexpr JointEntry kJointEntries[] = {
    {RampJoint::Revolute4, "Revolute4", "R1", 224, RampFrame::Ground3, RampFrame::ExlarCS2},
    {RampJoint::Prismatic, "Prismatic", "P1", 193, RampFrame::ExlarCS1, RampFrame::RodCS2},
    {RampJoint::Revolute5, "Revolute5", "R1", 162, RampFrame::Link4CS5, RampFrame::RodCS1},
    {RampJoint::Revolute3, "Revolute3", "R1", 156, RampFrame::Ground2, RampFrame::Link4CS3},
    {RampJoint::Revolute2, "Revolute2", "R1", 107, RampFrame::Link4CS4, RampFrame::Link3CS2},
    {RampJoint::Revolute1, "Revolute1", "R1", 76, RampFrame::DoorCS4, RampFrame::Link3CS1},
    {RampJoint::Revolute, "Revolute", "R1", 70, RampFrame::Ground1, RampFrame::DoorCS1},
    {RampJoint::PermeatingWeld, "PermeatingWeld", nullptr, kNoParameter, RampFrame::WorldOrigin,
     RampFrame::WorldOrigin},
};
static_assert(std::size(kJointEntries) == static_cast<std::size_t>(RampJoint::Count));

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

// Port constants: sensor scales (radians to degrees for the angle, rate and
// acceleration of the ramp's hinge; metres and newtons as they are), and a
// constant force-and-torque load (Tx, Ty, Tz, Fx, Fy, Fz) of a 1400 kg weight
// that no port uses.
inline constexpr double kRadiansToDegrees[3] = {57.29577951308232, 57.29577951308232,
                                                57.29577951308232};
inline constexpr double kUnitScale[1] = {1.0};
inline constexpr double kConstantLoad[6] = {0, 0, 0, 0, -13734.0, 0};

// ---------------------------------------------------------------------------
// The linkage: its tables and how its records are wired

inline constexpr std::int32_t kLeafChains[] = {0};
inline constexpr std::int32_t kChain1Children[] = {0};
inline constexpr EngineBranchChain kBranchChains[] = {{1, 1, kChain1Children}};

struct RampLinkage {
  using Body = RampBody;
  using Frame = RampFrame;
  using Joint = RampJoint;
  using Layout = description_layout::Layout;
  static constexpr int kParameterCount = kMechanismParameterCount;
  static constexpr int kDescriptionCount = kMechanismDescriptionCount;
  static constexpr const char* kBlockPathPrefix = ramp_tables::kBlockPathPrefix;
  static constexpr const auto& kBodies = ramp_tables::kBodies;
  static constexpr const auto& kFrameEntries = ramp_tables::kFrameEntries;
  static constexpr const auto& kJointEntries = ramp_tables::kJointEntries;
  static constexpr Body kGround = RampBody::PermeatingBody;
  static EnginePrimitive* primitiveOf(Joint j) { return linkage::primitiveOf<RampLinkage>(j); }

  static constexpr linkage::BodyParent<RampBody> kBodyParents[] = {
      {RampBody::Exlar, RampBody::PermeatingBody},
      {RampBody::Rod, RampBody::Exlar},
      {RampBody::Link4, RampBody::Rod},
      {RampBody::Link3, RampBody::Link4},
      {RampBody::Door, RampBody::Link3},
      {RampBody::PermeatingBody, RampBody::PermeatingBody}};

  static constexpr RampBody kLoadedBody = RampBody::Door;
  static constexpr std::array<RampFrame, 5> kForceFrames = {RampFrame::DoorCS5, RampFrame::DoorCS6,
                                                            RampFrame::DoorCS7, RampFrame::DoorCS8,
                                                            RampFrame::DoorCS2};
  static constexpr std::array<RampFrame, 1> kMassInputFrames = {RampFrame::DoorCS3};

  // In the order of their records.
  static constexpr linkage::TreeJointEntry<RampJoint> kTreeJoints[] = {
      {RampJoint::Revolute4, false}, {RampJoint::Prismatic, false},
      {RampJoint::Revolute5, true},  {RampJoint::Revolute2, false},
      {RampJoint::Revolute1, true},  {RampJoint::PermeatingWeld, false}};
  static constexpr linkage::ClosureEntry<RampJoint> kClosures[] = {
      {RampJoint::Revolute, RampJoint::PermeatingWeld, RampJoint::Revolute1},
      {RampJoint::Revolute3, RampJoint::PermeatingWeld, RampJoint::Revolute5}};
  static constexpr linkage::SensorEntry<RampJoint> kSensors[] = {
      {RampJoint::Prismatic, kSensorPosition, &kUnitScale[0]},
      {RampJoint::Prismatic, kSensorForce, &kUnitScale[0]},
      {RampJoint::Revolute, kSensorPosition, &kRadiansToDegrees[0]},
      {RampJoint::Revolute, kSensorVelocity, &kRadiansToDegrees[1]}};

  static constexpr linkage::ChainEntry<RampBody, RampJoint> kChains[] = {
      {2, {RampBody::Door, RampBody::Link3}, {RampJoint::Revolute1, RampJoint::Revolute2}, 1},
      {3,
       {RampBody::Link4, RampBody::Rod, RampBody::Exlar},
       {RampJoint::Revolute5, RampJoint::Prismatic, RampJoint::Revolute4},
       2},
      {1, {RampBody::PermeatingBody}, {RampJoint::PermeatingWeld}, 2}};
  static constexpr EngineSweepOrder kSweepOrder{1, kLeafChains, 1, kBranchChains};

  static constexpr linkage::SignalCounts kSignals{kRampStateCount, kRampKinematicOutputCount,
                                                  kRampDynamicInputCount, kRampDynamicOutputCount};
  static constexpr double kStopTime = 20.0;  // the model's stop time
};

}  // namespace sim::ramp_tables
