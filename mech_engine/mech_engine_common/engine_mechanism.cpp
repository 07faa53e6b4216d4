#include <cstdio>
#include <cstring>

#include "mech_engine2d/transform2d_util.h"
#include "mech_engine_common/engine_entry_points.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/engine_method_signatures.h"
#include "mech_engine_common/engine_method_table.h"
#include "mech_engine_common/planarity.h"
#include "mech_engine_common/transform_buffer.h"

// Creation and destruction of a mechanism. A created mechanism owns its
// MechanismMethods (with sub-tables), its plane transform and, through the
// methods, the work records of bodies, joints, constraints and kinematic data.

namespace {

constexpr const char* kCreateSource = "mech_engine/mech_engine_common/createEngineMechanism";
constexpr const char* kDimensionSource =
    "mech_engine/mech_engine_common/determineSimulationDimensionality";

// Calls a mechanism-wide method when present; false when the slot is empty.
bool callIfPresent(EngineMethod method, EngineMechanism* mechanism) {
  return method != nullptr && methodAs<MechanismMethod>(method)(mechanism);
}

// A description without transform2D gets the engine's own identity.
void supplyIdentityTransform2D(EngineMechanism* mechanism) {
  if (mechanism->transform2D != nullptr) return;
  static constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::memcpy(mechanism->identityTransform2DData, kIdentity, sizeof kIdentity);
  mechanism->identityTransform2D = EngineMatrix{0, 1, mechanism->identityTransform2DData};
  mechanism->transform2D = &mechanism->identityTransform2D;
}

// The creation methods, each only while none before it failed.
bool runCreateMethods(EngineMechanism* mechanism) {
  const MechanismMethods& methods = *mechanism->methods;
  if (methods.jointMethods != nullptr &&
      callIfPresent(methods.jointMethods->createAll, mechanism)) {
    return true;
  }
  if (callIfPresent(methods[MechanismSlot::createEngineBody], mechanism)) return true;
  if (methods.constraintMethods != nullptr &&
      callIfPresent(methods.constraintMethods->createAll, mechanism)) {
    return true;
  }
  return callIfPresent(methods[MechanismSlot::createKinematicData], mechanism);
}

bool createSteps(EngineMechanism* mechanism) {
  supplyIdentityTransform2D(mechanism);
  if (determineSimulationDimensionality(mechanism)) return true;
  const bool is2D = mechanism->allowedSimulationDimensions == kEngineDimension2D;
  if (buildMechanismMethods(mechanism)) return true;
  if (allocateTransformBuffer()) return true;
  if (is2D) {
    if (mechanism->transform2D == nullptr) {
      assertionFailed("mechanism->transform2D != NULL", nullptr, kCreateSource, 51);
    }
    if (mechanism->planeTransform != nullptr &&
        transformMatrix2D(mechanism->planeTransform->matrices[0]->data,
                          mechanism->transform2D->data)) {
      return true;
    }
  }
  return runCreateMethods(mechanism);
}

}  // namespace

bool createEngineMechanism(EngineMechanism* mechanism) {
  if (mechanism->isCreated) return false;
  mechanism->isCreated = 1;
  if (mechanism->blockWork != nullptr) mechanism->blockWork[kBlockWorkClearedByte] = 0;
  mechanism->destroy = &destroyEngineMechanism;

  const bool failed = createSteps(mechanism);
  releaseTransformBuffer();
  if (failed) destroyEngineMechanism(mechanism);
  return failed;
}

void destroyEngineMechanism(EngineMechanism* mechanism) {
  if (mechanism == nullptr || !mechanism->isCreated) return;
  if (mechanism->methods != nullptr) {
    const MechanismMethods& methods = *mechanism->methods;
    callIfPresent(methods[MechanismSlot::destroyEngineBody], mechanism);
    callIfPresent(methods[MechanismSlot::destroyEngineJoint], mechanism);
    callIfPresent(methods[MechanismSlot::destroyEngineConstraint], mechanism);
    callIfPresent(methods[MechanismSlot::destroyKinematicData], mechanism);
    callIfPresent(methods[MechanismSlot::destroyMechanismMethods], mechanism);
    // Whatever slot 0 held, the tables must not outlive the mechanism.
    destroyMechanismMethods(mechanism);
  }
  // Also after a create that failed before the method tables existed.
  releaseEngineMatrixList(&mechanism->planeTransform);
  if (mechanism->transform2D == &mechanism->identityTransform2D) mechanism->transform2D = nullptr;
  mechanism->isCreated = 0;
}

bool determineSimulationDimensionality(EngineMechanism* mechanism) {
  const std::int32_t allowed = mechanism->allowedSimulationDimensions;
  const bool allow2D = (allowed & kEngineDimension2D) != 0;
  const bool allow3D = (allowed & kEngineDimension3D) != 0;
  if (!allow2D && !allow3D) {
    assertionFailed("ENGINE_DIMENSION_ALLOW_3D(allowedSimulationDimensions)",
                    "Neither 2D nor 3D simulations are enabled", kDimensionSource, 443);
    return setEngineError(kMessageNoDimensionAllowed);
  }
  if (allow2D) {
    bool planar = false;
    if (checkMechanismPlanarity(mechanism, !allow3D, &planar)) return true;
    mechanism->allowedSimulationDimensions = planar ? kEngineDimension2D : kEngineDimension3D;
  } else {
    mechanism->allowedSimulationDimensions = kEngineDimension3D;
  }
  if (mechanism->verbose) {
    std::printf("Simulation running in %i dimensions.\n",
                (mechanism->allowedSimulationDimensions & kEngineDimension2D) != 0 ? 2 : 3);
  }
  return false;
}
