#include <cmath>
#include <cstring>

#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/engine_method_table.h"
#include "mech_engine_common/engine_methods.h"
#include "mech_engine_common/engine_vector_kernels.h"

// The host's continuous-state vector: first the position states of all joints
// (chain by chain, joint by joint), then the velocity states in the same
// order. A motion-driven primitive and a weld have no state; a free or
// force-actuated scalar primitive has one value, negated for a reversed joint.
// (Point-curve constraints, which would add one value each between the two
// parts, are not built in this engine.)
//
// Also the kinematic data record with the solvers' work arrays.

namespace {

EngineMethod jointMethod(const EngineJoint* joint, JointMethod method) {
  const EngineGeneralJoint* g = generalOf(joint);
  return g != nullptr ? g->methods[method] : nullptr;
}

bool hasState(const EnginePrimitive& primitive) {
  return primitive.kind != kPrimitiveWeld && primitive.actuation != kActuationMotionDriven;
}

bool isLocked(const EngineJoint* joint, int i) {
  return joint->primitives[i].stiction == kStictionActuated && jointMode(joint, i) == kModeLocked;
}

// Walks the scalar primitives with state; spherical primitives are 3D only
// and are skipped together with their coordinates.
template <typename Visit>
bool forEachStatePrimitive(EngineJoint* joint, Visit visit) {
  int position = 0;
  int velocity = 0;
  for (int i = 0; i < joint->numPrimitives; ++i) {
    const EnginePrimitive& primitive = joint->primitives[i];
    if (primitive.kind == kPrimitiveSpherical) {
      position += 4;
      velocity += 3;
      continue;
    }
    if (hasState(primitive)) {
      switch (primitive.actuation) {
        case kActuationFree:
        case kActuationForce:
          visit(i, position, velocity);
          break;
        default:
          releaseAssertion();
          break;
      }
    }
    ++position;
    ++velocity;
  }
  return false;
}

double signOf(const EngineJoint* joint) {
  return joint->reversed ? -1.0 : 1.0;
}

// Calls a joint's state method from its slot; the general joint's own
// (`general`, known here) is called directly, so the walk inlines it.
template <typename Signature, Signature* general, typename... Args>
bool callStateMethod(EngineMethod method, Args... args) {
  if (method == toEngineMethod(general)) return general(args...);
  return callRecordMethod<Signature>(method, args...);
}

}  // namespace

bool putGeneralJointPositionState(EngineJoint* joint, double** running) {
  return forEachStatePrimitive(joint, [&](int, int position, int) {
    *(*running)++ = signOf(joint) * jointPositions(joint)[position];
  });
}

bool putGeneralJointVelocityState(EngineJoint* joint, double** running) {
  return forEachStatePrimitive(joint, [&](int, int, int velocity) {
    *(*running)++ = signOf(joint) * jointVelocities(joint)[velocity];
  });
}

bool putGeneralJointPositionDerivatives(EngineJoint* joint, double** running) {
  return forEachStatePrimitive(joint, [&](int i, int, int velocity) {
    *(*running)++ = isLocked(joint, i) ? 0.0 : signOf(joint) * jointVelocities(joint)[velocity];
  });
}

bool putGeneralJointVelocityDerivatives(EngineJoint* joint, double** running) {
  return forEachStatePrimitive(joint, [&](int i, int, int velocity) {
    *(*running)++ = isLocked(joint, i) ? 0.0 : signOf(joint) * jointAccelerations(joint)[velocity];
  });
}

bool extractGeneralJointPositionState(EngineJoint* joint, const double** running, bool keep,
                                      bool trimming) {
  return forEachStatePrimitive(joint, [&](int i, int position, int) {
    const double value = *(*running)++;
    const bool held =
        keep && joint->primitives[i].initialCondition == kInitialConditionActuated && !trimming;
    if (!held) jointPositions(joint)[position] = signOf(joint) * value;
  });
}

bool extractGeneralJointVelocityState(EngineJoint* joint, const double** running, bool keep,
                                      bool trimming) {
  return forEachStatePrimitive(joint, [&](int i, int, int velocity) {
    const double value = *(*running)++;
    const bool held =
        keep && joint->primitives[i].initialCondition == kInitialConditionActuated && !trimming;
    if (held) return;
    jointVelocities(joint)[velocity] = isLocked(joint, i) ? 0.0 : signOf(joint) * value;
  });
}

namespace {

template <JointWriteMethod* general>
bool forJoints(EngineMechanism* mechanism, JointMethod method, double** running,
               bool skipGroundChain) {
  return forEachJoint(mechanism, [&](EngineJoint* joint, int chain, int) {
    if (skipGroundChain && isGroundChain(mechanism, chain)) return false;
    return callStateMethod<JointWriteMethod, general>(jointMethod(joint, method), joint, running);
  });
}

template <JointExtractMethod* general>
bool extractJoints(EngineMechanism* mechanism, JointMethod method, const double** running,
                   bool keep, bool trimming) {
  return forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    return callStateMethod<JointExtractMethod, general>(jointMethod(joint, method), joint, running,
                                                         keep, trimming);
  });
}

}  // namespace

bool updateState(double* state, EngineMechanism* mechanism) {
  if (state == nullptr) return false;
  double* running = state;
  return forJoints<putGeneralJointPositionState>(mechanism, kJointPutPositionState, &running,
                                                 false) ||
         forJoints<putGeneralJointVelocityState>(mechanism, kJointPutVelocityState, &running,
                                                 false);
}

bool updateStateDerivatives(double* derivatives, EngineMechanism* mechanism) {
  if (derivatives == nullptr) return false;
  double* running = derivatives;
  return forJoints<putGeneralJointPositionDerivatives>(mechanism, kJointPutPositionDerivatives,
                                                       &running, false) ||
         forJoints<putGeneralJointVelocityDerivatives>(mechanism, kJointPutVelocityDerivatives,
                                                       &running, true);
}

namespace {

UnpackedState* unpackedStateOf(EngineMechanism* mechanism) {
  EngineKinematicData* data = mechanism->kinematicData;
  return data != nullptr && data->unpacked.values != nullptr ? &data->unpacked : nullptr;
}

// Right after a kinematics step, with only dynamics steps since (they move
// no coordinate) and no kinematic inputs read in between, the joints hold
// what that step's unpackState wrote: the same state, bit for bit, with the
// same `keep`, would write the same values again.
bool jointsHoldState(const EngineMechanism* mechanism, const UnpackedState& last, bool keep) {
  return last.valid && last.keep == (keep ? 1 : 0) && mechanism->kinematicsStepSwept &&
         mechanism->environment->numKinematicInputs == 0 &&
         std::memcmp(last.values, mechanism->stateVector, sizeof(double) * last.count) == 0;
}

}  // namespace

bool unpackState(EngineMechanism* mechanism, bool keep) {
  if (mechanism->stateVector == nullptr) return false;
  UnpackedState* last = unpackedStateOf(mechanism);
  if (last != nullptr) {
    if (jointsHoldState(mechanism, *last, keep)) return false;
    last->valid = 0;
  }
  const double* running = mechanism->stateVector;
  const bool trimming = mechanism->environment->analysisMode == kAnalysisTrimming;
  if (extractJoints<extractGeneralJointPositionState>(mechanism, kJointExtractPositionState,
                                                      &running, keep, trimming) ||
      extractJoints<extractGeneralJointVelocityState>(mechanism, kJointExtractVelocityState,
                                                      &running, keep, trimming)) {
    return true;
  }
  const int count = static_cast<int>(running - mechanism->stateVector);
  if (last != nullptr && count <= last->capacity) {
    std::memcpy(last->values, mechanism->stateVector, sizeof(double) * count);
    last->count = count;
    last->keep = keep ? 1 : 0;
    last->valid = 1;
  }
  return false;
}

// --- kinematic data ------------------------------------------------------------------

bool createKinematicData(EngineMechanism* mechanism) {
  auto* data = engineAllocateArrayOf<EngineKinematicData>(1);
  mechanism->kinematicData = data;
  if (data == nullptr) return reportModelOutOfMemory();
  data->timeStamp = -kEngineRealmax;
  // The stabilising solver corrects positions on its Cholesky path; a failed
  // factorisation still falls back to the least-squares path.
  data->flags[kFlagStabilisePositions] =
      mechanism->environment->constraintSolverKind == kConstraintSolverStabilising ? 1 : 0;
  int positions = 0;
  int jointEquations = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    positions += joint->numPositions;
    if (joint->rotation != nullptr && joint->rotation->hasSpherical) ++jointEquations;
    return false;
  });
  int equations = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    const EngineEquationSet* set = mechanism->constraints[i]->equations;
    if (set != nullptr) equations += set->n;
  }
  data->numPositionValues = positions;
  data->numJointEquations = jointEquations;
  data->numEquations = equations;
  data->maxDimension = positions > equations ? positions : equations;
  if (positions == 0) return setEngineError(kMessageNoDegreesOfFreedom);
  const int rows = equations + jointEquations;
  if (rows == 0) return false;
  const std::size_t m = static_cast<std::size_t>(data->maxDimension);
  const std::size_t r = static_cast<std::size_t>(rows);
  const std::size_t v = static_cast<std::size_t>(positions);
  double** vectorsOfRows[] = {&data->residual,     &data->step,       &data->rightHandSide,
                              &data->multipliers,  &data->scaledStep, &data->startResidual,
                              &data->trialResidual};
  for (double** slot : vectorsOfRows) {
    if ((*slot = engineAllocateArrayOf<double>(r)) == nullptr) return reportModelOutOfMemory();
  }
  for (double** slot : {&data->work1, &data->work2}) {
    if ((*slot = engineAllocateArrayOf<double>(m)) == nullptr) return reportModelOutOfMemory();
  }
  for (std::int32_t** slot : {&data->pivots, &data->savedPivots}) {
    if ((*slot = engineAllocateArrayOf<std::int32_t>(m)) == nullptr) {
      return reportModelOutOfMemory();
    }
  }
  for (double** slot : {&data->savedPositions, &data->trialPositions, &data->trialVelocities,
                        &data->solverStep, &data->solverGradient}) {
    if ((*slot = engineAllocateArrayOf<double>(v)) == nullptr) return reportModelOutOfMemory();
  }
  if ((data->jacobian = engineAllocateArrayOf<double>(r * v)) == nullptr ||
      (data->normalMatrix = engineAllocateArrayOf<double>(m * m)) == nullptr) {
    return reportModelOutOfMemory();
  }
  KeptMassMatrixFactor& kept = data->keptFactor;
  kept.capacity = massMatrixInputCapacity(mechanism);
  const std::size_t inputs = static_cast<std::size_t>(kept.capacity);
  if ((kept.inputs = engineAllocateArrayOf<double>(inputs)) == nullptr ||
      (kept.current = engineAllocateArrayOf<double>(inputs)) == nullptr ||
      (kept.factor = engineAllocateArrayOf<double>(m * m)) == nullptr) {
    return reportModelOutOfMemory();
  }
  KeptArticulatedInertia& keptInertia = data->keptInertia;
  keptInertia.capacity = articulatedInertiaInputCapacity(mechanism);
  const std::size_t inertiaInputs = static_cast<std::size_t>(keptInertia.capacity);
  if ((keptInertia.inputs = engineAllocateArrayOf<double>(inertiaInputs)) == nullptr ||
      (keptInertia.gathered = engineAllocateArrayOf<double>(inertiaInputs)) == nullptr) {
    return reportModelOutOfMemory();
  }
  SweptCoordinates& swept = data->swept;
  swept.positionCount = positions;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    swept.velocityCount += joint->numVelocities;
    return false;
  });
  UnpackedState& unpacked = data->unpacked;
  unpacked.capacity = positions + swept.velocityCount;
  if ((unpacked.values = engineAllocateArrayOf<double>(
           static_cast<std::size_t>(unpacked.capacity))) == nullptr) {
    return reportModelOutOfMemory();
  }
  if ((swept.positions = engineAllocateArrayOf<double>(v)) == nullptr ||
      (swept.velocities = engineAllocateArrayOf<double>(
           static_cast<std::size_t>(swept.velocityCount > 0 ? swept.velocityCount : 1))) ==
          nullptr) {
    return reportModelOutOfMemory();
  }
  return false;
}

namespace {

// Visits every joint coordinate of one kind (positions or velocities) in joint order.
template <typename Visit>
void forEachCoordinate(const EngineMechanism* mechanism, bool velocities, Visit visit) {
  int k = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    double* values = velocities ? jointVelocities(joint) : jointPositions(joint);
    const int count = velocities ? joint->numVelocities : joint->numPositions;
    for (int i = 0; i < count; ++i) visit(values[i], k++);
    return false;
  });
}

bool sameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

void forgetSweptCoordinates(EngineMechanism* mechanism) {
  if (mechanism->kinematicData == nullptr) return;
  mechanism->kinematicData->swept.positionsCurrent = 0;
  mechanism->kinematicData->swept.velocitiesCurrent = 0;
}

void noteSweptPositions(EngineMechanism* mechanism) {
  EngineKinematicData* data = mechanism->kinematicData;
  if (data == nullptr || data->swept.positions == nullptr) return;
  SweptCoordinates& swept = data->swept;
  forEachCoordinate(mechanism, false, [&](double value, int k) { swept.positions[k] = value; });
  swept.time = mechanism->time;
  swept.positionsCurrent = 1;
  swept.velocitiesCurrent = 0;
}

void forgetSweptVelocities(EngineMechanism* mechanism) {
  if (mechanism->kinematicData != nullptr) mechanism->kinematicData->swept.velocitiesCurrent = 0;
}

void noteSweptVelocities(EngineMechanism* mechanism) {
  EngineKinematicData* data = mechanism->kinematicData;
  if (data != nullptr) data->swept.velocitiesCurrent = data->swept.positionsCurrent;
}

bool recordSweptCoordinates(EngineMechanism* mechanism) {
  EngineKinematicData* data = mechanism->kinematicData;
  if (data == nullptr || data->swept.positions == nullptr || !data->swept.velocitiesCurrent) {
    return false;
  }
  SweptCoordinates& swept = data->swept;
  forEachCoordinate(mechanism, true, [&](double value, int k) { swept.velocities[k] = value; });
  return true;
}

bool sweptPositionsUnchanged(const EngineMechanism* mechanism) {
  const EngineKinematicData* data = mechanism->kinematicData;
  if (data == nullptr || data->swept.positions == nullptr) return false;
  const SweptCoordinates& swept = data->swept;
  if (!swept.positionsCurrent || !sameBits(swept.time, mechanism->time)) return false;
  bool same = true;
  forEachCoordinate(mechanism, false,
                    [&](double value, int k) { same = same && sameBits(value, swept.positions[k]); });
  return same;
}

bool sweptCoordinatesUnchanged(const EngineMechanism* mechanism) {
  const EngineKinematicData* data = mechanism->kinematicData;
  if (data == nullptr || !data->swept.velocitiesCurrent || !sweptPositionsUnchanged(mechanism)) {
    return false;
  }
  bool same = true;
  forEachCoordinate(mechanism, true, [&](double value, int k) {
    same = same && sameBits(value, data->swept.velocities[k]);
  });
  return same;
}

int massMatrixInputCapacity(const EngineMechanism* mechanism) {
  int count = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    const int v = joint->numVelocities;
    count += 1 + v + 3 * v + 3 + v * v + 3 * v;  // see gatherMassMatrixInputs
    return false;
  });
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    const EngineEquationSet* set = mechanism->constraints[i]->equations;
    if (set != nullptr) count += 1 + set->n + 6 * set->n;
  }
  return count;
}

int articulatedInertiaInputCapacity(const EngineMechanism* mechanism) {
  int count = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    count += 1 + joint->numVelocities + 5;  // see gatherArticulatedInertiaInputs
    return false;
  });
  return count;
}

bool destroyKinematicData(EngineMechanism* mechanism) {
  EngineKinematicData* data = mechanism->kinematicData;
  if (data == nullptr) return false;
  for (double** slot :
       {&data->residual, &data->step, &data->rightHandSide, &data->multipliers, &data->scaledStep,
        &data->startResidual, &data->trialResidual, &data->work1, &data->work2,
        &data->savedPositions, &data->trialPositions, &data->trialVelocities, &data->solverStep,
        &data->solverGradient, &data->jacobian, &data->normalMatrix, &data->keptFactor.inputs,
        &data->keptFactor.current, &data->keptFactor.factor, &data->swept.positions,
        &data->swept.velocities, &data->keptInertia.inputs, &data->keptInertia.gathered,
        &data->unpacked.values}) {
    engineReleaseSlot(*slot);
  }
  engineReleaseSlot(data->pivots);
  engineReleaseSlot(data->savedPivots);
  engineReleaseSlot(mechanism->kinematicData);
  return false;
}
