#include <cmath>
#include <cstring>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/qr_factorisation.h"
#include "mech_engine_common/tolerance_check.h"

// The general constraint's kinematic parameters and equations (the
// zero-prismatic and single-revolute families linked in this system), its
// tests, assemblyCheck, and the constraint blocks after the attachment
// transforms.
//
// Equation rows: first the translation rows (both components of base point
// minus follower point), then the revolute driver row when the revolute
// primitive is prescribed. Blocks store entry (component k, equation e) at
// k·n + e; the equation methods write the base and follower blocks alike and
// setVelocityConstraint2D negates the follower side.

namespace {

EngineMethod equationMethod(const EngineConstraint* constraint, PrimitiveEquationMethod method) {
  return constraint->general != nullptr ? constraint->general->equationMethods[method] : nullptr;
}

// The world rotation of a constraint frame: its body's rotation times its turn.
void sideFrame(const EngineJoint* joint, const double* turn, double* out) {
  multiplyRotations(joint->rotation->rotation, turn, out);
}

// Sine and cosine of the follower frame's angle from the base frame.
void relativeAngle(const EngineConstraint* constraint, double* sine, double* cosine) {
  const EngineGeneralConstraint* g = constraint->general;
  double b[4];
  double f[4];
  sideFrame(constraint->baseJoint, g->baseTurn, b);
  sideFrame(constraint->followerJoint, g->followerTurn, f);
  *cosine = b[0] * f[0] + b[1] * f[1];
  *sine = b[2] * f[0] + b[3] * f[1];
}

int revoluteIndex(const EngineConstraint* constraint) {
  return constraint->general->revoluteIndices->indices[0];
}

// The revolute driver row, or -1 when the primitive has no equation.
int revoluteRow(const EngineConstraint* constraint) {
  const int row = constraint->general->numPrismaticEquations;
  return row < constraint->equations->n ? row : -1;
}

void clearRow(double* block, int n, int row) {
  for (int k = 0; k < 3; ++k) block[k * n + row] = 0.0;
}

// The driver residual R(θ, φ) = k·sin θ·cos φ - cos θ·sin φ and its partial
// derivatives, with θ the driver angle, φ the frames' relative angle.
struct DriverTerms {
  double residual;
  double dPhi;         // ∂R/∂φ
  double dTheta;       // ∂R/∂θ
  double dPhiPhi;      // ∂²R/∂φ²
  double dPhiTheta;    // ∂²R/∂φ∂θ
  double dThetaTheta;  // ∂²R/∂θ²
};

DriverTerms driverTerms(double k, double theta, double sinePhi, double cosinePhi) {
  const double st = std::sin(theta);
  const double ct = std::cos(theta);
  return {k * st * cosinePhi - ct * sinePhi,  -k * st * sinePhi - ct * cosinePhi,
          k * ct * cosinePhi + st * sinePhi,  -k * st * cosinePhi + ct * sinePhi,
          -k * ct * sinePhi + st * cosinePhi, -k * st * cosinePhi + ct * sinePhi};
}

double translationResidual(const EngineConstraint* constraint, int component) {
  return constraint->equationScale *
         (attachmentData(constraint, kAttachBasePosition)[component] -
          attachmentData(constraint, kAttachFollowerPosition)[component]);
}

// Zero-prismatic blocks: 1·scale at (x, row 0) and (y, row 1) on both sides.
void zeroPrismaticBlocks(EngineConstraint* constraint, bool acceleration) {
  EngineEquationSet* set = constraint->equations;
  const int n = set->n;
  const double scale = constraint->equationScale;
  for (int row = 0; row < 2 && row < n; ++row) {
    clearRow(set->baseEquations, n, row);
    clearRow(set->followerEquations, n, row);
    set->baseEquations[(row + 1) * n + row] = scale;
    set->followerEquations[(row + 1) * n + row] = scale;
    set->modes->indices[row] = kEquationHolonomic;
    set->velocityRhs[row] = 0.0;
    if (acceleration) {
      clearRow(set->baseDerivative, n, row);
      clearRow(set->followerDerivative, n, row);
      set->accelerationRhs[row] = 0.0;
    }
  }
}

// Column e of a block turned by the attachment transform of offset ρ (form 2,
// applied transposed): (c0 + ρx·c2 - ρy·c1, c1, c2), times sign.
void transformColumn(const double* block, int n, int e, const double* rho, double sign,
                     double* out) {
  const double c0 = block[e];
  const double c1 = block[n + e];
  const double c2 = block[2 * n + e];
  out[e] = sign * (c0 + rho[0] * c2 - rho[1] * c1);
  out[n + e] = sign * c1;
  out[2 * n + e] = sign * c2;
}

// Column e of the derivative block turned the same way, plus the transform's
// rate (form 3 of ρ̇) applied to the block: (ρ̇x·c2 - ρ̇y·c1, 0, 0), times sign.
void rateColumn(const double* block, const double* derivative, int n, int e, const double* rho,
                const double* rate, double sign, double* out) {
  transformColumn(derivative, n, e, rho, sign, out);
  out[e] += sign * (rate[0] * block[2 * n + e] - rate[1] * block[n + e]);
}

// Primitive rates of the free primitives from the relative motion of the two
// frames, solved through the factor of A_fᵀ·A_f (least squares with rank
// detection). rhs is the 3-vector of the relative motion.
void solveFreePrimitives(EngineConstraint* constraint, double* rhs, double* values,
                         const double* drivenValues) {
  EngineGeneralConstraint* g = constraint->general;
  const int count = constraint->numPrimitives;
  const double* a = g->axisMatrix->data;
  for (int d = 0; d < g->drivenVelocities->count; ++d) {
    const int j = g->drivenVelocities->indices[d];
    for (int k = 0; k < 3; ++k) rhs[k] -= a[k * count + j] * drivenValues[j];
  }
  const int free = g->freeVelocities->count;
  if (free == 0) return;
  double* projected = g->work->data;
  double* solution = g->work->data + count;
  for (int c = 0; c < free; ++c) {
    const int j = g->freeVelocities->indices[c];
    projected[c] = a[j] * rhs[0] + a[count + j] * rhs[1] + a[2 * count + j] * rhs[2];
  }
  qrLeastSquares(g->normalFactor->data, free, free, g->qraux->data, g->pivots->indices, projected,
                 solution, qrDefaultTolerance(free, free));
  for (int c = 0; c < free; ++c) values[g->freeVelocities->indices[c]] = solution[c];
}

}  // namespace

// --- parameters ------------------------------------------------------------------------------

bool computeGeneralConstraintPositionParameters2D(EngineConstraint* constraint) {
  EngineGeneralConstraint* g = constraint->general;
  if (callRecordMethod<ConstraintMethodSignature>(equationMethod(constraint, kRevoluteAngle),
                                                  constraint)) {
    return true;
  }
  if (g->numRevolute == 1) {
    g->axisSign = constraint->primitives[revoluteIndex(constraint)].axis[2] > 0.0 ? 1.0 : -1.0;
  } else if (g->numRevolute > 1) {
    releaseAssertion();
  }
  if (updateGeneralConstraintPrismaticAxes2D(constraint)) return true;
  updateGeneralConstraintAxisMatrix2D(constraint);
  return false;
}

bool computeGeneralConstraintVelocityParameters2D(EngineConstraint* constraint) {
  EngineGeneralConstraint* g = constraint->general;
  const double* vb = motionData(constraint->baseJoint, kMotionVelocity);
  const double* vf = motionData(constraint->followerJoint, kMotionVelocity);
  const double* ref = constraint->baseJoint->rotation->position;
  const double* point = attachmentData(constraint, kAttachFollowerPosition);
  const double* rf = attachmentData(constraint, kAttachFollowerVector);
  // Follower point velocity minus the base body's velocity at that point.
  const double o[2] = {point[0] - ref[0], point[1] - ref[1]};
  double rhs[3] = {vf[0] - vb[0], vf[1] - vf[0] * rf[1] - (vb[1] - vb[0] * o[1]),
                   vf[2] + vf[0] * rf[0] - (vb[2] + vb[0] * o[0])};
  solveFreePrimitives(constraint, rhs, g->velocities->data, g->velocities->data);
  // Ȧ last: it reads the primitive rates and axis rates just stored.
  updateGeneralConstraintPrismaticAxisRates2D(constraint);
  return updateGeneralConstraintAxisRateMatrix2D(constraint);
}

bool computeGeneralConstraintAccelerationParameters2D(EngineConstraint* constraint) {
  EngineGeneralConstraint* g = constraint->general;
  const double* vb = motionData(constraint->baseJoint, kMotionVelocity);
  const double* vf = motionData(constraint->followerJoint, kMotionVelocity);
  const double* ab = motionData(constraint->baseJoint, kMotionAcceleration);
  const double* af = motionData(constraint->followerJoint, kMotionAcceleration);
  const double* ref = constraint->baseJoint->rotation->position;
  const double* point = attachmentData(constraint, kAttachFollowerPosition);
  const double* r = attachmentData(constraint, kAttachFollowerVector);
  const double* rd = attachmentData(constraint, kAttachFollowerRate);
  const double o[2] = {point[0] - ref[0], point[1] - ref[1]};
  const double e[2] = {vf[1] + rd[0] - vb[1], vf[2] + rd[1] - vb[2]};
  double rhs[3] = {af[0] - ab[0],
                   af[1] - af[0] * r[1] - vf[0] * rd[1] - ab[1] + ab[0] * o[1] + vb[0] * e[1],
                   af[2] + af[0] * r[0] + vf[0] * rd[0] - ab[2] - ab[0] * o[0] - vb[0] * e[0]};
  // Minus the axis rates times the primitive rates.
  const int count = constraint->numPrimitives;
  for (int j = 0; j < count; ++j) {
    for (int k = 0; k < 3; ++k)
      rhs[k] -= g->axisRates->data[k * count + j] * g->velocities->data[j];
  }
  solveFreePrimitives(constraint, rhs, g->accelerations->data, g->accelerations->data);
  return false;
}

bool computeSingleRevoluteAngle2D(EngineConstraint* constraint) {
  EngineGeneralConstraint* g = constraint->general;
  const int i = revoluteIndex(constraint);
  const EnginePrimitive& primitive = constraint->primitives[i];
  if (primitive.actuation == kActuationMotionDriven) return false;
  if (primitive.stiction == kStictionActuated && g->modes->indices[i] == kModeLocked) return false;
  if (g->icSwitch && primitive.initialCondition == kInitialConditionActuated) return false;
  double sine;
  double cosine;
  relativeAngle(constraint, &sine, &cosine);
  g->sine = g->revoluteFrames[3] * sine;
  g->cosine = cosine;
  if (g->sine == 0.0 && g->cosine == 0.0) {
    return setEngineError(kMessageRevoluteAngle, constraint->blockName);
  }
  g->positions->data[i] = std::atan2(g->sine, g->cosine);
  return false;
}

// --- equation families ---------------------------------------------------------------------

bool zeroPrismaticPositionEquations2D(EngineConstraint* constraint) {
  EngineEquationSet* set = constraint->equations;
  for (int row = 0; row < 2 && row < set->n; ++row) {
    set->residual[row] = translationResidual(constraint, row);
  }
  return false;
}

bool zeroPrismaticVelocityEquations2D(EngineConstraint* constraint) {
  zeroPrismaticBlocks(constraint, false);
  return false;
}

bool zeroPrismaticAccelerationEquations2D(EngineConstraint* constraint) {
  zeroPrismaticBlocks(constraint, true);
  return false;
}

bool singleRevolutePositionEquations2D(EngineConstraint* constraint) {
  const int row = revoluteRow(constraint);
  if (row < 0) return false;
  EngineEquationSet* set = constraint->equations;
  const std::int32_t mode = set->modes->indices[row];
  if (mode == kEquationHolonomicDriver) {
    double sine;
    double cosine;
    relativeAngle(constraint, &sine, &cosine);
    const double theta = constraint->general->positions->data[revoluteIndex(constraint)];
    set->residual[row] = driverTerms(constraint->general->axisSign, theta, sine, cosine).residual;
  } else if (mode == kEquationInactiveDriver) {
    set->residual[row] = 0.0;
  }
  return false;
}

// The driver row's blocks (angular component) and right-hand sides; an
// inactive row is cleared.
void revoluteDriverRow(EngineConstraint* constraint, bool acceleration) {
  const int row = revoluteRow(constraint);
  if (row < 0) return;
  EngineEquationSet* set = constraint->equations;
  const int n = set->n;
  clearRow(set->baseEquations, n, row);
  clearRow(set->followerEquations, n, row);
  set->velocityRhs[row] = 0.0;
  if (acceleration) {
    clearRow(set->baseDerivative, n, row);
    clearRow(set->followerDerivative, n, row);
    set->accelerationRhs[row] = 0.0;
  }
  if (set->modes->indices[row] != kEquationHolonomicDriver) return;
  const EngineGeneralConstraint* g = constraint->general;
  const int i = revoluteIndex(constraint);
  double sine;
  double cosine;
  relativeAngle(constraint, &sine, &cosine);
  const double theta = g->positions->data[i];
  const double thetaRate = g->velocities->data[i];
  const DriverTerms t = driverTerms(g->axisSign, theta, sine, cosine);
  // φ' = ω_f - ω_b: both blocks are written as -∂R/∂φ (the follower is negated later).
  set->baseEquations[row] = -t.dPhi;
  set->followerEquations[row] = -t.dPhi;
  set->velocityRhs[row] = -t.dTheta * thetaRate;
  if (acceleration) {
    const double phiRate = motionData(constraint->followerJoint, kMotionVelocity)[0] -
                           motionData(constraint->baseJoint, kMotionVelocity)[0];
    const double thetaAcceleration = g->accelerations->data[i];
    set->accelerationRhs[row] =
        -(t.dPhiPhi * phiRate * phiRate + 2.0 * t.dPhiTheta * phiRate * thetaRate +
          t.dThetaTheta * thetaRate * thetaRate + t.dTheta * thetaAcceleration);
  }
}

bool singleRevoluteVelocityEquations2D(EngineConstraint* constraint) {
  revoluteDriverRow(constraint, false);
  return false;
}

bool singleRevoluteAccelerationEquations2D(EngineConstraint* constraint) {
  revoluteDriverRow(constraint, true);
  return false;
}

bool generalConstraintPositionEquations(EngineConstraint* constraint) {
  return callRecordMethod<ConstraintMethodSignature>(equationMethod(constraint, kPrismaticPosition),
                                                     constraint) ||
         callRecordMethod<ConstraintMethodSignature>(equationMethod(constraint, kRevolutePosition),
                                                     constraint);
}

bool generalConstraintVelocityEquations(EngineConstraint* constraint) {
  return callRecordMethod<ConstraintMethodSignature>(equationMethod(constraint, kPrismaticVelocity),
                                                     constraint) ||
         callRecordMethod<ConstraintMethodSignature>(equationMethod(constraint, kRevoluteVelocity),
                                                     constraint);
}

bool generalConstraintAccelerationEquations(EngineConstraint* constraint) {
  return callRecordMethod<ConstraintMethodSignature>(
             equationMethod(constraint, kPrismaticAcceleration), constraint) ||
         callRecordMethod<ConstraintMethodSignature>(
             equationMethod(constraint, kRevoluteAcceleration), constraint);
}

// --- tests --------------------------------------------------------------------------------------

std::int32_t testZeroPrismaticEquations2D(EngineConstraint* constraint) {
  const double tolerance = *constraint->general->linearTolerance;
  for (int component = 0; component < 2; ++component) {
    if (violates(translationResidual(constraint, component), tolerance)) return 2;
  }
  return 0;
}

std::int32_t testSingleRevoluteEquations2D(EngineConstraint* constraint) {
  const int row = revoluteRow(constraint);
  if (row < 0 || constraint->equations->modes->indices[row] != kEquationHolonomicDriver) return 0;
  singleRevolutePositionEquations2D(constraint);
  const double tolerance = *constraint->general->angularTolerance;
  return violates(constraint->equations->residual[row], tolerance) ? 2 : 0;
}

std::int32_t testGeneralConstraintEquations(EngineConstraint* constraint) {
  const EngineMethod prismatic = equationMethod(constraint, kPrismaticTest);
  const std::int32_t result =
      prismatic != nullptr ? methodAs<ConstraintTestMethod>(prismatic)(constraint) : 0;
  if (result != 0) return result;
  const EngineMethod revolute = equationMethod(constraint, kRevoluteTest);
  return revolute != nullptr ? methodAs<ConstraintTestMethod>(revolute)(constraint) : 0;
}

bool assemblyCheck(EngineMechanism* mechanism) {
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    const EngineMethod test = constraint->general != nullptr
                                  ? constraint->general->methods[kConstraintTestEquations]
                                  : nullptr;
    if (test == nullptr) continue;
    const std::int32_t result = methodAs<ConstraintTestMethod>(test)(constraint);
    if (result == 0) continue;
    // Any other answer than "satisfied" is a violation (the tests answer 0 or 2).
    const EngineKinematicData* data = mechanism->kinematicData;
    if (data == nullptr || data->initialActiveCount == data->perturbedActiveCount) {
      return setEngineError(kMessageConstraintViolated, constraint->blockName);
    }
    return setEngineError(kMessageConstraintViolatedSingular, constraint->blockName,
                          data->initialActiveCount, data->perturbedActiveCount);
  }
  return false;
}

// --- constraint blocks ---------------------------------------------------------------------------

bool setVelocityConstraint2D(EngineMechanism* mechanism) {
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    const EngineMethod method = constraint->general != nullptr
                                    ? constraint->general->methods[kConstraintVelocityEquations]
                                    : nullptr;
    if (method == nullptr) {
      releaseAssertion();
      continue;
    }
    if (methodAs<ConstraintMethodSignature>(method)(constraint)) return true;
    EngineEquationSet* set = constraint->equations;
    const double* rb = attachmentData(constraint, kAttachBaseVector);
    const double* rf = attachmentData(constraint, kAttachFollowerVector);
    for (int e = 0; e < set->n; ++e) {
      transformColumn(set->baseEquations, set->n, e, rb, 1.0, set->baseJacobian);
      transformColumn(set->followerEquations, set->n, e, rf, -1.0, set->followerJacobian);
    }
  }
  return false;
}

bool setAccelerationConstraints2D(EngineMechanism* mechanism) {
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    const EngineMethod method = constraint->general != nullptr
                                    ? constraint->general->methods[kConstraintAccelerationEquations]
                                    : nullptr;
    if (method == nullptr) {
      releaseAssertion();
      continue;
    }
    if (methodAs<ConstraintMethodSignature>(method)(constraint)) return true;
    EngineEquationSet* set = constraint->equations;
    const double* rb = attachmentData(constraint, kAttachBaseVector);
    const double* rf = attachmentData(constraint, kAttachFollowerVector);
    const double* rbRate = attachmentData(constraint, kAttachBaseRate);
    const double* rfRate = attachmentData(constraint, kAttachFollowerRate);
    for (int e = 0; e < set->n; ++e) {
      transformColumn(set->baseEquations, set->n, e, rb, 1.0, set->baseJacobian);
      transformColumn(set->followerEquations, set->n, e, rf, -1.0, set->followerJacobian);
      rateColumn(set->baseEquations, set->baseDerivative, set->n, e, rb, rbRate, 1.0,
                 set->baseJacobianRate);
      rateColumn(set->followerEquations, set->followerDerivative, set->n, e, rf, rfRate, -1.0,
                 set->followerJacobianRate);
    }
  }
  return false;
}

void classifyConstraintEquations(EngineMechanism* mechanism) {
  int total = 0;
  int positionLevel = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineEquationSet* set = mechanism->constraints[i]->equations;
    if (set == nullptr) continue;
    set->active->count = 0;
    set->saved->count = 0;
    set->redundancyPositions->count = 0;
    for (int e = 0; e < set->n; ++e) {
      const std::int32_t mode = set->modes->indices[e];
      if (mode < kEquationHolonomic || mode > kEquationVelocityDriver) continue;
      set->active->indices[set->active->count++] = e;
      set->saved->indices[set->saved->count++] = e;
      set->redundancyPositions->indices[set->redundancyPositions->count++] = total++;
      if (mode == kEquationHolonomic || mode == kEquationHolonomicDriver) ++positionLevel;
    }
  }
  if (mechanism->kinematicData != nullptr) {
    mechanism->kinematicData->activeCount = total;
    mechanism->kinematicData->positionActiveCount = positionLevel;
  }
}
