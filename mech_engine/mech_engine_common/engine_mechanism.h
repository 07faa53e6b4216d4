// The mechanism record the model builds and the engine completes, with the
// description records it points to.
//
// The model owns every record here (static storage); the engine fills some
// fields and allocates only the method tables and the work records of bodies,
// joints, constraints and kinematic data. Methods return a byte-sized truth
// value: true means failure, with the engine error record set.
#pragma once

#include <cstdint>

#include "mech_engine_common/engine_allocation.h"

struct MechanismMethods;
struct EngineKinematicData;
struct EngineMechanism;
// Work records the engine attaches to the description (engine_records.h).
struct EngineJointRotation;
struct EngineEquationSet;
struct EngineGeneralConstraint;
using EngineMethod = void (*)();

// Bit values of allowedSimulationDimensions; after the dimension decision the
// field holds exactly one of them.
inline constexpr std::int32_t kEngineDimension2D = 4;
inline constexpr std::int32_t kEngineDimension3D = 8;

// Joint kind codes of the description.
enum EngineJointKind : std::int32_t {
  kJointScrew = 1,
  kJointGeneral = 2,
  kJointRevoluteRevolute = 3,
  kJointRevoluteSpherical = 4,
  kJointSphericalSpherical = 5,
};

// Constraint kind codes of the description (1..17).
enum EngineConstraintKind : std::int32_t {
  kConstraintConstantVelocity = 1,
  kConstraintGear = 2,
  kConstraintScrew = 3,
  kConstraintGeneral = 4,
  kConstraintParallel = 5,
  kConstraintPointCurve = 6,
  kConstraintAngleDriver = 7,
  kConstraintLinearDriver = 8,
  kConstraintDistanceDriver = 9,
  kConstraintDisassembledWeld = 10,
  kConstraintRevoluteRevolute = 11,
  kConstraintRevoluteSpherical = 12,
  kConstraintSphericalSpherical = 13,
  kConstraintDisassembledRevolute = 14,
  kConstraintDisassembledCylindric = 15,
  kConstraintDisassembledPrismatic = 16,
  kConstraintDisassembledSpherical = 17,
};

// Primitive kind codes of general joints and general constraints. Code 15 in a
// primitive list marks a primitive that cannot run in the plane.
enum EnginePrimitiveKind : std::int32_t {
  kPrimitiveWeld = 1,
  kPrimitiveRevolute = 2,
  kPrimitivePrismatic = 3,
  kPrimitiveSpherical = 4,
  kPrimitiveNonPlanar = 15,
};

// Primitive actuation, stiction and initial-condition codes.
enum EnginePrimitiveCode : std::int32_t {
  kActuationMotionDriven = 3,
  kActuationFree = 6,
  kActuationForce = 7,
  kStictionActuated = 2,
  kInitialConditionActuated = 3,
};

// One primitive of a general joint or general constraint, in description order.
struct EnginePrimitive {
  std::int32_t kind{};              // EnginePrimitiveKind
  std::int32_t actuation{};         // EnginePrimitiveCode
  std::int32_t stiction{};          // kStictionActuated or 0
  std::int32_t initialCondition{};  // kInitialConditionActuated or 0
  double axis[3]{};                 // unit axis of a revolute or prismatic primitive
  double initialPosition{};
  double initialVelocity{};
  double factor{1.0};  // multiplies the primitive's force/torque input (actuation 7)
};

// Sensor codes of joint, constraint and body sensor entries.
enum EngineSensorCode : std::int32_t {
  kSensorOrientation = 1,
  kSensorForce = 3,  // computed force/torque of a primitive
  kSensorPosition = 8,
  kSensorVelocity = 9,
  kSensorAccelerationValue = 11,
  kSensorAngularRate = 12,
  kSensorReactionForce = 14,
  kSensorReactionTorque = 15,
};

// One sensor entry. Joint and constraint sensors name a primitive; body
// sensors a point of the body. Every value written is multiplied by scale[0].
struct EngineSensor {
  std::int32_t code{};            // EngineSensorCode
  std::int32_t primitiveIndex{};  // joint and constraint sensors
  const double* scale{};          // scale factor (first entry used)
  double* position{};             // body sensors: offset from the body's reference point (3)
  double* transform{};            // 3x3 output frame; every sensor has one
};

// One side of a joint or constraint: the coordinate system on that side's
// body, in world coordinates at the described configuration.
struct EngineAttachment {
  double* position{};    // world position of the coordinate system (3)
  double* rotation{};    // its world rotation (3x3, column-major)
  double* attachment{};  // position minus the reference position of the side's body (3)
};

// Description head of a joint. The work parts of the joint (coordinate counts,
// rotation, index lists, motion and force records) are added by the engine's
// joint creation and follow the description fields.
struct EngineJoint {
  const char* blockName{};
  std::int32_t kind{};  // EngineJointKind
  std::int32_t numPrimitives{};
  EnginePrimitive* primitives{};
  std::int32_t numActuators{};
  std::int32_t numSensors{};
  // The two sides as the block connects them (base first). In a chain the
  // joint moves its outboard body relative to its inboard body; when the base
  // side is the outboard body the joint is reversed and its coordinates,
  // inputs and outputs change sign.
  EngineAttachment base{};
  EngineAttachment follower{};
  double* jointVector{};  // follower position minus base position (3)
  std::uint8_t reversed{};
  std::uint8_t linked{};
  std::uint8_t fixed{};
  EngineSensor* sensors{};  // numSensors entries

  // Work parts (made by createEngineJoint, freed by destroyEngineJoint).
  const double* time{};
  std::int32_t numPositions{};   // position coordinates
  std::int32_t numVelocities{};  // velocity coordinates
  std::int32_t actuatedFlag{};   // 1 when a primitive is force-actuated
  EngineJointRotation* rotation{};
  IndexList* drivenPositions{};
  IndexList* drivenVelocities{};
  IndexList* freePositions{};
  IndexList* freeVelocities{};
  EngineMatrix** motion{};  // the motion record (MotionEntry order)
  EngineMatrix** force{};   // the force record (ForceEntry order)
};

// A cubic segment of a point-curve constraint: per coordinate the
// coefficients (a, b, c, d) of a·t³ + b·t² + c·t + d.
struct EngineCurveSegment {
  double coefficients[3][4];
};

// Description head of a constraint (loop-closing connection between the joint
// records on its base and follower sides).
struct EngineConstraint {
  const char* blockName{};
  std::int32_t kind{};  // EngineConstraintKind
  std::int32_t numPrimitives{};
  EnginePrimitive* primitives{};
  std::int32_t numActuators{};
  std::int32_t numSensors{};
  EngineJoint* baseJoint{};      // its outboard body is the constraint's base body
  EngineJoint* followerJoint{};  // its outboard body is the constraint's follower body
  // Vectors of the kinds other than the general constraint, 3 doubles each:
  // constant-velocity: two normals, then the two attachment vectors; gear: two
  // normals; parallel and angle driver: two vectors; linear driver: one.
  std::int32_t numKindVectors{};
  double* kindVectors{};
  // Point-curve constraint: the curve's cubic segments.
  std::int32_t numCurveSegments{};
  EngineCurveSegment* curveSegments{};
  // The two coordinate systems the constraint joins, on the outboard bodies
  // of baseJoint and followerJoint.
  EngineAttachment base{};
  EngineAttachment follower{};
  double* jointVector{};      // follower position minus base position (3)
  double equationScale{1.0};  // scale factor of the constraint's equations
  EngineSensor* sensors{};    // numSensors entries

  std::uint8_t linked{};  // its stiction primitives switch together (0 in the ramp)

  // Work parts (made by createEngineConstraint2D).
  const double* time{};
  EngineMatrix** attachment{};  // six 3-vectors (AttachmentEntry order)
  EngineEquationSet* equations{};
  EngineMatrix** primitiveRecord{};  // constraint force, moment, two primitive vectors
  EngineGeneralConstraint* general{};
};

// Kinds of the entries of a body's input lists: applied loads (actuators)
// and variable mass properties.
enum EngineBodyInputKind : std::int32_t {
  kBodyInputForce = 2,           // 3 values
  kBodyInputTorque = 3,          // 3 values
  kBodyInputForceAndTorque = 4,  // 6 values: torque, then force
  kBodyInputPointMass = 5,       // 1 value
  kBodyInputInertia = 6,         // 9 values
  kBodyInputMassAndInertia = 7,  // 10 values: mass, then inertia
};

// One entry of a body's input lists; each reads its values from the dynamics
// block's input signals in description order.
struct EngineBodyInput {
  std::int32_t kind{};    // EngineBodyInputKind
  double* position{};     // point of application: offset from the body's reference point (3)
  double* rotation{};     // frame of the values (3x3); null: the body's rotation
  const double* scale{};  // null: values taken as they come
};

// What the description says about one body; all vectors in world
// coordinates at the described configuration.
struct EngineBodyDescription {
  double* mass{};          // 1
  double* inertia{};       // 3x3 about the reference point
  double* centreOfMass{};  // offset of the centre of mass from the reference point (3)
  double* position{};      // world position of the reference point (3)
  double* rotation{};      // 3x3 body rotation
  std::int32_t numActuators{};
  EngineBodyInput* actuators{};
  std::int32_t numMassInputs{};
  EngineBodyInput* massInputs{};
  std::int32_t numSensors{};
  EngineSensor* sensors{};
};

// Description head of a body; the reference point is where the body meets its
// parent in the spanning tree. The engine's body creation adds the work parts.
struct EngineBody {
  const char* blockName{};
  EngineBodyDescription* description{};
  EngineBody* parent{};

  // Work parts (made by createEngineBody).
  EngineMatrix** dynamic{};  // the dynamic record (BodyDynamicEntry order)
  EngineMethod* methods{};   // spatial-inertia builder, force input, sensor output
};

// Order of the articulated-inertia recursion: leaf chains alone, then branch
// chains, each with the chains attached to its tip. Chain numbers index
// EngineMechanism::chains.
struct EngineBranchChain {
  std::int32_t chain{};
  std::int32_t numChildren{};
  const std::int32_t* children{};
};

struct EngineSweepOrder {
  std::int32_t numLeafChains{};
  const std::int32_t* leafChains{};
  std::int32_t numBranchChains{};
  const EngineBranchChain* branchChains{};
};

// A run of joint/body pairs: index numJoints-1 is the base (attached to the
// tip of the parent chain), index 0 the tip. The last chain is the ground chain.
struct EngineChain {
  std::int32_t numJoints;
  EngineBody** bodies;
  EngineJoint** joints;
  EngineChain* parent;
};

// Analysis modes.
enum EngineAnalysisMode : std::int32_t {
  kAnalysisTrimming = 1,
  kAnalysisDynamics = 2,
  kAnalysisKinematics = 3,
  kAnalysisInputOutputOnly = 4,
};

// Constraint solver kinds: 1 stabilises; any other value projects.
inline constexpr std::int32_t kConstraintSolverStabilising = 1;

struct MachineEnvironment {
  std::int32_t reserved[2];
  std::int32_t numStates;
  std::int32_t numKinematicInputs;
  std::int32_t numKinematicOutputs;
  std::int32_t numDynamicInputs;
  std::int32_t numDynamicOutputs;
  std::int32_t numEventInputs;
  std::uint8_t hasEvents;
  std::uint8_t kinematicRequest[7];  // kinematicRequest1 .. kinematicRequest7
  double relativePositionTolerance;
  double absolutePositionTolerance;
  double constraintTolerance;
  double linearAssemblyTolerance;
  double angularAssemblyTolerance;
  std::int32_t redundancyToleranceMode;
  double redundancyTolerance;
  const char* groundName;
  EngineMatrix* environmentVector;
  EngineSweepOrder* sweepOrder;
  std::int32_t analysisMode;  // EngineAnalysisMode
  std::int32_t constraintSolverKind;
  std::uint8_t methodFlag;
  double methodTolerance;
};

using EngineMechanismDestroy = void (*)(EngineMechanism* mechanism);
using EngineParameterCallback = bool (*)(EngineMechanism* mechanism, const double* parameters,
                                         char* errorText, int errorTextSize);

struct EngineMechanism {
  std::int32_t numChains;
  std::int32_t numConstraints;
  std::uint8_t isCreated;
  std::uint8_t* blockWork;  // work area of the block that last fetched the mechanism
  std::uint8_t skipBlockJacobians;
  EngineMechanismDestroy destroy;
  double time;
  std::uint8_t environmentFlag;
  double* stateVector;
  MechanismMethods* methods;
  EngineChain** chains;
  EngineConstraint** constraints;
  MachineEnvironment* environment;
  EngineKinematicData* kinematicData;
  std::int32_t descriptionCount;
  double* descriptionTable;
  std::int32_t allowedSimulationDimensions;  // kEngineDimension2D | kEngineDimension3D
  std::uint8_t verbose;
  // The stabilisation recorded the coordinates its last sweeps were made at
  // (kinematic data's `swept`), and no other entry point has run since.
  std::uint8_t sweepsRecorded;
  // A kinematics step made (or kept) the sweeps, and since then only the
  // dynamics steps have run: they write nothing a sweep makes but the same
  // centres of mass and velocity products.
  std::uint8_t kinematicsStepSwept;
  EngineMatrixList* planeTransform;  // one 3x3 matrix, made in 2D
  EngineMatrix* transform2D;
  std::uint8_t* descriptionFlags;
  EngineParameterCallback parameterCallback;

  // Engine-owned stand-in for a missing transform2D in 2D: a 3x3 identity that
  // creation points transform2D at and destroy detaches again.
  EngineMatrix identityTransform2D;
  double identityTransform2DData[9];
};

// Byte of the block work area that createEngineMechanism clears.
inline constexpr int kBlockWorkClearedByte = 24;

// The kinematic data record (built by createKinematicData) starts with four
// flag bytes; the kinematics step clears the fourth at every call.
inline constexpr int kKinematicDataStepFlagByte = 3;
