#include "mech_engine_common/engine_records.h"

#include <cmath>
#include <cstring>

#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/engine_methods.h"
#include "mech_engine_common/engine_vector_kernels.h"
#include "mech_engine_common/prismatic_geometry.h"

// Creation and destruction of the body and joint work records. Every record
// is built from engine allocations; a failure records the block's
// out-of-memory message and leaves what was made attached, so the destroy
// methods (which accept partly built records) free everything.

namespace {

constexpr const char* kJointSource = "mech_engine/mech_engine_common/createEngineJoint";
constexpr const char* kBodySource = "mech_engine/mech_engine_common/createEngineBody";

// Sizes of the record cells: kVelocityCount stands for n, the joint's
// velocity coordinate count.
constexpr int kVelocityCount = -1;
struct CellShape {
  int rows;
  int columns;
  int form;
};

constexpr CellShape kMotionShapes[kMotionEntryCount] = {
    {kSpatialSize, 1, 1},                 // c
    {kSpatialSize, 1, 1},                 // bias force
    {kVelocityCount, 1, 1},               // u
    {kVelocityCount, 1, 1},               // D⁻¹·u
    {kSpatialSize, 1, 1},                 // articulated bias
    {kSpatialSize, kVelocityCount, 1},    // S
    {kSpatialSize, 1, 1},                 // velocity
    {kSpatialSize, kSpatialSize, 1},      // P
    {3, 1, 2},                            // offset r
    {kSpatialSize, kSpatialSize, 1},      // transform / P passed inwards
    {kVelocityCount, kVelocityCount, 1},  // D⁻¹
    {kSpatialSize, 1, 1},                 // buffer
    {kSpatialSize, kVelocityCount, 1},    // dS/dt
    {3, 1, 3},                            // relative velocity
    {kSpatialSize, 1, 1},                 // acceleration
    {kSpatialSize, kVelocityCount, 1},    // U
    {kVelocityCount, 1, 1},               // unit rate
    {kVelocityCount, 1, 1},               // generalised force
    {kSpatialSize, 1, 1},                 // force accumulator
    {kVelocityCount, kVelocityCount, 1},  // D
};

constexpr CellShape kForceShapes[kForceEntryCount] = {
    {kVelocityCount, 1, 1},
    {kVelocityCount, 1, 1},
    {kSpatialSize, 1, 1},
    {kSpatialSize, 1, 1},
};

constexpr CellShape kBodyShapes[kBodyDynamicCount] = {
    {1, 1, 1}, {3, 3, 1}, {3, 3, 1}, {3, 1, 1}, {3, 1, 1}, {3, 1, 1}, {3, 1, 1},
};

int resolve(int size, int n) {
  return size == kVelocityCount ? n : size;
}

// Allocates a table of cells by shape; false on failure (what was made stays
// in the table for the destroy method).
bool newCells(EngineMatrix*** table, const CellShape* shapes, int count, int n) {
  *table = engineAllocateArrayOf<EngineMatrix*>(static_cast<std::size_t>(count));
  if (*table == nullptr) return false;
  for (int i = 0; i < count; ++i) {
    (*table)[i] = newEngineMatrix(resolve(shapes[i].rows, n), resolve(shapes[i].columns, n), 0,
                                  shapes[i].form);
    if ((*table)[i] == nullptr) return false;
  }
  return true;
}

void releaseCells(EngineMatrix*** table, int count) {
  if (*table == nullptr) return;
  for (int i = 0; i < count; ++i) releaseEngineMatrix(&(*table)[i]);
  engineReleaseSlot(*table);
}

// Coordinate counts of a joint by kind (position, velocity, flag).
void countCoordinates(EngineJoint* joint, bool simulate2D) {
  const bool forceActuated = joint->numPrimitives > 0 && joint->primitives != nullptr &&
                             joint->primitives[0].actuation == kActuationForce;
  switch (joint->kind) {
    case kJointScrew:
      if (simulate2D) assertionFailed("!(simulate2D)", nullptr, kJointSource, 67);
      joint->numPositions = 1;
      joint->numVelocities = 1;
      joint->actuatedFlag = forceActuated ? 1 : 0;
      break;
    case kJointGeneral:
      joint->numPositions = 0;
      joint->numVelocities = 0;
      joint->actuatedFlag = 0;
      for (int i = 0; i < joint->numPrimitives; ++i) {
        const EnginePrimitive& primitive = joint->primitives[i];
        if (primitive.kind == kPrimitiveSpherical) {
          if (simulate2D) assertionFailed("!(simulate2D)", nullptr, kJointSource, 59);
          joint->numPositions += 4;
          joint->numVelocities += 3;
        } else {
          joint->numPositions += 1;
          joint->numVelocities += 1;
        }
        if (primitive.actuation == kActuationForce) joint->actuatedFlag = 1;
      }
      break;
    case kJointRevoluteRevolute:
      joint->numPositions = 2;
      joint->numVelocities = 2;
      break;
    case kJointRevoluteSpherical:
      if (simulate2D) assertionFailed("!(simulate2D)", nullptr, kJointSource, 85);
      joint->numPositions = 5;
      joint->numVelocities = 4;
      break;
    case kJointSphericalSpherical:
      if (simulate2D) assertionFailed("!(simulate2D)", nullptr, kJointSource, 91);
      joint->numPositions = 6;
      joint->numVelocities = 5;
      break;
    default:
      releaseAssertion();
      break;
  }
}

// The five work parts of one joint, in the record's order.
bool buildJointParts(EngineJoint* joint) {
  auto* rotation = engineAllocateArrayOf<EngineJointRotation>(1);
  joint->rotation = rotation;
  if (rotation == nullptr) return false;
  // The joint's own rotation starts as the identity (3x3 in 3D, 2x2 in 2D);
  // creation then places it at the described configuration.
  rotation->rotation[0] = 1.0;
  rotation->rotation[3] = 1.0;
  rotation->positions = newEngineMatrix(joint->numPositions, 1, 0, 1);
  if (rotation->positions == nullptr) return false;
  rotation->velocities = newEngineMatrix(joint->numVelocities, 1, 0, 1);
  if (rotation->velocities == nullptr) return false;
  rotation->accelerations = newEngineMatrix(joint->numVelocities, 1, 0, 1);
  if (rotation->accelerations == nullptr) return false;

  IndexList** lists[4] = {&joint->drivenPositions, &joint->drivenVelocities, &joint->freePositions,
                          &joint->freeVelocities};
  const int sizes[4] = {joint->numPositions, joint->numVelocities, joint->numPositions,
                        joint->numVelocities};
  for (int i = 0; i < 4; ++i) {
    *lists[i] = newIndexList(sizes[i]);
    if (*lists[i] == nullptr) return false;
    (*lists[i])->count = 0;  // filled by the motion arrays
  }
  if (!newCells(&joint->motion, kMotionShapes, kMotionEntryCount, joint->numVelocities)) {
    return false;
  }
  return newCells(&joint->force, kForceShapes, kForceEntryCount, joint->numVelocities);
}

// Places the joint's outboard body at the described configuration: its
// reference frame is the joint's frame on that body.
void placeAtDescription(EngineJoint* joint) {
  const EngineAttachment& side = outboardSide(joint);
  const double* r = frameRotation(side);
  EngineJointRotation* rotation = joint->rotation;
  rotation->rotation[0] = r[0];
  rotation->rotation[1] = r[1];
  rotation->rotation[2] = r[3];
  rotation->rotation[3] = r[4];
  std::memcpy(rotation->position, framePosition(side), sizeof rotation->position);
}

// v in the frame of a described 3x3 rotation: out = Rᵀ·v over the plane.
void intoFrame(const double* rotation3x3, const double* v, double* out) {
  out[0] = rotation3x3[0] * v[0] + rotation3x3[1] * v[1];
  out[1] = rotation3x3[3] * v[0] + rotation3x3[4] * v[1];
  out[2] = 0.0;
}

// Inboard-side frame and zero-position turn of joint k, from the described
// placement of its inboard body (the outboard-side frame of `inboard`).
void setBaseAttachment(EngineJoint* joint, const EngineJoint* inboard) {
  EngineGeneralJoint* general = generalOf(joint);
  if (general == nullptr) return;
  const EngineAttachment& reference = outboardSide(inboard);
  const EngineAttachment& side = inboardSide(joint);
  const double* origin = framePosition(reference);
  const double* frame = frameRotation(reference);
  double d[3];
  for (int i = 0; i < 3; ++i) d[i] = framePosition(side)[i] - origin[i];
  intoFrame(frame, d, general->baseOffset);
  // turn = R_inboardᵀ · R_outboard (2x2 blocks)
  const double* b = frameRotation(outboardSide(joint));
  general->baseTurn[0] = frame[0] * b[0] + frame[1] * b[1];
  general->baseTurn[1] = frame[3] * b[0] + frame[4] * b[1];
  general->baseTurn[2] = frame[0] * b[3] + frame[1] * b[4];
  general->baseTurn[3] = frame[3] * b[3] + frame[4] * b[4];
  // Prismatic axes turn with the joint's base rotation (the inboard body
  // turned by `turn`): kept in the outboard frame at the zero position.
  const double* zero = frameRotation(outboardSide(joint));
  for (int i = 0; i < general->prismaticAxes->count; ++i) {
    double* axis = general->prismaticAxes->matrices[i]->data;
    double local[3];
    intoFrame(zero, axis, local);
    std::memcpy(axis, local, sizeof local);
  }
}

bool createJoint(EngineMechanism* mechanism, EngineJoint* joint, int index) {
  const MechanismMethods& methods = *mechanism->methods;
  const bool simulate2D = is2D(mechanism);
  if (simulate2D) {
    const EngineMethod transform = methods.jointMethods->transformMethods != nullptr
                                       ? methods.jointMethods->transformMethods[index]
                                       : nullptr;
    if (reportMissingTransform(transform, joint->blockName, kJointSource, 371)) return true;
    const double* plane = mechanism->planeTransform->matrices[0]->data;
    if (methodAs<JointTransformMethod>(transform)(joint, plane)) return true;
  }
  joint->time = &mechanism->time;
  countCoordinates(joint, simulate2D);
  if (!buildJointParts(joint)) return reportBlockOutOfMemory(joint->blockName);
  placeAtDescription(joint);
  const EngineMethod create = methods.jointMethods->createMethods != nullptr
                                  ? methods.jointMethods->createMethods[index]
                                  : nullptr;
  return callRecordMethod<JointKindCreateMethod>(create, joint, mechanism);
}

void destroyJoint(EngineJoint* joint) {
  if (EngineJointRotation* rotation = joint->rotation) {
    destroyGeneralJointRecord(&rotation->general);
    releaseEngineMatrix(&rotation->positions);
    releaseEngineMatrix(&rotation->velocities);
    releaseEngineMatrix(&rotation->accelerations);
    engineReleaseSlot(joint->rotation);
  }
  releaseIndexList(&joint->drivenPositions);
  releaseIndexList(&joint->drivenVelocities);
  releaseIndexList(&joint->freePositions);
  releaseIndexList(&joint->freeVelocities);
  releaseCells(&joint->motion, kMotionEntryCount);
  releaseCells(&joint->force, kForceEntryCount);
}

// A world-axis offset from the body's reference point, turned into the body frame.
void bodyFrameOffset(const EngineJoint* placement, const double* offset, double* out) {
  if (offset == nullptr) {
    out[0] = out[1] = out[2] = 0.0;
    return;
  }
  intoFrame(frameRotation(outboardSide(placement)), offset, out);
}

bool buildBody(EngineMechanism* mechanism, EngineBody* body, const EngineChain* chain, int k) {
  if (!newCells(&body->dynamic, kBodyShapes, kBodyDynamicCount, 0)) return false;
  const EngineJoint* placement = chain->joints[k];
  const EngineBodyDescription* description = body->description;
  bodyData(body, kBodyMass)[0] = describedMass(body);
  if (description != nullptr && description->inertia != nullptr) {
    std::memcpy(bodyData(body, kBodyInertia), description->inertia, 9 * sizeof(double));
  }
  if (k >= 1) {
    const EngineGeneralJoint* outboard = generalOf(chain->joints[k - 1]);
    if (outboard != nullptr) {
      std::memcpy(bodyData(body, kBodyOutboardOffset), outboard->baseOffset, 3 * sizeof(double));
    }
  }
  // The centre of mass starts at the described centre of mass: the inertia is
  // given about the reference point, so the mass must sit at its own place.
  bodyFrameOffset(placement, description != nullptr ? description->centreOfMass : nullptr,
                  bodyData(body, kBodyCentreOfMass));
  body->methods = engineAllocateArrayOf<EngineMethod>(kBodyMethodCount);
  if (body->methods == nullptr) return false;
  const MethodBindingTable* table = mechanism->methods->bindingTable;
  body->methods[kBodySpatialInertia] =
      is2D(mechanism) ? toEngineMethod(&spatialInertia2D) : toEngineMethod(&spatialInertia3D);
  if (description != nullptr && (description->numActuators > 0 || description->numMassInputs > 0)) {
    body->methods[kBodyForceInput] = boundMethod(table, EngineMethodRole::bodyDynamicInputs);
  }
  if (description != nullptr && description->numSensors > 0) {
    body->methods[kBodySensorOutput] = boundMethod(table, EngineMethodRole::bodyDynamicOutputs);
  }
  return true;
}

}  // namespace

bool reportBlockOutOfMemory(const char* blockName) {
  return setEngineError(kMessageBlockOutOfMemory, blockName != nullptr ? blockName : "");
}

bool reportModelOutOfMemory() {
  return setEngineError(kMessageModelOutOfMemory);
}

void setPlaneRotation(double* rotation, double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  rotation[0] = c;
  rotation[1] = s;
  rotation[2] = -s;
  rotation[3] = c;
}

void multiplyRotations(const double* a, const double* b, double* out) {
  out[0] = a[0] * b[0] + a[2] * b[1];
  out[1] = a[1] * b[0] + a[3] * b[1];
  out[2] = a[0] * b[2] + a[2] * b[3];
  out[3] = a[1] * b[2] + a[3] * b[3];
}

void spatialInertia2D(double* out, double mass, const double* centre, const double* inertia) {
  const double x = centre[0];
  const double y = centre[1];
  // rows (J, -m y, m x), (-m y, m, 0), (m x, 0, m), stored column-major 3x3
  out[0] = inertia[8];
  out[1] = -mass * y;
  out[2] = mass * x;
  out[3] = -mass * y;
  out[4] = mass;
  out[5] = 0.0;
  out[6] = mass * x;
  out[7] = 0.0;
  out[8] = mass;
}

void spatialInertia3D(double* out, double mass, const double* c, const double* inertia) {
  for (int i = 0; i < 36; ++i) out[i] = 0.0;
  const double cross[9] = {0, mass * c[2], -mass * c[1], -mass * c[2],
                           0, mass * c[0], mass * c[1],  -mass * c[0],
                           0};  // m·[c]×, column-major
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) {
      out[i + 6 * j] = inertia[i + 3 * j];
      out[i + 6 * (j + 3)] = cross[i + 3 * j];
      out[(i + 3) + 6 * j] = -cross[i + 3 * j];
    }
    out[(j + 3) + 6 * (j + 3)] = mass;
  }
}

bool createEngineJoint(EngineMechanism* mechanism) {
  int index = 0;
  const bool failed = forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    return createJoint(mechanism, joint, index++);
  });
  if (failed) return true;
  for (int c = 0; c < mechanism->numChains; ++c) {
    EngineChain* chain = mechanism->chains[c];
    for (int k = 0; k < chain->numJoints; ++k) {
      setBaseAttachment(chain->joints[k], inboardPlacement(chain, k));
    }
  }
  return false;
}

bool destroyEngineJoint(EngineMechanism* mechanism) {
  forEachJoint(mechanism, [](EngineJoint* joint, int, int) {
    destroyJoint(joint);
    return false;
  });
  return false;
}

bool createEngineBody(EngineMechanism* mechanism) {
  const EngineMethod transform = (*mechanism->methods)[MechanismSlot::xyTransformBody];
  const bool simulate2D = is2D(mechanism);
  if (simulate2D && transform == nullptr) {
    assertionFailed("mechanism->methods->xyTransformBodyMethod != NULL", nullptr, kBodySource, 145);
  }
  for (int c = 0; c < mechanism->numChains; ++c) {
    EngineChain* chain = mechanism->chains[c];
    if (chain->bodies == nullptr) continue;
    for (int k = 0; k < chain->numJoints; ++k) {
      EngineBody* body = chain->bodies[k];
      if (body == nullptr) continue;
      if (simulate2D && transform != nullptr &&
          methodAs<BodyTransformMethod>(transform)(body,
                                                   mechanism->planeTransform->matrices[0]->data)) {
        return true;
      }
      if (!buildBody(mechanism, body, chain, k)) return reportBlockOutOfMemory(body->blockName);
    }
  }
  return false;
}

bool destroyEngineBody(EngineMechanism* mechanism) {
  for (int c = 0; c < mechanism->numChains; ++c) {
    EngineChain* chain = mechanism->chains[c];
    if (chain->bodies == nullptr) continue;
    for (int k = 0; k < chain->numJoints; ++k) {
      EngineBody* body = chain->bodies[k];
      if (body == nullptr) continue;
      releaseCells(&body->dynamic, kBodyDynamicCount);
      engineReleaseSlot(body->methods);
    }
  }
  return false;
}
