#include <algorithm>
#include <cstdio>
#include <cstring>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/engine_method_signatures.h"
#include "mech_engine_common/engine_vector_kernels.h"

// Assembly analysis: brings the joint positions onto the constraints by a
// homotopy on the position residual r(q) - (1 - λ)·r(q0), from λ = 0 (the
// described configuration solves it) to λ = 1. The initial call also sets up
// the motion arrays and the active equations, retries once from a small
// seeded perturbation, optionally tests whether a perturbation changes the
// number of active constraints, and projects the velocities.
//
// Every method is called through the mechanism's slots (an empty slot is
// skipped), so the analysis runs with whatever methods the mechanism has.

namespace {

using S = MechanismSlot;

constexpr const char* kSourcePath = "mech_engine/mech_engine_common/assemblyAnalysis";
constexpr int kMaxHomotopyPasses = 100;
constexpr double kSmallestStep = 1.0 / 64.0;
constexpr double kStepOvershoot = 1e-14;   // the last step reaches just past λ = 1
constexpr std::uint32_t kRandomSeed = 13;  // perturbations are the same on every run
constexpr double kPerturbationScale = 0.0001;
constexpr int kPrintWarningFlag = 1;  // byte of descriptionFlags

template <typename Signature, typename... Args>
bool call(const EngineMechanism* mechanism, S slot, Args... args) {
  if (mechanism->methods == nullptr) return false;
  const EngineMethod method = (*mechanism->methods)[slot];
  return method != nullptr && methodAs<Signature>(method)(args...);
}

bool isBound(const EngineMechanism* mechanism, S slot) {
  return mechanism->methods != nullptr && (*mechanism->methods)[slot] != nullptr;
}

// The sizes setupMotionArrays reports, passed on to every redundancy analysis.
struct MotionSizes {
  std::int32_t driven = 0;
  std::int32_t free = 0;
  std::int32_t total = 0;
};

bool runRedundant(EngineMechanism* m, const MotionSizes& sizes, bool print, bool allow) {
  return call<RedundantMethod>(m, S::redundant, m, sizes.driven, sizes.free, sizes.total, print,
                               allow);
}

bool sweepPositions(EngineMechanism* m) {
  return call<MechanismMethod>(m, S::positionSweep, m);
}

// Copies the save area back and sweeps (the sweep through the slot).
bool restoreAndSweep(EngineMechanism* m, const double* saveArea) {
  int k = 0;
  forEachJoint(m, [&](EngineJoint* joint, int, int) {
    for (int i = 0; i < joint->numPositions; ++i) jointPositions(joint)[i] = saveArea[k++];
    return false;
  });
  return sweepPositions(m);
}

// One solve of the homotopy at the current λ.
bool solveOnce(EngineMechanism* m, bool initial, std::uint8_t* converged) {
  *converged = 0;
  switch (m->environment->analysisMode) {
    case kAnalysisDynamics:
      if (m->kinematicData != nullptr) {
        return call<NonlinearSolverMethod>(m, S::nonlinearSolver, m, initial, converged);
      }
      *converged = 1;
      return call<MechanismMethod>(m, S::scaleQuaternions, m) || sweepPositions(m);
    case kAnalysisKinematics:
      return call<MechanismMethod>(m, S::isIllegalKinematicMechanism, m) ||
             call<NonlinearSolverMethod>(m, S::nonlinearSolver, m, initial, converged);
    default:
      releaseAssertion();
      return false;
  }
}

// Adds values[k] to the free coordinates in index-list order and sweeps; on
// a failing sweep the positions are put back.
bool perturbFreeCoordinates(EngineMechanism* m, double* saveArea, const double* values,
                            bool scaleQuaternions) {
  savePositions(m, saveArea);
  int k = 0;
  forEachJoint(m, [&](EngineJoint* joint, int, int) {
    for (int a = 0; a < joint->freePositions->count; ++a) {
      jointPositions(joint)[joint->freePositions->indices[a]] += values[k++];
    }
    return false;
  });
  if ((scaleQuaternions && call<MechanismMethod>(m, S::scaleQuaternions, m)) || sweepPositions(m)) {
    restoreAndSweep(m, saveArea);
    return true;
  }
  return false;
}

int freePositionCount(const EngineMechanism* m) {
  int count = 0;
  forEachJoint(m, [&](EngineJoint* joint, int, int) {
    count += joint->freePositions->count;
    return false;
  });
  return count;
}

// --- the perturbation test
// ------------------------------------------------------------------------------

// The position values perturbed so far (num) and the values before (table).
struct PerturbationCache {
  int num = 0;
  int max = 0;
  double* table = nullptr;
};

struct PerturbationScales {
  double linear;   // L: the fourth tolerance (linear assembly) scaled
  double angular;  // A: the fifth tolerance (angular assembly) scaled
  double other;    // Q
};

void perturbValue(PerturbationCache& cache, UniformRandom& random, double* value, double scale) {
  if (!(cache.num < cache.max)) {
    assertionFailed("cfCache->num < cfCache->max", nullptr, kSourcePath, 220);
    return;
  }
  ++cache.num;
  *value += nextUniformRandom(random) * scale;
}

// Every joint's position values, each by a fresh random number times its
// scale: prismatic values by L, revolute values by A, quaternion parts by Q
// (quaternions normalised again). The engine builds general joints only;
// any other kind reaches the release assertion and is left as it is.
void perturbJointPositions(EngineMechanism* m, PerturbationCache& cache,
                           const PerturbationScales& s) {
  UniformRandom random{};
  seedUniformRandom(random, kRandomSeed);
  forEachJoint(m, [&](EngineJoint* joint, int, int) {
    double* q = jointPositions(joint);
    switch (joint->kind) {
      case kJointGeneral: {
        const EngineGeneralJoint* g = generalOf(joint);
        const IndexList* lists[3] = {g->prismaticIndices, g->revoluteIndices, g->sphericalIndices};
        const double scales[3] = {s.linear, s.angular, s.other};
        for (int l = 0; l < 3; ++l) {
          for (int i = 0; i < lists[l]->count; ++i) {
            perturbValue(cache, random, &q[lists[l]->indices[i]], scales[l]);
          }
        }
        for (int i = 0; i + 3 < g->sphericalIndices->count; i += 4) {
          double quaternion[4];
          for (int c = 0; c < 4; ++c) quaternion[c] = q[g->sphericalIndices->indices[i + c]];
          normalise(quaternion, 4);
          for (int c = 0; c < 4; ++c) q[g->sphericalIndices->indices[i + c]] = quaternion[c];
        }
        break;
      }
      default:
        releaseAssertion();
        break;
    }
    return false;
  });
}

// Perturbs the assembled configuration and compares the active-constraint
// counts before and after. Whatever happens, the positions are restored, the
// cache freed and the redundancy analysis run again at the restored
// configuration; only a failure of that last part fails the analysis.
bool perturbationTest(EngineMechanism* m, const MotionSizes& sizes) {
  EngineKinematicData* data = m->kinematicData;
  data->initialActiveCount = data->perturbedActiveCount = data->activeCount;
  PerturbationCache cache;
  cache.max = positionValueCount(m);
  cache.table = allocatePositionBuffer(m);
  if (cache.table == nullptr) return true;
  savePositions(m, cache.table);
  const MachineEnvironment* environment = m->environment;
  const PerturbationScales scales{environment->linearAssemblyTolerance * kPerturbationScale,
                                  environment->angularAssemblyTolerance * kPerturbationScale,
                                  kPerturbationScale};
  perturbJointPositions(m, cache, scales);
  const bool failed = sweepPositions(m) || runRedundant(m, sizes, false, true);
  if (!failed) {
    data->perturbedActiveCount = data->activeCount;
    const bool print = m->descriptionFlags != nullptr && m->descriptionFlags[kPrintWarningFlag];
    if (print && data->initialActiveCount != data->perturbedActiveCount) {
      std::printf(data->initialActiveCount == 1 ? kWarningPerturbedActiveConstraint
                                                : kWarningPerturbedActiveConstraints,
                  data->initialActiveCount, data->perturbedActiveCount);
    }
  }
  const bool restoreFailed = restoreAndSweep(m, cache.table);
  engineReleaseSlot(cache.table);
  return restoreFailed || runRedundant(m, sizes, false, false);
}

bool failedForUnspecifiedKinematics() {
  const char* text = getEngineError()->text;
  return text != nullptr &&
         std::strncmp(text, kMessageKinematicsNotSpecified, kKinematicsNotSpecifiedCompared) == 0;
}

// The single retry of the initial assembly: the redundancy analysis at a
// seeded perturbation of the described configuration, then the homotopy
// again from the described configuration.
bool retryAssembly(EngineMechanism* m, const MotionSizes& sizes, double* saveArea,
                   const double* initialArea, std::uint8_t* converged) {
  if (restoreAndSweep(m, initialArea)) return true;
  const int count = freePositionCount(m);
  double* perturbation =
      engineAllocateArrayOf<double>(static_cast<std::size_t>(std::max(count, 1)));
  if (perturbation == nullptr) return reportModelOutOfMemory();
  UniformRandom random{};
  seedUniformRandom(random, kRandomSeed);
  for (int i = 0; i < count; ++i) perturbation[i] = nextUniformRandom(random) * kPerturbationScale;
  const bool failed = perturbFreeCoordinates(m, saveArea, perturbation, false) ||
                      runRedundant(m, sizes, false, true) || restoreAndSweep(m, saveArea) ||
                      homotopyAssembly(m, true, saveArea, converged);
  engineReleaseSlot(perturbation);
  return failed;
}

}  // namespace

bool homotopyAssembly(EngineMechanism* m, bool initial, double* saveArea, std::uint8_t* converged) {
  EngineKinematicData* data = m->kinematicData;
  *converged = 0;
  savePositions(m, saveArea);
  data->homotopyWeight = 1.0;
  const int errorCount = data->numEquations + data->numJointEquations;
  if (data->startResidual != nullptr)
    std::fill(data->startResidual, data->startResidual + errorCount, 0.0);
  if (call<PositionErrorMethod>(m, S::positionError, m, data->startResidual,
                                data->numJointEquations > 0)) {
    return true;
  }
  double step = 1.0;
  double reached = 0.0;
  int successes = 0;
  bool failed = false;
  for (int pass = 0; pass < kMaxHomotopyPasses && !failed; ++pass) {
    const double lambda = std::min(reached + step, 1.0);
    data->homotopyWeight = lambda;
    std::uint8_t solved = 0;
    if (solveOnce(m, initial, &solved)) {
      failed = true;
      break;
    }
    if (!solved) {
      if (restoreAndSweep(m, saveArea)) {
        failed = true;
        break;
      }
      if (step <= kSmallestStep) {
        data->homotopyWeight = 1.0;
        failed = solveOnce(m, initial, &solved);
        break;
      }
      step *= 0.5;
      successes = 0;
    } else {
      savePositions(m, saveArea);
      reached = lambda;
      if (lambda == 1.0) break;
      if (++successes % 2 == 0) step *= 2.0;
    }
    if (step >= 1.0 - reached) step = 1.0 - reached + kStepOvershoot;
  }
  data->homotopyWeight = 1.0;  // the position error is the plain residual outside the homotopy
  if (failed) return true;
  *converged = call<MechanismMethod>(m, S::assemblyCheck, m) ? 0 : 1;
  return false;
}

bool assemblyAnalysis(EngineMechanism* m, bool initial) {
  const std::int32_t mode = m->environment->analysisMode;
  MotionSizes sizes;
  bool failed = false;
  if (!initial) {
    failed = sweepPositions(m);
  } else {
    if (mode != kAnalysisTrimming) failed = toggleInitialConditionEquations(m, true);
    failed = failed ||
             call<MotionArraysMethod>(m, S::setupMotionArrays, m, &sizes.driven, &sizes.free,
                                      &sizes.total) ||
             sweepPositions(m) || runRedundant(m, sizes, false, true);
  }
  if (mode == kAnalysisTrimming) {
    failed = call<MechanismMethod>(m, S::velocitySweep, m) || failed;
    if (m->numConstraints > 0 && m->kinematicData != nullptr)
      m->kinematicData->homotopyWeight = 1.0;
    return call<MotionArraysMethod>(m, S::correctMotionArrays, m, &sizes.driven, &sizes.free,
                                    &sizes.total) ||
           failed;
  }
  if (failed) return true;

  EngineKinematicData* data = m->kinematicData;
  double* saveArea = nullptr;
  double* initialArea = nullptr;
  if (data != nullptr) {
    saveArea = allocatePositionBuffer(m);
    if (saveArea == nullptr) return true;
    if (initial) {
      initialArea = allocatePositionBuffer(m);
      if (initialArea == nullptr) {
        engineReleaseSlot(saveArea);
        return true;
      }
      savePositions(m, initialArea);
    }
    std::uint8_t converged = 0;
    failed = homotopyAssembly(m, initial, saveArea, &converged);
    if (initial && ((failed && failedForUnspecifiedKinematics()) || (!failed && !converged))) {
      failed = retryAssembly(m, sizes, saveArea, initialArea, &converged) || !converged;
    }
    if (!failed && initial && data->perturbationTest) failed = perturbationTest(m, sizes);
  }
  if (!failed) {
    failed = isBound(m, S::projectVelocity)
                 ? call<MechanismSwitchMethod>(m, S::projectVelocity, m, false)
                 : call<MechanismMethod>(m, S::velocitySweep, m);
  }
  if (!failed && initial) {
    failed = toggleInitialConditionEquations(m, false) ||
             (m->environment->hasEvents
                  ? call<MechanismMethod>(m, S::initialConsistency, m)
                  : call<MotionArraysMethod>(m, S::correctMotionArrays, m, &sizes.driven,
                                             &sizes.free, &sizes.total) ||
                        runRedundant(m, sizes, true, false));
  }
  engineReleaseSlot(saveArea);
  engineReleaseSlot(initialArea);
  return failed;
}
