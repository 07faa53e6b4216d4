#include <cstring>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"

// The constraint Jacobian J (rows: active constraint equations, constraint by
// constraint; columns: the free velocity coordinates, joint after joint in
// chain order) is never stored as such: it is applied by pushing unit rates
// outwards through the chains and evaluating the constraints' blocks, and its
// transpose by pushing unit forces inwards to the joints.
//
// Zero flags: every rate vector, velocity buffer and force accumulator keeps
// its cell's zero flag; a flagged value is zero and is skipped.
//
// Chains are ordered so that a chain comes before its parent (the ground
// chain last), which the inward pass relies on.

namespace {

EngineMatrix* cell(const EngineJoint* joint, MotionEntry entry) {
  return joint->motion[entry];
}

void clearCell(EngineMatrix* matrix, int size) {
  for (int i = 0; i < size; ++i) matrix->data[i] = 0.0;
  matrix->zeroFlag = 1;
}

template <typename Visit>
void forEachMovingJoint(const EngineMechanism* mechanism, Visit visit) {
  for (int c = 0; c + 1 < mechanism->numChains; ++c) {
    EngineChain* chain = mechanism->chains[c];
    for (int k = 0; k < chain->numJoints; ++k) visit(chain->joints[k]);
  }
}

bool isCounted(const EngineEquationSet* set, int e, bool positionLevel) {
  if (!positionLevel) return true;
  const std::int32_t mode = set->modes->indices[e];
  return mode == kEquationHolonomic || mode == kEquationHolonomicDriver;
}

// Jb(:, e)·vb + Jf(:, e)·vf with zero-flagged sides skipped.
double rowValue(const EngineEquationSet* set, int e, const EngineMatrix* vb,
                const EngineMatrix* vf) {
  double sum = 0.0;
  const int n = set->n;
  if (!vb->zeroFlag) {
    for (int c = 0; c < 3; ++c) sum += set->baseJacobian[c * n + e] * vb->data[c];
  }
  if (!vf->zeroFlag) {
    for (int c = 0; c < 3; ++c) sum += set->followerJacobian[c * n + e] * vf->data[c];
  }
  return sum;
}

void addColumn(EngineMatrix* accumulator, const double* block, int n, int e, double scale) {
  // Read before written: the block never shares memory with the accumulator.
  const double terms[3] = {block[e] * scale, block[n + e] * scale, block[2 * n + e] * scale};
  double* data = accumulator->data;
  for (int c = 0; c < 3; ++c) data[c] += terms[c];
  accumulator->zeroFlag = 0;
}

}  // namespace

// --- propagation ------------------------------------------------------------------------------

int freeCoordinateCount(const EngineMechanism* mechanism) {
  int count = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    count += joint->freeVelocities->count;
    return false;
  });
  return count;
}

int countedEquations(const EngineMechanism* mechanism, bool positionLevel) {
  int count = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    const EngineEquationSet* set = mechanism->constraints[i]->equations;
    if (set != nullptr) count += activeEquationCount(set, positionLevel);
  }
  return count;
}

void clearUnitRates(EngineMechanism* mechanism) {
  forEachJoint(mechanism, [](EngineJoint* joint, int, int) {
    clearCell(cell(joint, kMotionUnitRate), joint->numVelocities);
    return false;
  });
}

void setFreeRates(EngineMechanism* mechanism, const double* rates) {
  int k = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    EngineMatrix* rate = cell(joint, kMotionUnitRate);
    clearCell(rate, joint->numVelocities);
    for (int f = 0; f < joint->freeVelocities->count; ++f) {
      const double value = rates[k++];
      rate->data[joint->freeVelocities->indices[f]] = value;
      if (value != 0.0) rate->zeroFlag = 0;
    }
    return false;
  });
}

void propagateRatesOutwards(EngineMechanism* mechanism) {
  EngineChain* ground = groundChain(mechanism);
  for (int k = 0; k < ground->numJoints; ++k) clearCell(cell(ground->joints[k], kMotionBuffer), 3);
  for (int c = mechanism->numChains - 2; c >= 0; --c) {
    EngineChain* chain = mechanism->chains[c];
    for (int k = chain->numJoints - 1; k >= 0; --k) {
      EngineJoint* joint = chain->joints[k];
      const EngineMatrix* in = cell(inboardPlacement(chain, k), kMotionBuffer);
      const EngineMatrix* rate = cell(joint, kMotionUnitRate);
      EngineMatrix* out = cell(joint, kMotionBuffer);
      clearCell(out, 3);
      if (!in->zeroFlag) {
        const double* r = motionData(joint, kMotionOffset);
        out->data[0] = in->data[0];
        out->data[1] = in->data[1] - in->data[0] * r[1];
        out->data[2] = in->data[2] + in->data[0] * r[0];
        out->zeroFlag = 0;
      }
      if (!rate->zeroFlag) {
        const double* s = motionData(joint, kMotionSubspace);
        for (int j = 0; j < joint->numVelocities; ++j) {
          for (int i = 0; i < 3; ++i) out->data[i] += s[i + kSpatialSize * j] * rate->data[j];
        }
        out->zeroFlag = 0;
      }
    }
  }
}

int evaluateRows(const EngineMechanism* mechanism, bool positionLevel, double* out) {
  int k = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    const EngineConstraint* constraint = mechanism->constraints[i];
    const EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    const EngineMatrix* vb = cell(constraint->baseJoint, kMotionBuffer);
    const EngineMatrix* vf = cell(constraint->followerJoint, kMotionBuffer);
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      if (isCounted(set, e, positionLevel)) out[k++] = rowValue(set, e, vb, vf);
    }
  }
  return k;
}

void clearForceAccumulators(EngineMechanism* mechanism) {
  forEachJoint(mechanism, [](EngineJoint* joint, int, int) {
    clearCell(cell(joint, kMotionForceAccumulator), 3);
    clearCell(cell(joint, kMotionGeneralisedForce), joint->numVelocities);
    return false;
  });
}

void addConstraintForce(EngineConstraint* constraint, int e, double scale) {
  const EngineEquationSet* set = constraint->equations;
  addColumn(cell(constraint->baseJoint, kMotionForceAccumulator), set->baseJacobian, set->n, e,
            scale);
  addColumn(cell(constraint->followerJoint, kMotionForceAccumulator), set->followerJacobian, set->n,
            e, scale);
}

void propagateForcesInwards(EngineMechanism* mechanism) {
  forEachJoint(mechanism, [](EngineJoint* joint, int, int) {
    clearCell(cell(joint, kMotionGeneralisedForce), joint->numVelocities);
    return false;
  });
  for (int c = 0; c + 1 < mechanism->numChains; ++c) {
    EngineChain* chain = mechanism->chains[c];
    for (int k = 0; k < chain->numJoints; ++k) {
      EngineJoint* joint = chain->joints[k];
      EngineMatrix* force = cell(joint, kMotionForceAccumulator);
      if (force->zeroFlag) continue;
      const double* f = force->data;
      if (joint->freeVelocities->count > 0) {
        EngineMatrix* generalised = cell(joint, kMotionGeneralisedForce);
        const double* s = motionData(joint, kMotionSubspace);
        for (int a = 0; a < joint->freeVelocities->count; ++a) {
          const int j = joint->freeVelocities->indices[a];
          double sum = 0.0;
          for (int i = 0; i < 3; ++i) sum += s[i + kSpatialSize * j] * f[i];
          generalised->data[j] = sum;
        }
        generalised->zeroFlag = 0;
      }
      // Move the force to the inboard reference point: (n + r × f, f).
      EngineMatrix* inboard = cell(inboardPlacement(chain, k), kMotionForceAccumulator);
      const double* r = motionData(joint, kMotionOffset);
      inboard->data[0] += f[0] + r[0] * f[2] - r[1] * f[1];
      inboard->data[1] += f[1];
      inboard->data[2] += f[2];
      inboard->zeroFlag = 0;
    }
  }
}

int gatherGeneralisedForces(const EngineMechanism* mechanism, double* out) {
  int k = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    const EngineMatrix* generalised = cell(joint, kMotionGeneralisedForce);
    for (int a = 0; a < joint->freeVelocities->count; ++a) {
      out[k++] = generalised->zeroFlag ? 0.0 : generalised->data[joint->freeVelocities->indices[a]];
    }
    return false;
  });
  return k;
}

// --- operators ---------------------------------------------------------------------------------

bool constructJacobian2D(EngineMechanism* mechanism, double* out, bool positionLevel) {
  const int rows = countedEquations(mechanism, positionLevel);
  if (rows <= 0) return false;
  clearUnitRates(mechanism);
  double* column = out;
  const bool failed = forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    const EngineMethod load =
        generalOf(joint) != nullptr ? generalOf(joint)->methods[kJointLoadArray] : nullptr;
    for (int a = 0; a < joint->freeVelocities->count; ++a) {
      const int k = joint->freeVelocities->indices[a];
      if (load != nullptr) {
        methodAs<JointLoadArrayMethod>(load)(joint, 0, k);
      } else {
        releaseAssertion();
        continue;
      }
      propagateRatesOutwards(mechanism);
      evaluateRows(mechanism, positionLevel, column);
      clearCell(cell(joint, kMotionUnitRate), joint->numVelocities);
      column += rows;
    }
    return false;
  });
  return failed;
}

bool operateJacobian2D(EngineMechanism* mechanism, double* out, const double* rates,
                       bool positionLevel) {
  setFreeRates(mechanism, rates);
  propagateRatesOutwards(mechanism);
  evaluateRows(mechanism, positionLevel, out);
  return false;
}

bool operateReducedJacobianTransp2D(EngineMechanism* mechanism, const double* multipliers,
                                    double* out, bool positionLevel) {
  clearForceAccumulators(mechanism);
  int k = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    const EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      if (!isCounted(set, e, positionLevel)) continue;
      const double l = multipliers[k++];
      if (l != 0.0) addConstraintForce(constraint, e, l);
    }
  }
  propagateForcesInwards(mechanism);
  gatherGeneralisedForces(mechanism, out);
  return false;
}

bool transposeJacobian2D(EngineMechanism* mechanism, double* out) {
  const int columns = freeCoordinateCount(mechanism);
  double* column = out;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    const EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    for (int a = 0; a < set->active->count; ++a) {
      clearForceAccumulators(mechanism);
      addConstraintForce(constraint, set->active->indices[a], 1.0);
      propagateForcesInwards(mechanism);
      gatherGeneralisedForces(mechanism, column);
      column += columns;
    }
  }
  clearForceAccumulators(mechanism);
  return false;
}

bool velocityJacobian2D(EngineMechanism* mechanism, double* out, std::int32_t extra) {
  const int rows = countedEquations(mechanism, false);
  int drivenAdded = 0;
  double* column = out;
  clearUnitRates(mechanism);
  const auto addColumnFor = [&](EngineJoint* joint, int k) {
    EngineMatrix* rate = cell(joint, kMotionUnitRate);
    rate->data[k] = 1.0;
    rate->zeroFlag = 0;
    propagateRatesOutwards(mechanism);
    evaluateRows(mechanism, false, column);
    clearCell(rate, joint->numVelocities);
    column += rows;
  };
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    for (int a = 0; a < joint->freeVelocities->count; ++a) {
      addColumnFor(joint, joint->freeVelocities->indices[a]);
    }
    for (int a = 0; a < joint->drivenVelocities->count && drivenAdded < extra; ++a) {
      // A weld is held by the ground, not driven: it has no column.
      if (joint->primitives[joint->drivenVelocities->indices[a]].kind == kPrimitiveWeld) continue;
      addColumnFor(joint, joint->drivenVelocities->indices[a]);
      ++drivenAdded;
    }
    return false;
  });
  return false;
}

bool generateNormalEquations2D(EngineMechanism* mechanism, double* out, bool positionLevel) {
  const int rows = countedEquations(mechanism, positionLevel);
  if (rows <= 0) return false;
  std::memset(out, 0, sizeof(double) * static_cast<std::size_t>(rows) * rows);
  double* column = out;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    const EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      if (!isCounted(set, e, positionLevel)) continue;
      clearForceAccumulators(mechanism);
      addConstraintForce(constraint, e, 1.0);
      propagateForcesInwards(mechanism);
      // The generalised forces become the rates.
      forEachJoint(mechanism, [](EngineJoint* joint, int, int) {
        const EngineMatrix* generalised = cell(joint, kMotionGeneralisedForce);
        EngineMatrix* rate = cell(joint, kMotionUnitRate);
        clearCell(rate, joint->numVelocities);
        if (!generalised->zeroFlag) {
          for (int f = 0; f < joint->freeVelocities->count; ++f) {
            const int j = joint->freeVelocities->indices[f];
            rate->data[j] = generalised->data[j];
          }
          rate->zeroFlag = 0;
        }
        return false;
      });
      propagateRatesOutwards(mechanism);
      evaluateRows(mechanism, positionLevel, column);
      column += rows;
    }
  }
  clearForceAccumulators(mechanism);
  clearUnitRates(mechanism);
  return false;
}

// --- stiction events -----------------------------------------------------------------------

bool generalConstraintEventTest(EngineConstraint* constraint) {
  for (int i = 0; i < constraint->numPrimitives; ++i) {
    if (constraint->primitives[i].stiction == kStictionActuated) return true;
  }
  return false;
}

bool generalConstraintZeroCrossingFunction(EngineConstraint* constraint, double*** running,
                                           double** output) {
  const EngineGeneralConstraint* g = constraint->general;
  const double* velocities = g->velocities->data;
  const std::int32_t* modes = g->modes->indices;
  double* out = *output;
  bool allLocked = true;
  int velocity = 0;
  for (int i = 0; i < constraint->numPrimitives; ++i) {
    const EnginePrimitive& primitive = constraint->primitives[i];
    if (primitive.kind == kPrimitiveSpherical) {
      velocity += 3;
      continue;
    }
    const double v = velocities[velocity++];
    if (primitive.stiction != kStictionActuated) continue;
    const std::int32_t mode = modes[i];
    *out++ = mode == kModeSlidingPositive ? v : -1.0;
    *out++ = mode == kModeSlidingNegative ? v : 1.0;
    if (mode != kModeLocked) allLocked = false;
    if (constraint->linked) continue;
    // Unlinked: this primitive's own entry (transmitted force, lower limit, upper limit).
    const double* entry = *(*running)++;
    *out++ = mode == kModeLocked ? entry[0] - entry[1] : 1.0;
    *out++ = mode == kModeLocked ? entry[0] - entry[2] : -1.0;
  }
  if (constraint->linked && generalConstraintEventTest(constraint)) {
    const double* entry = *(*running)++;
    *out++ = allLocked ? entry[0] - entry[1] : 1.0;
    *out++ = allLocked ? entry[0] - entry[2] : -1.0;
  }
  *output = out;
  return false;
}
