// The fixed data of the command-line build's linkage, shared by its
// description builder and its parameter callback: where each body,
// coordinate system and joint sits in the parameter vector, and what each is
// attached to.
#pragma once

#include <cstddef>
#include <iterator>

#include "sim_cli/mechanism/cli_mechanism.h"

namespace sim_cli::cli_tables {

using sim::linkage::frameParameter;
using sim::linkage::kNoParameter;
using sim::linkage::kParamCentreOfMass;
using sim::linkage::kParamInertia;
using sim::linkage::kParamMass;
using BodySpec = sim::linkage::BodySpec<CliBody, CliFrame>;
using FrameSpec = sim::linkage::FrameSpec<CliBody, CliFrame>;
using JointSpec = sim::linkage::JointSpec<CliJoint, CliFrame>;

inline constexpr const char* kBlockPathPrefix =
    "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/";

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
inline constexpr BodySpec kBodies[] = {
    {CliBody::Exlar, "Exlar", kExlarParameters, 2, CliFrame::ExlarCG, CliFrame::ExlarCS2},
    {CliBody::Rod, "ExlarRodPlusRotarInertia", kRodParameters, 2, CliFrame::RodCG,
     CliFrame::RodCS2},
    {CliBody::Link4, "Link4", kLink4Parameters, 5, CliFrame::Link4CG, CliFrame::Link4CS4},
    {CliBody::Link3, "Link3", kLink3Parameters, 2, CliFrame::Link3CG, CliFrame::Link3CS1},
    {CliBody::Door, "Door", kDoorParameters, kDoorFrameCount, CliFrame::DoorCG, CliFrame::DoorCS1},
};

inline constexpr CliFrame kWorld = CliFrame::Count;

// In the order of computation: every reference comes before its users.
inline constexpr FrameSpec kFrameSpecs[] = {
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
static_assert(std::size(kFrameSpecs) == static_cast<std::size_t>(CliFrame::Count));
constexpr bool framesInEnumOrder() {
  for (std::size_t k = 0; k < std::size(kFrameSpecs); ++k)
    if (static_cast<std::size_t>(kFrameSpecs[k].frame) != k) return false;
  return true;
}
static_assert(framesInEnumOrder());

// In the order of the axis checks.
inline constexpr JointSpec kJointSpecs[] = {
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
static_assert(std::size(kJointSpecs) == static_cast<std::size_t>(CliJoint::Count));

// The primitive record of a joint or constraint of the description, where the
// callback stores the unit axis.
EnginePrimitive* primitiveOf(CliJoint j);

}  // namespace sim_cli::cli_tables
