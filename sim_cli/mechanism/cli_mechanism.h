// The ramp linkage of the command-line build as it is handed to the
// mechanics engine: the same five bodies and eight joints as zorvath's, on
// another spanning tree (ground, Door, Link3, Link4 and ground, Exlar, rod),
// with the loops closed at Revolute3 and Revolute5, the Door's own mass, and
// fewer signals.
#pragma once

#include <array>

#include "mech_engine_common/engine_mechanism.h"
#include "sim/mechanism/linkage_parameters.h"

namespace sim_cli {

inline constexpr int kMechanismParameterCount = 240;
inline constexpr int kMechanismDescriptionCount = 689;

// The constant block parameters: positions in m, angles in degrees, masses in
// kg, inertias in kg m^2 (nine values, row by row).
extern const std::array<double, kMechanismParameterCount> kMechanismParameters;

// The mechanism record, built in static storage by the first call; every
// later call returns the same record unchanged.
EngineMechanism* buildMechanismDescription();

// The parameter callback (as zorvath's, over this linkage's tables): false on
// success; on a zero axis the message of the first joint in check order,
// cut to errorTextSize characters, and true.
bool mechanismCallback(EngineMechanism* mechanism, const double* parameters, char* errorText,
                       int errorTextSize);

// Bodies in the order of their records (and of their blocks in the
// description table).
enum class CliBody : int { Door, Link4, Link3, Rod, PermeatingBody, Exlar, Count };

// Coordinate systems in the order of computation (every reference first).
enum class CliFrame : int {
  Ground1,
  Ground2,
  Ground3,
  ExlarCS2,
  ExlarCG,
  ExlarCS1,
  Link4CS3,
  Link4CG,
  Link4CS1,
  Link4CS2,
  Link4CS4,
  Link4CS5,
  RodCS1,
  RodCG,
  RodCS2,
  DoorCS1,
  DoorCG,
  DoorCS3,
  DoorCS4,
  DoorCS5,
  DoorCS6,
  DoorCS7,
  DoorCS8,
  DoorCS2,
  Link3CS1,
  Link3CG,
  Link3CS2,
  WorldOrigin,
  Count
};

// Also the order of the axis checks.
enum class CliJoint : int {
  Revolute4,
  Prismatic,
  Revolute,
  Revolute1,
  Revolute2,
  Revolute3,
  Revolute5,
  PermeatingWeld,
  Count
};

using DescriptionLayout =
    sim::linkage::DescriptionLayout<CliBody, CliFrame, CliJoint, kMechanismDescriptionCount>;

// Signal counts: the ramp position (deg) and the actuator displacement (m)
// out of the kinematics; the four foot forces and the ramp weight as
// 3-vectors, then the actuator force into the dynamics; nothing out of it.
inline constexpr int kStateCount = 10;
inline constexpr int kKinematicOutputCount = 2;
inline constexpr int kDynamicInputCount = 16;
inline constexpr int kDynamicOutputCount = 0;

// The Door's weight (401 x -9.81 N), a port constant of the description. The
// model feeds its own constant, -3933.81, one unit in the last place away, in
// as a force at the Door's centre of mass (cli_model.cpp).
inline constexpr double kDoorWeight = -3933.8100000000004;

}  // namespace sim_cli
