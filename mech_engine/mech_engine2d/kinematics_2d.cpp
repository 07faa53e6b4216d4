#include <cmath>
#include <cstring>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/coordinate_transform.h"
#include "mech_engine_common/engine_error.h"

// The kinematic sweeps: from the joint coordinates, the placement, spatial
// velocity and spatial acceleration of every body, from the ground outwards
// (chains from the second last down to the first, joints from the base to
// the tip), then the constraints' parameters.
//
// With r the offset from the inboard reference point to the outboard one and
// S the joint's motion subspace:  v_out = X(r)·v_in + S·q',
// a_out = X(r)·a_in + S·q'' + c, where X(r) moves (ω, v) by v + ω × r and c
// holds the velocity products ω_in × (relative velocity) + ω_in × (dS·q').

namespace {

using Visit = bool (*)(EngineMechanism* mechanism, EngineChain* chain, int k, EngineJoint* joint,
                       EngineJoint* inboard);

// Joints from the ground outwards; the ground chain stays where it was described.
bool sweepOutwards(EngineMechanism* mechanism, Visit visit) {
  for (int c = mechanism->numChains - 2; c >= 0; --c) {
    EngineChain* chain = mechanism->chains[c];
    for (int k = chain->numJoints - 1; k >= 0; --k) {
      if (visit(mechanism, chain, k, chain->joints[k], inboardPlacement(chain, k))) return true;
    }
  }
  return false;
}

EngineMethod jointMethod(const EngineJoint* joint, JointMethod method) {
  const EngineGeneralJoint* g = generalOf(joint);
  return g != nullptr ? g->methods[method] : nullptr;
}

EngineMethod constraintMethod(const EngineConstraint* constraint, ConstraintMethod method) {
  return constraint->general != nullptr ? constraint->general->methods[method] : nullptr;
}

// v_out = X(r)·v_in + S·rates (3-vectors; S column-major 6 x n, rows 0..2 used).
void moveOutwards(const double* r, const double* in, const double* subspace, const double* rates,
                  int n, double* out) {
  out[0] = in[0];
  out[1] = in[1] - in[0] * r[1];
  out[2] = in[2] + in[0] * r[0];
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < 3; ++i) out[i] += subspace[i + kSpatialSize * j] * rates[j];
  }
}

bool placeJoint(EngineMechanism*, EngineChain* chain, int k, EngineJoint* joint,
                EngineJoint* inboard) {
  EngineJointRotation* rotation = joint->rotation;
  const EngineJointRotation* in = inboard->rotation;
  const EngineGeneralJoint* g = generalOf(joint);
  // Base rotation: the inboard body turned to the joint's zero position.
  multiplyRotations(in->rotation, g->baseTurn, rotation->rotation);
  if (callRecordMethod<JointMethodSignature>(jointMethod(joint, kJointPositionParameters), joint)) {
    return true;
  }
  double* r = motionData(joint, kMotionOffset);
  rotate2(in->rotation, g->baseOffset, r);
  r[0] += rotation->translation[0];
  r[1] += rotation->translation[1];
  r[2] = in->position[2];
  rotation->position[0] = in->position[0] + r[0];
  rotation->position[1] = in->position[1] + r[1];
  rotation->position[2] = in->position[2];
  if (chain->bodies != nullptr && chain->bodies[k] != nullptr && chain->bodies[k]->dynamic) {
    EngineBody* body = chain->bodies[k];
    rotate2(rotation->rotation, bodyData(body, kBodyCentreOfMass),
            bodyData(body, kBodyCentreOfMassWorld));
  }
  return false;
}

bool moveJoint(EngineMechanism*, EngineChain*, int, EngineJoint* joint, EngineJoint* inboard) {
  if (callRecordMethod<JointMethodSignature>(jointMethod(joint, kJointVelocityParameters), joint)) {
    return true;
  }
  const double* in = motionData(inboard, kMotionVelocity);
  const double* r = motionData(joint, kMotionOffset);
  const int n = joint->numVelocities;
  double u[3] = {0, 0, 0};
  const double* subspace = motionData(joint, kMotionSubspace);
  const double* rates = jointVelocities(joint);
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < 3; ++i) u[i] += subspace[i + kSpatialSize * j] * rates[j];
  }
  double* out = motionData(joint, kMotionVelocity);
  out[0] = in[0] + u[0];
  out[1] = in[1] + u[1] - in[0] * r[1];
  out[2] = in[2] + u[2] + in[0] * r[0];
  double* relative = motionData(joint, kMotionRelativeVelocity);
  relative[0] = u[1] - in[0] * r[1];
  relative[1] = u[2] + in[0] * r[0];
  relative[2] = 0.0;
  // Velocity products: ω_in × relative + ω_in × (dS·q').
  double* c = motionData(joint, kMotionVelocityProduct);
  const double* rate = motionData(joint, kMotionSubspaceRate);
  double turning[3] = {0, 0, 0};
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < 3; ++i) turning[i] += rate[i + kSpatialSize * j] * rates[j];
  }
  c[0] = 0.0;
  c[1] = -in[0] * relative[1] + in[0] * turning[1];
  c[2] = in[0] * relative[0] + in[0] * turning[2];
  return false;
}

bool accelerateJoint(EngineMechanism*, EngineChain*, int, EngineJoint* joint,
                     EngineJoint* inboard) {
  const double* in = motionData(inboard, kMotionAcceleration);
  const double* c = motionData(joint, kMotionVelocityProduct);
  double* out = motionData(joint, kMotionAcceleration);
  moveOutwards(motionData(joint, kMotionOffset), in, motionData(joint, kMotionSubspace),
               jointAccelerations(joint), joint->numVelocities, out);
  for (int i = 0; i < 3; ++i) out[i] += c[i];
  return false;
}

bool bufferJoint(EngineMechanism*, EngineChain*, int, EngineJoint* joint, EngineJoint* inboard) {
  moveOutwards(motionData(joint, kMotionOffset), motionData(inboard, kMotionBuffer),
               motionData(joint, kMotionSubspace), jointVelocities(joint), joint->numVelocities,
               motionData(joint, kMotionBuffer));
  return false;
}

void clearGroundChain(EngineMechanism* mechanism, MotionEntry entry) {
  EngineChain* ground = groundChain(mechanism);
  for (int k = 0; k < ground->numJoints; ++k) {
    double* v = motionData(ground->joints[k], entry);
    for (int i = 0; i < kSpatialSize; ++i) v[i] = 0.0;
  }
}

// The placement of a constraint side: rotation and reference point of the
// outboard body of the side's joint.
const EngineJointRotation* sidePlacement(const EngineJoint* joint) {
  return joint->rotation;
}

}  // namespace

// --- joint parameters -----------------------------------------------------------------

bool computeRevoluteJointPositionParameters2D(EngineJoint* joint) {
  EngineJointRotation* rotation = joint->rotation;
  const double* axis = joint->primitives[0].axis;
  double turn[4];
  planeRotation(axis, jointPositions(joint)[0], turn);
  double base[4];
  std::memcpy(base, rotation->rotation, sizeof base);
  multiplyRotations(base, turn, rotation->rotation);
  rotation->translation[0] = rotation->translation[1] = rotation->translation[2] = 0.0;
  double* s = motionData(joint, kMotionSubspace);
  s[0] = axis[2] > 0.0 ? 1.0 : -1.0;
  s[1] = 0.0;
  s[2] = 0.0;
  return false;
}

bool computeRevoluteJointVelocityParameters2D(EngineJoint* joint) {
  double* rate = motionData(joint, kMotionSubspaceRate);
  rate[0] = rate[1] = rate[2] = 0.0;
  return false;
}

bool computePrismaticJointPositionParameters2D(EngineJoint* joint) {
  EngineJointRotation* rotation = joint->rotation;
  const EngineGeneralJoint* g = generalOf(joint);
  double axis[2];
  rotate2(rotation->rotation, g->prismaticAxes->matrices[0]->data, axis);
  const double extent = jointPositions(joint)[0] + g->displacements->data[0];
  rotation->translation[0] = extent * axis[0];
  rotation->translation[1] = extent * axis[1];
  rotation->translation[2] = 0.0;
  double* s = motionData(joint, kMotionSubspace);
  s[0] = 0.0;
  s[1] = axis[0];
  s[2] = axis[1];
  return false;
}

bool computePrismaticJointVelocityParameters2D(EngineJoint* joint) {
  // The axis turns with the inboard body: dS per unit inboard rate is (0, -a_y, a_x).
  const double* s = motionData(joint, kMotionSubspace);
  double* rate = motionData(joint, kMotionSubspaceRate);
  rate[0] = 0.0;
  rate[1] = -s[2];
  rate[2] = s[1];
  return false;
}

bool computeWeldJointPositionParameters(EngineJoint* joint) {
  EngineJointRotation* rotation = joint->rotation;
  rotation->translation[0] = rotation->translation[1] = rotation->translation[2] = 0.0;
  double* s = motionData(joint, kMotionSubspace);
  for (int i = 0; i < kSpatialSize * joint->numVelocities; ++i) s[i] = 0.0;
  return false;
}

bool computeWeldJointVelocityParameters(EngineJoint* joint) {
  double* rate = motionData(joint, kMotionSubspaceRate);
  for (int i = 0; i < kSpatialSize * joint->numVelocities; ++i) rate[i] = 0.0;
  return false;
}

// --- sweeps -------------------------------------------------------------------------------

namespace {

// The constraints' attachment points and position parameters, from the joints' placements.
bool placeConstraints(EngineMechanism* mechanism) {
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    const EngineGeneralConstraint* g = constraint->general;
    if (g == nullptr) continue;
    const EngineJointRotation* base = sidePlacement(constraint->baseJoint);
    const EngineJointRotation* follower = sidePlacement(constraint->followerJoint);
    double* baseVector = attachmentData(constraint, kAttachBaseVector);
    double* followerVector = attachmentData(constraint, kAttachFollowerVector);
    rotate2(base->rotation, g->baseAttachment, baseVector);
    rotate2(follower->rotation, g->followerAttachment, followerVector);
    baseVector[2] = followerVector[2] = 0.0;
    double* basePosition = attachmentData(constraint, kAttachBasePosition);
    double* followerPosition = attachmentData(constraint, kAttachFollowerPosition);
    for (int k = 0; k < 2; ++k) {
      basePosition[k] = base->position[k] + baseVector[k];
      followerPosition[k] = follower->position[k] + followerVector[k];
    }
    if (callRecordMethod<ConstraintMethodSignature>(
            constraintMethod(constraint, kConstraintPositionParameters), constraint)) {
      return true;
    }
  }
  return false;
}

// The bodies' velocities, then the constraints' velocity parameters.
bool moveJointsAndConstraints(EngineMechanism* mechanism) {
  clearGroundChain(mechanism, kMotionVelocity);
  if (sweepOutwards(mechanism, &moveJoint)) return true;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    if (constraint->general == nullptr) continue;
    const double wb = motionData(constraint->baseJoint, kMotionVelocity)[0];
    const double wf = motionData(constraint->followerJoint, kMotionVelocity)[0];
    const double* a = attachmentData(constraint, kAttachBaseVector);
    const double* b = attachmentData(constraint, kAttachFollowerVector);
    double* baseRate = attachmentData(constraint, kAttachBaseRate);
    double* followerRate = attachmentData(constraint, kAttachFollowerRate);
    baseRate[0] = -wb * a[1];
    baseRate[1] = wb * a[0];
    followerRate[0] = -wf * b[1];
    followerRate[1] = wf * b[0];
    if (callRecordMethod<ConstraintMethodSignature>(
            constraintMethod(constraint, kConstraintVelocityParameters), constraint)) {
      return true;
    }
  }
  return false;
}

}  // namespace

// A sweep that fails part way leaves its mark cleared.
bool positionSweep2D(EngineMechanism* mechanism) {
  forgetSweptCoordinates(mechanism);
  forgetArticulatedInertia(mechanism);
  if (sweepOutwards(mechanism, &placeJoint) || placeConstraints(mechanism)) return true;
  noteSweptPositions(mechanism);
  return false;
}

bool velocitySweep2D(EngineMechanism* mechanism) {
  forgetSweptVelocities(mechanism);
  if (moveJointsAndConstraints(mechanism)) return true;
  noteSweptVelocities(mechanism);
  return false;
}

bool sweepAcceleration2D(EngineMechanism* mechanism) {
  clearGroundChain(mechanism, kMotionAcceleration);
  sweepOutwards(mechanism, &accelerateJoint);
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    if (callRecordMethod<ConstraintMethodSignature>(
            constraintMethod(constraint, kConstraintAccelerationParameters), constraint)) {
      return true;
    }
  }
  return false;
}

// --- constraint errors ----------------------------------------------------------------------

bool velocityError2D(EngineMechanism* mechanism, double* out) {
  clearGroundChain(mechanism, kMotionBuffer);
  sweepOutwards(mechanism, &bufferJoint);
  int k = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    const EngineConstraint* constraint = mechanism->constraints[i];
    const EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    const double* vb = motionData(constraint->baseJoint, kMotionBuffer);
    const double* vf = motionData(constraint->followerJoint, kMotionBuffer);
    const int n = set->n;
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      double sum = 0.0;
      for (int c = 0; c < 3; ++c) {
        sum += set->baseJacobian[c * n + e] * vb[c] + set->followerJacobian[c * n + e] * vf[c];
      }
      out[k++] = sum - set->velocityRhs[e];
    }
  }
  return false;
}

bool positionError2D(EngineMechanism* mechanism, double* out, bool joints) {
  const EngineKinematicData* data = mechanism->kinematicData;
  if (data == nullptr) return false;
  const double w = data->homotopyWeight;
  int k = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    if (callRecordMethod<ConstraintMethodSignature>(
            constraintMethod(constraint, kConstraintPositionEquations), constraint)) {
      return true;
    }
    const EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      const std::int32_t mode = set->modes->indices[e];
      if (mode != kEquationHolonomic && mode != kEquationHolonomicDriver) continue;
      const double start = data->startResidual != nullptr ? data->startResidual[k] : 0.0;
      out[k] = set->residual[e] - (1.0 - w) * start;
      ++k;
    }
  }
  if (joints) {
    double* running = out + k;
    forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
      return callRecordMethod<JointWriteMethod>(jointMethod(joint, kJointQuaternionEquations),
                                                joint, &running);
    });
  }
  return false;
}
