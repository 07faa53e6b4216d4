// The engine's working records of bodies, joints, constraints and the
// kinematic data, with the accessors every pass uses.
//
// Planar convention (2D): a spatial vector has three components (angular, x, y)
// in world axes. A body's reference point is the follower frame of its inboard
// joint; its spatial velocity is (ω, velocity of the reference point) and its
// spatial acceleration (α, acceleration of the reference point). Its placement
// (rotation and reference point) is kept in the rotation record of its inboard
// joint, so body k of a chain is placed by joint k of that chain. The ground
// chain's bodies stay at their described placement with zero motion.
//
// Sizes: every 6-vector and 6x6 matrix of the records is stored full size; in
// 2D only the first three components (the leading 3x3 block, with leading
// dimension 3) are used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mech_engine_common/engine_allocation.h"
#include "mech_engine_common/engine_mechanism.h"
#include "mech_engine_common/engine_method_table.h"

inline constexpr int kSpatial2D = 3;
inline constexpr int kSpatialSize = 6;

// --- bodies --------------------------------------------------------------------

// Stiction modes of a primitive with a stiction (lock) actuator.
enum EngineStictionMode : std::int32_t {
  kModeUndetermined = 1,
  kModeLocked = 4,
  kModeSlidingPositive = 8,
  kModeSlidingNegative = 9,
  kModeUnlocked = 10,
  kModeStopLower = 11,
  kModeStopUpper = 12,
};

enum BodyMethod : int { kBodySpatialInertia, kBodyForceInput, kBodySensorOutput, kBodyMethodCount };

// Entries of a body's dynamic record.
enum BodyDynamicEntry : int {
  kBodyMass,               // 1x1, from the description (reset by the variable-mass inputs)
  kBodyInertia,            // 3x3 as described (zz entry reset by the variable-mass inputs)
  kBodyWorkingInertia,     // 3x3, filled by the sweeps
  kBodyOutboardOffset,     // base attachment of the outboard joint, body frame
  kBodyCentreOfMass,       // centre-of-mass offset from the reference point, body frame
  kBodyAppliedForce,       // sum of the applied spatial forces at the reference point (world)
  kBodyCentreOfMassWorld,  // centre-of-mass offset rotated into world axes
  kBodyDynamicCount,
};

// The body's described mass (0 without a description).
inline double describedMass(const EngineBody* body) {
  const EngineBodyDescription* d = body->description;
  return d != nullptr && d->mass != nullptr ? *d->mass : 0.0;
}

// --- joints ----------------------------------------------------------------------

// Entries of a joint's motion record (n = velocity coordinates). The first 15
// follow the record's fixed order; the last ones are the articulated-body work.
enum MotionEntry : int {
  kMotionVelocityProduct,     // c (6)
  kMotionBias,                // bias force of the outboard body (6)
  kMotionWorkA,               // n: reduced joint force u
  kMotionWorkB,               // n: D⁻¹·u
  kMotionArticulatedBias,     // force passed inwards (6)
  kMotionSubspace,            // S (6 x n)
  kMotionVelocity,            // outboard spatial velocity (6)
  kMotionArticulatedInertia,  // P (6x6)
  kMotionOffset,              // r, form 2 (3)
  kMotionTransformInwards,    // P passed inwards, transported (6x6)
  kMotionInverseInertia,      // D⁻¹ (n x n)
  kMotionBuffer,              // second velocity buffer / force accumulator (6)
  kMotionSubspaceRate,        // dS/dt (6 x n)
  kMotionRelativeVelocity,    // relative linear velocity, form 3 (3)
  kMotionAcceleration,        // outboard spatial acceleration (6)
  kMotionProjectedInertia,    // U = P·S_f (6 x n)
  kMotionUnitRate,            // unit-rate / rate vector of the Jacobian operators (n)
  kMotionGeneralisedForce,    // generalised force of the Jacobian operators (n)
  kMotionForceAccumulator,    // spatial force accumulator of the Jacobian operators (6)
  kMotionJointInertia,        // D = S_fᵀ·P·S_f (n x n), kept for the inversion
  kMotionEntryCount,
};

enum ForceEntry : int {
  kForceJoint,     // applied joint forces (n)
  kForceReaction,  // reactions (n)
  kForceSpatial,   // reaction force and moment at the joint (6)
  kForceChildren,  // forces of the child chains (6)
  kForceEntryCount,
};

// Methods of a general joint (its method record).
enum JointMethod : int {
  kJointLoadArray,
  kJointUnlockAxes,
  kJointIcActuated,
  kJointPutPositionState,
  kJointPutVelocityState,
  kJointSetupMotionArrays,
  kJointSetupInitialState,
  kJointHaveMotionDrivers,
  kJointUpdateMotionArrays,
  kJointCorrectMotionArrays,
  kJointReleaseMotionDrivers,
  kJointExtractPositionState,
  kJointExtractVelocityState,
  kJointPutPositionDerivatives,
  kJointPutVelocityDerivatives,
  kJointQuaternionEquations,
  kJointKinematicInputs,
  kJointDynamicInputs,
  kJointModeVector,
  kJointZeroCrossing,
  kJointEventInputs,
  kJointSpherical,
  kJointKinematicOutputs,
  kJointDynamicOutputs,
  kJointPositionParameters,
  kJointVelocityParameters,
  kJointMethodCount,
};

// The general-joint record (the joint's kind part).
struct EngineGeneralJoint {
  double timeStamp;  // -realmax: no update yet
  const double* linearTolerance;
  const double* angularTolerance;
  const double* time;
  IndexList* prismaticIndices;
  IndexList* revoluteIndices;
  IndexList* sphericalIndices;
  IndexList* primitiveNumbers;  // per position index: its revolute or prismatic running number
  IndexList* modes;             // stiction mode per primitive
  EngineMatrix* sphericalRows;
  EngineMatrix* sphericalSquare;
  EngineMatrix* displacements;           // initial displacement per prismatic primitive
  EngineMatrixList* prismaticAxes;       // in the joint's zero-position frame
  EngineMatrixList* prismaticAxesWorld;  // as described
  EngineMatrixList* revoluteAxes;
  EngineMatrixList* revoluteAxesWorld;
  double baseOffset[3];  // base frame in the inboard body's frame
  double baseTurn[4];    // inboard body frame to the joint's zero position (2x2)
  EngineMethod methods[kJointMethodCount];
};

struct EngineJointRotation {
  std::int32_t hasSpherical;
  std::int32_t quaternionCount;
  double rotation[9];  // outboard body rotation (2D: 2x2 in entries 0..3)
  double position[3];  // outboard body reference point, world
  double translation[3];
  EngineMatrix* positions;
  EngineMatrix* velocities;
  EngineMatrix* accelerations;
  EngineGeneralJoint* general;
};

// --- constraints -----------------------------------------------------------------

enum AttachmentEntry : int {
  kAttachBaseVector,        // base attachment rotated into the common frame (form 2)
  kAttachFollowerVector,    // follower attachment rotated (form 2)
  kAttachBasePosition,      // world position of the base attachment point
  kAttachFollowerPosition,  // world position of the follower attachment point
  kAttachBaseRate,          // rate of the rotated base vector (form 3)
  kAttachFollowerRate,      // rate of the rotated follower vector (form 3)
  kAttachmentCount,
};

// Equation modes.
enum EquationMode : std::int32_t {
  kEquationNone = 0,
  kEquationHolonomic = 1,
  kEquationVelocity = 2,
  kEquationHolonomicDriver = 3,
  kEquationVelocityDriver = 4,
  kEquationInactiveDriver = 5,
};

// A constraint's equations; blocks store entry (component k, equation e) at k·n + e.
struct EngineEquationSet {
  std::int32_t n;
  double* velocityRhs;    // n
  double* baseEquations;  // 3n as written
  double* followerEquations;
  double* residual;      // n
  double* baseJacobian;  // 3n after the attachment transforms
  double* followerJacobian;
  double* accelerationRhs;  // n
  double* baseDerivative;   // 3n as written
  double* followerDerivative;
  double* baseJacobianRate;  // 3n after the transforms
  double* followerJacobianRate;
  IndexList* redundancyPositions;
  IndexList* modes;
  IndexList* active;
  IndexList* saved;
  double* multipliers;  // n: the last multiplier per equation (force outputs)
};

enum ConstraintMethod : int {
  kConstraintUnlockAxes,
  kConstraintTorque,
  kConstraintTestEquations,
  kConstraintIcActuated,
  kConstraintEventTest,
  kConstraintHaveMotionDrivers,
  kConstraintToggleIc,
  kConstraintDrivingInfo,
  kConstraintUpdateMotionArrays,
  kConstraintSetupMotionArrays,
  kConstraintSetupInitialState,
  kConstraintZeroCrossing,
  kConstraintPositionEquations,
  kConstraintVelocityEquations,
  kConstraintAccelerationEquations,
  kConstraintPositionParameters,
  kConstraintVelocityParameters,
  kConstraintAccelerationParameters,
  kConstraintModeVector,
  kConstraintEventInputs,
  kConstraintKinematicInputs,
  kConstraintKinematicOutputs,
  kConstraintDynamicInputs,
  kConstraintDynamicOutputs,
  kConstraintPower,
  kConstraintMethodCount,
};

// The primitive-equation record: the equation families chosen by the counts.
enum PrimitiveEquationMethod : int {
  kRevoluteTest,
  kRevoluteAngle,
  kRevolutePosition,
  kRevoluteVelocity,
  kRevoluteAcceleration,
  kPrismaticTest,
  kPrismaticPosition,
  kPrismaticVelocity,
  kPrismaticAcceleration,
  kPrimitiveEquationCount,
};

struct EngineGeneralConstraint {
  double timeStamp;
  const double* linearTolerance;
  const double* angularTolerance;
  const double* time;
  std::int32_t numRevolute;
  std::int32_t numPrismatic;
  IndexList* revoluteIndices;
  IndexList* prismaticIndices;
  IndexList* drivenCoordinates;
  IndexList* drivenPositions;  // motion arrays of the constraint's primitives
  IndexList* drivenVelocities;
  IndexList* freePositions;
  IndexList* freeVelocities;
  IndexList* modes;         // stiction mode per primitive
  EngineMatrix* positions;  // primitive coordinates (initial values, then computed)
  EngineMatrix* velocities;
  EngineMatrix* accelerations;
  EngineMatrix* offsets;  // per primitive: a prismatic one's displacement at the description
  EngineMatrixList* revoluteAxes;
  // Each prismatic axis is fixed to the body of one side (see
  // prismaticAxisSide): kept in that body's frame, turned with it into world
  // axes at every position step, and their rates at every velocity step.
  EngineMatrixList* prismaticAxes;
  EngineMatrixList* turnedPrismaticAxes;
  EngineMatrixList* prismaticAxisRates;
  // In-plane normal of a single prismatic primitive: in its body's frame,
  // turned, and its rate.
  double prismaticNormal[2];
  double turnedPrismaticNormal[2];
  double prismaticNormalRate[2];
  double revoluteFrames[4];  // (1, 0) and (0, s) of a single revolute primitive
  double axisSign;           // +1 / -1 of the single revolute primitive's axis
  double sine;               // sine and cosine products of the revolute angle
  double cosine;
  std::uint8_t icSwitch;  // initial-condition equations on
  // Attachment points and frames in the frames of the two bodies.
  double baseAttachment[3];
  double followerAttachment[3];
  double baseTurn[4];      // constraint base frame in the base body's frame (2x2)
  double followerTurn[4];  // constraint follower frame in the follower body's frame
  // Primitive axis matrix A (3 rows, one column per primitive, entry (k, j) at
  // k·L + j), its time derivative in the same layout, and the pivoted factor
  // of A_fᵀ·A_f over the free columns.
  EngineMatrix* axisMatrix;
  EngineMatrix* axisRates;
  EngineMatrix* normalFactor;          // L x L
  EngineMatrix* qraux;                 // L
  EngineMatrix* work;                  // 3L
  IndexList* pivots;                   // L
  // A_fᵀ·A_f as formed now, and the one whose factor normalFactor holds
  // (factoredCount free columns; -1 before the first factoring): a closure
  // whose axes do not move keeps its factor instead of forming it again.
  EngineMatrix* normalMatrix;          // L x L
  EngineMatrix* factoredNormal;        // L x L
  std::int32_t factoredCount;
  std::int32_t numPrismaticEquations;  // rows of the translation part
  EngineMethod methods[kConstraintMethodCount];
  EngineMethod equationMethods[kPrimitiveEquationCount];
};

// --- kinematic data ----------------------------------------------------------------

enum KinematicFlag : int {
  kFlagStabilisePositions,   // stabilise2D takes the Cholesky path (set for the stabilising solver)
  kFlagVelocitiesProjected,  // projectVelocity changed the velocities
  kFlagUnused,
  kFlagAccelerationFactor,  // the acceleration projection's factor is valid; cleared every step
};

// The Cholesky factor of G = J·A⁻¹·Jᵀ over all active equations that the
// stabilisation formed last, with a copy of everything G was formed from
// (see gatherMassMatrixInputs). The next step's multipliers use the factor
// only when what G would be formed from now is bit for bit the same.
struct KeptMassMatrixFactor {
  std::int32_t valid;
  std::int32_t rows;
  std::int32_t inputCount;  // doubles in `inputs`
  std::int32_t capacity;    // room in `inputs` and `current`
  double oneNorm;           // of G before factoring
  double* inputs;           // capacity
  double* current;          // capacity: the inputs gathered for a comparison
  double* factor;           // M x M
};

// The joint coordinates the last position and velocity sweeps were made at.
// The stabilisation skips its first position sweep after the kinematics
// step's, and the kinematics step right after a post step skips both sweeps,
// when the coordinates and the time are the same bit for bit.
struct SweptCoordinates {
  std::uint8_t positionsCurrent;   // the placements belong to the present positions
  std::uint8_t velocitiesCurrent;  // ... and the velocities, swept after them, to the present ones
  std::int32_t positionCount;
  std::int32_t velocityCount;
  double time;        // of the position sweep
  double* positions;  // positionCount; null when the data has no work arrays
  double* velocities;  // velocityCount
};

// What ricatti2D made the present articulated inertias from besides the
// placements: per joint its free coordinates and what its body hands the
// 2D spatial-inertia builder (mass, world centre of mass, zz inertia).
// `madeAtPlacements`: the last ricatti2D ran after the last position sweep.
// `recorded`: `inputs` hold what that ricatti2D read (the stabilisation
// records them at its end, see recordArticulatedInertiaInputs). A ricatti2D
// with the record standing and bit-identical inputs would form the same
// factors and keeps them.
struct KeptArticulatedInertia {
  std::uint8_t madeAtPlacements;
  std::uint8_t recorded;
  std::int32_t capacity;  // room in `inputs` and `gathered`
  std::int32_t inputCount;
  double* inputs;    // capacity; null when the data has no work arrays
  double* gathered;  // capacity: the inputs gathered for a comparison
};

// The state values the last unpackState read (it is skipped while the
// joints still hold them, see unpackState).
struct UnpackedState {
  std::uint8_t valid;
  std::uint8_t keep;      // its `keep` argument
  std::int32_t count;     // values read
  std::int32_t capacity;  // room in `values`
  double* values;         // null when the data has no work arrays
};

struct EngineKinematicData {
  std::uint8_t flags[4];  // KinematicFlag
  double timeStamp;
  std::int32_t initialActiveCount;    // active constraints of the initial configuration
  std::int32_t perturbedActiveCount;  // ... after the perturbation test
  std::int32_t numJointEquations;     // D
  std::int32_t numEquations;          // E (all constraint equations)
  std::int32_t activeCount;           // a_all
  std::int32_t positionActiveCount;   // a_pos
  std::int32_t numPositionValues;     // V
  std::int32_t maxDimension;          // M = max(V, E)
  std::uint8_t redundancyFound;
  std::uint8_t perturbationTest;
  double homotopyWeight;  // w of the position error (0 at creation)
  // Work arrays (null when E + D is 0).
  double* residual;
  double* step;
  double* rightHandSide;
  double* multipliers;
  double* scaledStep;
  double* work1;              // M
  double* work2;              // M
  std::int32_t* pivots;       // M
  std::int32_t* savedPivots;  // M
  double* savedPositions;     // V
  double* trialPositions;     // V
  double* trialVelocities;    // V
  double* jacobian;           // (E + D) x V
  double* normalMatrix;       // M x M
  double* startResidual;      // E + D: the homotopy's starting residual t
  double* trialResidual;      // E + D
  double* solverStep;         // V: the nonlinear solver's step d
  double* solverGradient;     // V: Jᵀ·f
  KeptMassMatrixFactor keptFactor;
  SweptCoordinates swept;
  KeptArticulatedInertia keptInertia;
  UnpackedState unpacked;
};
static_assert(offsetof(EngineKinematicData, flags) == 0);

// --- accessors ---------------------------------------------------------------------

inline bool is2D(const EngineMechanism* mechanism) {
  return mechanism->allowedSimulationDimensions == kEngineDimension2D;
}
inline EngineChain* groundChain(const EngineMechanism* mechanism) {
  return mechanism->chains[mechanism->numChains - 1];
}
inline bool isGroundChain(const EngineMechanism* mechanism, int chain) {
  return chain == mechanism->numChains - 1;
}
// The frames of a joint on its outboard and inboard bodies: a reversed joint
// has its base side on the outboard body.
inline const EngineAttachment& outboardSide(const EngineJoint* joint) {
  return joint->reversed ? joint->base : joint->follower;
}
inline const EngineAttachment& inboardSide(const EngineJoint* joint) {
  return joint->reversed ? joint->follower : joint->base;
}

// A described frame, or the identity at the origin when the side has none.
inline const double* framePosition(const EngineAttachment& side) {
  static constexpr double kOrigin[3] = {0, 0, 0};
  return side.position != nullptr ? side.position : kOrigin;
}
inline const double* frameRotation(const EngineAttachment& side) {
  static constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  return side.rotation != nullptr ? side.rotation : kIdentity;
}

// The joint whose rotation record places the inboard body of joint k.
inline EngineJoint* inboardPlacement(const EngineChain* chain, int k) {
  return k + 1 < chain->numJoints ? chain->joints[k + 1] : chain->parent->joints[0];
}
inline EngineGeneralJoint* generalOf(const EngineJoint* joint) {
  return joint->rotation != nullptr ? joint->rotation->general : nullptr;
}
inline double* motionData(const EngineJoint* joint, MotionEntry entry) {
  return joint->motion[entry]->data;
}
inline double* jointPositions(const EngineJoint* joint) {
  return joint->rotation->positions->data;
}
inline double* jointVelocities(const EngineJoint* joint) {
  return joint->rotation->velocities->data;
}
inline double* jointAccelerations(const EngineJoint* joint) {
  return joint->rotation->accelerations->data;
}
inline double* bodyData(const EngineBody* body, BodyDynamicEntry entry) {
  return body->dynamic[entry]->data;
}
inline double* attachmentData(const EngineConstraint* constraint, AttachmentEntry entry) {
  return constraint->attachment[entry]->data;
}
// The mode of primitive i of a joint or constraint (stiction primitives only).
inline std::int32_t jointMode(const EngineJoint* joint, int i) {
  return generalOf(joint)->modes->indices[i];
}

// Calls a method of a record when present; false (success) when empty.
template <typename Signature, typename... Args>
bool callRecordMethod(EngineMethod method, Args... args) {
  return method != nullptr && methodAs<Signature>(method)(args...);
}

// Visits every joint of every chain in table order (chain 0 first, joint 0
// first); stops at the first visit that returns true and returns true.
template <typename Visit>
bool forEachJoint(const EngineMechanism* mechanism, Visit visit) {
  for (int c = 0; c < mechanism->numChains; ++c) {
    EngineChain* chain = mechanism->chains[c];
    for (int k = 0; k < chain->numJoints; ++k) {
      if (visit(chain->joints[k], c, k)) return true;
    }
  }
  return false;
}

// Visits the records that own signal ports, in the order the ports are laid
// out: the joints of every chain but the ground chain (chain 0 first, joint 0
// first) with the body each joint carries, then the general constraints.
// Stops at the first visit that returns true and returns true.
template <typename VisitJoint, typename VisitConstraint>
bool forEachSignalRecord(EngineMechanism* mechanism, VisitJoint visitJoint,
                         VisitConstraint visitConstraint) {
  for (int c = 0; c + 1 < mechanism->numChains; ++c) {
    EngineChain* chain = mechanism->chains[c];
    for (int k = 0; k < chain->numJoints; ++k) {
      EngineBody* body = chain->bodies != nullptr ? chain->bodies[k] : nullptr;
      if (visitJoint(body, chain->joints[k])) return true;
    }
  }
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    if (constraint->general != nullptr && visitConstraint(constraint)) return true;
  }
  return false;
}

// Records "Error originates in Mechanical block %s. Insufficient memory for
// data structure allocation." for the block; returns true.
bool reportBlockOutOfMemory(const char* blockName);
// Records the model-level out-of-memory message; returns true.
bool reportModelOutOfMemory();

// A 2x2 rotation (column-major) read from 3x3 storage (entries 0..3).
inline void rotate2(const double* rotation, const double* v, double* out) {
  const double x = rotation[0] * v[0] + rotation[2] * v[1];
  const double y = rotation[1] * v[0] + rotation[3] * v[1];
  out[0] = x;
  out[1] = y;
}
// The 2x2 rotation by angle (column-major, into 3x3 storage entries 0..3).
void setPlaneRotation(double* rotation, double angle);
// out = a·b for 2x2 rotations (entries 0..3); out may alias neither.
void multiplyRotations(const double* a, const double* b, double* out);
