#include <cstring>

#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_methods.h"
#include "mech_engine_common/engine_vector_kernels.h"
#include "mech_engine_common/prismatic_geometry.h"

// The general joint's kind part: its record (index lists, modes, axes,
// displacements), its initial conditions, the prismatic geometry check and
// its method record, bound from the mechanism's binding table.

namespace {

using R = EngineMethodRole;

struct PrimitiveCounts {
  int revolute = 0;
  int prismatic = 0;
  int spherical = 0;
  bool forceActuated = false;
  bool stiction = false;
  bool motionDriven = false;
};

PrimitiveCounts countPrimitives(const EngineJoint* joint) {
  PrimitiveCounts counts;
  for (int i = 0; i < joint->numPrimitives; ++i) {
    const EnginePrimitive& primitive = joint->primitives[i];
    if (primitive.kind == kPrimitiveRevolute) ++counts.revolute;
    if (primitive.kind == kPrimitivePrismatic) ++counts.prismatic;
    if (primitive.kind == kPrimitiveSpherical) ++counts.spherical;
    if (primitive.actuation == kActuationForce) counts.forceActuated = true;
    if (primitive.actuation == kActuationMotionDriven) counts.motionDriven = true;
    if (primitive.stiction == kStictionActuated) counts.stiction = true;
  }
  return counts;
}

bool hasSensorCode(const EngineJoint* joint, std::initializer_list<int> codes) {
  for (int i = 0; i < joint->numSensors && joint->sensors != nullptr; ++i) {
    for (int code : codes) {
      if (joint->sensors[i].code == code) return true;
    }
  }
  return false;
}

bool allocateRecord(EngineGeneralJoint* g, const EngineJoint* joint, const PrimitiveCounts& n) {
  g->prismaticIndices = newIndexList(n.prismatic);
  g->revoluteIndices = newIndexList(n.revolute);
  g->sphericalIndices = newIndexList(4 * n.spherical);
  g->primitiveNumbers = newIndexList(joint->numPositions);
  g->modes = newIndexList(joint->numPrimitives);
  if (!g->prismaticIndices || !g->revoluteIndices || !g->sphericalIndices || !g->primitiveNumbers ||
      !g->modes) {
    return false;
  }
  g->sphericalRows = newEngineMatrix(4 * n.spherical, 4 * n.spherical, 0, 1);
  g->sphericalSquare = newEngineMatrix(3 * n.spherical, 3 * n.spherical, 0, 1);
  g->displacements = newEngineMatrix(n.prismatic, 1, 0, 1);
  if (!g->sphericalRows || !g->sphericalSquare || !g->displacements) return false;
  g->prismaticAxes = newEngineMatrixList(n.prismatic, 3);
  g->prismaticAxesWorld = newEngineMatrixList(n.prismatic, 3);
  g->revoluteAxes = newEngineMatrixList(n.revolute, 3);
  g->revoluteAxesWorld = newEngineMatrixList(n.revolute, 3);
  return g->prismaticAxes && g->prismaticAxesWorld && g->revoluteAxes && g->revoluteAxesWorld;
}

// Index lists and axes, in primitive order.
void fillIndices(EngineGeneralJoint* g, const EngineJoint* joint) {
  int position = 0;
  int revolute = 0;
  int prismatic = 0;
  int spherical = 0;
  for (int i = 0; i < joint->numPrimitives; ++i) {
    const EnginePrimitive& primitive = joint->primitives[i];
    switch (primitive.kind) {
      case kPrimitiveRevolute:
        g->revoluteIndices->indices[revolute] = position;
        std::memcpy(g->revoluteAxes->matrices[revolute]->data, primitive.axis, 3 * sizeof(double));
        std::memcpy(g->revoluteAxesWorld->matrices[revolute]->data, primitive.axis,
                    3 * sizeof(double));
        g->primitiveNumbers->indices[position++] = revolute++;
        break;
      case kPrimitivePrismatic:
        g->prismaticIndices->indices[prismatic] = position;
        std::memcpy(g->prismaticAxes->matrices[prismatic]->data, primitive.axis,
                    3 * sizeof(double));
        std::memcpy(g->prismaticAxesWorld->matrices[prismatic]->data, primitive.axis,
                    3 * sizeof(double));
        g->primitiveNumbers->indices[position++] = prismatic++;
        break;
      case kPrimitiveSpherical:
        for (int q = 0; q < 4; ++q) g->sphericalIndices->indices[4 * spherical + q] = position++;
        ++spherical;
        break;
      default:  // weld
        ++position;
        break;
    }
  }
}

// Initial-condition actuators set the starting coordinates.
void applyInitialConditions(EngineJoint* joint) {
  const double sign = joint->reversed ? -1.0 : 1.0;
  int position = 0;
  int velocity = 0;
  for (int i = 0; i < joint->numPrimitives; ++i) {
    const EnginePrimitive& primitive = joint->primitives[i];
    if (primitive.kind == kPrimitiveSpherical) {
      // The quaternion starts as the identity (scalar last).
      jointPositions(joint)[position + 3] = 1.0;
      position += 4;
      velocity += 3;
      continue;
    }
    if (primitive.initialCondition == kInitialConditionActuated) {
      jointPositions(joint)[position] = sign * primitive.initialPosition;
      jointVelocities(joint)[velocity] = sign * primitive.initialVelocity;
    }
    ++position;
    ++velocity;
  }
}

bool checkGeometry(EngineJoint* joint, EngineGeneralJoint* g, int dimension) {
  double d[3];
  for (int i = 0; i < 3; ++i) {
    d[i] = framePosition(joint->follower)[i] - framePosition(joint->base)[i];
  }
  const int p = g->prismaticAxes->count;
  const double* axes[3] = {nullptr, nullptr, nullptr};
  for (int i = 0; i < p && i < 3; ++i) axes[i] = g->prismaticAxes->matrices[i]->data;
  double displacements[3] = {0, 0, 0};
  if (checkPrismaticGeometry(joint->blockName, d, axes, p < 3 ? p : 3, dimension,
                             *g->linearTolerance, displacements)) {
    return true;
  }
  // The engine moves the outboard body from the inboard one: a reversed joint
  // runs the displacement the other way.
  const double sign = joint->reversed ? -1.0 : 1.0;
  for (int i = 0; i < p && i < 3; ++i) g->displacements->data[i] = sign * displacements[i];
  return false;
}

void bindMethods(EngineGeneralJoint* g, const EngineJoint* joint, const EngineMechanism* mechanism,
                 const PrimitiveCounts& n) {
  const MethodBindingTable* table = mechanism->methods->bindingTable;
  EngineMethod* m = g->methods;
  m[kJointLoadArray] = boundMethod(table, R::loadGeneralJointArray);
  m[kJointUnlockAxes] = boundMethod(table, R::unlockGeneralJointAxes);
  m[kJointIcActuated] = boundMethod(table, R::generalJointIcActuated);
  m[kJointPutPositionState] = boundMethod(table, R::putGeneralJointPositionState);
  m[kJointPutVelocityState] = boundMethod(table, R::putGeneralJointVelocityState);
  m[kJointSetupMotionArrays] = boundMethod(table, R::setupGeneralJointMotionArrays);
  m[kJointSetupInitialState] = boundMethod(table, R::setupGeneralJointInitialState);
  m[kJointHaveMotionDrivers] = boundMethod(table, R::haveGeneralJointMotionDrivers);
  m[kJointUpdateMotionArrays] = boundMethod(table, R::updateGeneralJointMotionArrays);
  m[kJointCorrectMotionArrays] = boundMethod(table, R::correctGeneralJointMotionArrays);
  m[kJointReleaseMotionDrivers] = boundMethod(table, R::releaseGeneralJointMotionDrivers);
  m[kJointExtractPositionState] = boundMethod(table, R::extractGeneralJointPositionState);
  m[kJointExtractVelocityState] = boundMethod(table, R::extractGeneralJointVelocityState);
  m[kJointPutPositionDerivatives] = boundMethod(table, R::putGeneralJointPositionDerivatives);
  m[kJointPutVelocityDerivatives] = boundMethod(table, R::putGeneralJointVelocityDerivatives);
  if (!is2D(mechanism)) {
    m[kJointQuaternionEquations] = boundMethod(table, R::addGeneralJointQuaternionEquations);
  }
  const bool firstIsWeld = joint->numPrimitives > 0 && joint->primitives[0].kind == kPrimitiveWeld;
  if (n.motionDriven && !firstIsWeld) {
    m[kJointKinematicInputs] = boundMethod(table, R::generalJointKinematicInputs);
  }
  if (n.forceActuated || n.stiction) {
    m[kJointDynamicInputs] = boundMethod(table, R::generalJointDynamicInputs);
  }
  if (n.stiction) {
    m[kJointModeVector] = boundMethod(table, R::updateGeneralJointModeVector);
    m[kJointZeroCrossing] = boundMethod(table, R::generalJointZeroCrossingFunction);
    m[kJointEventInputs] = joint->linked ? boundMethod(table, R::generalJointLinked)
                                         : boundMethod(table, R::generalJointEventInputs);
  }
  if (n.spherical > 0) m[kJointSpherical] = boundMethod(table, R::normaliseGeneralJointQuaternion);
  if (hasSensorCode(joint, {8, 9})) {
    m[kJointKinematicOutputs] = boundMethod(table, R::generalJointKinematicOutputs);
  }
  if (hasSensorCode(joint, {3, 11, 14, 15})) {
    m[kJointDynamicOutputs] = boundMethod(table, R::generalJointDynamicOutputs);
  }
  R position = R::UNKNOWN_METHOD;
  R velocity = R::UNKNOWN_METHOD;
  if (joint->numPrimitives >= 2) {
    position = R::computeCompoundJointPositionParameters;
    velocity = R::computeCompoundJointVelocityParameters;
  } else if (joint->numPrimitives == 1) {
    switch (joint->primitives[0].kind) {
      case kPrimitiveWeld:
        position = R::computeWeldJointPositionParameters;
        velocity = R::computeWeldJointVelocityParameters;
        break;
      case kPrimitiveRevolute:
        position = R::computeRevoluteJointPositionParameters;
        velocity = R::computeRevoluteJointVelocityParameters;
        break;
      case kPrimitivePrismatic:
        position = R::computePrismaticJointPositionParameters;
        velocity = R::computePrismaticJointVelocityParameters;
        break;
      case kPrimitiveSpherical:
        position = R::computeSphericalJointPositionParameters;
        velocity = R::computeSphericalJointVelocityParameters;
        break;
      default:
        releaseAssertion();
        break;
    }
  }
  if (position != R::UNKNOWN_METHOD) {
    m[kJointPositionParameters] = boundMethod(table, position);
    m[kJointVelocityParameters] = boundMethod(table, velocity);
  }
}

}  // namespace

bool createEngineGeneralJoint(EngineJoint* joint, EngineMechanism* mechanism) {
  auto* g = engineAllocateArrayOf<EngineGeneralJoint>(1);
  joint->rotation->general = g;
  if (g == nullptr) return reportBlockOutOfMemory(joint->blockName);
  g->timeStamp = -kEngineRealmax;
  g->linearTolerance = &mechanism->environment->linearAssemblyTolerance;
  g->angularTolerance = &mechanism->environment->angularAssemblyTolerance;
  g->time = &mechanism->time;
  const PrimitiveCounts counts = countPrimitives(joint);
  if (!allocateRecord(g, joint, counts)) return reportBlockOutOfMemory(joint->blockName);
  fillIndices(g, joint);
  applyInitialConditions(joint);
  if (checkGeometry(joint, g, is2D(mechanism) ? 2 : 3)) return true;
  joint->rotation->hasSpherical = counts.spherical > 0 ? 1 : 0;
  joint->rotation->quaternionCount = joint->numPrimitives + 3 * counts.spherical;
  bindMethods(g, joint, mechanism, counts);
  return false;
}

void destroyGeneralJointRecord(EngineGeneralJoint** slot) {
  EngineGeneralJoint* g = *slot;
  if (g == nullptr) return;
  releaseIndexList(&g->prismaticIndices);
  releaseIndexList(&g->revoluteIndices);
  releaseIndexList(&g->sphericalIndices);
  releaseIndexList(&g->primitiveNumbers);
  releaseIndexList(&g->modes);
  releaseEngineMatrix(&g->sphericalRows);
  releaseEngineMatrix(&g->sphericalSquare);
  releaseEngineMatrix(&g->displacements);
  releaseEngineMatrixList(&g->prismaticAxes);
  releaseEngineMatrixList(&g->prismaticAxesWorld);
  releaseEngineMatrixList(&g->revoluteAxes);
  releaseEngineMatrixList(&g->revoluteAxesWorld);
  engineReleaseSlot(*slot);
}
