#include <cmath>
#include <cstring>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/cholesky.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/engine_method_table.h"
#include "mech_engine_common/engine_vector_kernels.h"
#include "mech_engine_common/qr_factorisation.h"

// Forward dynamics of the chains in the articulated-body form, with the
// loop-closing constraints through Lagrange multipliers.
//
// Per body at its reference point: M·a + p = f, with M the spatial inertia
// (J about the reference point, m, the centre-of-mass offset c in world axes),
// a = (α, acceleration of the reference point) and the bias
// p = (0, -m·ω²·c) minus gravity and applied forces. A joint passes to its
// inboard body the force transported by Xᵀ: (n + r × f, f); accelerations move
// outwards with X: a' = X·a_in. Every 3x3 here is stored with leading
// dimension 3, in the leading part of its 6x6 cell.
//
// The inward passes work on the chains in table order (every chain before its
// parent, the ground chain last) and, inside a chain, from the tip to the
// base; the outward passes the other way. Nothing here allocates: the joint-
// space inversion works in fixed local arrays (at most kMaxJointCoordinates).

namespace {

constexpr int kMaxJointCoordinates = 16;

using Matrix3 = double[9];

EngineMatrix* cell(const EngineJoint* joint, MotionEntry entry) {
  return joint->motion[entry];
}
double* forceData(const EngineJoint* joint, ForceEntry entry) {
  return joint->force[entry]->data;
}

template <typename Visit>
void inwards(EngineMechanism* mechanism, Visit visit) {
  for (int c = 0; c + 1 < mechanism->numChains; ++c) {
    EngineChain* chain = mechanism->chains[c];
    for (int k = 0; k < chain->numJoints; ++k) visit(chain, k, chain->joints[k]);
  }
}

template <typename Visit>
void outwards(EngineMechanism* mechanism, Visit visit) {
  for (int c = mechanism->numChains - 2; c >= 0; --c) {
    EngineChain* chain = mechanism->chains[c];
    for (int k = chain->numJoints - 1; k >= 0; --k) visit(chain, k, chain->joints[k]);
  }
}

EngineBody* bodyOf(const EngineChain* chain, int k) {
  return chain->bodies != nullptr ? chain->bodies[k] : nullptr;
}

// out += Xᵀ·f: the force f at the outboard point moved to the inboard point.
void addTransportedForce(const double* r, const double* f, double* out) {
  out[0] += f[0] + r[0] * f[2] - r[1] * f[1];
  out[1] += f[1];
  out[2] += f[2];
}

// out = X·a: the inboard acceleration (or velocity) moved to the outboard point.
void transportMotion(const double* r, const double* a, double* out) {
  out[0] = a[0];
  out[1] = a[1] - a[0] * r[1];
  out[2] = a[2] + a[0] * r[0];
}

// out += Xᵀ·P·X for the 3x3 P (X the transport of offset r).
void addTransportedInertia(const double* r, const double* p, double* out) {
  // X = [[1, 0, 0], [-ry, 1, 0], [rx, 0, 1]] (column-major: 1, -ry, rx, 0, 1, 0, 0, 0, 1).
  const double x[9] = {1, -r[1], r[0], 0, 1, 0, 0, 0, 1};
  double px[9];
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) {
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) sum += p[i + 3 * k] * x[k + 3 * j];
      px[i + 3 * j] = sum;
    }
  }
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) {
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) sum += x[k + 3 * i] * px[k + 3 * j];
      out[i + 3 * j] += sum;
    }
  }
}

void multiply3(const double* m, const double* v, double* out) {
  for (int i = 0; i < 3; ++i) out[i] = m[i] * v[0] + m[i + 3] * v[1] + m[i + 6] * v[2];
}

bool singular(const EngineJoint* joint) {
  return setEngineError(kMessageSingularMass, joint->blockName);
}

// D⁻¹ of the joint-space inertia D (n x n) into inverse.
bool invertJointInertia(const EngineJoint* joint, const double* d, int n, double* inverse,
                        const MachineEnvironment* environment) {
  // A NaN or infinite inertia (a non-finite mass) has no usable inverse either.
  for (int i = 0; i < n * n; ++i) {
    if (!std::isfinite(d[i])) return singular(joint);
  }
  if (n == 1) {
    if (d[0] == 0.0) return singular(joint);
    inverse[0] = 1.0 / d[0];
    return false;
  }
  if (n > kMaxJointCoordinates) {
    releaseAssertion();
    return singular(joint);
  }
  double factor[kMaxJointCoordinates * kMaxJointCoordinates];
  double work[kMaxJointCoordinates];
  std::memcpy(factor, d, sizeof(double) * n * n);
  const double oneNorm = matrixOneNorm(d, n, n);
  bool useQr = choleskyFactor(factor, n);
  if (!useQr && environment->kinematicRequest[3] != 0) {
    const double rcond = choleskyReciprocalCondition(factor, n, oneNorm, work);
    useQr = rcond * rcond < environment->constraintTolerance;
  }
  double unit[kMaxJointCoordinates];
  if (!useQr) {
    for (int j = 0; j < n; ++j) {
      for (int i = 0; i < n; ++i) unit[i] = i == j ? 1.0 : 0.0;
      choleskySolve(factor, inverse + n * j, unit, n);
    }
    return false;
  }
  double qraux[kMaxJointCoordinates];
  std::int32_t pivots[kMaxJointCoordinates] = {};
  std::memcpy(factor, d, sizeof(double) * n * n);
  qrFactorPivoted(factor, n, n, qraux, pivots, work);
  const double tolerance = kEngineEps * n;
  if (qrNumericalRank(factor, n, n, tolerance) < n) return singular(joint);
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) unit[i] = i == j ? 1.0 : 0.0;
    qrLeastSquares(factor, n, n, qraux, pivots, unit, inverse + n * j, tolerance);
  }
  return false;
}

// The joint paths below are written once for any number n of free
// coordinates and instantiated twice: with kCoordinates = 1 (a revolute or
// prismatic joint, the common case), where the compiler turns the loops into
// straight-line code, and with kCoordinates = 0 for a count read at run
// time. Both do the same operations in the same order.
template <int kCoordinates>
int coordinateCount(const EngineJoint* joint) {
  return kCoordinates > 0 ? kCoordinates : joint->freeVelocities->count;
}

// True when the fixed one-coordinate instantiation applies: one velocity
// coordinate, and it is free (so its free index is 0).
bool hasOneCoordinate(const EngineJoint* joint) {
  return joint->numVelocities == 1 && joint->freeVelocities->count == 1;
}

template <int kCoordinates>
int velocityCount(const EngineJoint* joint) {
  return kCoordinates > 0 ? kCoordinates : joint->numVelocities;
}

// The velocity index of free coordinate a.
template <int kCoordinates>
int freeIndex(const EngineJoint* joint, int a) {
  return kCoordinates > 0 ? a : joint->freeVelocities->indices[a];
}

// S_f column a of a joint (rows 0..2 of S at the free index).
template <int kCoordinates>
const double* freeColumn(const EngineJoint* joint, int a) {
  return motionData(joint, kMotionSubspace) + kSpatialSize * freeIndex<kCoordinates>(joint, a);
}

// U = P·S_f, D = S_fᵀ·U, D⁻¹, and P_in = P - U·D⁻¹·Uᵀ into `projected`.
template <int kCoordinates>
bool projectOutJointSpace(EngineMechanism* mechanism, EngineJoint* joint, const double* p,
                          double* projected) {
  const int n = coordinateCount<kCoordinates>(joint);
  double* u = motionData(joint, kMotionProjectedInertia);  // 3 x n
  double* d = motionData(joint, kMotionJointInertia);      // n x n
  double* inverse = motionData(joint, kMotionInverseInertia);
  for (int a = 0; a < n; ++a) multiply3(p, freeColumn<kCoordinates>(joint, a), u + 3 * a);
  for (int b = 0; b < n; ++b) {
    for (int a = 0; a < n; ++a) {
      const double* s = freeColumn<kCoordinates>(joint, a);
      d[a + n * b] = s[0] * u[3 * b] + s[1] * u[3 * b + 1] + s[2] * u[3 * b + 2];
    }
  }
  if (invertJointInertia(joint, d, n, inverse, mechanism->environment)) return true;
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) {
      double sum = 0.0;
      for (int a = 0; a < n; ++a) {
        for (int b = 0; b < n; ++b) sum += u[i + 3 * a] * inverse[a + n * b] * u[j + 3 * b];
      }
      projected[i + 3 * j] -= sum;
    }
  }
  return false;
}

// Articulated inertia of one joint: P (already holding M plus what outer
// joints passed in), U, D, D⁻¹; adds the transported P_in to the inboard joint.
bool articulate(EngineMechanism* mechanism, EngineChain* chain, int k, EngineJoint* joint) {
  double* p = motionData(joint, kMotionArticulatedInertia);
  const int n = joint->freeVelocities->count;
  double projected[9];
  std::memcpy(projected, p, sizeof projected);
  if (hasOneCoordinate(joint)) {
    if (projectOutJointSpace<1>(mechanism, joint, p, projected)) return true;
  } else if (n > 0) {
    if (projectOutJointSpace<0>(mechanism, joint, p, projected)) return true;
  }
  // The projected inertia is kept (the transform passed inwards); the outward
  // pass moves accelerations with the plain transport X.
  std::memcpy(motionData(joint, kMotionTransformInwards), projected, sizeof projected);
  addTransportedInertia(motionData(joint, kMotionOffset), projected,
                        motionData(inboardPlacement(chain, k), kMotionArticulatedInertia));
  return false;
}

// Free accelerations from u and the transported inboard acceleration:
// q̈_f = D⁻¹·u - D⁻¹·(Uᵀ·a'), written at the free indices of `accelerations`.
// (u and inverse: the joint's U and D⁻¹.)
template <int kCoordinates = 0>
void freeAccelerations(const EngineJoint* joint, const double* u, const double* inverse,
                       const double* reduced, const double* aPrime, double* accelerations) {
  const int n = coordinateCount<kCoordinates>(joint);
  double uta[kMaxJointCoordinates];
  for (int a = 0; a < n && a < kMaxJointCoordinates; ++a) {
    uta[a] = u[3 * a] * aPrime[0] + u[3 * a + 1] * aPrime[1] + u[3 * a + 2] * aPrime[2];
  }
  for (int a = 0; a < n && a < kMaxJointCoordinates; ++a) {
    double value = 0.0;
    for (int b = 0; b < n; ++b) value += inverse[a + n * b] * (reduced[b] - uta[b]);
    accelerations[freeIndex<kCoordinates>(joint, a)] = value;
  }
}

template <int kCoordinates = 0>
void freeAccelerations(const EngineJoint* joint, const double* reduced, const double* aPrime,
                       double* accelerations) {
  freeAccelerations<kCoordinates>(joint, motionData(joint, kMotionProjectedInertia),
                                  motionData(joint, kMotionInverseInertia), reduced, aPrime,
                                  accelerations);
}

template <int kCoordinates = 0>
void addSubspace(const EngineJoint* joint, const double* rates, double* out) {
  const double* s = motionData(joint, kMotionSubspace);
  for (int j = 0; j < velocityCount<kCoordinates>(joint); ++j) {
    for (int i = 0; i < 3; ++i) out[i] += s[i + kSpatialSize * j] * rates[j];
  }
}

EngineMethod jointMethod(const EngineJoint* joint, JointMethod method) {
  const EngineGeneralJoint* g = generalOf(joint);
  return g != nullptr ? g->methods[method] : nullptr;
}

double readInput(double*** running) {
  return **(*running)++;
}

// The current world direction of a vector given in the body frame.
void bodyToWorld(const EngineJoint* placement, const double* v, double* out) {
  rotate2(placement->rotation->rotation, v, out);
}

// A world-axis offset of the described configuration, turned with the body.
void currentOffset(const EngineJoint* placement, const double* described, double* out) {
  const double* zero = frameRotation(outboardSide(placement));
  const double local[2] = {zero[0] * described[0] + zero[1] * described[1],
                           zero[3] * described[0] + zero[4] * described[1]};
  bodyToWorld(placement, local, out);
}

}  // namespace

// --- inputs ------------------------------------------------------------------------------------

bool dynamicInputs(double** input, EngineMechanism* mechanism) {
  if (input == nullptr) return false;
  double** running = input;
  return forEachSignalRecord(
      mechanism,
      [&](EngineBody* body, EngineJoint* joint) {
        if (body != nullptr && body->methods != nullptr &&
            callRecordMethod<BodyInputMethod>(body->methods[kBodyForceInput], body, joint,
                                              &running)) {
          return true;
        }
        return callRecordMethod<JointInputMethod>(jointMethod(joint, kJointDynamicInputs), joint,
                                                  &running);
      },
      [&](EngineConstraint* constraint) {
        return callRecordMethod<ConstraintInputMethod>(
            constraint->general->methods[kConstraintDynamicInputs], constraint, &running);
      });
}

bool bodyDynamicInputs2D(EngineBody* body, EngineJoint* joint, double*** running) {
  const EngineBodyDescription* d = body->description;
  double* applied = bodyData(body, kBodyAppliedForce);
  applied[0] = applied[1] = applied[2] = 0.0;
  if (d == nullptr) return false;
  for (int i = 0; i < d->numActuators; ++i) {
    const EngineBodyInput& input = d->actuators[i];
    double torque[3] = {0, 0, 0};
    double force[3] = {0, 0, 0};
    const auto read3 = [&](double* out, double scale) {
      for (int k = 0; k < 3; ++k) out[k] = scale * readInput(running);
    };
    switch (input.kind) {
      case kBodyInputForce:
        read3(force, input.scale != nullptr ? input.scale[0] : 1.0);
        break;
      case kBodyInputTorque:
        read3(torque, input.scale != nullptr ? input.scale[0] : 1.0);
        break;
      case kBodyInputForceAndTorque:
        read3(torque, input.scale != nullptr ? input.scale[0] : 1.0);
        read3(force, input.scale != nullptr ? input.scale[1] : 1.0);
        break;
      default:
        releaseAssertion();
        continue;
    }
    // Values in the actuator's frame (fixed to the world), else in the body frame.
    double worldForce[2];
    double worldTorque;
    if (input.rotation != nullptr) {
      worldForce[0] = input.rotation[0] * force[0] + input.rotation[3] * force[1];
      worldForce[1] = input.rotation[1] * force[0] + input.rotation[4] * force[1];
      worldTorque = input.rotation[2] * torque[0] + input.rotation[5] * torque[1] +
                    input.rotation[8] * torque[2];
    } else {
      bodyToWorld(joint, force, worldForce);
      worldTorque = torque[2];
    }
    double offset[2] = {0, 0};
    if (input.position != nullptr) currentOffset(joint, input.position, offset);
    applied[0] += worldTorque + offset[0] * worldForce[1] - offset[1] * worldForce[0];
    applied[1] += worldForce[0];
    applied[2] += worldForce[1];
  }
  // Mass properties: the description's, plus every variable-mass entry.
  double* mass = bodyData(body, kBodyMass);
  double* inertia = bodyData(body, kBodyInertia);
  double* centre = bodyData(body, kBodyCentreOfMass);
  const double describedCentre[3] = {centre[0], centre[1], 0.0};
  const bool hasDescribedCentre = d->centreOfMass != nullptr;
  double local[3] = {0, 0, 0};
  if (hasDescribedCentre) {
    const double* zero = frameRotation(outboardSide(joint));
    local[0] = zero[0] * d->centreOfMass[0] + zero[1] * d->centreOfMass[1];
    local[1] = zero[3] * d->centreOfMass[0] + zero[4] * d->centreOfMass[1];
  } else {
    local[0] = describedCentre[0];
    local[1] = describedCentre[1];
  }
  mass[0] = describedMass(body);
  inertia[8] = d->inertia != nullptr ? d->inertia[8] : 0.0;
  double weighted[2] = {mass[0] * local[0], mass[0] * local[1]};
  for (int i = 0; i < d->numMassInputs; ++i) {
    const EngineBodyInput& entry = d->massInputs[i];
    double h = 0.0;
    double entryInertia[9] = {};
    const auto scaleAt = [&](int k) { return entry.scale != nullptr ? entry.scale[k] : 1.0; };
    switch (entry.kind) {
      case kBodyInputPointMass:
        h = scaleAt(0) * readInput(running);
        break;
      case kBodyInputInertia:
        for (int k = 0; k < 9; ++k) entryInertia[k] = scaleAt(k) * readInput(running);
        break;
      case kBodyInputMassAndInertia:
        h = scaleAt(0) * readInput(running);
        for (int k = 0; k < 9; ++k) entryInertia[k] = scaleAt(k + 1) * readInput(running);
        break;
      default:
        releaseAssertion();
        continue;
    }
    double p[2] = {0, 0};
    if (entry.position != nullptr) {
      const double* zero = frameRotation(outboardSide(joint));
      p[0] = zero[0] * entry.position[0] + zero[1] * entry.position[1];
      p[1] = zero[3] * entry.position[0] + zero[4] * entry.position[1];
    }
    // The entry's inertia about its normal: nᵀ·I·n, n its frame's third axis.
    double normal[3] = {0, 0, 1};
    if (entry.rotation != nullptr) {
      normal[0] = entry.rotation[6];
      normal[1] = entry.rotation[7];
      normal[2] = entry.rotation[8];
    }
    double turned[3];
    multiply3(entryInertia, normal, turned);
    mass[0] += h;
    weighted[0] += h * p[0];
    weighted[1] += h * p[1];
    inertia[8] += h * (p[0] * p[0] + p[1] * p[1]) + normal[0] * turned[0] + normal[1] * turned[1] +
                  normal[2] * turned[2];
  }
  if (mass[0] != 0.0) {
    centre[0] = weighted[0] / mass[0];
    centre[1] = weighted[1] / mass[0];
  }
  return false;
}

bool generalJointDynamicInputs2D(EngineJoint* joint, double*** running) {
  double* tau = forceData(joint, kForceJoint);
  const double sign = joint->reversed ? -1.0 : 1.0;
  const EngineGeneralJoint* g = generalOf(joint);
  int velocity = 0;
  for (int i = 0; i < joint->numPrimitives; ++i) {
    const EnginePrimitive& primitive = joint->primitives[i];
    if (primitive.kind == kPrimitiveSpherical) {
      velocity += 3;
      continue;
    }
    double value = 0.0;
    if (primitive.actuation == kActuationForce) value = primitive.factor * readInput(running);
    if (primitive.stiction == kStictionActuated) {
      const double friction = primitive.factor * readInput(running);
      const bool locked = g->modes->indices[i] == kModeLocked;
      const bool current = !joint->linked || g->timeStamp < *joint->time;
      if (!locked && current) value += friction;
    }
    tau[velocity++] = sign * value;
  }
  return false;
}

// --- bias forces ---------------------------------------------------------------------------------

bool dynamicSweep2D(EngineMechanism* mechanism) {
  inwards(mechanism, [&](EngineChain* chain, int k, EngineJoint* joint) {
    EngineBody* body = bodyOf(chain, k);
    const double* in = motionData(inboardPlacement(chain, k), kMotionVelocity);
    // c = ω_in × (relative velocity) + ω_in × (dS·q̇)
    const double* relative = motionData(joint, kMotionRelativeVelocity);
    const double* rate = motionData(joint, kMotionSubspaceRate);
    const double* rates = jointVelocities(joint);
    double turning[3] = {0, 0, 0};
    for (int j = 0; j < joint->numVelocities; ++j) {
      for (int i = 0; i < 3; ++i) turning[i] += rate[i + kSpatialSize * j] * rates[j];
    }
    double* c = motionData(joint, kMotionVelocityProduct);
    c[0] = 0.0;
    c[1] = -in[0] * relative[1] + in[0] * turning[1];
    c[2] = in[0] * relative[0] + in[0] * turning[2];
    double* bias = motionData(joint, kMotionBias);
    bias[0] = bias[1] = bias[2] = 0.0;
    if (body == nullptr || body->dynamic == nullptr) return;
    double* working = bodyData(body, kBodyWorkingInertia);
    std::memset(working, 0, 9 * sizeof(double));
    working[8] = bodyData(body, kBodyInertia)[8];
    double* centre = bodyData(body, kBodyCentreOfMassWorld);
    bodyToWorld(joint, bodyData(body, kBodyCentreOfMass), centre);
    const double m = bodyData(body, kBodyMass)[0];
    const double w = motionData(joint, kMotionVelocity)[0];
    bias[1] = -m * w * w * centre[0];
    bias[2] = -m * w * w * centre[1];
  });
  return false;
}

bool external2D(EngineMechanism* mechanism, bool forces) {
  const EngineMatrix* environment = mechanism->environment->environmentVector;
  const double* g = environment != nullptr ? environment->data : nullptr;
  inwards(mechanism, [&](EngineChain* chain, int k, EngineJoint* joint) {
    const EngineBody* body = bodyOf(chain, k);
    if (body == nullptr || body->dynamic == nullptr) return;
    double* bias = motionData(joint, kMotionBias);
    if (g != nullptr) {
      const double m = bodyData(body, kBodyMass)[0];
      const double* c = bodyData(body, kBodyCentreOfMassWorld);
      const double weight[2] = {m * g[0], m * g[1]};
      bias[0] -= c[0] * weight[1] - c[1] * weight[0];
      bias[1] -= weight[0];
      bias[2] -= weight[1];
    }
    const double* applied = bodyData(body, kBodyAppliedForce);
    for (int i = 0; i < 3; ++i) bias[i] -= applied[i];
  });
  if (forces) {
    for (int i = 0; i < mechanism->numConstraints; ++i) {
      EngineConstraint* constraint = mechanism->constraints[i];
      if (constraint->general == nullptr) continue;
      if (callRecordMethod<ConstraintMethodSignature>(
              constraint->general->methods[kConstraintPower], constraint)) {
        return true;
      }
    }
  }
  return false;
}

// --- articulated inertia -----------------------------------------------------------------------

namespace {

// Per joint its free coordinates and, when its body has an inertia, the 2D
// builder's inputs (see KeptArticulatedInertia); -1 when a body has another
// builder (nothing is kept then).
int gatherArticulatedInertiaInputs(const EngineMechanism* mechanism, double* out) {
  const EngineMethod builder2D = toEngineMethod(&spatialInertia2D);
  int k = 0;
  for (int c = 0; c < mechanism->numChains; ++c) {
    const EngineChain* chain = mechanism->chains[c];
    for (int j = 0; j < chain->numJoints; ++j) {
      const IndexList* free = chain->joints[j]->freeVelocities;
      out[k++] = free->count;
      for (int a = 0; a < free->count; ++a) out[k++] = free->indices[a];
      const EngineBody* body = bodyOf(chain, j);
      const EngineMethod builder =
          body != nullptr && body->dynamic != nullptr && body->methods != nullptr
              ? body->methods[kBodySpatialInertia]
              : nullptr;
      if (builder == nullptr) {
        out[k++] = 0.0;  // no body inertia
        continue;
      }
      if (builder != builder2D) return -1;
      const double* centre = bodyData(body, kBodyCentreOfMassWorld);
      out[k++] = 1.0;
      out[k++] = bodyData(body, kBodyMass)[0];
      out[k++] = centre[0];
      out[k++] = centre[1];
      out[k++] = bodyData(body, kBodyWorkingInertia)[8];
    }
  }
  return k;
}

// The kept-inputs record, or null when the mechanism has none.
KeptArticulatedInertia* keptInertiaOf(EngineMechanism* mechanism) {
  EngineKinematicData* data = mechanism->kinematicData;
  return data != nullptr && data->keptInertia.inputs != nullptr ? &data->keptInertia : nullptr;
}

bool sameArticulatedInertiaInputs(EngineMechanism* mechanism, KeptArticulatedInertia& kept) {
  const int count = gatherArticulatedInertiaInputs(mechanism, kept.gathered);
  return count >= 0 && count == kept.inputCount &&
         std::memcmp(kept.gathered, kept.inputs, sizeof(double) * count) == 0;
}

}  // namespace

void forgetArticulatedInertia(EngineMechanism* mechanism) {
  if (KeptArticulatedInertia* kept = keptInertiaOf(mechanism)) {
    kept->madeAtPlacements = 0;
    kept->recorded = 0;
  }
}

void recordArticulatedInertiaInputs(EngineMechanism* mechanism) {
  KeptArticulatedInertia* kept = keptInertiaOf(mechanism);
  if (kept == nullptr || !kept->madeAtPlacements) return;
  kept->inputCount = gatherArticulatedInertiaInputs(mechanism, kept->inputs);
  kept->recorded = kept->inputCount >= 0 ? 1 : 0;
}

bool ricatti2D(EngineMechanism* mechanism) {
  KeptArticulatedInertia* kept = keptInertiaOf(mechanism);
  if (kept != nullptr) {
    // Nothing the factors are made from has changed: they stay.
    if (kept->recorded && sameArticulatedInertiaInputs(mechanism, *kept)) return false;
    kept->madeAtPlacements = 0;
    kept->recorded = 0;
  }
  // Every joint's P starts as its body's spatial inertia; outer joints add to it.
  forEachJoint(mechanism, [&](EngineJoint* joint, int c, int k) {
    double* p = motionData(joint, kMotionArticulatedInertia);
    std::memset(p, 0, 9 * sizeof(double));
    const EngineBody* body = bodyOf(mechanism->chains[c], k);
    if (body == nullptr || body->dynamic == nullptr || body->methods == nullptr) return false;
    const EngineMethod builder = body->methods[kBodySpatialInertia];
    if (builder != nullptr) {
      methodAs<SpatialInertiaBuilder>(builder)(p, bodyData(body, kBodyMass)[0],
                                               bodyData(body, kBodyCentreOfMassWorld),
                                               bodyData(body, kBodyWorkingInertia));
    }
    return false;
  });
  bool failed = false;
  for (int c = 0; c + 1 < mechanism->numChains && !failed; ++c) {
    EngineChain* chain = mechanism->chains[c];
    for (int k = 0; k < chain->numJoints && !failed; ++k) {
      failed = articulate(mechanism, chain, k, chain->joints[k]);
    }
  }
  if (!failed && kept != nullptr) kept->madeAtPlacements = 1;
  return failed;
}

// --- accelerations
// ---------------------------------------------------------------------------------

namespace {

// The inward step of acceleration2D at one joint: its articulated bias, the
// part of the reaction without the velocity products, and what it passes in.
template <int kCoordinates>
void articulatedBiasAt(EngineChain* chain, int k, EngineJoint* joint) {
  const double* p = motionData(joint, kMotionArticulatedInertia);
  double c[3];
  std::memcpy(c, motionData(joint, kMotionVelocityProduct), sizeof c);
  // Prescribed accelerations of the driven coordinates join c.
  const double* s = motionData(joint, kMotionSubspace);
  const double* qdd = jointAccelerations(joint);
  for (int a = 0; a < joint->drivenVelocities->count; ++a) {
    const int j = joint->drivenVelocities->indices[a];
    for (int i = 0; i < 3; ++i) c[i] += s[i + kSpatialSize * j] * qdd[j];
  }
  double pc[3];
  multiply3(p, c, pc);
  const double* bias = motionData(joint, kMotionBias);
  const double* incoming = forceData(joint, kForceChildren);
  double articulated[3];
  for (int i = 0; i < 3; ++i) articulated[i] = bias[i] + pc[i] + incoming[i];
  // The reaction's part without the velocity products: P·a adds them back
  // (a holds c and the driven accelerations).
  double* reaction = forceData(joint, kForceSpatial);
  for (int i = 0; i < 3; ++i) reaction[i] = bias[i] + incoming[i];
  double passed[3];
  std::memcpy(passed, articulated, sizeof passed);
  const int n = coordinateCount<kCoordinates>(joint);
  if (n > 0) {
    double* reduced = motionData(joint, kMotionWorkA);
    double* scaled = motionData(joint, kMotionWorkB);
    const double* tau = forceData(joint, kForceJoint);
    for (int a = 0; a < n; ++a) {
      const double* column = freeColumn<kCoordinates>(joint, a);
      reduced[a] =
          tau[freeIndex<kCoordinates>(joint, a)] -
          (column[0] * articulated[0] + column[1] * articulated[1] + column[2] * articulated[2]);
    }
    const double* inverse = motionData(joint, kMotionInverseInertia);
    const double* u = motionData(joint, kMotionProjectedInertia);
    for (int a = 0; a < n; ++a) {
      double sum = 0.0;
      for (int b = 0; b < n; ++b) sum += inverse[a + n * b] * reduced[b];
      scaled[a] = sum;
    }
    for (int a = 0; a < n; ++a) {
      for (int i = 0; i < 3; ++i) passed[i] += u[i + 3 * a] * scaled[a];
    }
  }
  std::memcpy(motionData(joint, kMotionArticulatedBias), passed, sizeof passed);
  addTransportedForce(motionData(joint, kMotionOffset), passed,
                      forceData(inboardPlacement(chain, k), kForceChildren));
}

// The outward step of acceleration2D at one joint: joint and body
// accelerations, and with `forces` the reaction.
template <int kCoordinates>
void accelerationAt(EngineChain* chain, int k, EngineJoint* joint, bool forces) {
  double aPrime[3];
  transportMotion(motionData(joint, kMotionOffset),
                  motionData(inboardPlacement(chain, k), kMotionAcceleration), aPrime);
  double* qdd = jointAccelerations(joint);
  if (coordinateCount<kCoordinates>(joint) > 0) {
    freeAccelerations<kCoordinates>(joint, motionData(joint, kMotionWorkA), aPrime, qdd);
  }
  double* a = motionData(joint, kMotionAcceleration);
  const double* c = motionData(joint, kMotionVelocityProduct);
  for (int i = 0; i < 3; ++i) a[i] = aPrime[i] + c[i];
  addSubspace<kCoordinates>(joint, qdd, a);
  if (forces) {
    // Reaction at the joint: the force the inboard side exerts on the
    // outboard subtree, P·a + p + the outer joints' forces, at the outboard
    // reference point.
    double* reaction = forceData(joint, kForceSpatial);
    double pa[3];
    multiply3(motionData(joint, kMotionArticulatedInertia), a, pa);
    for (int i = 0; i < 3; ++i) reaction[i] += pa[i];
  }
}

}  // namespace

bool acceleration2D(EngineMechanism* mechanism, bool forces) {
  // Inward: the articulated bias of every joint; incoming forces collect in kForceChildren.
  forEachJoint(mechanism, [](EngineJoint* joint, int, int) {
    double* incoming = forceData(joint, kForceChildren);
    incoming[0] = incoming[1] = incoming[2] = 0.0;
    return false;
  });
  inwards(mechanism, [&](EngineChain* chain, int k, EngineJoint* joint) {
    if (hasOneCoordinate(joint)) {
      articulatedBiasAt<1>(chain, k, joint);
    } else {
      articulatedBiasAt<0>(chain, k, joint);
    }
  });
  // Outward: joint and body accelerations.
  EngineChain* ground = groundChain(mechanism);
  for (int k = 0; k < ground->numJoints; ++k) {
    std::memset(motionData(ground->joints[k], kMotionAcceleration), 0, 3 * sizeof(double));
  }
  outwards(mechanism, [&](EngineChain* chain, int k, EngineJoint* joint) {
    if (hasOneCoordinate(joint)) {
      accelerationAt<1>(chain, k, joint, forces);
    } else {
      accelerationAt<0>(chain, k, joint, forces);
    }
  });
  if (!forces) return false;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    if (constraint->general == nullptr) continue;
    if (callRecordMethod<ConstraintMethodSignature>(constraint->general->methods[kConstraintTorque],
                                                    constraint)) {
      return true;
    }
  }
  return false;
}

namespace {

// The inward step of articulatedResponse at one joint.
template <int kCoordinates>
void respondInwards(EngineChain* chain, int k, EngineJoint* joint) {
  EngineMatrix* accumulator = cell(joint, kMotionForceAccumulator);
  EngineMatrix* reducedCell = cell(joint, kMotionGeneralisedForce);
  const int n = coordinateCount<kCoordinates>(joint);
  for (int a = 0; a < velocityCount<kCoordinates>(joint); ++a) reducedCell->data[a] = 0.0;
  reducedCell->zeroFlag = 1;
  if (accumulator->zeroFlag) return;
  double passed[3];
  std::memcpy(passed, accumulator->data, sizeof passed);
  if (n > 0) {
    double reduced[kMaxJointCoordinates];
    double scaled[kMaxJointCoordinates];
    for (int a = 0; a < n && a < kMaxJointCoordinates; ++a) {
      const double* column = freeColumn<kCoordinates>(joint, a);
      reduced[a] = -(column[0] * passed[0] + column[1] * passed[1] + column[2] * passed[2]);
      reducedCell->data[freeIndex<kCoordinates>(joint, a)] = reduced[a];
    }
    reducedCell->zeroFlag = 0;
    const double* inverse = motionData(joint, kMotionInverseInertia);
    const double* u = motionData(joint, kMotionProjectedInertia);
    for (int a = 0; a < n && a < kMaxJointCoordinates; ++a) {
      double sum = 0.0;
      for (int b = 0; b < n; ++b) sum += inverse[a + n * b] * reduced[b];
      scaled[a] = sum;
    }
    for (int a = 0; a < n && a < kMaxJointCoordinates; ++a) {
      for (int i = 0; i < 3; ++i) passed[i] += u[i + 3 * a] * scaled[a];
    }
  }
  EngineMatrix* inboard = cell(inboardPlacement(chain, k), kMotionForceAccumulator);
  addTransportedForce(motionData(joint, kMotionOffset), passed, inboard->data);
  inboard->zeroFlag = 0;
}

// The outward step of articulatedResponse at one joint.
template <int kCoordinates>
void respondOutwards(EngineChain* chain, int k, EngineJoint* joint) {
  const EngineMatrix* in = cell(inboardPlacement(chain, k), kMotionBuffer);
  EngineMatrix* out = cell(joint, kMotionBuffer);
  EngineMatrix* reducedCell = cell(joint, kMotionGeneralisedForce);
  double aPrime[3] = {0, 0, 0};
  if (!in->zeroFlag) transportMotion(motionData(joint, kMotionOffset), in->data, aPrime);
  // Only the joint's own coordinates are cleared and read (a loop over a
  // few doubles, not a fixed-size clear of the whole local array).
  double qdd[kMaxJointCoordinates];
  for (int a = 0; a < velocityCount<kCoordinates>(joint) && a < kMaxJointCoordinates; ++a) qdd[a] = 0.0;
  const int n = coordinateCount<kCoordinates>(joint);
  const bool moves = !in->zeroFlag || !reducedCell->zeroFlag;
  if (n > 0 && moves && velocityCount<kCoordinates>(joint) <= kMaxJointCoordinates) {
    double reduced[kMaxJointCoordinates];
    for (int a = 0; a < n; ++a) reduced[a] = reducedCell->data[freeIndex<kCoordinates>(joint, a)];
    freeAccelerations<kCoordinates>(joint, reduced, aPrime, qdd);
  }
  // Keep the free accelerations in the generalised-force cell.
  for (int a = 0; a < velocityCount<kCoordinates>(joint); ++a) {
    reducedCell->data[a] = a < kMaxJointCoordinates ? qdd[a] : 0.0;
  }
  reducedCell->zeroFlag = moves ? 0 : 1;
  std::memcpy(out->data, aPrime, sizeof aPrime);
  if (moves && velocityCount<kCoordinates>(joint) <= kMaxJointCoordinates) addSubspace<kCoordinates>(joint, qdd, out->data);
  out->zeroFlag = moves ? 0 : 1;
}

}  // namespace

// The response of the articulated bodies to the forces in the Jacobian
// accumulators (taken as biases), without velocity terms or joint forces:
// the free accelerations -A⁻¹·Jᵀ·y land in the generalised-force cells and
// the body accelerations in the velocity buffers (with zero flags).
void articulatedResponse(EngineMechanism* mechanism) {
  inwards(mechanism, [&](EngineChain* chain, int k, EngineJoint* joint) {
    if (hasOneCoordinate(joint)) {
      respondInwards<1>(chain, k, joint);
    } else {
      respondInwards<0>(chain, k, joint);
    }
  });
  EngineChain* ground = groundChain(mechanism);
  for (int k = 0; k < ground->numJoints; ++k) {
    EngineMatrix* buffer = cell(ground->joints[k], kMotionBuffer);
    std::memset(buffer->data, 0, 3 * sizeof(double));
    buffer->zeroFlag = 1;
  }
  outwards(mechanism, [&](EngineChain* chain, int k, EngineJoint* joint) {
    if (hasOneCoordinate(joint)) {
      respondOutwards<1>(chain, k, joint);
    } else {
      respondOutwards<0>(chain, k, joint);
    }
  });
}

// --- the kept factor of G
// ---------------------------------------------------------------------------------
//
// G over all active equations depends only on what articulatedResponse,
// addConstraintForce and evaluateRows read: per moving joint its free
// coordinates, motion subspace, offset, D⁻¹ and U; per constraint its active
// equations and Jacobian blocks. Equal inputs, bit for bit, give the same G
// and the same factor.

namespace {

int gatherMassMatrixInputs(const EngineMechanism* mechanism, double* out) {
  double* o = out;
  const auto put = [&o](const double* values, int count) {
    for (int i = 0; i < count; ++i) *o++ = values[i];
  };
  const auto put3 = [&o](const double* values) {
    o[0] = values[0];
    o[1] = values[1];
    o[2] = values[2];
    o += 3;
  };
  for (int c = 0; c + 1 < mechanism->numChains; ++c) {
    const EngineChain* chain = mechanism->chains[c];
    for (int j = 0; j < chain->numJoints; ++j) {
      const EngineJoint* joint = chain->joints[j];
      const int v = joint->numVelocities;
      const IndexList* free = joint->freeVelocities;
      const int n = free->count;
      *o++ = n;
      for (int a = 0; a < n; ++a) *o++ = free->indices[a];
      const double* subspace = motionData(joint, kMotionSubspace);
      for (int column = 0; column < v; ++column) put3(subspace + kSpatialSize * column);
      put3(motionData(joint, kMotionOffset));
      put(motionData(joint, kMotionInverseInertia), n * n);
      put(motionData(joint, kMotionProjectedInertia), 3 * n);
    }
  }
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    const EngineEquationSet* set = mechanism->constraints[i]->equations;
    if (set == nullptr) continue;
    *o++ = set->active->count;
    for (int a = 0; a < set->active->count; ++a) *o++ = set->active->indices[a];
    put(set->baseJacobian, 3 * set->n);
    put(set->followerJacobian, 3 * set->n);
  }
  return static_cast<int>(o - out);
}

}  // namespace

void keepMassMatrixFactor(EngineMechanism* mechanism, int rows, double oneNorm) {
  KeptMassMatrixFactor& kept = mechanism->kinematicData->keptFactor;
  kept.valid = 0;
  if (kept.capacity <= 0) return;
  kept.inputCount = gatherMassMatrixInputs(mechanism, kept.inputs);
  kept.rows = rows;
  kept.oneNorm = oneNorm;
  std::memcpy(kept.factor, mechanism->kinematicData->normalMatrix,
              sizeof(double) * rows * rows);
  kept.valid = 1;
}

bool reuseMassMatrixFactor(EngineMechanism* mechanism, int rows, double* factor, double* oneNorm) {
  KeptMassMatrixFactor& kept = mechanism->kinematicData->keptFactor;
  if (!kept.valid || kept.rows != rows) return false;
  const int count = gatherMassMatrixInputs(mechanism, kept.current);
  if (count != kept.inputCount ||
      std::memcmp(kept.current, kept.inputs, sizeof(double) * count) != 0) {
    return false;
  }
  std::memcpy(factor, kept.factor, sizeof(double) * rows * rows);
  *oneNorm = kept.oneNorm;
  return true;
}

// --- G = J·A⁻¹·Jᵀ in one pass over the tree
// --------------------------------------------------------------------------
//
// Column e of G is the constraint rows evaluated on the response to the unit
// force Jᵀ·e. Instead of one articulatedResponse per column, one inward and
// one outward pass carry every column at once: per joint the same operations
// in the same order as articulatedResponse, column after column, with a zero
// flag per column where the cells keep theirs. Each column is therefore bit
// for bit what the single-column pass gives; the joint's D⁻¹, U, S and
// offset are read once for all columns. The values live in the pass's own
// arrays, not in the joints' cells.

namespace {

constexpr int kMaxPassColumns = 8;
constexpr int kMaxPassJoints = 32;
constexpr int kMaxPassChains = 16;
constexpr int kMaxPassConstraints = 16;

// The joints in pass order (chain by chain in table order, the ground chain
// last; joint 0 first) with the position of each joint's inboard placement.
struct PassJoints {
  int count = 0;
  int movingCount = 0;  // joints outside the ground chain (they come first)
  const EngineJoint* joint[kMaxPassJoints];
  int inboard[kMaxPassJoints];
  bool oneCoordinate[kMaxPassJoints];  // hasOneCoordinate

  // False when the mechanism is larger than the pass's arrays.
  bool build(const EngineMechanism* mechanism) {
    if (mechanism->numChains > kMaxPassChains) return false;
    int chainStart[kMaxPassChains];
    for (int c = 0; c < mechanism->numChains; ++c) {
      chainStart[c] = count;
      count += mechanism->chains[c]->numJoints;
      if (c + 1 < mechanism->numChains) movingCount = count;
    }
    if (count > kMaxPassJoints) return false;
    for (int c = 0; c < mechanism->numChains; ++c) {
      const EngineChain* chain = mechanism->chains[c];
      int parentStart = -1;  // the last table entry of the parent (the ground chain has none)
      for (int p = mechanism->numChains - 1; c + 1 < mechanism->numChains && p >= 0; --p) {
        if (mechanism->chains[p] == chain->parent) {
          parentStart = chainStart[p];
          break;
        }
      }
      for (int k = 0; k < chain->numJoints; ++k) {
        const int j = chainStart[c] + k;
        joint[j] = chain->joints[k];
        const EngineJoint* in = c + 1 < mechanism->numChains ? inboardPlacement(chain, k) : nullptr;
        inboard[j] = in == nullptr                ? -1
                     : k + 1 < chain->numJoints ? j + 1
                                                : parentStart;
        // The passes rely on the table order (a chain before its parent):
        // an inboard placement comes later in the inward pass.
        if (in != nullptr && inboard[j] <= j) return false;
        const int n = joint[j]->freeVelocities->count;
        if (joint[j]->numVelocities > kMaxJointCoordinates || n > kMaxJointCoordinates) return false;
        oneCoordinate[j] = hasOneCoordinate(joint[j]);
      }
    }
    return true;
  }
  int find(const EngineJoint* wanted) const {
    for (int j = 0; j < count; ++j) {
      if (joint[j] == wanted) return j;
    }
    return -1;
  }
};

// Per joint and column (kept together, so one address serves a joint's
// column): the force accumulator and the body motion with their zero flags,
// and the reduced forces at the free coordinates.
struct ColumnCell {
  double force[3];
  double motion[3];
  bool forceZero;
  bool reducedZero;
  bool motionZero;
  double reduced[kMaxJointCoordinates];
};
struct ColumnValues {
  ColumnCell cell[kMaxPassJoints][kMaxPassColumns];
};

// The inward pass of articulatedResponse at joint j for every column.
template <int kCoordinates>
void inwardJointColumns(const PassJoints& joints, int j, int columns, ColumnValues& v) {
  const EngineJoint* joint = joints.joint[j];
  const int n = coordinateCount<kCoordinates>(joint);
  const double* inverse = motionData(joint, kMotionInverseInertia);
  const double* u = motionData(joint, kMotionProjectedInertia);
  const double* r = motionData(joint, kMotionOffset);
  const double* s = motionData(joint, kMotionSubspace);
  const int in = joints.inboard[j];
  for (int col = 0; col < columns; ++col) {
    ColumnCell& here = v.cell[j][col];
    double* reduced = here.reduced;
    here.reducedZero = true;
    if (here.forceZero) {
      for (int a = 0; a < n; ++a) reduced[a] = 0.0;
      continue;
    }
    double passed[3] = {here.force[0], here.force[1], here.force[2]};
    if (n > 0) {
      double scaled[kMaxJointCoordinates];
      for (int a = 0; a < n; ++a) {
        const double* column = s + kSpatialSize * freeIndex<kCoordinates>(joint, a);
        reduced[a] = -(column[0] * passed[0] + column[1] * passed[1] + column[2] * passed[2]);
      }
      here.reducedZero = false;
      for (int a = 0; a < n; ++a) {
        double sum = 0.0;
        for (int b = 0; b < n; ++b) sum += inverse[a + n * b] * reduced[b];
        scaled[a] = sum;
      }
      for (int a = 0; a < n; ++a) {
        for (int i = 0; i < 3; ++i) passed[i] += u[i + 3 * a] * scaled[a];
      }
    }
    ColumnCell& inboard = v.cell[in][col];
    addTransportedForce(r, passed, inboard.force);
    inboard.forceZero = false;
  }
}

void inwardColumns(const PassJoints& joints, int columns, ColumnValues& v) {
  for (int j = 0; j < joints.movingCount; ++j) {
    if (joints.oneCoordinate[j]) {
      inwardJointColumns<1>(joints, j, columns, v);
    } else {
      inwardJointColumns<0>(joints, j, columns, v);
    }
  }
}

// The outward pass of articulatedResponse at joint j for every column.
template <int kCoordinates>
void outwardJointColumns(const PassJoints& joints, int j, int columns, ColumnValues& v) {
  const EngineJoint* joint = joints.joint[j];
  const int n = coordinateCount<kCoordinates>(joint);
  const int velocities = velocityCount<kCoordinates>(joint);
  const double* r = motionData(joint, kMotionOffset);
  const double* s = motionData(joint, kMotionSubspace);
  const double* u = motionData(joint, kMotionProjectedInertia);
  const double* inverse = motionData(joint, kMotionInverseInertia);
  const int in = joints.inboard[j];
  for (int col = 0; col < columns; ++col) {
    const ColumnCell& inboard = v.cell[in][col];
    ColumnCell& here = v.cell[j][col];
    const bool inZero = inboard.motionZero;
    double aPrime[3] = {0, 0, 0};
    if (!inZero) transportMotion(r, inboard.motion, aPrime);
    double qdd[kMaxJointCoordinates];
    for (int a = 0; a < velocities; ++a) qdd[a] = 0.0;
    const bool moves = !inZero || !here.reducedZero;
    if (n > 0 && moves) {
      freeAccelerations<kCoordinates>(joint, u, inverse, here.reduced, aPrime, qdd);
    }
    double* out = here.motion;
    for (int i = 0; i < 3; ++i) out[i] = aPrime[i];
    if (moves) {
      for (int q = 0; q < velocities; ++q) {
        for (int i = 0; i < 3; ++i) out[i] += s[i + kSpatialSize * q] * qdd[q];
      }
    }
    here.motionZero = !moves;
  }
}

void outwardColumns(const PassJoints& joints, int columns, ColumnValues& v) {
  for (int j = joints.movingCount; j < joints.count; ++j) {
    for (int col = 0; col < columns; ++col) {
      for (int i = 0; i < 3; ++i) v.cell[j][col].motion[i] = 0.0;
      v.cell[j][col].motionZero = true;
    }
  }
  for (int j = joints.movingCount - 1; j >= 0; --j) {
    if (joints.oneCoordinate[j]) {
      outwardJointColumns<1>(joints, j, columns, v);
    } else {
      outwardJointColumns<0>(joints, j, columns, v);
    }
  }
}

// jb·vb + jf·vf with zero-flagged sides skipped, as evaluateRows (jb, jf:
// the equation's column of the two Jacobian blocks).
double rowValue(const double* jb, const double* vb, bool vbZero, const double* jf,
                const double* vf, bool vfZero) {
  double sum = 0.0;
  if (!vbZero) {
    for (int c = 0; c < 3; ++c) sum += jb[c] * vb[c];
  }
  if (!vfZero) {
    for (int c = 0; c < 3; ++c) sum += jf[c] * vf[c];
  }
  return sum;
}

bool isCountedRow(const EngineEquationSet* set, int e, bool positionLevel) {
  if (!positionLevel) return true;
  const std::int32_t mode = set->modes->indices[e];
  return mode == kEquationHolonomic || mode == kEquationHolonomicDriver;
}

bool isMatrixColumn(const EngineEquationSet* set, int e, bool positionLevel) {
  const std::int32_t mode = set->modes->indices[e];
  return !(positionLevel && (mode == kEquationVelocity || mode == kEquationVelocityDriver));
}

// G column by column through articulatedResponse (any size of mechanism).
void buildMatrixByColumns(EngineMechanism* mechanism, double* out, bool positionLevel, int rows) {
  double* column = out;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    const EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      if (!isMatrixColumn(set, e, positionLevel)) continue;
      clearForceAccumulators(mechanism);
      addConstraintForce(constraint, e, 1.0);
      articulatedResponse(mechanism);
      // The response to +Jᵀ·e taken as a bias is -A⁻¹·Jᵀ·e.
      const int written = evaluateRows(mechanism, positionLevel, column);
      for (int r = 0; r < written; ++r) column[r] = -column[r];
      column += rows;
    }
  }
}

// G with every column in one pass; false when the mechanism or the number
// of columns is larger than the pass's arrays (nothing written then).
bool buildMatrixInOnePass(const EngineMechanism* mechanism, double* out, bool positionLevel,
                          int rows) {
  PassJoints joints;
  if (!joints.build(mechanism) || mechanism->numConstraints > kMaxPassConstraints) return false;
  // Where each constraint's two ends sit in the pass.
  int baseOf[kMaxPassConstraints];
  int followerOf[kMaxPassConstraints];
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    baseOf[i] = joints.find(mechanism->constraints[i]->baseJoint);
    followerOf[i] = joints.find(mechanism->constraints[i]->followerJoint);
    if (baseOf[i] < 0 || followerOf[i] < 0) return false;
  }
  // The columns: the equation's column of the two Jacobian blocks and the
  // ends it acts on.
  struct Column {
    double baseJacobian[3];
    double followerJacobian[3];
    int base;
    int follower;
  } columns[kMaxPassColumns];
  const auto columnOf = [](const EngineEquationSet* set, int e, int base, int follower) {
    Column c{{}, {}, base, follower};
    for (int i = 0; i < 3; ++i) {
      c.baseJacobian[i] = set->baseJacobian[i * set->n + e];
      c.followerJacobian[i] = set->followerJacobian[i * set->n + e];
    }
    return c;
  };
  int count = 0;
  // The rows G has (the counted equations), with the same ends.
  Column counted[kMaxPassColumns];
  int rowCount = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    const EngineConstraint* constraint = mechanism->constraints[i];
    const EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      if (isMatrixColumn(set, e, positionLevel)) {
        if (count == kMaxPassColumns) return false;
        columns[count++] = columnOf(set, e, baseOf[i], followerOf[i]);
      }
      if (isCountedRow(set, e, positionLevel)) {
        if (rowCount == kMaxPassColumns) return false;
        counted[rowCount++] = columnOf(set, e, baseOf[i], followerOf[i]);
      }
    }
  }
  if (rowCount != rows) return false;
  ColumnValues v;
  // Cleared accumulators, then +Jᵀ·e at the two ends (addConstraintForce).
  for (int j = 0; j < joints.count; ++j) {
    for (int col = 0; col < count; ++col) {
      for (int i = 0; i < 3; ++i) v.cell[j][col].force[i] = 0.0;
      v.cell[j][col].forceZero = true;
    }
  }
  for (int col = 0; col < count; ++col) {
    const Column& c = columns[col];
    for (int i = 0; i < 3; ++i) v.cell[c.base][col].force[i] += c.baseJacobian[i] * 1.0;
    v.cell[c.base][col].forceZero = false;
    for (int i = 0; i < 3; ++i) v.cell[c.follower][col].force[i] += c.followerJacobian[i] * 1.0;
    v.cell[c.follower][col].forceZero = false;
  }
  inwardColumns(joints, count, v);
  outwardColumns(joints, count, v);
  // The rows on each column's response, negated: the response to +Jᵀ·e
  // taken as a bias is -A⁻¹·Jᵀ·e.
  for (int col = 0; col < count; ++col) {
    double* column = out + rows * col;
    for (int k = 0; k < rows; ++k) {
      const Column& r = counted[k];
      const ColumnCell& base = v.cell[r.base][col];
      const ColumnCell& follower = v.cell[r.follower][col];
      column[k] = -rowValue(r.baseJacobian, base.motion, base.motionZero, r.followerJacobian,
                            follower.motion, follower.motionZero);
    }
  }
  return true;
}

}  // namespace

bool buildMatrix2D(EngineMechanism* mechanism, double* out, bool positionLevel) {
  const int rows = countedEquations(mechanism, positionLevel);
  if (!buildMatrixInOnePass(mechanism, out, positionLevel, rows)) {
    buildMatrixByColumns(mechanism, out, positionLevel, rows);
  }
  // The joints' cells as the column-by-column build leaves them.
  clearForceAccumulators(mechanism);
  return false;
}

// --- constraint forces
// -----------------------------------------------------------------------------

bool reconstructForce2D(EngineMechanism* mechanism, const double* multipliers) {
  int k = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    EngineEquationSet* set = constraint->equations;
    if (set == nullptr || constraint->general == nullptr) continue;
    double* force = constraint->primitiveRecord[0]->data;
    double* moment = constraint->primitiveRecord[1]->data;
    if (constraint->general->methods[kConstraintPower] == nullptr) {
      std::memset(force, 0, 3 * sizeof(double));
      std::memset(moment, 0, 3 * sizeof(double));
    }
    for (int e = 0; e < set->n; ++e) set->multipliers[e] = 0.0;
    double* baseBias = motionData(constraint->baseJoint, kMotionBias);
    double* followerBias = motionData(constraint->followerJoint, kMotionBias);
    const int n = set->n;
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      const double l = multipliers[k++];
      set->multipliers[e] = l;
      for (int c = 0; c < 3; ++c) {
        baseBias[c] += set->baseJacobian[c * n + e] * l;
        followerBias[c] += set->followerJacobian[c * n + e] * l;
        // The reaction in the components of the equation blocks (angular,
        // x, y at the attachment point), and what the follower body received.
        force[c] -= set->baseEquations[c * n + e] * l;
        moment[c] += set->followerJacobian[c * n + e] * l;
      }
    }
    if (callRecordMethod<ConstraintMethodSignature>(constraint->general->methods[kConstraintTorque],
                                                    constraint)) {
      return true;
    }
  }
  return false;
}

bool computeGeneralConstraintTorque2D(EngineConstraint* constraint) {
  const int count = constraint->numPrimitives;
  if (count == 0) return false;
  const double* a = constraint->general->axisMatrix->data;
  const double* reaction = constraint->primitiveRecord[0]->data;
  double* primitiveForces = constraint->primitiveRecord[2]->data;
  for (int j = 0; j < count; ++j) {
    primitiveForces[j] =
        a[j] * reaction[0] + a[count + j] * reaction[1] + a[2 * count + j] * reaction[2];
  }
  return false;
}

bool lagrange2D(EngineMechanism* mechanism) {
  EngineKinematicData* data = mechanism->kinematicData;
  if (data == nullptr) return false;
  const int a = data->activeCount;
  if (a <= 0) return false;
  if (setAccelerationConstraints2D(mechanism)) return true;
  double* g = data->normalMatrix;
  // After a stabilisation at unchanged masses G is the one it factored.
  double oneNorm = 0.0;
  const bool kept = reuseMassMatrixFactor(mechanism, a, g, &oneNorm);
  if (kept) {
    clearForceAccumulators(mechanism);  // as buildMatrix2D leaves them
  } else if (buildMatrix2D(mechanism, g, false)) {
    return true;
  }
  if (acceleration2D(mechanism, false)) return true;
  // Right-hand side: J·a + J'·v - γ of the unconstrained motion.
  double* rhs = data->rightHandSide;
  accelerationResidual(mechanism, rhs);
  double* lambda = data->multipliers;
  bool useQr = false;
  if (!kept) {
    oneNorm = matrixOneNorm(g, a, a);
    useQr = choleskyFactor(g, a);
  }
  if (!useQr && mechanism->environment->kinematicRequest[3] != 0) {
    const double rcond = choleskyReciprocalCondition(g, a, oneNorm, data->work1);
    useQr = rcond * rcond < mechanism->environment->constraintTolerance;
  }
  if (useQr) {
    // The factor was overwritten: build G again and solve in the least-squares sense.
    if (buildMatrix2D(mechanism, g, false)) return true;
    for (int i = 0; i < a; ++i) data->pivots[i] = 0;
    qrFactorPivoted(g, a, a, data->work1, data->pivots, data->work2);
    qrLeastSquares(g, a, a, data->work1, data->pivots, rhs, lambda, qrDefaultTolerance(a, a));
  } else {
    choleskySolve(g, lambda, rhs, a);
  }
  return reconstructForce2D(mechanism, lambda);
}

// --- outputs
// --------------------------------------------------------------------------------------------

bool dynamicOutputs(double* output, EngineMechanism* mechanism) {
  if (output == nullptr) return false;
  double* running = output;
  return forEachSignalRecord(
      mechanism,
      [&](EngineBody* body, EngineJoint* joint) {
        if (body != nullptr && body->methods != nullptr &&
            callRecordMethod<BodyOutputMethod>(body->methods[kBodySensorOutput], body, joint,
                                               &running)) {
          return true;
        }
        return callRecordMethod<JointWriteMethod>(jointMethod(joint, kJointDynamicOutputs), joint,
                                                  &running);
      },
      [&](EngineConstraint* constraint) {
        return callRecordMethod<ConstraintWriteMethod>(
            constraint->general->methods[kConstraintDynamicOutputs], constraint, &running);
      });
}

bool generalConstraintDynamicOutputs2D(EngineConstraint* constraint, double** running) {
  const EngineGeneralConstraint* g = constraint->general;
  const EngineEquationSet* set = constraint->equations;
  for (int s = 0; s < constraint->numSensors; ++s) {
    const EngineSensor& sensor = constraint->sensors[s];
    const double scale = sensor.scale != nullptr ? sensor.scale[0] : 1.0;
    const int i = sensor.primitiveIndex;
    if (i < 0 || i >= constraint->numPrimitives) continue;
    switch (sensor.code) {
      case 3: {
        // The multiplier of the primitive's own (driver) equation; a free
        // primitive carries none.
        double value = 0.0;
        const int row = g->numPrismaticEquations;
        if (constraint->primitives[i].kind == kPrimitiveRevolute && row < set->n) {
          value = set->multipliers[row];
        }
        *(*running)++ = scale * value;
        break;
      }
      case 11:
        *(*running)++ = scale * g->accelerations->data[i];
        break;
      case 14:
      case 15: {
        const double* force = constraint->primitiveRecord[0]->data;
        double value[3] = {0, 0, 0};
        if (sensor.code == 14) {
          value[0] = force[1];
          value[1] = force[2];
        } else {
          value[2] = force[0];
        }
        for (int c = 0; c < 3; ++c) {
          const double* t = sensor.transform;
          const double out =
              t != nullptr ? t[3 * c] * value[0] + t[3 * c + 1] * value[1] + t[3 * c + 2] * value[2]
                           : value[c];
          *(*running)++ = scale * out;
        }
        break;
      }
      default:
        break;
    }
  }
  return false;
}
