#include "mech_engine_common/planarity.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "mech_engine_common/coordinate_transform.h"
#include "mech_engine_common/engine_allocation.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/engine_records.h"
#include "mech_engine_common/engine_vector_kernels.h"
#include "mech_engine_common/qr_factorisation.h"
#include "mech_engine_common/transform_buffer.h"

// The check collects, per joint and constraint, at most two 3-vectors that
// span the directions it moves in; the mechanism is planar when all collected
// vectors together have rank 2 or less.

namespace {

constexpr const char* kSourcePath =
    "mech_engine/mech_engine_common/determineSimulationDimensionality";
constexpr int kVectorsPerItem = 2;

// Rank test tolerance of a 3-row group.
double groupTolerance(int count) {
  return qrDefaultTolerance(3, count);
}

// Growing list of collected 3-vectors with a fixed capacity.
struct VectorList {
  double* data;
  int count;
  int capacity;

  bool add(const double* v) {
    if (count >= capacity) {
      releaseAssertion();
      return false;
    }
    std::copy(v, v + 3, data + 3 * count);
    ++count;
    return true;
  }
};

struct CheckState {
  EngineMechanism* mechanism;
  VectorList list;
  bool planar = true;
  const char* offendingBlock = nullptr;

  void nonPlanar(const char* blockName) {
    if (planar) offendingBlock = blockName;
    planar = false;
  }
};

// Factors a group of vectors (3 rows, one column each); rank above 2 makes the
// mechanism non-planar, else the group's basis vectors Q·e1 (and Q·e2) join the
// list. True on failure.
bool rankTest(CheckState& state, const double* vectors, int count, const char* blockName) {
  if (count <= 0) return false;
  const std::size_t n = static_cast<std::size_t>(count);
  double* work = engineAllocateArrayOf<double>(3 * n + 2 * n);
  auto* pivot = engineAllocateArrayOf<std::int32_t>(n);
  if (work == nullptr || pivot == nullptr) {
    engineReleaseSlot(work);
    engineReleaseSlot(pivot);
    return setEngineError(kMessageModelOutOfMemory);
  }
  double* factor = work;
  double* qraux = work + 3 * n;
  double* columnWork = qraux + n;
  std::copy(vectors, vectors + 3 * n, factor);
  qrFactorPivoted(factor, 3, count, qraux, pivot, columnWork);
  const int rank = qrNumericalRank(factor, 3, count, groupTolerance(count));
  bool failed = false;
  if (rank > 2) {
    state.nonPlanar(blockName);
  } else {
    for (int k = 0; k < rank && !failed; ++k) {
      double basis[3] = {0.0, 0.0, 0.0};
      basis[k] = 1.0;
      qrApplyQ(factor, 3, count, qraux, basis);
      if (!state.list.add(basis)) failed = setEngineError(kMessageModelOutOfMemory);
    }
  }
  engineReleaseSlot(work);
  engineReleaseSlot(pivot);
  return failed;
}

bool hasNonPlanarPrimitive(std::int32_t count, const EnginePrimitive* primitives) {
  for (int i = 0; i < count; ++i) {
    if (primitives[i].kind == kPrimitiveNonPlanar) return true;
  }
  return false;
}

// General joints and general constraints: revolute primitives contribute the
// two axes perpendicular to their axis, prismatic ones their axis.
bool collectGeneral(CheckState& state, std::int32_t count, const EnginePrimitive* primitives,
                    const char* blockName) {
  double group[3 * 4];  // at most two prismatic axes and the two perpendicular axes
  int prismatic = 0;
  int revolute = 0;
  double perpendicular[6];
  for (int i = 0; i < count && state.planar; ++i) {
    const EnginePrimitive& primitive = primitives[i];
    switch (primitive.kind) {
      case kPrimitiveWeld:
        break;
      case kPrimitiveRevolute:
        if (++revolute > 1) {
          state.nonPlanar(blockName);
          break;
        }
        coordinateTransform(perpendicular, primitive.axis);
        break;
      case kPrimitivePrismatic:
        if (++prismatic > 2) {
          state.nonPlanar(blockName);
          break;
        }
        std::copy(primitive.axis, primitive.axis + 3, group + 3 * (prismatic - 1));
        break;
      case kPrimitiveSpherical:
        state.nonPlanar(blockName);
        break;
      default:
        releaseAssertion();
        break;
    }
  }
  if (!state.planar) return false;
  if (revolute == 1) {
    std::copy(perpendicular, perpendicular + 6, group + 3 * prismatic);
    return rankTest(state, group, prismatic + 2, blockName);
  }
  for (int k = 0; k < prismatic; ++k) {
    if (!state.list.add(group + 3 * k)) return setEngineError(kMessageModelOutOfMemory);
  }
  return false;
}

// The two frames of a pair of normals (normalised first), 12 doubles.
void normalFrames(double* frames, const double* normals) {
  coordinateTransformNormalised(frames, normals);
  coordinateTransformNormalised(frames + 6, normals + 3);
}

bool keepVectors(CheckState& state, const EngineConstraint* constraint, int count) {
  if (constraint->numKindVectors < count || constraint->kindVectors == nullptr) {
    releaseAssertion();
    return false;
  }
  for (int k = 0; k < count; ++k) {
    if (!state.list.add(constraint->kindVectors + 3 * k)) {
      return setEngineError(kMessageModelOutOfMemory);
    }
  }
  return false;
}

// Real roots of 3a·t² + 2b·t + c by the stable quadratic formula; returns the count.
int derivativeRoots(const double* coefficients, double* roots) {
  const double qa = 3.0 * coefficients[0];
  const double qb = 2.0 * coefficients[1];
  const double qc = coefficients[2];
  if (qa == 0.0) {
    if (qb == 0.0) return 0;
    roots[0] = -qc / qb;
    return 1;
  }
  const double discriminant = qb * qb - 4.0 * qa * qc;
  if (discriminant < 0.0) return 0;
  const double q = -0.5 * (qb + std::copysign(std::sqrt(discriminant), qb));
  if (q == 0.0) {  // qb = 0 and qc = 0: a double root at 0
    roots[0] = 0.0;
    return 1;
  }
  roots[0] = q / qa;
  roots[1] = qc / q;
  return 2;
}

double cubicAt(const double* coefficients, double t) {
  return ((coefficients[0] * t + coefficients[1]) * t + coefficients[2]) * t + coefficients[3];
}

// Point-curve constraint: the curve points where a coordinate is stationary,
// relative to the first curve point.
bool collectPointCurve(CheckState& state, const EngineConstraint* constraint) {
  const int segments = constraint->numCurveSegments;
  if (segments <= 0 || constraint->curveSegments == nullptr) return false;
  const std::size_t capacity = static_cast<std::size_t>(segments) * 3 * 2 * 3;
  double* vectors = engineAllocateArrayOf<double>(capacity);
  if (vectors == nullptr) return setEngineError(kMessageModelOutOfMemory);
  double first[3];
  for (int c = 0; c < 3; ++c) first[c] = constraint->curveSegments[0].coefficients[c][3];
  int count = 0;
  for (int s = 0; s < segments; ++s) {
    const EngineCurveSegment& segment = constraint->curveSegments[s];
    for (int coordinate = 0; coordinate < 3; ++coordinate) {
      double roots[2];
      const int found = derivativeRoots(segment.coefficients[coordinate], roots);
      for (int r = 0; r < found; ++r, ++count) {
        for (int c = 0; c < 3; ++c) {
          vectors[3 * count + c] = cubicAt(segment.coefficients[c], roots[r]) - first[c];
        }
      }
    }
  }
  const bool failed = rankTest(state, vectors, count, constraint->blockName);
  engineReleaseSlot(vectors);
  return failed;
}

int jointReservation(const EngineJoint* joint) {
  int slots = 2 * (joint->numPrimitives + joint->numActuators + joint->numSensors) + 3;
  if (joint->kind == kJointGeneral) slots += joint->numPrimitives + joint->numSensors + 3;
  return slots;
}

// What xyTransformBody2D maps of a body: reference position and rotation,
// centre of mass and inertia, each input's frame and position, each sensor's
// transform and position.
int bodyReservation(const EngineBody* body) {
  if (body == nullptr || body->description == nullptr) return 0;
  const EngineBodyDescription* d = body->description;
  return 4 + 2 * (d->numActuators + d->numMassInputs + d->numSensors);
}

bool checkJoint(CheckState& state, const EngineJoint* joint) {
  reserveTransformBuffer(jointReservation(joint));
  if (joint->kind != kJointGeneral ||
      hasNonPlanarPrimitive(joint->numPrimitives, joint->primitives)) {
    state.nonPlanar(joint->blockName);
    return false;
  }
  return collectGeneral(state, joint->numPrimitives, joint->primitives, joint->blockName);
}

bool checkConstraint(CheckState& state, const EngineConstraint* constraint) {
  const char* name = constraint->blockName;
  switch (constraint->kind) {
    case kConstraintConstantVelocity:
    case kConstraintGear:
    case kConstraintGeneral:
    case kConstraintParallel:
    case kConstraintPointCurve:
    case kConstraintAngleDriver:
    case kConstraintLinearDriver:
    case kConstraintDistanceDriver:
      break;
    default:
      state.nonPlanar(name);
      return false;
  }
  if (hasNonPlanarPrimitive(constraint->numPrimitives, constraint->primitives)) {
    state.nonPlanar(name);
    return false;
  }
  switch (constraint->kind) {
    case kConstraintConstantVelocity: {
      reserveTransformBuffer(7);
      if (constraint->numKindVectors < 4 || constraint->kindVectors == nullptr) {
        releaseAssertion();
        return false;
      }
      double group[18];
      normalFrames(group, constraint->kindVectors);
      std::copy(constraint->kindVectors + 6, constraint->kindVectors + 12, group + 12);
      return rankTest(state, group, 6, name);
    }
    case kConstraintGear: {
      reserveTransformBuffer(5);
      if (constraint->numKindVectors < 2 || constraint->kindVectors == nullptr) {
        releaseAssertion();
        return false;
      }
      double group[12];
      normalFrames(group, constraint->kindVectors);
      return rankTest(state, group, 4, name);
    }
    case kConstraintGeneral:
      // Its two frames (rotation and position each) and its primitive axes.
      reserveTransformBuffer(constraint->numPrimitives + constraint->numSensors + 4);
      return collectGeneral(state, constraint->numPrimitives, constraint->primitives, name);
    case kConstraintParallel:
    case kConstraintAngleDriver:
      reserveTransformBuffer(5);
      return keepVectors(state, constraint, 2);
    case kConstraintPointCurve:
      reserveTransformBuffer(4);
      return collectPointCurve(state, constraint);
    case kConstraintLinearDriver:
      reserveTransformBuffer(4);
      return keepVectors(state, constraint, 1);
    default:  // distance driver
      reserveTransformBuffer(3);
      return false;
  }
}

// The plane spanned by the collected vectors: axes into first and second;
// false when they span all of space.
bool findPlane(const VectorList& list, double* first, double* second, bool* failed) {
  *failed = false;
  bool allInXY = true;
  for (int k = 0; k < list.count && allInXY; ++k) allInXY = list.data[3 * k + 2] == 0.0;
  if (allInXY) {
    const double x[3] = {1.0, 0.0, 0.0}, y[3] = {0.0, 1.0, 0.0};
    std::copy(x, x + 3, first);
    std::copy(y, y + 3, second);
    return true;
  }
  const std::size_t n = static_cast<std::size_t>(list.count);
  double* work = engineAllocateArrayOf<double>(5 * n);
  auto* pivot = engineAllocateArrayOf<std::int32_t>(n);
  if (work == nullptr || pivot == nullptr) {
    engineReleaseSlot(work);
    engineReleaseSlot(pivot);
    *failed = setEngineError(kMessageModelOutOfMemory);
    return false;
  }
  double* factor = work;
  double* qraux = work + 3 * n;
  std::copy(list.data, list.data + 3 * n, factor);
  qrFactorPivoted(factor, 3, list.count, qraux, pivot, qraux + n);
  const int rank = qrNumericalRank(factor, 3, list.count, groupTolerance(list.count));
  if (rank <= 2) {
    for (int c = 0; c < 3; ++c) first[c] = c == 0 ? 1.0 : 0.0;
    qrApplyQ(factor, 3, list.count, qraux, first);
    if (rank == 2) {
      for (int c = 0; c < 3; ++c) second[c] = c == 1 ? 1.0 : 0.0;
      qrApplyQ(factor, 3, list.count, qraux, second);
    } else {  // one direction: complete the plane with an axis perpendicular to it
      double frame[6];
      coordinateTransformNormalised(frame, first);
      std::copy(frame, frame + 3, second);
    }
  }
  engineReleaseSlot(work);
  engineReleaseSlot(pivot);
  return rank <= 2;
}

// Stores the rotation into the plane: its rows are the two normalised axes and
// their cross product.
bool makePlaneTransform(EngineMechanism* mechanism, double* first, double* second) {
  releaseEngineMatrixList(&mechanism->planeTransform);
  mechanism->planeTransform = newEngineMatrixList(1, 9);
  if (mechanism->planeTransform == nullptr) return setEngineError(kMessageModelOutOfMemory);
  normalise(first, 3);
  normalise(second, 3);
  double normal[3];
  crossProducts(normal, first, second, 1);
  double* t = mechanism->planeTransform->matrices[0]->data;
  for (int c = 0; c < 3; ++c) {
    t[0 + 3 * c] = first[c];
    t[1 + 3 * c] = second[c];
    t[2 + 3 * c] = normal[c];
  }
  return false;
}

}  // namespace

bool checkMechanismPlanarity(EngineMechanism* mechanism, bool reportNonPlanar, bool* planar) {
  *planar = false;
  beginTransformBuffer();

  int items = mechanism->numConstraints;
  for (int c = 0; c < mechanism->numChains; ++c) items += mechanism->chains[c]->numJoints;
  CheckState state{mechanism, {nullptr, 0, kVectorsPerItem * items}};
  if (items > 0) {
    state.list.data =
        engineAllocateArrayOf<double>(3 * static_cast<std::size_t>(items) * kVectorsPerItem);
    if (state.list.data == nullptr) return setEngineError(kMessageModelOutOfMemory);
  }

  bool failed = false;
  for (int c = 0; c < mechanism->numChains && state.planar && !failed; ++c) {
    const EngineChain* chain = mechanism->chains[c];
    for (int j = 0; j < chain->numJoints && state.planar && !failed; ++j) {
      if (chain->bodies != nullptr) reserveTransformBuffer(bodyReservation(chain->bodies[j]));
      failed = checkJoint(state, chain->joints[j]);
    }
  }
  for (int i = 0; i < mechanism->numConstraints && state.planar && !failed; ++i) {
    failed = checkConstraint(state, mechanism->constraints[i]);
  }

  if (!failed && state.planar) {
    double first[3], second[3];
    state.planar = findPlane(state.list, first, second, &failed);
    if (!failed && state.planar) {
      failed = makePlaneTransform(mechanism, first, second);
      if (mechanism->transform2D == nullptr) {
        assertionFailed("mechanism->transform2D != NULL", nullptr, kSourcePath, 326);
      }
      reserveTransformBuffer(1);
    }
  }
  if (!failed && !state.planar && reportNonPlanar) {
    // Vectors that only together span space name no single block: the ground's path stands in.
    const char* block = state.offendingBlock;
    if (block == nullptr && mechanism->environment != nullptr) {
      block = mechanism->environment->groundName;
    }
    failed = setEngineError(kMessage3DDisabled, block != nullptr ? block : "");
  }
  engineReleaseSlot(state.list.data);
  *planar = !failed && state.planar;
  return failed;
}
