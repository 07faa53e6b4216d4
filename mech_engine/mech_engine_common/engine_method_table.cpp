#include "mech_engine_common/engine_method_table.h"

#include <array>
#include <utility>

#include "mech_engine_common/engine_allocation.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"

EngineMethodTable engineGlobalMethodSet{};

// --- binding tables ----------------------------------------------------------

namespace {

constexpr std::array<EngineMethodId, kEngineMethodRoleCount> roleMethods(bool for2D) {
  std::array<EngineMethodId, kEngineMethodRoleCount> ids{};
  for (int role = 0; role < kEngineMethodRoleCount; ++role) {
    ids[role] = for2D ? engineMethodRoles[role].method2D : engineMethodRoles[role].method3D;
  }
  return ids;
}

constexpr std::array<EngineMethodId, kEngineMethodRoleCount> kRoleMethods2D = roleMethods(true);
constexpr std::array<EngineMethodId, kEngineMethodRoleCount> kRoleMethods3D = roleMethods(false);

template <std::size_t... Role>
constexpr MethodBindingTable makeBindingTable(
    const std::array<EngineMethodId, kEngineMethodRoleCount>& ids, std::index_sequence<Role...>) {
  return MethodBindingTable{{&engineGlobalMethodSet.methods[static_cast<int>(ids[Role])]...},
                            ids.data()};
}

}  // namespace

constinit const MethodBindingTable methodBindingTable2D =
    makeBindingTable(kRoleMethods2D, std::make_index_sequence<kEngineMethodRoleCount>{});
constinit const MethodBindingTable methodBindingTable3D =
    makeBindingTable(kRoleMethods3D, std::make_index_sequence<kEngineMethodRoleCount>{});

EngineMethod boundMethod(const MethodBindingTable* table, EngineMethodRole role) {
  return *table->slots[static_cast<int>(role)];
}

// --- registration ------------------------------------------------------------

void registerMechanismMethods(const EngineMethodTable* table) {
  if (table == nullptr) return;
  for (int k = 1; k < kEngineMethodCount; ++k) {
    if (table->methods[k] != nullptr && engineGlobalMethodSet.methods[k] == nullptr) {
      engineGlobalMethodSet.methods[k] = table->methods[k];
    }
  }
}

void resetEngineMethodSet() {
  engineGlobalMethodSet = EngineMethodTable{};
}

// --- per-mechanism tables ----------------------------------------------------

namespace {

// When a MechanismMethods slot is bound, besides its method being present.
enum class BindingCondition {
  always,
  constraintsPresent,
  hasEvents,
  only2D,
  only3D,
  modeNot3,
  mode3,
  mode1,
  stabilisingSolver,
  blockJacobians,
  constraintsOr3D,
  constraintsOrEvents,
  constraintsOrMode3,
  constraintsOrMode3OrEvents,
  modeNot3WithConstraints,
};

struct SlotBinding {
  MechanismSlot slot;
  EngineMethodRole role;
  BindingCondition condition;
};

using S = MechanismSlot;
using R = EngineMethodRole;
using C = BindingCondition;

// Slot 0 holds destroyMechanismMethods itself, slot 52 is never bound, and
// slots 61-63 hold the sub-tables and the binding table.
constexpr SlotBinding kSlotBindings[] = {
    {S::eventHandler, R::eventHandler, C::hasEvents},
    {S::nonlinearSolver, R::nonlinearSolver, C::constraintsPresent},
    {S::setupMotionArrays, R::setupMotionArrays, C::always},
    {S::updateState, R::updateState, C::always},
    {S::unpackState, R::unpackState, C::always},
    {S::eventInputs, R::eventInputs, C::hasEvents},
    {S::createEngineBody, R::createEngineBody, C::always},
    {S::xyTransformBody, R::xyTransformBody, C::only2D},
    {S::dynamicSweep, R::dynamicSweep, C::modeNot3},
    {S::acceleration, R::acceleration, C::modeNot3},
    {S::correctMotionArrays, R::correctMotionArrays, C::always},
    {S::stabilise, R::stabilise, C::stabilisingSolver},
    {S::ricatti, R::ricatti, C::modeNot3},
    {S::assemblyCheck, R::assemblyCheck, C::constraintsPresent},
    {S::destroyEngineBody, R::destroyEngineBody, C::always},
    {S::destroyEngineJoint, R::destroyEngineJoint, C::always},
    {S::velocityError, R::velocityError, C::constraintsPresent},
    {S::positionError, R::positionError, C::constraintsPresent},
    {S::positionSweep, R::positionSweep, C::always},
    {S::velocitySweep, R::velocitySweep, C::always},
    {S::dynamicInputs, R::dynamicInputs, C::always},
    {S::external, R::external, C::always},
    {S::dynamicOutputs, R::dynamicOutputs, C::always},
    {S::kinematicInputs, R::kinematicInputs, C::always},
    {S::operateJacobian, R::operateJacobian, C::constraintsPresent},
    {S::projectVelocity, R::projectVelocity, C::constraintsPresent},
    {S::reconstructForce, R::reconstructForce, C::constraintsPresent},
    {S::assemblyAnalysis, R::assemblyAnalysis, C::always},
    {S::scaleQuaternions, R::scaleQuaternions, C::only3D},
    {S::kinematicOutputs, R::kinematicOutputs, C::always},
    {S::updateModeVector, R::updateModeVector, C::hasEvents},
    {S::sweepAcceleration, R::sweepAcceleration, C::constraintsOrMode3OrEvents},
    {S::constructJacobian, R::constructJacobian, C::constraintsOr3D},
    {S::kinematicLagrange, R::kinematicLagrange, C::mode3},
    {S::outputConstraints, R::outputConstraints, C::mode1},
    {S::destroyEngineConstraint, R::destroyEngineConstraint, C::constraintsPresent},
    {S::vfBlock3Jacobian, R::vfBlock3Jacobian, C::blockJacobians},
    {S::projectAcceleration, R::projectAcceleration, C::constraintsOrEvents},
    {S::redundant, R::redundant, C::constraintsPresent},
    {S::determineTrimWidths, R::determineTrimWidths, C::mode1},
    {S::createKinematicData, R::createKinematicData, C::constraintsOrMode3},
    {S::destroyKinematicData, R::destroyKinematicData, C::constraintsOrMode3},
    {S::vfBlock2Jacobian, R::vfBlock2Jacobian, C::blockJacobians},
    {S::eventIrJc, R::eventIrJc, C::blockJacobians},
    {S::kinematicAcceleration, R::kinematicAcceleration, C::mode3},
    {S::isIllegalKinematicMechanism, R::isIllegalKinematicMechanism, C::mode3},
    {S::dynamicIrJc, R::dynamicIrJc, C::blockJacobians},
    {S::vfBlock1Jacobian, R::vfBlock1Jacobian, C::blockJacobians},
    {S::updateStateDerivatives, R::updateStateDerivatives, C::always},
    {S::setVelocityConstraint, R::setVelocityConstraint, C::constraintsPresent},
    {S::kinematicIrJc, R::kinematicIrJc, C::blockJacobians},
    {S::generateNormalEquations, R::generateNormalEquations, C::constraintsPresent},
    {S::velocityJacobian, R::velocityJacobian, C::constraintsPresent},
    {S::initialConsistency, R::initialConsistency, C::hasEvents},
    {S::buildMatrix, R::buildMatrix, C::modeNot3WithConstraints},
    {S::setAccelerationConstraints, R::setAccelerationConstraints, C::constraintsPresent},
    {S::lagrange, R::lagrange, C::modeNot3WithConstraints},
    {S::operateReducedJacobianTransp, R::operateReducedJacobianTransp, C::constraintsPresent},
    {S::transposeJacobian, R::transposeJacobian, C::constraintsPresent},
};

// Create and 2D transform methods per joint kind (index = kind code).
struct KindMethods {
  EngineMethodRole create;
  EngineMethodRole transform2D;  // UNKNOWN_METHOD: none
};

constexpr KindMethods kJointKindMethods[] = {
    {R::UNKNOWN_METHOD, R::UNKNOWN_METHOD},  // no kind 0
    {R::createEngineScrewJoint, R::UNKNOWN_METHOD},
    {R::createEngineGeneralJoint, R::xyTransformGeneralJoint},
    {R::createEngineRevoluteRevoluteJoint, R::UNKNOWN_METHOD},
    {R::createEngineRevoluteSphericalJoint, R::UNKNOWN_METHOD},
    {R::createEngineSphericalSphericalJoint, R::UNKNOWN_METHOD},
};

constexpr KindMethods kConstraintKindMethods[] = {
    {R::UNKNOWN_METHOD, R::UNKNOWN_METHOD},  // no kind 0
    {R::createConstantVelocityEngineConstraint, R::xyTransformCVConstraint},
    {R::createGearEngineConstraint, R::xyTransformGearConstraint},
    {R::createScrewEngineConstraint, R::UNKNOWN_METHOD},
    {R::createGeneralEngineConstraint, R::xyTransformGeneralConstraint},
    {R::createParallelEngineConstraint, R::xyTransformParallelConstraint},
    {R::createPointCurveEngineConstraint, R::xyTransformPointCurveConstraint},
    {R::createAngleDriverEngineConstraint, R::xyTransformAngleDriverConstraint},
    {R::createLinearDriverEngineConstraint, R::xyTransformLinearDriverConstraint},
    {R::createDistanceDriverEngineConstraint, R::xyTransformDistanceDriverConstraint},
    {R::createDisassembledWeldEngineConstraint, R::UNKNOWN_METHOD},
    {R::createRevoluteRevoluteEngineConstraint, R::UNKNOWN_METHOD},
    {R::createRevoluteSphericalEngineConstraint, R::UNKNOWN_METHOD},
    {R::createSphericalSphericalEngineConstraint, R::UNKNOWN_METHOD},
    {R::createDisassembledRevoluteEngineConstraint, R::UNKNOWN_METHOD},
    {R::createDisassembledCylindricEngineConstraint, R::UNKNOWN_METHOD},
    {R::createDisassembledPrismaticEngineConstraint, R::UNKNOWN_METHOD},
    {R::createDisassembledSphericalEngineConstraint, R::UNKNOWN_METHOD},
};

template <std::size_t N>
const KindMethods* kindMethods(const KindMethods (&table)[N], std::int32_t kind) {
  if (kind <= 0 || static_cast<std::size_t>(kind) >= N) return nullptr;
  return &table[kind];
}

struct BuildContext {
  bool is2D;
  bool constraintsPresent;
  bool hasEvents;
  std::int32_t mode;
  bool stabilising;
  bool blockJacobians;
};

bool holds(BuildContext c, BindingCondition condition) {
  switch (condition) {
    case C::always:
      return true;
    case C::constraintsPresent:
      return c.constraintsPresent;
    case C::hasEvents:
      return c.hasEvents;
    case C::only2D:
      return c.is2D;
    case C::only3D:
      return !c.is2D;
    case C::modeNot3:
      return c.mode != kAnalysisKinematics;
    case C::mode3:
      return c.mode == kAnalysisKinematics;
    case C::mode1:
      return c.mode == kAnalysisTrimming;
    case C::stabilisingSolver:
      return c.stabilising;
    case C::blockJacobians:
      return c.blockJacobians;
    case C::constraintsOr3D:
      return c.constraintsPresent || !c.is2D;
    case C::constraintsOrEvents:
      return c.constraintsPresent || c.hasEvents;
    case C::constraintsOrMode3:
      return c.constraintsPresent || c.mode == kAnalysisKinematics;
    case C::constraintsOrMode3OrEvents:
      return c.constraintsPresent || c.mode == kAnalysisKinematics || c.hasEvents;
    case C::modeNot3WithConstraints:
      return c.mode != kAnalysisKinematics && c.constraintsPresent;
  }
  return false;
}

bool outOfMemory() {
  return setEngineError(kMessageModelOutOfMemory);
}

int countJoints(const EngineMechanism* mechanism) {
  int count = 0;
  for (int c = 0; c < mechanism->numChains; ++c) count += mechanism->chains[c]->numJoints;
  return count;
}

// Allocates the per-item create (and in 2D transform) tables of a sub-table.
bool allocateItemTables(JointMethodTable* table, int count, bool is2D) {
  if (count <= 0) return false;
  table->createMethods = engineAllocateArrayOf<EngineMethod>(count);
  if (table->createMethods == nullptr) return outOfMemory();
  if (is2D) {
    table->transformMethods = engineAllocateArrayOf<EngineMethod>(count);
    if (table->transformMethods == nullptr) return outOfMemory();
  }
  return false;
}

// Fills entry `position` of a sub-table from the kind's row; an unknown kind is
// an engine error (its entry would otherwise shift every later one).
template <std::size_t N>
bool bindKind(JointMethodTable* table, int position, const KindMethods (&rows)[N],
              std::int32_t kind, const char* blockName, const char* unknownKindMessage,
              const MethodBindingTable* binding, bool is2D) {
  const KindMethods* row = kindMethods(rows, kind);
  if (row == nullptr) {
    releaseAssertion();
    return setEngineError(unknownKindMessage, blockName != nullptr ? blockName : "", kind);
  }
  table->createMethods[position] = boundMethod(binding, row->create);
  if (is2D) table->transformMethods[position] = boundMethod(binding, row->transform2D);
  return false;
}

void releaseSubTable(JointMethodTable*& table) {
  if (table == nullptr) return;
  engineReleaseSlot(table->createMethods);
  engineReleaseSlot(table->transformMethods);
  engineReleaseSlot(table);
}

}  // namespace

bool buildMechanismMethods(EngineMechanism* mechanism) {
  const MachineEnvironment* environment = mechanism->environment;
  const BuildContext context{
      .is2D = mechanism->allowedSimulationDimensions == kEngineDimension2D,
      .constraintsPresent = mechanism->numConstraints > 0,
      .hasEvents = environment->hasEvents != 0,
      .mode = environment->analysisMode,
      .stabilising = environment->constraintSolverKind == kConstraintSolverStabilising,
      .blockJacobians = mechanism->skipBlockJacobians == 0,
  };
  const MethodBindingTable* binding = context.is2D ? &methodBindingTable2D : &methodBindingTable3D;

  auto* methods = engineAllocateArrayOf<MechanismMethods>(1);
  if (methods == nullptr) return outOfMemory();
  mechanism->methods = methods;
  methods->bindingTable = binding;
  methods->slots[static_cast<int>(S::destroyMechanismMethods)] =
      toEngineMethod(&destroyMechanismMethods);

  // Joints, in chain order.
  methods->jointMethods = engineAllocateArrayOf<JointMethodTable>(1);
  if (methods->jointMethods == nullptr) return outOfMemory();
  methods->slots[static_cast<int>(S::destroyEngineJoint)] =
      boundMethod(binding, R::destroyEngineJoint);
  methods->jointMethods->createAll = boundMethod(binding, R::createEngineJoint);
  if (allocateItemTables(methods->jointMethods, countJoints(mechanism), context.is2D)) {
    return true;
  }
  int position = 0;
  for (int c = 0; c < mechanism->numChains; ++c) {
    const EngineChain* chain = mechanism->chains[c];
    for (int j = 0; j < chain->numJoints; ++j, ++position) {
      const EngineJoint* joint = chain->joints[j];
      if (bindKind(methods->jointMethods, position, kJointKindMethods, joint->kind,
                   joint->blockName, kMessageUnknownJointKind, binding, context.is2D)) {
        return true;
      }
    }
  }

  // Constraints, in table order.
  if (context.constraintsPresent) {
    methods->constraintMethods = engineAllocateArrayOf<ConstraintMethodTable>(1);
    if (methods->constraintMethods == nullptr) return outOfMemory();
    methods->slots[static_cast<int>(S::destroyEngineConstraint)] =
        boundMethod(binding, R::destroyEngineConstraint);
    methods->constraintMethods->createAll = boundMethod(binding, R::createEngineConstraint);
    if (allocateItemTables(methods->constraintMethods, mechanism->numConstraints, context.is2D)) {
      return true;
    }
    for (int i = 0; i < mechanism->numConstraints; ++i) {
      const EngineConstraint* constraint = mechanism->constraints[i];
      if (bindKind(methods->constraintMethods, i, kConstraintKindMethods, constraint->kind,
                   constraint->blockName, kMessageUnknownConstraintKind, binding, context.is2D)) {
        return true;
      }
    }
  }

  for (const SlotBinding& entry : kSlotBindings) {
    if (holds(context, entry.condition)) {
      methods->slots[static_cast<int>(entry.slot)] = boundMethod(binding, entry.role);
    }
  }
  return false;
}

bool destroyMechanismMethods(EngineMechanism* mechanism) {
  if (mechanism == nullptr || mechanism->methods == nullptr) return false;
  releaseSubTable(mechanism->methods->jointMethods);
  releaseSubTable(mechanism->methods->constraintMethods);
  engineReleaseSlot(mechanism->methods);
  return false;
}

bool reportMissingTransform(EngineMethod instance, const char* blockName, const char* sourcePath,
                            int line) {
  if (instance != nullptr) return false;
  assertionFailed("(*transformInstance) != NULL", nullptr, sourcePath, line);
  return setEngineError(kMessageMissingTransform, blockName != nullptr ? blockName : "");
}
