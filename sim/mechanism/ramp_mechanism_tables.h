// The fixed data of the ramp linkage shared by the description builder and
// the parameter callback: where each body, coordinate system and joint sits in
// the parameter vector, and what each is attached to.
#pragma once

#include <cstddef>
#include <iterator>

#include "sim/mechanism/ramp_mechanism.h"

namespace sim::ramp_tables {

inline constexpr const char* kBlockPathPrefix =
    "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/";

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

using BodySpec = linkage::BodySpec<RampBody, RampFrame>;

// In the order the callback converts them.
inline constexpr BodySpec kBodies[] = {
    {RampBody::Exlar, "Exlar", kExlarParameters, 2, RampFrame::ExlarCG, RampFrame::ExlarCS2},
    {RampBody::Rod, "ExlarRodPlusRotarInertia", kRodParameters, 2, RampFrame::RodCG,
     RampFrame::RodCS2},
    {RampBody::Link4, "Link4", kLink4Parameters, 5, RampFrame::Link4CG, RampFrame::Link4CS5},
    {RampBody::Link3, "Link3", kLink3Parameters, 2, RampFrame::Link3CG, RampFrame::Link3CS2},
    {RampBody::Door, "Door", kDoorParameters, 9, RampFrame::DoorCG, RampFrame::DoorCS4},
};

using linkage::kNoParameter;
inline constexpr RampFrame kWorld = RampFrame::Count;

using FrameSpec = linkage::FrameSpec<RampBody, RampFrame>;

// In the order of computation: every reference comes before its users.
inline constexpr FrameSpec kFrameSpecs[] = {
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
static_assert(std::size(kFrameSpecs) == static_cast<std::size_t>(RampFrame::Count));

using JointSpec = linkage::JointSpec<RampJoint, RampFrame>;

// In the order of the axis checks.
inline constexpr JointSpec kJointSpecs[] = {
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
static_assert(std::size(kJointSpecs) == static_cast<std::size_t>(RampJoint::Count));

// The primitive record of a joint or constraint of the description, where the
// callback stores the unit axis.
EnginePrimitive* primitiveOf(RampJoint j);

}  // namespace sim::ramp_tables
