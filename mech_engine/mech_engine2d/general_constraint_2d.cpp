#include <cmath>
#include <cstring>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_vector_kernels.h"
#include "mech_engine_common/prismatic_geometry.h"
#include "mech_engine_common/qr_factorisation.h"

// Creation of constraints in the plane: the attachment record, the equation
// set, the primitive record and the general constraint's kind part with its
// method record and primitive-equation family; the constraint's motion
// arrays and equation modes.

namespace {

using R = EngineMethodRole;

constexpr const char* kConstraintSource = "mech_engine/mech_engine2d/createEngineConstraint2D";
constexpr const char* kGeneralSource = "mech_engine/mech_engine2d/createGeneralEngineConstraint2D";

int countKind(const EngineConstraint* constraint, int kind) {
  int count = 0;
  for (int i = 0; i < constraint->numPrimitives; ++i) {
    if (constraint->primitives[i].kind == kind) ++count;
  }
  return count;
}

bool isPrescribed(const EnginePrimitive& primitive) {
  return primitive.actuation == kActuationMotionDriven ||
         primitive.initialCondition == kInitialConditionActuated ||
         primitive.stiction == kStictionActuated;
}

// Number of equations of a constraint by kind.
int equationCount(const EngineConstraint* constraint) {
  switch (constraint->kind) {
    case kConstraintConstantVelocity:
    case kConstraintGear:
    case kConstraintParallel:
    case kConstraintPointCurve:
    case kConstraintAngleDriver:
    case kConstraintLinearDriver:
    case kConstraintDistanceDriver:
    case kConstraintRevoluteRevolute:
      return 1;
    case kConstraintGeneral: {
      if (constraint->numPrimitives > 0 && constraint->primitives[0].kind == kPrimitiveWeld) {
        return 3;
      }
      int n = 3 - countKind(constraint, kPrimitiveRevolute) -
              countKind(constraint, kPrimitivePrismatic);
      for (int i = 0; i < constraint->numPrimitives; ++i) {
        if (isPrescribed(constraint->primitives[i])) ++n;
      }
      return n;
    }
    case kConstraintDisassembledWeld:
      return 6;
    case kConstraintDisassembledRevolute:
    case kConstraintDisassembledPrismatic:
      return 5;
    default:
      releaseAssertion();
      return 0;
  }
}

bool allocateDoubles(double** slot, int count) {
  if (count <= 0) return true;
  *slot = engineAllocateArrayOf<double>(static_cast<std::size_t>(count));
  return *slot != nullptr;
}

bool buildEquationSet(EngineConstraint* constraint) {
  auto* set = engineAllocateArrayOf<EngineEquationSet>(1);
  constraint->equations = set;
  if (set == nullptr) return false;
  const int n = equationCount(constraint);
  set->n = n;
  for (double** slot :
       {&set->velocityRhs, &set->residual, &set->accelerationRhs, &set->multipliers}) {
    if (!allocateDoubles(slot, n)) return false;
  }
  for (double** slot : {&set->baseEquations, &set->followerEquations, &set->baseJacobian,
                        &set->followerJacobian, &set->baseDerivative, &set->followerDerivative,
                        &set->baseJacobianRate, &set->followerJacobianRate}) {
    if (!allocateDoubles(slot, 3 * n)) return false;
  }
  for (IndexList** slot : {&set->redundancyPositions, &set->modes, &set->active, &set->saved}) {
    if ((*slot = newIndexList(n)) == nullptr) return false;
  }
  set->active->count = 0;
  set->saved->count = 0;
  return true;
}

void releaseEquationSet(EngineEquationSet** slot) {
  EngineEquationSet* set = *slot;
  if (set == nullptr) return;
  for (double** data : {&set->velocityRhs, &set->residual, &set->accelerationRhs, &set->multipliers,
                        &set->baseEquations, &set->followerEquations, &set->baseJacobian,
                        &set->followerJacobian, &set->baseDerivative, &set->followerDerivative,
                        &set->baseJacobianRate, &set->followerJacobianRate}) {
    engineReleaseSlot(*data);
  }
  for (IndexList** list : {&set->redundancyPositions, &set->modes, &set->active, &set->saved}) {
    releaseIndexList(list);
  }
  engineReleaseSlot(*slot);
}

constexpr int kAttachmentForms[kAttachmentCount] = {2, 2, 1, 1, 3, 3};

bool buildCells(EngineMatrix*** table, int count, const int* forms, const int* sizes) {
  *table = engineAllocateArrayOf<EngineMatrix*>(static_cast<std::size_t>(count));
  if (*table == nullptr) return false;
  for (int i = 0; i < count; ++i) {
    (*table)[i] = newEngineMatrix(sizes[i], 1, 0, forms[i]);
    if ((*table)[i] == nullptr) return false;
  }
  return true;
}

void releaseCells(EngineMatrix*** table, int count) {
  if (*table == nullptr) return;
  for (int i = 0; i < count; ++i) releaseEngineMatrix(&(*table)[i]);
  engineReleaseSlot(*table);
}

bool buildConstraintParts(EngineConstraint* constraint) {
  const int attachmentSizes[kAttachmentCount] = {3, 3, 3, 3, 3, 3};
  if (!buildCells(&constraint->attachment, kAttachmentCount, kAttachmentForms, attachmentSizes)) {
    return false;
  }
  if (!buildEquationSet(constraint)) return false;
  const int primitives = constraint->kind == kConstraintGeneral ? constraint->numPrimitives : 0;
  const int primitiveForms[4] = {1, 1, 1, 1};
  const int primitiveSizes[4] = {kSpatialSize, kSpatialSize, primitives, primitives};
  return buildCells(&constraint->primitiveRecord, 4, primitiveForms, primitiveSizes);
}

bool createConstraint(EngineMechanism* mechanism, EngineConstraint* constraint, int index) {
  const ConstraintMethodTable* table = mechanism->methods->constraintMethods;
  const EngineMethod transform =
      table->transformMethods != nullptr ? table->transformMethods[index] : nullptr;
  if (reportMissingTransform(transform, constraint->blockName, kConstraintSource, 384)) return true;
  if (methodAs<ConstraintTransformMethod>(transform)(
          constraint, mechanism->planeTransform->matrices[0]->data)) {
    return true;
  }
  constraint->time = &mechanism->time;
  if (!buildConstraintParts(constraint)) return reportBlockOutOfMemory(constraint->blockName);
  const EngineMethod create =
      table->createMethods != nullptr ? table->createMethods[index] : nullptr;
  return callRecordMethod<ConstraintKindCreateMethod>(create, constraint, mechanism);
}

// --- the general constraint --------------------------------------------------------

bool allocateGeneral(EngineGeneralConstraint* g, const EngineConstraint* constraint) {
  const int count = constraint->numPrimitives;
  for (IndexList** slot :
       {&g->revoluteIndices, &g->prismaticIndices, &g->drivenCoordinates, &g->drivenPositions,
        &g->drivenVelocities, &g->freePositions, &g->freeVelocities, &g->modes, &g->pivots}) {
    if ((*slot = newIndexList(count)) == nullptr) return false;
  }
  g->revoluteIndices->count = g->numRevolute;
  g->prismaticIndices->count = g->numPrismatic;
  for (EngineMatrix** slot :
       {&g->positions, &g->velocities, &g->accelerations, &g->offsets, &g->qraux}) {
    if ((*slot = newEngineMatrix(count, 1, 0, 1)) == nullptr) return false;
  }
  if ((g->axisMatrix = newEngineMatrix(3, count, 0, 1)) == nullptr ||
      (g->axisRates = newEngineMatrix(3, count, 0, 1)) == nullptr ||
      (g->normalFactor = newEngineMatrix(count, count, 0, 1)) == nullptr ||
      (g->normalMatrix = newEngineMatrix(count, count, 0, 1)) == nullptr ||
      (g->factoredNormal = newEngineMatrix(count, count, 0, 1)) == nullptr ||
      (g->work = newEngineMatrix(3, count, 0, 1)) == nullptr) {
    return false;
  }
  g->factoredCount = -1;
  g->revoluteAxes = newEngineMatrixList(g->numRevolute, 3);
  g->prismaticAxes = newEngineMatrixList(g->numPrismatic, 3);
  g->turnedPrismaticAxes = newEngineMatrixList(g->numPrismatic, 3);
  g->prismaticAxisRates = newEngineMatrixList(g->numPrismatic, 3);
  return g->revoluteAxes != nullptr && g->prismaticAxes != nullptr &&
         g->turnedPrismaticAxes != nullptr && g->prismaticAxisRates != nullptr;
}

void releaseGeneral(EngineGeneralConstraint** slot) {
  EngineGeneralConstraint* g = *slot;
  if (g == nullptr) return;
  for (IndexList** list :
       {&g->revoluteIndices, &g->prismaticIndices, &g->drivenCoordinates, &g->drivenPositions,
        &g->drivenVelocities, &g->freePositions, &g->freeVelocities, &g->modes, &g->pivots}) {
    releaseIndexList(list);
  }
  for (EngineMatrix** cell :
       {&g->positions, &g->velocities, &g->accelerations, &g->offsets, &g->qraux, &g->axisMatrix,
        &g->axisRates, &g->normalFactor, &g->normalMatrix, &g->factoredNormal, &g->work}) {
    releaseEngineMatrix(cell);
  }
  releaseEngineMatrixList(&g->revoluteAxes);
  releaseEngineMatrixList(&g->prismaticAxes);
  releaseEngineMatrixList(&g->turnedPrismaticAxes);
  releaseEngineMatrixList(&g->prismaticAxisRates);
  engineReleaseSlot(*slot);
}

// In the frame of a described 3x3 rotation (plane part): out = Rᵀ·v.
void intoFrame(const double* rotation, const double* v, double* out) {
  out[0] = rotation[0] * v[0] + rotation[1] * v[1];
  out[1] = rotation[3] * v[0] + rotation[4] * v[1];
  out[2] = 0.0;
}

// 2x2 of Aᵀ·B for described 3x3 rotations A and B.
void relativeTurn(const double* a, const double* b, double* out) {
  out[0] = a[0] * b[0] + a[1] * b[1];
  out[1] = a[3] * b[0] + a[4] * b[1];
  out[2] = a[0] * b[3] + a[1] * b[4];
  out[3] = a[3] * b[3] + a[4] * b[4];
}

// The constraint's frames in the frames of its two bodies (each body's
// reference frame is the outboard-side frame of the joint that places it).
void setAttachments(EngineGeneralConstraint* g, const EngineConstraint* constraint) {
  const EngineAttachment& baseBody = outboardSide(constraint->baseJoint);
  const EngineAttachment& followerBody = outboardSide(constraint->followerJoint);
  double d[3];
  for (int i = 0; i < 3; ++i) {
    d[i] = framePosition(constraint->base)[i] - framePosition(baseBody)[i];
  }
  intoFrame(frameRotation(baseBody), d, g->baseAttachment);
  for (int i = 0; i < 3; ++i) {
    d[i] = framePosition(constraint->follower)[i] - framePosition(followerBody)[i];
  }
  intoFrame(frameRotation(followerBody), d, g->followerAttachment);
  relativeTurn(frameRotation(baseBody), frameRotation(constraint->base), g->baseTurn);
  relativeTurn(frameRotation(followerBody), frameRotation(constraint->follower), g->followerTurn);
}

// The frame, at the description, of the body that carries one side.
const double* describedSideFrame(const EngineConstraint* constraint, ConstraintSide side) {
  const EngineJoint* joint = constraintSideJoint(constraint, side);
  if (joint != nullptr) return frameRotation(outboardSide(joint));
  return frameRotation(side == ConstraintSide::kBase ? constraint->base : constraint->follower);
}

// Each prismatic axis is kept in the frame of the body it is fixed to, and
// starts turned as described (the bodies are at the description).
void fillPrismaticAxes(EngineGeneralConstraint* g, const EngineConstraint* constraint) {
  ConstraintSide side = ConstraintSide::kBase;
  for (int p = 0; p < g->numPrismatic; ++p) {
    const int index = g->prismaticIndices->indices[p];
    const double* axis = constraint->primitives[index].axis;
    side = prismaticAxisSide(g, index, side);
    double* local = g->prismaticAxes->matrices[p]->data;
    intoFrame(describedSideFrame(constraint, side), axis, local);
    double* turned = g->turnedPrismaticAxes->matrices[p]->data;
    turned[0] = axis[0];
    turned[1] = axis[1];
    if (g->numPrismatic == 1) {
      g->prismaticNormal[0] = -local[1];
      g->prismaticNormal[1] = local[0];
      g->turnedPrismaticNormal[0] = -axis[1];
      g->turnedPrismaticNormal[1] = axis[0];
    }
  }
}

void fillPrimitives(EngineGeneralConstraint* g, const EngineConstraint* constraint) {
  int revolute = 0;
  int prismatic = 0;
  for (int i = 0; i < constraint->numPrimitives; ++i) {
    const EnginePrimitive& primitive = constraint->primitives[i];
    if (primitive.kind == kPrimitiveRevolute) {
      g->revoluteIndices->indices[revolute] = i;
      std::memcpy(g->revoluteAxes->matrices[revolute++]->data, primitive.axis, 3 * sizeof(double));
    } else if (primitive.kind == kPrimitivePrismatic) {
      g->prismaticIndices->indices[prismatic++] = i;
    }
    if (primitive.initialCondition == kInitialConditionActuated) {
      g->positions->data[i] = primitive.initialPosition;
      g->velocities->data[i] = primitive.initialVelocity;
    }
  }
  fillPrismaticAxes(g, constraint);
  if (g->numRevolute == 1) {
    const double s =
        constraint->primitives[g->revoluteIndices->indices[0]].axis[2] > 0.0 ? 1.0 : -1.0;
    g->revoluteFrames[0] = 1.0;
    g->revoluteFrames[1] = 0.0;
    g->revoluteFrames[2] = 0.0;
    g->revoluteFrames[3] = s;
    g->axisSign = s;
  }
}

bool checkGeometry(EngineGeneralConstraint* g, EngineConstraint* constraint,
                   const EngineMechanism* mechanism) {
  double d[3];
  for (int i = 0; i < 3; ++i) {
    d[i] = framePosition(constraint->follower)[i] - framePosition(constraint->base)[i];
  }
  const double* axes[2] = {nullptr, nullptr};
  const int p = g->numPrismatic < 2 ? g->numPrismatic : 2;
  for (int i = 0; i < p; ++i)
    axes[i] = constraint->primitives[g->prismaticIndices->indices[i]].axis;
  double displacements[2] = {0, 0};
  if (checkPrismaticGeometry(constraint->blockName, d, axes, p, 2,
                             mechanism->environment->linearAssemblyTolerance, displacements)) {
    return true;
  }
  // The displacement at the description is the primitive's offset; its
  // coordinate counts from there (as a prismatic joint's does).
  for (int i = 0; i < p; ++i) {
    g->offsets->data[g->prismaticIndices->indices[i]] = displacements[i];
  }
  return false;
}

bool hasSensorCode(const EngineConstraint* constraint, std::initializer_list<int> codes) {
  for (int i = 0; i < constraint->numSensors && constraint->sensors != nullptr; ++i) {
    for (int code : codes) {
      if (constraint->sensors[i].code == code) return true;
    }
  }
  return false;
}

void bindMethods(EngineGeneralConstraint* g, const EngineConstraint* constraint,
                 const EngineMechanism* mechanism) {
  const MethodBindingTable* table = mechanism->methods->bindingTable;
  EngineMethod* m = g->methods;
  m[kConstraintUnlockAxes] = boundMethod(table, R::unlockGeneralConstraintAxes);
  m[kConstraintTorque] = boundMethod(table, R::computeGeneralConstraintTorque);
  m[kConstraintTestEquations] = boundMethod(table, R::testGeneralConstraintEquations);
  m[kConstraintIcActuated] = boundMethod(table, R::generalConstraintIcActuated);
  m[kConstraintEventTest] = boundMethod(table, R::generalConstraintEventTest);
  m[kConstraintHaveMotionDrivers] = boundMethod(table, R::haveGeneralConstraintMotionDrivers);
  m[kConstraintToggleIc] = boundMethod(table, R::toggleGeneralConstraintIcEquations);
  m[kConstraintDrivingInfo] = boundMethod(table, R::updateGeneralConstraintDrivingInfo);
  m[kConstraintUpdateMotionArrays] = boundMethod(table, R::updateGeneralConstraintMotionArrays);
  m[kConstraintSetupMotionArrays] = boundMethod(table, R::setupGeneralConstraintMotionArrays);
  m[kConstraintSetupInitialState] = boundMethod(table, R::setupGeneralConstraintInitialState);
  m[kConstraintZeroCrossing] = boundMethod(table, R::generalConstraintZeroCrossingFunction);
  m[kConstraintPositionEquations] = boundMethod(table, R::generalConstraintPositionEquations);
  m[kConstraintVelocityEquations] = boundMethod(table, R::generalConstraintVelocityEquations);
  m[kConstraintAccelerationEquations] =
      boundMethod(table, R::generalConstraintAccelerationEquations);
  m[kConstraintPositionParameters] =
      boundMethod(table, R::computeGeneralConstraintPositionParameters);
  m[kConstraintVelocityParameters] =
      boundMethod(table, R::computeGeneralConstraintVelocityParameters);
  m[kConstraintAccelerationParameters] =
      boundMethod(table, R::computeGeneralConstraintAccelerationParameters);
  bool stiction = false;
  bool motionDriven = false;
  bool forceActuated = false;
  for (int i = 0; i < constraint->numPrimitives; ++i) {
    const EnginePrimitive& primitive = constraint->primitives[i];
    if (primitive.stiction == kStictionActuated) stiction = true;
    if (primitive.actuation == kActuationMotionDriven) motionDriven = true;
    if (primitive.actuation == kActuationForce) forceActuated = true;
  }
  if (stiction) {
    m[kConstraintModeVector] = boundMethod(table, R::updateGeneralConstraintModeVector);
    m[kConstraintEventInputs] = constraint->linked
                                    ? boundMethod(table, R::generalConstraintLinked)
                                    : boundMethod(table, R::generalConstraintEventInputs);
  }
  const bool singleWeld =
      constraint->numPrimitives == 1 && constraint->primitives[0].kind == kPrimitiveWeld;
  if (motionDriven && !singleWeld) {
    m[kConstraintKinematicInputs] = boundMethod(table, R::generalConstraintKinematicInputs);
  }
  if (hasSensorCode(constraint, {8, 9})) {
    m[kConstraintKinematicOutputs] = boundMethod(table, R::generalConstraintKinematicOutputs);
  }
  if (forceActuated || stiction) {
    m[kConstraintDynamicInputs] = boundMethod(table, R::generalConstraintDynamicInputs);
  }
  if (hasSensorCode(constraint, {3, 11, 14, 15})) {
    m[kConstraintDynamicOutputs] = boundMethod(table, R::generalConstraintDynamicOutputs);
  }
  if (forceActuated) m[kConstraintPower] = boundMethod(table, R::powerGeneralConstraint);
}

// The equation families chosen by the primitive counts.
void bindEquationFamilies(EngineGeneralConstraint* g, const EngineMechanism* mechanism) {
  const MethodBindingTable* table = mechanism->methods->bindingTable;
  EngineMethod* m = g->equationMethods;
  switch (g->numRevolute) {
    case 0:
      m[kRevoluteTest] = boundMethod(table, R::testZeroRevoluteEquations);
      m[kRevolutePosition] = boundMethod(table, R::zeroRevolutePositionEquations);
      m[kRevoluteVelocity] = boundMethod(table, R::zeroRevoluteVelocityEquations);
      m[kRevoluteAcceleration] = boundMethod(table, R::zeroRevoluteAccelerationEquations);
      break;
    case 1:
      m[kRevoluteTest] = boundMethod(table, R::testSingleRevoluteEquations);
      m[kRevoluteAngle] = boundMethod(table, R::computeSingleRevoluteAngle);
      m[kRevolutePosition] = boundMethod(table, R::singleRevolutePositionEquations);
      m[kRevoluteVelocity] = boundMethod(table, R::singleRevoluteVelocityEquations);
      m[kRevoluteAcceleration] = boundMethod(table, R::singleRevoluteAccelerationEquations);
      break;
    default:
      assertionFailed("0", "Unexpected number of revolute primitives", kGeneralSource, 188);
      break;
  }
  switch (g->numPrismatic) {
    case 0:
      m[kPrismaticTest] = boundMethod(table, R::testZeroPrismaticEquations);
      m[kPrismaticPosition] = boundMethod(table, R::zeroPrismaticPositionEquations);
      m[kPrismaticVelocity] = boundMethod(table, R::zeroPrismaticVelocityEquations);
      m[kPrismaticAcceleration] = boundMethod(table, R::zeroPrismaticAccelerationEquations);
      break;
    case 1:
      m[kPrismaticTest] = boundMethod(table, R::testSinglePrismaticEquations);
      m[kPrismaticPosition] = boundMethod(table, R::singlePrismaticPositionEquations);
      m[kPrismaticVelocity] = boundMethod(table, R::singlePrismaticVelocityEquations);
      m[kPrismaticAcceleration] = boundMethod(table, R::singlePrismaticAccelerationEquations);
      break;
    case 2:
      m[kPrismaticTest] = boundMethod(table, R::testDoublePrismaticEquations);
      m[kPrismaticPosition] = boundMethod(table, R::doublePrismaticPositionEquations);
      m[kPrismaticVelocity] = boundMethod(table, R::doublePrismaticVelocityEquations);
      m[kPrismaticAcceleration] = boundMethod(table, R::doublePrismaticAccelerationEquations);
      break;
    default:
      assertionFailed("0", "Unexpected number of prismatic primitives", kGeneralSource, 218);
      break;
  }
}

bool isFreeInMotion(const EnginePrimitive& primitive, std::int32_t mode) {
  if (primitive.actuation == kActuationMotionDriven) return false;
  return !(primitive.stiction == kStictionActuated && mode == kModeLocked);
}

}  // namespace

bool createEngineConstraint2D(EngineMechanism* mechanism) {
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    if (createConstraint(mechanism, mechanism->constraints[i], i)) return true;
  }
  return false;
}

bool createGeneralEngineConstraint2D(EngineConstraint* constraint, EngineMechanism* mechanism) {
  auto* g = engineAllocateArrayOf<EngineGeneralConstraint>(1);
  constraint->general = g;
  if (g == nullptr) return reportBlockOutOfMemory(constraint->blockName);
  g->timeStamp = -kEngineRealmax;
  g->linearTolerance = &mechanism->environment->linearAssemblyTolerance;
  g->angularTolerance = &mechanism->environment->angularAssemblyTolerance;
  g->time = &mechanism->time;
  g->numRevolute = countKind(constraint, kPrimitiveRevolute);
  g->numPrismatic = countKind(constraint, kPrimitivePrismatic);
  if (!allocateGeneral(g, constraint)) return reportBlockOutOfMemory(constraint->blockName);
  if (constraint->baseJoint != nullptr && constraint->followerJoint != nullptr) {
    setAttachments(g, constraint);
  }
  fillPrimitives(g, constraint);
  if (checkGeometry(g, constraint, mechanism)) return true;
  bindMethods(g, constraint, mechanism);
  bindEquationFamilies(g, mechanism);
  updateGeneralConstraintAxisMatrix2D(constraint);
  return false;
}

bool destroyEngineConstraint(EngineMechanism* mechanism) {
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    releaseGeneral(&constraint->general);
    releaseEquationSet(&constraint->equations);
    releaseCells(&constraint->attachment, kAttachmentCount);
    releaseCells(&constraint->primitiveRecord, 4);
  }
  return false;
}

bool updateGeneralConstraintMotionArrays2D(EngineConstraint* constraint) {
  EngineGeneralConstraint* g = constraint->general;
  g->drivenPositions->count = 0;
  g->drivenVelocities->count = 0;
  g->freePositions->count = 0;
  g->freeVelocities->count = 0;
  for (int i = 0; i < constraint->numPrimitives; ++i) {
    const bool free = isFreeInMotion(constraint->primitives[i], g->modes->indices[i]);
    IndexList* positions = free ? g->freePositions : g->drivenPositions;
    IndexList* velocities = free ? g->freeVelocities : g->drivenVelocities;
    positions->indices[positions->count++] = i;
    velocities->indices[velocities->count++] = i;
  }
  updateGeneralConstraintAxisMatrix2D(constraint);
  return false;
}

bool updateGeneralConstraintDrivingInfo2D(EngineConstraint* constraint) {
  EngineGeneralConstraint* g = constraint->general;
  EngineEquationSet* set = constraint->equations;
  if (constraint->numPrimitives > 0) {
    int freePrismatic = 0;
    for (int i = 0; i < constraint->numPrimitives; ++i) {
      const EnginePrimitive& primitive = constraint->primitives[i];
      if (primitive.kind == kPrimitivePrismatic && !isPrescribed(primitive)) ++freePrismatic;
    }
    g->numPrismaticEquations = 2 - freePrismatic;
  }
  // The revolute primitive's equation row follows the translation rows; it
  // exists only when the primitive is prescribed.
  int row = g->numPrismaticEquations;
  for (int i = 0; i < constraint->numPrimitives; ++i) {
    const EnginePrimitive& primitive = constraint->primitives[i];
    if (primitive.kind != kPrimitiveRevolute) continue;
    std::int32_t mode = kEquationNone;
    const bool locked =
        primitive.stiction == kStictionActuated && g->modes->indices[i] == kModeLocked;
    const bool driven = primitive.actuation == kActuationMotionDriven;
    const bool initial = primitive.initialCondition == kInitialConditionActuated;
    // A motion driver (or, while the switch is on, an initial condition) comes
    // before the stiction actuator of the same primitive.
    if (driven || (initial && g->icSwitch)) {
      mode = kEquationHolonomicDriver;
    } else if (primitive.stiction == kStictionActuated) {
      mode = locked ? kEquationHolonomicDriver : kEquationInactiveDriver;
    } else if (initial) {
      mode = kEquationInactiveDriver;
    }
    if (row < set->n) set->modes->indices[row++] = mode;
  }
  return false;
}

int activeEquationCount(const EngineEquationSet* set, bool positionLevel) {
  if (!positionLevel) return set->active->count;
  int count = 0;
  for (int i = 0; i < set->active->count; ++i) {
    const std::int32_t mode = set->modes->indices[set->active->indices[i]];
    if (mode == kEquationHolonomic || mode == kEquationHolonomicDriver) ++count;
  }
  return count;
}
