// What both ramp linkages share: the layout of a body's block in the
// parameter vector, the records that say where each body, coordinate system
// and joint sits and what it is attached to, and the parameter callback that
// turns the parameters into the description table. The two models differ
// only in their tables (a traits type, see convertLinkageParameters).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>

#include "mech_engine_common/engine_mechanism.h"
#include "mech_engine_common/engine_vector_kernels.h"
#include "mech_engine_common/matrix_multiply.h"
#include "mech_engine_common/rotation_kernels.h"

namespace sim::linkage {

// Start of a body's parameters: centre-of-mass position and orientation,
// inertia (9, row by row), mass, then position and orientation of each
// coordinate system.
inline constexpr int kParamCentreOfMass = 0;
inline constexpr int kParamOrientation = 3;  // relative to a position
inline constexpr int kParamInertia = 6;
inline constexpr int kParamMass = 15;
inline constexpr int kParamFirstFrame = 16;
inline constexpr int kParamFrameStride = 6;
constexpr int frameParameter(int bodyStart, int coordinateSystem) {
  return bodyStart + kParamFirstFrame + kParamFrameStride * (coordinateSystem - 1);
}

inline constexpr int kNoParameter = -1;

// A build's constant parameter vector as it is written down: points (and
// axes) of three values, and inertias by their diagonal.
struct Point {
  double x, y, z;
};
inline constexpr Point kOrigin{0, 0, 0};
inline constexpr Point kZAxis{0, 0, 1};

template <std::size_t N>
struct ParameterVector {
  std::array<double, N> values{};

  constexpr double& operator[](int at) { return values[at]; }
  constexpr void put(int at, Point v) {
    values[at] = v.x;
    values[at + 1] = v.y;
    values[at + 2] = v.z;
  }
  // A 3x3 matrix, row by row, with v on its diagonal.
  constexpr void diagonal(int at, Point v) {
    values[at] = v.x;
    values[at + 4] = v.y;
    values[at + 8] = v.z;
  }
  constexpr void diagonal(int at, double v) { diagonal(at, {v, v, v}); }
};

template <typename Body, typename Frame>
struct BodyEntry {
  Body body;
  const char* name;
  int parameters;  // start of the body's block in the parameter vector
  int numFrames;   // coordinate systems CS1..CSn
  Frame centreOfMass;
  Frame reference;  // where the body meets its parent in the tree
};

template <typename Body, typename Frame>
struct FrameEntry {
  Frame frame;
  Body body;
  int parameter;       // position (orientation follows) or kNoParameter
  bool isGroundPoint;  // a position only; its rotation comes from zero angles
  Frame reference;     // Frame::Count: the parameters are world values
};

template <typename Joint, typename Frame>
struct JointEntry {
  Joint joint;
  const char* name;
  const char* primitiveName;  // as the axis message names it
  int axisParameter;          // kNoParameter for the weld
  Frame base;                 // the block's first connection
  Frame follower;
};

// Layout of one block of the description table, the same in both models:
// body blocks, frame blocks, joint blocks, then unused zeros and the 3x3
// identity in the last nine places.
namespace block {
inline constexpr int kBodyMass = 0;
inline constexpr int kBodyInertia = 1;        // about the reference point, world axes
inline constexpr int kBodyCentreOfMass = 10;  // centre of mass minus reference point
inline constexpr int kBodyPosition = 13;      // reference point
inline constexpr int kBodyRotation = 16;
inline constexpr int kBodySize = 25;

inline constexpr int kFramePosition = 0;
inline constexpr int kFrameRotation = 3;
inline constexpr int kFrameOffset = 12;  // position minus the reference point of its body
inline constexpr int kFrameSize = 15;

inline constexpr int kJointBasePosition = 0;
inline constexpr int kJointFollowerPosition = 3;
inline constexpr int kJointVector = 6;
inline constexpr int kJointAxis = 9;  // unit axis; zero for the weld
inline constexpr int kJointSize = 12;
}  // namespace block

// Offsets of the blocks in a table of `descriptionCount` doubles for the
// enums Body, Frame and Joint (each ending in Count).
template <typename Body, typename Frame, typename Joint, int descriptionCount>
struct DescriptionLayout {
  static constexpr int kBodies = 0;
  static constexpr int kFrames = kBodies + block::kBodySize * static_cast<int>(Body::Count);
  static constexpr int kJoints = kFrames + block::kFrameSize * static_cast<int>(Frame::Count);
  static constexpr int kUsed = kJoints + block::kJointSize * static_cast<int>(Joint::Count);
  static constexpr int kIdentity = descriptionCount - 9;
  static_assert(kUsed <= kIdentity, "description data overlaps the identity block");

  static constexpr int body(Body b) { return kBodies + block::kBodySize * static_cast<int>(b); }
  static constexpr int frame(Frame f) { return kFrames + block::kFrameSize * static_cast<int>(f); }
  static constexpr int joint(Joint j) { return kJoints + block::kJointSize * static_cast<int>(j); }
};

// ---------------------------------------------------------------------------
// The parameter callback
//
// Traits type L supplies: the enums Body, Frame, Joint (each ending in
// Count); kParameterCount and kDescriptionCount; kBlockPathPrefix; the tables
// kBodies (in conversion order), kFrameEntries (in computation order: every
// reference before its users) and kJointEntries (in axis-check order); kGround
// (the body welded to the ground, whose reference is Frame::WorldOrigin);
// Layout (a DescriptionLayout); and primitiveOf(Joint), the primitive record
// that receives a joint's unit axis.
//
// Everything is worked out in a work area first; the table and the
// primitives' axes are written only when every axis is usable.

namespace detail {

inline constexpr double kPositionFactor = 1.0;  // parameters are in metres already
inline constexpr double kMassFactor = 1.0;
inline constexpr double kDegreesToRadians = 0.017453292519943295;
inline constexpr int kEulerXYZKernel = 1;
inline constexpr int kEulerXYXKernel = 0;

inline constexpr const char* kInvalidAxisText =
    " has an invalid axis.  Axis must evaluate to a 1-by-3 matrix.  Check and reconfigure "
    "primitive axis vector.";

template <typename L>
struct CallbackWork {
  static constexpr int kFrames = static_cast<int>(L::Frame::Count);
  static constexpr int kJoints = static_cast<int>(L::Joint::Count);
  static constexpr int kBodies = static_cast<int>(L::Body::Count);
  double parameters[L::kParameterCount];  // after unit conversion
  double defaultRotation[9];
  double defaultInertia[9];
  double groundRotation[9];           // of each ground point (kernel 1)
  double groundReferenceRotation[9];  // used by frames placed from a ground point (kernel 0)
  double framePosition[kFrames][3];
  double frameRotation[kFrames][9];
  double axis[kJoints][3];
  double bodyInertia[kBodies][9];  // at the reference point, world axes
};

template <typename L>
inline CallbackWork<L> work;

template <typename E>
int index(E e) {
  return static_cast<int>(e);
}

inline void scale(double* out, const double* in, int n, double factor) {
  vectorBilinearCombine(out, in, in, 0.0, factor, 0.0, n, 1, 1, 1);
}

inline void setIdentity(double* m) {
  std::memset(m, 0, 9 * sizeof(double));
  m[0] = m[4] = m[8] = 1.0;
}

inline void transpose(double* out, const double* m) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out[r + 3 * c] = m[c + 3 * r];
}

// out = a·b for 3x3 matrices.
inline void multiply3x3(double* out, const double* a, const double* b) {
  matrixMultiply(out, a, b, 3, 3, 3, 3, kFormGeneral, kFormGeneral, kMultiplyProduct);
}

template <typename L>
constexpr const auto& frameEntry(typename L::Frame f) {
  for (const auto& entry : L::kFrameEntries)
    if (entry.frame == f) return entry;
  return L::kFrameEntries[0];
}

// Reference frame of each body (the ground body's is the world origin).
template <typename L>
constexpr typename L::Frame referenceFrame(typename L::Body b) {
  for (const auto& entry : L::kBodies)
    if (entry.body == b) return entry.reference;
  return L::Frame::WorldOrigin;
}

// Unit conversion of one body's positions, orientations, mass and inertia.
template <typename L, typename Entry>
void convertBody(const Entry& body, const double* in, double* out) {
  auto convertFrame = [&](int at) {
    scale(out + at, in + at, 3, kPositionFactor);
    scale(out + at + kParamOrientation, in + at + kParamOrientation, 3, kDegreesToRadians);
  };
  convertFrame(body.parameters + kParamCentreOfMass);
  for (int k = 1; k <= body.numFrames; ++k) convertFrame(frameParameter(body.parameters, k));
  scale(out + body.parameters + kParamMass, in + body.parameters + kParamMass, 1, kMassFactor);
  scale(out + body.parameters + kParamInertia, in + body.parameters + kParamInertia, 9,
        kMassFactor);
}

// Length through the engine's product, then division. False when the axis
// has length zero.
inline bool normaliseAxis(const double* in, double* out) {
  double squaredLength = 0.0;
  matrixMultiply(&squaredLength, in, in, 3, 1, 3, 1, kFormGeneral, kFormGeneral,
                 kMultiplyTransposeProduct);
  const double length = std::sqrt(squaredLength);
  if (length == 0.0) return false;
  for (int i = 0; i < 3; ++i) out[i] = in[i] / length;
  return true;
}

inline void reportInvalidAxis(const char* pathPrefix, const char* jointName,
                              const char* primitiveName, char* errorText, int errorTextSize) {
  if (errorText == nullptr || errorTextSize < 0) return;
  std::string message =
      std::string(pathPrefix) + jointName + ": Joint primitive " + primitiveName + kInvalidAxisText;
  const std::size_t length = std::min(message.size(), static_cast<std::size_t>(errorTextSize));
  std::memcpy(errorText, message.data(), length);
  errorText[length] = '\0';
}

// A frame's world position and rotation from its reference.
template <typename L, typename Entry>
void placeFrame(const Entry& entry) {
  CallbackWork<L>& w = work<L>;
  double* position = w.framePosition[index(entry.frame)];
  double* rotation = w.frameRotation[index(entry.frame)];
  if (entry.parameter == kNoParameter) {
    std::memset(position, 0, 3 * sizeof(double));
    std::memcpy(rotation, w.defaultRotation, sizeof w.defaultRotation);
    return;
  }
  const double* local = w.parameters + entry.parameter;
  if (entry.isGroundPoint) {
    std::memcpy(position, local, 3 * sizeof(double));
    std::memcpy(rotation, w.groundRotation, sizeof w.groundRotation);
    return;
  }
  double ownRotation[9];
  callRotationKernel(kEulerXYZKernel, local + kParamOrientation, ownRotation);
  if (entry.reference == L::Frame::Count) {
    std::memcpy(position, local, 3 * sizeof(double));
    std::memcpy(rotation, ownRotation, sizeof ownRotation);
    return;
  }
  const double* referencePosition = w.framePosition[index(entry.reference)];
  const double* referenceRotation = frameEntry<L>(entry.reference).isGroundPoint
                                        ? w.groundReferenceRotation
                                        : w.frameRotation[index(entry.reference)];
  double turned[3];
  matrixMultiply(turned, referenceRotation, local, 3, 3, 3, 1, kFormGeneral, kFormGeneral,
                 kMultiplyProduct);
  vectorBilinearCombine(position, referencePosition, turned, 0.0, 1.0, 1.0, 3, 1, 1, 1);
  multiply3x3(rotation, referenceRotation, ownRotation);
}

// The inertia about the centre of mass, rotated into world axes and moved to
// the reference point: R I R^T + m (|r|^2 E - r r^T).
template <typename L, typename Entry>
void moveInertia(const Entry& body) {
  CallbackWork<L>& w = work<L>;
  const double* p = w.parameters + body.parameters;
  double inertia[9];
  transpose(inertia, p + kParamInertia);  // given row by row
  const double* rotation = w.frameRotation[index(body.centreOfMass)];
  double rotationTransposed[9];
  double turned[9];
  transpose(rotationTransposed, rotation);
  multiply3x3(turned, rotation, inertia);
  double* out = w.bodyInertia[index(body.body)];
  multiply3x3(out, turned, rotationTransposed);

  const double mass = p[kParamMass];
  double r[3];
  subtractColumns(r, w.framePosition[index(body.centreOfMass)],
                  w.framePosition[index(body.reference)], 3, 1);
  const double squared = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col)
      out[row + 3 * col] += mass * ((row == col ? squared : 0.0) - r[row] * r[col]);
}

template <typename L>
void copyBody(double* table, typename L::Body body, const double* mass, const double* inertia,
              typename L::Frame centreOfMass, typename L::Frame reference) {
  CallbackWork<L>& w = work<L>;
  double* out = table + L::Layout::body(body);
  out[block::kBodyMass] = *mass;
  std::memcpy(out + block::kBodyInertia, inertia, 9 * sizeof(double));
  subtractColumns(out + block::kBodyCentreOfMass, w.framePosition[index(centreOfMass)],
                  w.framePosition[index(reference)], 3, 1);
  std::memcpy(out + block::kBodyPosition, w.framePosition[index(reference)], 3 * sizeof(double));
  std::memcpy(out + block::kBodyRotation, w.frameRotation[index(reference)], 9 * sizeof(double));
}

template <typename L, typename Entry>
void copyFrame(double* table, const Entry& entry) {
  CallbackWork<L>& w = work<L>;
  double* out = table + L::Layout::frame(entry.frame);
  const int f = index(entry.frame);
  std::memcpy(out + block::kFramePosition, w.framePosition[f], 3 * sizeof(double));
  std::memcpy(out + block::kFrameRotation, w.frameRotation[f], 9 * sizeof(double));
  const auto reference = referenceFrame<L>(entry.body);
  subtractColumns(out + block::kFrameOffset, w.framePosition[f], w.framePosition[index(reference)],
                  3, 1);
}

template <typename L, typename Entry>
void copyJoint(double* table, const Entry& entry) {
  CallbackWork<L>& w = work<L>;
  double* out = table + L::Layout::joint(entry.joint);
  const double* base = w.framePosition[index(entry.base)];
  const double* follower = w.framePosition[index(entry.follower)];
  std::memcpy(out + block::kJointBasePosition, base, 3 * sizeof(double));
  std::memcpy(out + block::kJointFollowerPosition, follower, 3 * sizeof(double));
  subtractColumns(out + block::kJointVector, follower, base, 3, 1);
  std::memcpy(out + block::kJointAxis, w.axis[index(entry.joint)], 3 * sizeof(double));
}

}  // namespace detail

// Converts the parameters into the description table, the primitives' unit
// axes and the body data. False on success; on a joint axis of length zero,
// copies at most errorTextSize characters of the message into errorText
// (which must hold errorTextSize + 1 bytes), writes nothing else and returns
// true.
template <typename L>
bool convertLinkageParameters(EngineMechanism* mechanism, const double* parameters, char* errorText,
                              int errorTextSize) {
  using namespace detail;
  CallbackWork<L>& w = work<L>;
  // 1. Clean work area with identity defaults.
  std::memset(&w, 0, sizeof w);
  setIdentity(w.defaultRotation);
  setIdentity(w.defaultInertia);
  std::memcpy(w.parameters, parameters, sizeof w.parameters);

  // 2. Units.
  for (const auto& body : L::kBodies) convertBody<L>(body, parameters, w.parameters);

  // 3. Joint axes, in the order of the joint table; the first unusable one is
  // reported.
  for (const auto& joint : L::kJointEntries) {
    if (joint.axisParameter == kNoParameter) continue;
    if (!normaliseAxis(w.parameters + joint.axisParameter, w.axis[index(joint.joint)])) {
      reportInvalidAxis(L::kBlockPathPrefix, joint.name, joint.primitiveName, errorText,
                        errorTextSize);
      return true;
    }
  }

  // 4. Rotations of the ground points, from zero angles.
  const double zeroAngles[3] = {0.0, 0.0, 0.0};
  callRotationKernel(kEulerXYZKernel, zeroAngles, w.groundRotation);
  callRotationKernel(kEulerXYXKernel, zeroAngles, w.groundReferenceRotation);

  // 5. World positions and rotations of every coordinate system.
  for (const auto& frame : L::kFrameEntries) placeFrame<L>(frame);

  // 6. Inertias at the joint frames.
  for (const auto& body : L::kBodies) moveInertia<L>(body);

  // 7 and 8. Bodies, frames and joints into the table; the primitives' axes.
  double* table = mechanism->descriptionTable;
  std::memset(table, 0, L::kDescriptionCount * sizeof(double));
  for (const auto& body : L::kBodies)
    copyBody<L>(table, body.body, w.parameters + body.parameters + kParamMass,
                w.bodyInertia[index(body.body)], body.centreOfMass, body.reference);
  const double noMass = 0.0;
  copyBody<L>(table, L::kGround, &noMass, w.defaultInertia, L::Frame::WorldOrigin,
              L::Frame::WorldOrigin);
  for (const auto& frame : L::kFrameEntries) copyFrame<L>(table, frame);
  for (const auto& joint : L::kJointEntries) {
    copyJoint<L>(table, joint);
    std::memcpy(L::primitiveOf(joint.joint)->axis, w.axis[index(joint.joint)], 3 * sizeof(double));
  }
  setIdentity(table + L::Layout::kIdentity);
  return false;
}

}  // namespace sim::linkage
