// Late-bound engine methods.
//
// The model registers its EngineMethodTable (513 slots indexed by
// EngineMethodId) into the engine's global method set; each mechanism then
// gets a 64-slot MechanismMethods table bound from the global set through the
// 2D or 3D binding table. Any slot may be empty and every caller skips an
// empty slot.
#pragma once

#include <cstdint>

#include "mech_engine_common/engine_mechanism.h"
#include "mech_engine_common/engine_method_ids.h"

// A method slot; the caller converts it to the method's own signature.
using EngineMethod = void (*)();

template <typename Function>
EngineMethod toEngineMethod(Function* function) {
  return reinterpret_cast<EngineMethod>(function);
}
template <typename Function>
Function* methodAs(EngineMethod method) {
  return reinterpret_cast<Function*>(method);
}

struct EngineMethodTable {
  EngineMethod methods[kEngineMethodCount];  // slot 0 (UNKNOWN_METHOD) is always empty
};

// The engine's global method set: empty at start, filled by registration.
extern EngineMethodTable engineGlobalMethodSet;

// Copies every non-empty slot of the model's table into an empty global slot;
// a filled slot is never overwritten (the first registration wins). Slot 0 is
// never copied: the binding tables use it as "no method".
void registerMechanismMethods(const EngineMethodTable* table);

// Empties the global method set. The engine never does this itself; tests do.
void resetEngineMethodSet();

// Addresses of the global slots, one per method role, plus the rows' ids.
struct MethodBindingTable {
  EngineMethod* slots[kEngineMethodRoleCount];
  const EngineMethodId* methodIds;
};
static_assert(sizeof(MethodBindingTable) == 380 * sizeof(void*));

extern const MethodBindingTable methodBindingTable2D;
extern const MethodBindingTable methodBindingTable3D;

// The method the binding table gives for a role right now (null when empty).
EngineMethod boundMethod(const MethodBindingTable* table, EngineMethodRole role);

// Slots of MechanismMethods, named after the roles bound in them.
enum class MechanismSlot : std::int32_t {
  destroyMechanismMethods = 0,
  eventHandler = 1,
  nonlinearSolver = 2,
  setupMotionArrays = 3,
  updateState = 4,
  unpackState = 5,
  eventInputs = 6,
  createEngineBody = 7,
  xyTransformBody = 8,
  dynamicSweep = 9,
  acceleration = 10,
  correctMotionArrays = 11,
  stabilise = 12,
  ricatti = 13,
  assemblyCheck = 14,
  destroyEngineBody = 15,
  destroyEngineJoint = 16,
  velocityError = 17,
  positionError = 18,
  positionSweep = 19,
  velocitySweep = 20,
  dynamicInputs = 21,
  external = 22,
  dynamicOutputs = 23,
  kinematicInputs = 24,
  operateJacobian = 25,
  projectVelocity = 26,
  reconstructForce = 27,
  assemblyAnalysis = 28,
  scaleQuaternions = 29,
  kinematicOutputs = 30,
  updateModeVector = 31,
  sweepAcceleration = 32,
  constructJacobian = 33,
  kinematicLagrange = 34,
  outputConstraints = 35,
  destroyEngineConstraint = 36,
  vfBlock3Jacobian = 37,
  projectAcceleration = 38,
  redundant = 39,
  determineTrimWidths = 40,
  createKinematicData = 41,
  destroyKinematicData = 42,
  vfBlock2Jacobian = 43,
  eventIrJc = 44,
  kinematicAcceleration = 45,
  isIllegalKinematicMechanism = 46,
  dynamicIrJc = 47,
  vfBlock1Jacobian = 48,
  updateStateDerivatives = 49,
  setVelocityConstraint = 50,
  kinematicIrJc = 51,
  neverBound = 52,
  generateNormalEquations = 53,
  velocityJacobian = 54,
  initialConsistency = 55,
  buildMatrix = 56,
  setAccelerationConstraints = 57,
  lagrange = 58,
  operateReducedJacobianTransp = 59,
  transposeJacobian = 60,
};
inline constexpr int kMechanismMethodSlotCount = 61;

// Per-joint (or per-constraint) method sub-table: the create method of all
// joints, then per joint its kind's create method and, in 2D, its kind's
// transform method (tables of one entry per joint, in chain order).
struct JointMethodTable {
  EngineMethod createAll;
  EngineMethod* createMethods;
  EngineMethod* transformMethods;
};
using ConstraintMethodTable = JointMethodTable;

struct MechanismMethods {
  EngineMethod slots[kMechanismMethodSlotCount];
  JointMethodTable* jointMethods;            // slot 61
  ConstraintMethodTable* constraintMethods;  // slot 62
  const MethodBindingTable* bindingTable;    // slot 63

  EngineMethod operator[](MechanismSlot slot) const { return slots[static_cast<int>(slot)]; }
};
static_assert(sizeof(MechanismMethods) == 64 * sizeof(void*));

// Builds the mechanism's MechanismMethods (attached to mechanism->methods as
// soon as it exists). True on failure: allocation, or a joint or constraint
// kind the engine does not know; the tables built so far stay attached.
bool buildMechanismMethods(EngineMechanism* mechanism);

// Frees the two sub-tables and the MechanismMethods; returns false.
bool destroyMechanismMethods(EngineMechanism* mechanism);

// For the creation methods: reports and records a missing transform method of
// a block (assertion, then an engine error). Returns true (failure) when the
// instance is empty, false otherwise.
bool reportMissingTransform(EngineMethod instance, const char* blockName, const char* sourcePath,
                            int line);
