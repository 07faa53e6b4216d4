#include <cmath>
#include <cstring>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/cholesky.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/engine_vector_kernels.h"
#include "mech_engine_common/qr_factorisation.h"
#include "mech_engine_common/tolerance_check.h"

// Keeping the mechanism on its constraints: the least-squares velocity and
// acceleration projections, the mass-weighted stabilisation of positions and
// velocities, the trust-region position solver, and the routines the
// assembly analysis uses. Every work array lives in the kinematic data.

namespace {

constexpr double kCheckTolerance = 1e-4;

// The free coordinates of all joints in column order (2D: position index =
// velocity index of a scalar primitive).
template <typename Visit>
void forEachFreeCoordinate(EngineMechanism* mechanism, Visit visit) {
  int k = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    for (int a = 0; a < joint->freeVelocities->count; ++a) {
      visit(joint, joint->freeVelocities->indices[a], k++);
    }
    return false;
  });
}

void gatherFreePositions(EngineMechanism* mechanism, double* out) {
  forEachFreeCoordinate(
      mechanism, [&](EngineJoint* joint, int i, int k) { out[k] = jointPositions(joint)[i]; });
}

void scatterFreePositions(EngineMechanism* mechanism, const double* values) {
  forEachFreeCoordinate(
      mechanism, [&](EngineJoint* joint, int i, int k) { jointPositions(joint)[i] = values[k]; });
}

void addToFreePositions(EngineMechanism* mechanism, const double* step) {
  forEachFreeCoordinate(
      mechanism, [&](EngineJoint* joint, int i, int k) { jointPositions(joint)[i] += step[k]; });
}

// Swaps every constraint's active list with its saved (full) list.
void swapActiveAndSaved(EngineMechanism* mechanism) {
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineEquationSet* set = mechanism->constraints[i]->equations;
    if (set == nullptr) continue;
    IndexList* active = set->active;
    set->active = set->saved;
    set->saved = active;
  }
}

// Norm of the velocity right-hand sides over the active equations.
double velocityRhsNorm(const EngineMechanism* mechanism) {
  double sum = 0.0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    const EngineEquationSet* set = mechanism->constraints[i]->equations;
    if (set == nullptr) continue;
    for (int a = 0; a < set->active->count; ++a) {
      const double v = set->velocityRhs[set->active->indices[a]];
      sum += v * v;
    }
  }
  return std::sqrt(sum);
}


// Pivoted factor of the a x a matrix g in place (pivots cleared first, copy kept).
void factorPivoted(EngineKinematicData* data, double* g, int a) {
  for (int i = 0; i < a; ++i) data->pivots[i] = 0;
  qrFactorPivoted(g, a, a, data->work1, data->pivots, data->work2);
  std::memcpy(data->savedPivots, data->pivots, sizeof(std::int32_t) * a);
}

// Least-squares solve with the pivoted factor; b is overwritten, x receives the solution.
void solvePivoted(EngineKinematicData* data, const double* g, int a, double* b, double* x) {
  std::memcpy(data->pivots, data->savedPivots, sizeof(std::int32_t) * a);
  qrLeastSquares(g, a, a, data->work1, data->pivots, b, x, qrDefaultTolerance(a, a));
}

// The mass-weighted correction -A⁻¹·Jᵀ·y (free coordinates) added to the
// positions or the velocities, followed by the matching sweep. It finds the
// force cells cleared and leaves them so: every correction comes after a G
// build (buildMatrix2D clears them) or after another correction, and what
// runs in between (errors, solves, factors, sweeps, constraint blocks)
// writes no force cell.
bool applyMassWeightedCorrection(EngineMechanism* mechanism, const double* y, bool positionLevel,
                                 bool positions) {
  int k = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    const EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      const std::int32_t mode = set->modes->indices[e];
      if (positionLevel && mode != kEquationHolonomic && mode != kEquationHolonomicDriver) continue;
      if (y[k] != 0.0) addConstraintForce(constraint, e, y[k]);
      ++k;
    }
  }
  articulatedResponse(mechanism);
  forEachFreeCoordinate(mechanism, [&](EngineJoint* joint, int i, int) {
    const EngineMatrix* correction = joint->motion[kMotionGeneralisedForce];
    if (correction->zeroFlag) return;
    double* target = positions ? jointPositions(joint) : jointVelocities(joint);
    target[i] += correction->data[i];
  });
  clearForceAccumulators(mechanism);
  if (!positions) return velocitySweep2D(mechanism);
  // New positions: the articulated factors and the constraint blocks follow,
  // so the next correction and G for the velocities match them.
  return positionSweep2D(mechanism) || ricatti2D(mechanism) || setVelocityConstraint2D(mechanism);
}

// Two correction passes: the error, G·y = error, the mass-weighted correction.
// `solve` solves y = G⁻¹·f. Between two position passes `refactor` forms G
// again at the corrected positions: the ramp's masses span four orders of
// magnitude, and with the factor of the uncorrected positions the second pass
// would make the error larger. It answers false on success; *fallback set
// means its factorisation failed.
template <typename Solve, typename Refactor>
bool correctionPasses(EngineMechanism* mechanism, bool positions, bool positionLevel, Solve solve,
                      Refactor refactor, bool* fallback) {
  EngineKinematicData* data = mechanism->kinematicData;
  for (int pass = 0; pass < 2; ++pass) {
    if (positions && pass == 1) {
      if (refactor()) return true;
      if (*fallback) return false;
    }
    if (positions) {
      if (positionError2D(mechanism, data->residual, false)) return true;
    } else if (velocityError2D(mechanism, data->residual)) {
      return true;
    }
    solve(data->residual, data->multipliers);
    if (applyMassWeightedCorrection(mechanism, data->multipliers, positionLevel, positions)) {
      return true;
    }
  }
  return false;
}

// Whether the constraint blocks (setVelocityConstraint2D) already belong to
// the present positions: a position correction ends by forming them, and
// nothing between it and the next G build moves a joint.
enum class ConstraintBlocks { Stale, Current };

// G = J·A⁻¹·Jᵀ over the position-level or all equations, Cholesky-factored;
// *factored false when the factorisation failed.
bool choleskyOfMassMatrix(EngineMechanism* mechanism, bool positionLevel, int rows,
                          ConstraintBlocks blocks, bool* factored) {
  EngineKinematicData* data = mechanism->kinematicData;
  if ((blocks == ConstraintBlocks::Stale && setVelocityConstraint2D(mechanism)) ||
      buildMatrix2D(mechanism, data->normalMatrix, positionLevel)) {
    return true;
  }
  const double oneNorm = positionLevel ? 0.0 : matrixOneNorm(data->normalMatrix, rows, rows);
  *factored = !choleskyFactor(data->normalMatrix, rows);
  // The factor over all equations, at the final positions, is what the next
  // step's multipliers need when the masses have not changed.
  if (!positionLevel && *factored) keepMassMatrixFactor(mechanism, rows, oneNorm);
  return false;
}

bool stabiliseWithCholesky(EngineMechanism* mechanism, int all, int positionLevel, bool* fallback) {
  EngineKinematicData* data = mechanism->kinematicData;
  const auto solveWith = [data](int rows) {
    return [data, rows](double* f, double* y) { choleskySolve(data->normalMatrix, y, f, rows); };
  };
  bool factored = false;
  // After the stabilisation's first position sweep the blocks are not formed yet.
  ConstraintBlocks blocks = ConstraintBlocks::Stale;
  if (positionLevel > 0) {
    if (choleskyOfMassMatrix(mechanism, true, positionLevel, blocks, &factored)) return true;
    if (factored) {
      bool failedAgain = false;
      // Called right after the first position correction, which formed the blocks.
      const auto refactor = [&]() {
        if (choleskyOfMassMatrix(mechanism, true, positionLevel, ConstraintBlocks::Current,
                                 &factored)) {
          return true;
        }
        failedAgain = !factored;
        return false;
      };
      if (correctionPasses(mechanism, true, true, solveWith(positionLevel), refactor,
                           &failedAgain)) {
        return true;
      }
      if (failedAgain) {
        *fallback = true;
        return false;
      }
      blocks = ConstraintBlocks::Current;  // the second position correction formed them
    } else if (positionLevel == all) {
      *fallback = true;
      return false;
    }
  }
  // All equations, at the corrected positions, for the velocity passes.
  if (choleskyOfMassMatrix(mechanism, false, all, blocks, &factored)) return true;
  if (!factored) {
    *fallback = true;
    return false;
  }
  if (velocitySweep2D(mechanism)) return true;
  bool unused = false;
  return correctionPasses(
      mechanism, false, false, solveWith(all), [] { return false; }, &unused);
}

bool stabiliseWithLeastSquares(EngineMechanism* mechanism, int all, int positionLevel) {
  EngineKinematicData* data = mechanism->kinematicData;
  const auto solveWith = [data](int rows) {
    return
        [data, rows](double* f, double* y) { solvePivoted(data, data->normalMatrix, rows, f, y); };
  };
  const auto factorAt = [&](bool level, int rows) {
    if (setVelocityConstraint2D(mechanism) || buildMatrix2D(mechanism, data->normalMatrix, level)) {
      return true;
    }
    factorPivoted(data, data->normalMatrix, rows);
    return false;
  };
  bool unused = false;
  if (positionLevel > 0) {
    if (factorAt(true, positionLevel)) return true;
    if (correctionPasses(
            mechanism, true, true, solveWith(positionLevel),
            [&] { return factorAt(true, positionLevel); }, &unused)) {
      return true;
    }
  }
  if (all <= 0) return false;
  if (factorAt(false, all) || velocitySweep2D(mechanism)) return true;
  return correctionPasses(
      mechanism, false, false, solveWith(all), [] { return false; }, &unused);
}

// --- the trust-region solver ------------------------------------------------------------------

struct SolverState {
  int m;  // equations
  int n;  // free position coordinates
  double ftol;
  bool regularised;
};

// The Gauss–Newton step d for J·d = -f: the minimum-norm solution from the
// pivoted factor of Jᵀ, or, when the factor is ill-conditioned, the
// regularised step -Jᵀ·(J·Jᵀ + h·E)⁻¹·f.
bool computeStep(EngineMechanism* mechanism, SolverState& state, const double* f, double* d) {
  EngineKinematicData* data = mechanism->kinematicData;
  const int m = state.m;
  const int n = state.n;
  double* j = data->jacobian;  // m x n
  if (setVelocityConstraint2D(mechanism) || constructJacobian2D(mechanism, j, true)) return true;
  double* jt = data->normalMatrix;  // n x m
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < n; ++c) jt[c + n * r] = j[r + m * c];
  }
  for (int i = 0; i < m; ++i) data->pivots[i] = 0;
  qrFactorPivoted(jt, n, m, data->work1, data->pivots, data->work2);
  // Reciprocal condition of the triangular factor: smallest over largest diagonal.
  double smallest = kEngineRealmax;
  double largest = 0.0;
  const int diagonal = n < m ? n : m;
  for (int i = 0; i < diagonal; ++i) {
    const double v = std::fabs(jt[i + n * i]);
    smallest = std::min(smallest, v);
    largest = std::max(largest, v);
  }
  const double rcond = largest > 0.0 && m <= n ? smallest / largest : 0.0;
  state.regularised = false;
  if (rcond > state.ftol) {
    double* minusF = data->rightHandSide;
    for (int i = 0; i < m; ++i) minusF[i] = -f[i];
    qrTransposedSolve(jt, n, m, data->work1, data->pivots, minusF, d, qrDefaultTolerance(n, m));
    return false;
  }
  // Regularised: (J·Jᵀ + h·E)·z = f, d = -Jᵀ·z.
  double* g = data->normalMatrix;
  for (int a = 0; a < m; ++a) {
    for (int b = 0; b < m; ++b) {
      double sum = 0.0;
      for (int c = 0; c < n; ++c) sum += j[a + m * c] * j[b + m * c];
      g[a + m * b] = sum;
    }
  }
  const double h = std::sqrt(static_cast<double>(m)) * state.ftol * matrixOneNorm(g, m, m);
  for (int a = 0; a < m; ++a) g[a + m * a] += h;
  double* z = data->rightHandSide;
  if (choleskyFactor(g, m)) {
    for (int c = 0; c < n; ++c) d[c] = 0.0;
  } else {
    choleskySolve(g, z, f, m);
    for (int c = 0; c < n; ++c) {
      double sum = 0.0;
      for (int a = 0; a < m; ++a) sum += j[a + m * c] * z[a];
      d[c] = -sum;
    }
  }
  state.regularised = true;
  return false;
}

// ||f + J·d|| with the Jacobian of the last step.
double linearisedNorm(const EngineKinematicData* data, const SolverState& state, const double* f,
                      const double* d) {
  double sum = 0.0;
  for (int r = 0; r < state.m; ++r) {
    double value = f[r];
    for (int c = 0; c < state.n; ++c) value += data->jacobian[r + state.m * c] * d[c];
    sum += value * value;
  }
  return std::sqrt(sum);
}

// Bends a step longer than the trust radius towards steepest descent.
void dogleg(const EngineKinematicData* data, const SolverState& state, const double* f, double* d,
            double delta) {
  const int m = state.m;
  const int n = state.n;
  const double q = twonorm(d, n);
  double* g = data->solverGradient;
  for (int c = 0; c < n; ++c) {
    double sum = 0.0;
    for (int r = 0; r < m; ++r) sum += data->jacobian[r + m * c] * f[r];
    g[c] = sum;
  }
  const double gnorm = twonorm(g, n);
  if (gnorm == 0.0) {
    for (int c = 0; c < n; ++c) d[c] *= delta / q;
    return;
  }
  // u = g / ||g||; a = ||g|| / ||J·u||².
  double ju = 0.0;
  for (int r = 0; r < m; ++r) {
    double value = 0.0;
    for (int c = 0; c < n; ++c) value += data->jacobian[r + m * c] * g[c] / gnorm;
    ju += value * value;
  }
  const double a = gnorm / ju;
  const double b = twonorm(f, m);
  if (a >= delta) {
    for (int c = 0; c < n; ++c) d[c] = -delta * g[c] / gnorm;
    return;
  }
  const double t = (a / delta) * (b / gnorm) * (b / q);
  const double dq = delta / q;
  const double ad = a / delta;
  const double s =
      t - dq * ad * ad + std::sqrt((t - dq) * (t - dq) + (1 - dq * dq) * (1 - ad * ad));
  const double k = dq * (1 - ad * ad) / s;
  for (int c = 0; c < n; ++c) d[c] = k * d[c] - (1 - k) * a * g[c] / gnorm;
}

}  // namespace

int accelerationResidual(const EngineMechanism* mechanism, double* out) {
  int k = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    const EngineConstraint* constraint = mechanism->constraints[i];
    const EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    const double* ab = motionData(constraint->baseJoint, kMotionAcceleration);
    const double* af = motionData(constraint->followerJoint, kMotionAcceleration);
    const double* vb = motionData(constraint->baseJoint, kMotionVelocity);
    const double* vf = motionData(constraint->followerJoint, kMotionVelocity);
    const int n = set->n;
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      double sum = -set->accelerationRhs[e];
      for (int c = 0; c < 3; ++c) {
        sum += set->baseJacobian[c * n + e] * ab[c] + set->followerJacobian[c * n + e] * af[c] +
               set->baseJacobianRate[c * n + e] * vb[c] +
               set->followerJacobianRate[c * n + e] * vf[c];
      }
      out[k++] = sum;
    }
  }
  return k;
}

// --- velocity and acceleration projections ------------------------------------------------------

bool projectVelocity(EngineMechanism* mechanism, bool check) {
  if (velocitySweep2D(mechanism)) return true;
  EngineKinematicData* data = mechanism->kinematicData;
  if (data == nullptr || data->activeCount <= 0) return false;
  const int a = data->activeCount;
  if (setVelocityConstraint2D(mechanism) || velocityError2D(mechanism, data->residual)) return true;
  if (twonorm(data->residual, a) > 0.0) {
    if (generateNormalEquations2D(mechanism, data->normalMatrix, false)) return true;
    factorPivoted(data, data->normalMatrix, a);
    solvePivoted(data, data->normalMatrix, a, data->residual, data->multipliers);
    double* correction = data->solverStep;
    if (operateReducedJacobianTransp2D(mechanism, data->multipliers, correction, false)) {
      return true;
    }
    forEachFreeCoordinate(mechanism, [&](EngineJoint* joint, int i, int k) {
      jointVelocities(joint)[i] -= correction[k];
    });
    if (velocitySweep2D(mechanism)) return true;
    data->flags[kFlagVelocitiesProjected] = 1;
  }
  if (!check) return false;
  swapActiveAndSaved(mechanism);
  const int rows = countedEquations(mechanism, false);
  const bool failed = velocityError2D(mechanism, data->residual);
  const double r = twonorm(data->residual, rows);
  const double s = velocityRhsNorm(mechanism);
  swapActiveAndSaved(mechanism);
  if (failed) return true;
  if (violates(r, kCheckTolerance * s + kCheckTolerance))
    return setEngineError(kMessageVelocityInconsistent);
  return false;
}

bool projectAcceleration2D(EngineMechanism* mechanism, bool check) {
  EngineKinematicData* data = mechanism->kinematicData;
  if (data == nullptr || data->activeCount <= 0) return false;
  const int a = data->activeCount;
  if (setAccelerationConstraints2D(mechanism) || sweepAcceleration2D(mechanism)) return true;
  accelerationResidual(mechanism, data->residual);
  if (!data->flags[kFlagAccelerationFactor]) {
    if (generateNormalEquations2D(mechanism, data->normalMatrix, false)) return true;
    factorPivoted(data, data->normalMatrix, a);
    data->flags[kFlagAccelerationFactor] = 1;
  }
  solvePivoted(data, data->normalMatrix, a, data->residual, data->multipliers);
  double* correction = data->solverStep;
  if (operateReducedJacobianTransp2D(mechanism, data->multipliers, correction, false)) return true;
  forEachFreeCoordinate(mechanism, [&](EngineJoint* joint, int i, int k) {
    jointAccelerations(joint)[i] -= correction[k];
  });
  if (!check) return sweepAcceleration2D(mechanism);
  swapActiveAndSaved(mechanism);
  bool failed = sweepAcceleration2D(mechanism);
  const int rows = accelerationResidual(mechanism, data->residual);
  // The part of the residual the joint accelerations cause: J·q̈ (ground still).
  double* jq = data->trialResidual;
  int k = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    EngineMatrix* rate = joint->motion[kMotionUnitRate];
    for (int i = 0; i < joint->numVelocities; ++i) rate->data[i] = 0.0;
    rate->zeroFlag = 1;
    for (int f = 0; f < joint->freeVelocities->count; ++f) {
      const int i = joint->freeVelocities->indices[f];
      rate->data[i] = jointAccelerations(joint)[i];
      if (rate->data[i] != 0.0) rate->zeroFlag = 0;
    }
    return false;
  });
  propagateRatesOutwards(mechanism);
  k = evaluateRows(mechanism, false, jq);
  double r = 0.0;
  double s = 0.0;
  for (int i = 0; i < rows && i < k; ++i) {
    r += data->residual[i] * data->residual[i];
    const double rhsPart = data->residual[i] - jq[i];
    s += rhsPart * rhsPart;
  }
  swapActiveAndSaved(mechanism);
  clearUnitRates(mechanism);
  failed = failed || sweepAcceleration2D(mechanism);
  if (failed) return true;
  if (violates(std::sqrt(r), kCheckTolerance * std::sqrt(s) + kCheckTolerance)) {
    return setEngineError(kMessageAccelerationInconsistent);
  }
  return false;
}

// --- stabilisation
// ---------------------------------------------------------------------------------------

namespace {

bool stabiliseOnce(EngineMechanism* mechanism) {
  EngineKinematicData* data = mechanism->kinematicData;
  if (data == nullptr || data->activeCount <= 0) {
    forgetSweptCoordinates(mechanism);  // no sweep of its own to record
    return false;
  }
  data->keptFactor.valid = 0;
  // Right after the kinematics step (only its dynamics step since), at the
  // positions and time it swept and without kinematic inputs (the post step
  // reads them again), its placements are those a sweep would make.
  forgetSweptVelocities(mechanism);
  const bool placementsKept = mechanism->kinematicsStepSwept &&
                              mechanism->environment->numKinematicInputs == 0 &&
                              sweptPositionsUnchanged(mechanism);
  mechanism->kinematicsStepSwept = 0;
  if (!placementsKept && positionSweep2D(mechanism)) return true;
  const int all = data->activeCount;
  const int positionLevel = data->positionActiveCount;
  bool fallback = data->flags[kFlagStabilisePositions] == 0;
  if (!fallback) {
    if (stabiliseWithCholesky(mechanism, all, positionLevel, &fallback)) return true;
    if (!fallback) return false;
  }
  return stabiliseWithLeastSquares(mechanism, all, positionLevel);
}

}  // namespace

// Every correction is followed by its sweep, so when the last sweeps were a
// position and then a velocity sweep, they belong to the final coordinates:
// those are recorded for the kinematics step after the post step.
bool stabilise2D(EngineMechanism* mechanism) {
  mechanism->sweepsRecorded = 0;
  // Only factors made inside the stabilisation are recorded at its end:
  // between an earlier ricatti2D and here the modes may have changed.
  forgetArticulatedInertia(mechanism);
  if (stabiliseOnce(mechanism)) return true;
  mechanism->sweepsRecorded = recordSweptCoordinates(mechanism) ? 1 : 0;
  // After the last position correction's ricatti2D only velocity sweeps,
  // G and its factor ran: the next dynamics step may keep the factors.
  recordArticulatedInertiaInputs(mechanism);
  return false;
}

// --- the nonlinear position solver
// ------------------------------------------------------------------------

bool nonlinearSolver(EngineMechanism* mechanism, bool tight, std::uint8_t* converged) {
  std::uint8_t ignored = 0;
  std::uint8_t& done = converged != nullptr ? *converged : ignored;
  done = 0;
  EngineKinematicData* data = mechanism->kinematicData;
  if (data == nullptr) return false;
  const MachineEnvironment* environment = mechanism->environment;
  const int joints = data->numJointEquations;
  SolverState state{data->positionActiveCount + joints, freeCoordinateCount(mechanism),
                    environment->constraintTolerance, false};
  const double xrel = tight ? 128.0 * kEngineEps : environment->relativePositionTolerance;
  const double xabs = tight ? kEngineEps : environment->absolutePositionTolerance;
  const double ftol = state.ftol;
  if (state.m == 0) return false;
  if (joints > 0 && data->positionActiveCount == 0) return false;

  double* f = data->residual;
  double* trial = data->trialResidual;
  double* d = data->solverStep;
  double* x = data->savedPositions;
  if (positionSweep2D(mechanism) || positionError2D(mechanism, f, joints > 0)) return true;
  double fnorm = twonorm(f, state.m);
  if (fnorm == 0.0) {
    done = 1;
    return false;
  }
  // No step can mend a non-finite residual: not converged, at once.
  if (!std::isfinite(fnorm)) return false;
  if (computeStep(mechanism, state, f, d)) return true;
  int evaluations = 1;
  gatherFreePositions(mechanism, x);
  double xnorm = twonorm(x, state.n);
  double delta = std::max(std::sqrt(static_cast<double>(state.n)) * xnorm, 1.0);
  int failures = 0;
  int successes = 0;
  int accepted = 0;
  int stall = 0;
  for (;;) {
    if (twonorm(d, state.n) > delta) dogleg(data, state, f, d, delta);
    double dnorm = twonorm(d, state.n);
    while (accepted == 0 && delta > dnorm) delta = std::max(dnorm, 0.1 * delta);
    const double predictedNorm = linearisedNorm(data, state, f, d);
    const double predicted =
        predictedNorm < fnorm ? 1.0 - (predictedNorm / fnorm) * (predictedNorm / fnorm) : 0.0;

    gatherFreePositions(mechanism, x);
    addToFreePositions(mechanism, d);
    if (positionSweep2D(mechanism)) {
      scatterFreePositions(mechanism, x);
      positionSweep2D(mechanism);
      return true;
    }
    if (positionError2D(mechanism, trial, joints > 0)) return true;
    ++evaluations;
    const double trialNorm = twonorm(trial, state.m);
    const double actual =
        trialNorm < fnorm ? 1.0 - (trialNorm / fnorm) * (trialNorm / fnorm) : -1.0;
    const double rho = predicted > 0.0 ? actual / predicted : 0.0;
    if (rho < 0.1 || predicted <= 0.0) {
      ++failures;
      successes = 0;
      delta *= 0.5;
    } else {
      failures = 0;
      ++successes;
      if ((rho >= 0.5 || successes >= 2) && 2.0 * dnorm >= delta) delta = 2.0 * dnorm;
      if (std::fabs(rho - 1.0) <= 0.1) delta = 2.0 * dnorm;
    }
    const double previousNorm = fnorm;
    if (rho >= 1e-4) {
      std::memcpy(f, trial, sizeof(double) * state.m);
      fnorm = trialNorm;
      gatherFreePositions(mechanism, x);
      xnorm = twonorm(x, state.n);
      ++accepted;
    } else {
      scatterFreePositions(mechanism, x);
      if (positionSweep2D(mechanism)) return true;
    }
    stall = actual >= 1e-3 ? 0 : stall + 1;
    if (fnorm == 0.0 || (failures == 0 && delta <= std::max(xabs, xrel * xnorm))) {
      done = 1;
      return false;
    }
    if (within(fnorm, std::max(ftol, ftol * xnorm))) {
      done = 1;
      const bool halved = trialNorm <= 0.5 * previousNorm;
      if (!halved && !state.regularised) return false;
    } else {
      done = 0;
    }
    if (evaluations > 99 || xnorm * kEngineEps >= 0.1 * std::max(dnorm, 0.1 * delta) ||
        stall >= 10) {
      return false;
    }
    if (computeStep(mechanism, state, f, d)) return true;
  }
}

// --- assembly support
// ---------------------------------------------------------------------------------------

bool solvePositions(EngineMechanism* mechanism, bool tight, std::uint8_t* converged) {
  switch (mechanism->environment->analysisMode) {
    case kAnalysisDynamics:
      if (mechanism->kinematicData != nullptr) return nonlinearSolver(mechanism, tight, converged);
      return positionSweep2D(mechanism);
    case kAnalysisKinematics:
      return nonlinearSolver(mechanism, tight, converged);
    default:
      releaseAssertion();
      return false;
  }
}

bool toggleInitialConditionEquations(EngineMechanism* mechanism, bool on) {
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    if (constraint->general == nullptr) continue;
    if (callRecordMethod<ConstraintSwitchMethod>(constraint->general->methods[kConstraintToggleIc],
                                                 constraint, on)) {
      return true;
    }
  }
  return false;
}

int positionValueCount(const EngineMechanism* mechanism) {
  int count = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    count += joint->numPositions;
    return false;
  });
  return count;
}

double* allocatePositionBuffer(const EngineMechanism* mechanism) {
  const int count = positionValueCount(mechanism);
  double* buffer = engineAllocateArrayOf<double>(static_cast<std::size_t>(count > 0 ? count : 1));
  if (buffer == nullptr) reportModelOutOfMemory();
  return buffer;
}

void savePositions(EngineMechanism* mechanism, double* buffer) {
  int k = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    for (int i = 0; i < joint->numPositions; ++i) buffer[k++] = jointPositions(joint)[i];
    return false;
  });
}

bool restorePositions(EngineMechanism* mechanism, const double* buffer) {
  int k = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    for (int i = 0; i < joint->numPositions; ++i) jointPositions(joint)[i] = buffer[k++];
    return false;
  });
  return positionSweep2D(mechanism);
}
