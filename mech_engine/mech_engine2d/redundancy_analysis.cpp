#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/engine_vector_kernels.h"
#include "mech_engine_common/qr_factorisation.h"
#include "mech_engine_common/tolerance_check.h"

// Redundancy analysis: which constraint equations stay active, decided by the
// numerical rank of the constraint Jacobian, stage by stage (holonomic
// equations, velocity-level equations, drivers). Drivers that over-determine
// the motion are rejected. The work matrix and the factorisation's arrays are
// those of the kinematic data: every matrix formed here has at most E + D rows
// and V columns, or V rows and E columns, and at most max(V, E) columns.

namespace {

constexpr std::int32_t kToleranceModeGiven = 2;

bool isDriver(std::int32_t mode) {
  return mode == kEquationHolonomicDriver || mode == kEquationVelocityDriver;
}

// Rank of the rows x columns matrix in the kinematic data's work matrix (it is
// overwritten by its factor): one more than the last diagonal position of R
// whose magnitude exceeds |R00| times the tolerance.
int numericalRank(const EngineMechanism* mechanism, int rows, int columns) {
  if (rows <= 0 || columns <= 0) return 0;
  EngineKinematicData* data = mechanism->kinematicData;
  std::fill(data->pivots, data->pivots + columns, 0);
  qrFactorPivoted(data->jacobian, rows, columns, data->work1, data->pivots, data->work2);
  const MachineEnvironment* environment = mechanism->environment;
  const double tolerance = environment->redundancyToleranceMode == kToleranceModeGiven
                               ? environment->redundancyTolerance
                               : qrDefaultTolerance(rows, columns);
  const double threshold = std::fabs(data->jacobian[0]) * tolerance;
  int rank = 0;
  for (int j = 0; j < std::min(rows, columns); ++j) {
    if (violates(data->jacobian[j + j * rows], threshold)) rank = j + 1;
  }
  return rank;
}

// Rank of the transposed Jacobian over the equations now active (one column
// per equation); *columns receives their count.
int activeRank(EngineMechanism* mechanism, int* columns) {
  *columns = countedEquations(mechanism, false);
  if (transposeJacobian2D(mechanism, mechanism->kinematicData->jacobian)) return -1;
  return numericalRank(mechanism, freeCoordinateCount(mechanism), *columns);
}

// The joint that owns the i-th (1-based) driven column of velocityJacobian2D
// (welds have none); with i = 0 only counts the driven columns.
const char* ownerOfDrivenColumn(const EngineMechanism* mechanism, int i, int* count = nullptr) {
  const char* owner = kUnknownBlockName;
  int seen = 0;
  forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    for (int a = 0; a < joint->drivenVelocities->count; ++a) {
      if (joint->primitives[joint->drivenVelocities->indices[a]].kind == kPrimitiveWeld) continue;
      if (++seen == i) {
        owner = joint->blockName;
        return true;
      }
    }
    return false;
  });
  if (count != nullptr) *count = seen;
  return owner;
}

bool verboseNotes(bool print, const EngineMechanism* mechanism) {
  return print && mechanism->verbose != 0;
}

// Step 3: each driven column appended to the free columns must not raise the
// rank; when it does the driver fixes a motion the constraints already fix.
// The matrix is as wide as the columns velocityJacobian2D actually forms.
bool testDriversAgainstFreeMotion(EngineMechanism* mechanism, int drivenToTest,
                                  bool allowRedundantDrivers) {
  EngineKinematicData* data = mechanism->kinematicData;
  const int rows = countedEquations(mechanism, false);
  const int freeCount = freeCoordinateCount(mechanism);
  int drivenColumns = 0;
  ownerOfDrivenColumn(mechanism, 0, &drivenColumns);
  drivenToTest = std::min(drivenToTest, drivenColumns);
  if (velocityJacobian2D(mechanism, data->jacobian, 0)) return true;
  const int freeRank = numericalRank(mechanism, rows, freeCount);
  for (int i = 1; i <= drivenToTest; ++i) {
    if (velocityJacobian2D(mechanism, data->jacobian, i)) return true;
    const int rank = numericalRank(mechanism, rows, freeCount + i);
    if (rank > freeRank && !allowRedundantDrivers) {
      return setEngineError(kMessageOverdeterminedDriver, ownerOfDrivenColumn(mechanism, i));
    }
  }
  return false;
}

// Step 4: keeps the holonomic equations whose columns are among the first
// rank pivots of the transposed Jacobian.
bool keepIndependentHolonomicEquations(EngineMechanism* mechanism, bool print) {
  EngineKinematicData* data = mechanism->kinematicData;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineEquationSet* set = mechanism->constraints[i]->equations;
    if (set == nullptr) continue;
    set->active->count = 0;
    for (int s = 0; s < set->saved->count; ++s) {
      const int e = set->saved->indices[s];
      if (set->modes->indices[e] == kEquationHolonomic)
        set->active->indices[set->active->count++] = e;
    }
  }
  int columns = 0;
  const int rank = activeRank(mechanism, &columns);
  if (rank < 0) return true;
  if (columns == 0) return false;
  const std::int32_t* pivots = data->pivots;  // 1-based column numbers
  const auto isKept = [&](int column) {
    for (int p = 0; p < rank; ++p) {
      if (pivots[p] == column + 1) return true;
    }
    return false;
  };
  int column = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    int kept = 0;
    int redundantCount = 0;
    for (int a = 0; a < set->active->count; ++a) {
      const int e = set->active->indices[a];
      if (isKept(column++)) {
        set->active->indices[kept++] = e;
      } else {
        ++redundantCount;
      }
    }
    set->active->count = kept;
    if (redundantCount == 0) continue;
    data->redundancyFound = 1;
    if (verboseNotes(print, mechanism)) {
      std::printf(formatWarning(redundantCount == 1 ? kNoteRedundantPositionEquation
                                                    : kNoteRedundantPositionEquations),
                  redundantCount, constraint->blockName);
    }
  }
  return false;
}

// Steps 5 and 6: equations of the given modes join one at a time and stay
// only when they raise the rank. A rank-deficient driver fails unless
// redundant drivers are allowed (then it is left out like a velocity equation).
bool addIndependentEquations(EngineMechanism* mechanism, bool drivers, bool print,
                             bool allowRedundantDrivers) {
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    EngineEquationSet* set = constraint->equations;
    if (set == nullptr) continue;
    bool noted = false;
    for (int s = 0; s < set->saved->count; ++s) {
      const int e = set->saved->indices[s];
      const std::int32_t mode = set->modes->indices[e];
      if (drivers ? !isDriver(mode) : mode != kEquationVelocity) continue;
      set->active->indices[set->active->count++] = e;
      int columns = 0;
      const int rank = activeRank(mechanism, &columns);
      if (rank < 0) return true;
      if (rank >= columns) continue;
      --set->active->count;
      if (drivers && !allowRedundantDrivers) {
        return setEngineError(kMessageOverdeterminedDriver, constraint->blockName);
      }
      if (!drivers && !noted && verboseNotes(print, mechanism)) {
        std::printf(formatWarning(kNoteRedundantVelocityEquations), constraint->blockName);
        noted = true;
      }
    }
  }
  return false;
}

// Step 7: active equations in equation order, numbered across constraints.
void numberActiveEquations(EngineMechanism* mechanism) {
  int total = 0;
  int positionLevel = 0;
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineEquationSet* set = mechanism->constraints[i]->equations;
    if (set == nullptr) continue;
    std::sort(set->active->indices, set->active->indices + set->active->count);
    set->redundancyPositions->count = 0;
    for (int a = 0; a < set->active->count; ++a) {
      const std::int32_t mode = set->modes->indices[set->active->indices[a]];
      set->redundancyPositions->indices[set->redundancyPositions->count++] = total++;
      if (mode == kEquationHolonomic || mode == kEquationHolonomicDriver) ++positionLevel;
    }
  }
  mechanism->kinematicData->activeCount = total;
  mechanism->kinematicData->positionActiveCount = positionLevel;
}

}  // namespace

bool redundant(EngineMechanism* mechanism, std::int32_t drivenToTest, std::int32_t /*freeCount*/,
               std::int32_t /*totalCount*/, bool print, bool allowRedundantDrivers) {
  EngineKinematicData* data = mechanism->kinematicData;
  if (mechanism->numConstraints == 0 || data == nullptr) return false;
  data->redundancyFound = 0;
  if (setVelocityConstraint2D(mechanism)) return true;
  classifyConstraintEquations(mechanism);
  if (data->activeCount == 0 || data->jacobian == nullptr) return false;

  if (testDriversAgainstFreeMotion(mechanism, drivenToTest, allowRedundantDrivers) ||
      keepIndependentHolonomicEquations(mechanism, print) ||
      addIndependentEquations(mechanism, false, print, allowRedundantDrivers) ||
      addIndependentEquations(mechanism, true, print, allowRedundantDrivers)) {
    return true;
  }
  numberActiveEquations(mechanism);
  return false;
}
