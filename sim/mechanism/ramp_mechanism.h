// The ramp linkage as the model hands it to the mechanics engine: five bodies
// on a spanning tree of six joints, closed into two loops by two general
// constraints, plus the parameter callback that turns the block parameters
// into the world-frame numbers the engine works with.
#pragma once

#include <array>
#include <cstdint>

#include "mech_engine_common/engine_mechanism.h"
#include "sim/mechanism/linkage_parameters.h"

namespace sim {

inline constexpr int kMechanismParameterCount = 240;
inline constexpr int kMechanismDescriptionCount = 733;
// Size of the error buffer the model gives the callback, and the length
// limit it passes (one byte stays for the terminating zero).
inline constexpr int kMechanismErrorBufferSize = 1024;
inline constexpr int kMechanismErrorTextLimit = 1023;

// The constant block parameters: positions in m, angles in degrees, masses in
// kg, inertias in kg m^2 (nine values, row by row).
extern const std::array<double, kMechanismParameterCount> kMechanismParameters;

// The mechanism record, built in static storage by the first call; every
// later call returns the same record unchanged.
EngineMechanism* buildMechanismDescription();

// Converts the parameters into the description table, the primitives' unit
// axes and the body data. False on success; on a joint axis of length zero,
// copies at most errorTextSize characters of the message into errorText
// (which must hold errorTextSize + 1 bytes), writes nothing else and returns
// true.
bool mechanismCallback(EngineMechanism* mechanism, const double* parameters, char* errorText,
                       int errorTextSize);

// Bodies, coordinate systems and joints of the description, in the order of
// their blocks in the description table.
enum class RampBody : int { Exlar, Rod, Link4, Link3, Door, PermeatingBody, Count };

enum class RampFrame : int {
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
  DoorCS4,
  DoorCS5,
  DoorCS6,
  DoorCS7,
  DoorCS8,
  DoorCS9,
  DoorCS2,
  DoorCS3,
  Link3CS1,
  Link3CG,
  Link3CS2,
  WorldOrigin,
  Count
};

// Also the order of the axis checks.
enum class RampJoint : int {
  Revolute4,
  Prismatic,
  Revolute5,
  Revolute3,
  Revolute2,
  Revolute1,
  Revolute,
  PermeatingWeld,
  Count
};

// Layout of the 733-double description table: body blocks, frame blocks,
// joint blocks, unused zeros, and the 3x3 identity in the last nine places
// (the data of transform2D and of every sensor's output frame).
namespace description_layout {
using namespace linkage::block;
using Layout =
    linkage::DescriptionLayout<RampBody, RampFrame, RampJoint, kMechanismDescriptionCount>;
inline constexpr int kBodies = Layout::kBodies;
inline constexpr int kFrames = Layout::kFrames;
inline constexpr int kJoints = Layout::kJoints;
inline constexpr int kUsed = Layout::kUsed;
inline constexpr int kIdentity = Layout::kIdentity;

constexpr int body(RampBody b) {
  return Layout::body(b);
}
constexpr int frame(RampFrame f) {
  return Layout::frame(f);
}
constexpr int joint(RampJoint j) {
  return Layout::joint(j);
}
}  // namespace description_layout

// Sizes of the model's signal ports as the description connects them.
inline constexpr int kRampStateCount = 10;
inline constexpr int kRampKinematicOutputCount = 3;
inline constexpr int kRampDynamicInputCount = 26;
inline constexpr int kRampDynamicOutputCount = 1;

}  // namespace sim
