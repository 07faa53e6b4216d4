// The ramp description's parameter callback: from the block parameters to the
// world-frame positions, rotations, unit axes and joint-frame inertias of the
// description table. Everything is worked out in a work area first; the table
// and the primitives' axes are written only when every axis is usable.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "mech_engine_common/engine_vector_kernels.h"
#include "mech_engine_common/matrix_multiply.h"
#include "mech_engine_common/rotation_kernels.h"
#include "sim/mechanism/ramp_mechanism.h"
#include "sim/mechanism/ramp_mechanism_tables.h"

namespace sim {

using namespace ramp_tables;
namespace layout = description_layout;

namespace {

constexpr double kPositionFactor = 1.0;  // parameters are in metres already
constexpr double kMassFactor = 1.0;
constexpr double kDegreesToRadians = 0.017453292519943295;
constexpr int kEulerXYZKernel = 1;
constexpr int kEulerXYXKernel = 0;

constexpr const char* kInvalidAxisText =
    " has an invalid axis.  Axis must evaluate to a 1-by-3 matrix.  Check and reconfigure "
    "primitive axis vector.";

constexpr int kFrameCount = static_cast<int>(RampFrame::Count);
constexpr int kJointCount = static_cast<int>(RampJoint::Count);
constexpr int kBodyCount = static_cast<int>(RampBody::Count);

struct CallbackWork {
  double parameters[kMechanismParameterCount];  // after unit conversion
  double defaultRotation[9];
  double defaultInertia[9];
  double groundRotation[9];           // of each ground point (kernel 1)
  double groundReferenceRotation[9];  // used by frames placed from a ground point (kernel 0)
  double framePosition[kFrameCount][3];
  double frameRotation[kFrameCount][9];
  double axis[kJointCount][3];
  double bodyInertia[kBodyCount][9];  // at the reference point, world axes
};

CallbackWork work;

int index(RampFrame f) {
  return static_cast<int>(f);
}
int index(RampBody b) {
  return static_cast<int>(b);
}
int index(RampJoint j) {
  return static_cast<int>(j);
}

void scale(double* out, const double* in, int n, double factor) {
  vectorBilinearCombine(out, in, in, 0.0, factor, 0.0, n, 1, 1, 1);
}

void setIdentity(double* m) {
  std::memset(m, 0, 9 * sizeof(double));
  m[0] = m[4] = m[8] = 1.0;
}

void transpose(double* out, const double* m) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out[r + 3 * c] = m[c + 3 * r];
}

// out = a·b for 3x3 matrices.
void multiply3x3(double* out, const double* a, const double* b) {
  matrixMultiply(out, a, b, 3, 3, 3, 3, kFormGeneral, kFormGeneral, kMultiplyProduct);
}

// Step 2: unit conversion of one body's positions, orientations, mass and
// inertia.
void convertBody(const BodySpec& body, const double* in, double* out) {
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

// Step 3: length through the engine's product, then division. False when the
// axis has length zero.
bool normaliseAxis(const double* in, double* out) {
  double squaredLength = 0.0;
  matrixMultiply(&squaredLength, in, in, 3, 1, 3, 1, kFormGeneral, kFormGeneral,
                 kMultiplyTransposeProduct);
  const double length = std::sqrt(squaredLength);
  if (length == 0.0) return false;
  for (int i = 0; i < 3; ++i) out[i] = in[i] / length;
  return true;
}

void reportInvalidAxis(const JointSpec& joint, char* errorText, int errorTextSize) {
  if (errorText == nullptr || errorTextSize < 0) return;
  std::string message = std::string(kBlockPathPrefix) + joint.name + ": Joint primitive " +
                        joint.primitiveName + kInvalidAxisText;
  const std::size_t length = std::min(message.size(), static_cast<std::size_t>(errorTextSize));
  std::memcpy(errorText, message.data(), length);
  errorText[length] = '\0';
}

// Step 5: a frame's world position and rotation from its reference.
void placeFrame(const FrameSpec& spec) {
  double* position = work.framePosition[index(spec.frame)];
  double* rotation = work.frameRotation[index(spec.frame)];
  if (spec.parameter == kNoParameter) {
    std::memset(position, 0, 3 * sizeof(double));
    std::memcpy(rotation, work.defaultRotation, sizeof work.defaultRotation);
    return;
  }
  const double* local = work.parameters + spec.parameter;
  if (spec.isGroundPoint) {
    std::memcpy(position, local, 3 * sizeof(double));
    std::memcpy(rotation, work.groundRotation, sizeof work.groundRotation);
    return;
  }
  double ownRotation[9];
  callRotationKernel(kEulerXYZKernel, local + kParamOrientation, ownRotation);
  if (spec.reference == kWorld) {
    std::memcpy(position, local, 3 * sizeof(double));
    std::memcpy(rotation, ownRotation, sizeof ownRotation);
    return;
  }
  const double* referencePosition = work.framePosition[index(spec.reference)];
  const double* referenceRotation = frameSpec(spec.reference).isGroundPoint
                                        ? work.groundReferenceRotation
                                        : work.frameRotation[index(spec.reference)];
  double turned[3];
  matrixMultiply(turned, referenceRotation, local, 3, 3, 3, 1, kFormGeneral, kFormGeneral,
                 kMultiplyProduct);
  vectorBilinearCombine(position, referencePosition, turned, 0.0, 1.0, 1.0, 3, 1, 1, 1);
  multiply3x3(rotation, referenceRotation, ownRotation);
}

// Step 6: the inertia about the centre of mass, rotated into world axes and
// moved to the reference point: R I R^T + m (|r|^2 E - r r^T).
void moveInertia(const BodySpec& body) {
  const double* p = work.parameters + body.parameters;
  double inertia[9];
  transpose(inertia, p + kParamInertia);  // given row by row
  const double* rotation = work.frameRotation[index(body.centreOfMass)];
  double rotationTransposed[9];
  double turned[9];
  transpose(rotationTransposed, rotation);
  multiply3x3(turned, rotation, inertia);
  double* out = work.bodyInertia[index(body.body)];
  multiply3x3(out, turned, rotationTransposed);

  const double mass = p[kParamMass];
  double r[3];
  subtractColumns(r, work.framePosition[index(body.centreOfMass)],
                  work.framePosition[index(body.reference)], 3, 1);
  const double squared = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col)
      out[row + 3 * col] += mass * ((row == col ? squared : 0.0) - r[row] * r[col]);
}

// Step 8: everything into the description table.
void copyBody(double* table, RampBody body, const double* mass, const double* inertia,
              RampFrame centreOfMass, RampFrame reference) {
  double* block = table + layout::body(body);
  block[layout::kBodyMass] = *mass;
  std::memcpy(block + layout::kBodyInertia, inertia, 9 * sizeof(double));
  subtractColumns(block + layout::kBodyCentreOfMass, work.framePosition[index(centreOfMass)],
                  work.framePosition[index(reference)], 3, 1);
  std::memcpy(block + layout::kBodyPosition, work.framePosition[index(reference)],
              3 * sizeof(double));
  std::memcpy(block + layout::kBodyRotation, work.frameRotation[index(reference)],
              9 * sizeof(double));
}

void copyFrame(double* table, const FrameSpec& spec) {
  double* block = table + layout::frame(spec.frame);
  const int f = index(spec.frame);
  std::memcpy(block + layout::kFramePosition, work.framePosition[f], 3 * sizeof(double));
  std::memcpy(block + layout::kFrameRotation, work.frameRotation[f], 9 * sizeof(double));
  const RampFrame reference = referenceFrame(spec.body);
  subtractColumns(block + layout::kFrameOffset, work.framePosition[f],
                  work.framePosition[index(reference)], 3, 1);
}

void copyJoint(double* table, const JointSpec& spec) {
  double* block = table + layout::joint(spec.joint);
  const double* base = work.framePosition[index(spec.base)];
  const double* follower = work.framePosition[index(spec.follower)];
  std::memcpy(block + layout::kJointBasePosition, base, 3 * sizeof(double));
  std::memcpy(block + layout::kJointFollowerPosition, follower, 3 * sizeof(double));
  subtractColumns(block + layout::kJointVector, follower, base, 3, 1);
  std::memcpy(block + layout::kJointAxis, work.axis[index(spec.joint)], 3 * sizeof(double));
}

}  // namespace

bool mechanismCallback(EngineMechanism* mechanism, const double* parameters, char* errorText,
                       int errorTextSize) {
  // 1. Clean work area with identity defaults.
  std::memset(&work, 0, sizeof work);
  setIdentity(work.defaultRotation);
  setIdentity(work.defaultInertia);
  std::memcpy(work.parameters, parameters, sizeof work.parameters);

  // 2. Units.
  for (const BodySpec& body : kBodies) convertBody(body, parameters, work.parameters);

  // 3. Joint axes, in the order of the joint table; the first unusable one is
  // reported.
  for (const JointSpec& joint : kJointSpecs) {
    if (joint.axisParameter == kNoParameter) continue;
    if (!normaliseAxis(work.parameters + joint.axisParameter, work.axis[index(joint.joint)])) {
      reportInvalidAxis(joint, errorText, errorTextSize);
      return true;
    }
  }

  // 4. Rotations of the ground points, from zero angles.
  const double zeroAngles[3] = {0.0, 0.0, 0.0};
  callRotationKernel(kEulerXYZKernel, zeroAngles, work.groundRotation);
  callRotationKernel(kEulerXYXKernel, zeroAngles, work.groundReferenceRotation);

  // 5. World positions and rotations of every coordinate system.
  for (const FrameSpec& frame : kFrameSpecs) placeFrame(frame);

  // 6. Inertias at the joint frames.
  for (const BodySpec& body : kBodies) moveInertia(body);

  // 7 and 8. Bodies, frames and joints into the table; the primitives' axes.
  double* table = mechanism->descriptionTable;
  std::memset(table, 0, kMechanismDescriptionCount * sizeof(double));
  for (const BodySpec& body : kBodies)
    copyBody(table, body.body, work.parameters + body.parameters + kParamMass,
             work.bodyInertia[index(body.body)], body.centreOfMass, body.reference);
  const double noMass = 0.0;
  copyBody(table, RampBody::PermeatingBody, &noMass, work.defaultInertia, RampFrame::WorldOrigin,
           RampFrame::WorldOrigin);
  for (const FrameSpec& frame : kFrameSpecs) copyFrame(table, frame);
  for (const JointSpec& joint : kJointSpecs) {
    copyJoint(table, joint);
    std::memcpy(primitiveOf(joint.joint)->axis, work.axis[index(joint.joint)], 3 * sizeof(double));
  }
  setIdentity(table + layout::kIdentity);
  return false;
}

}  // namespace sim
