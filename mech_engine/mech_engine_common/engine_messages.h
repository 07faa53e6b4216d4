// Texts of the engine's own messages, each written once.
#pragma once

inline constexpr const char* kMessageModelOutOfMemory =
    "Error originates in a Mechanical model. Insufficient memory for data structure allocation.";

inline constexpr const char* kMessage3DDisabled =
    "Error originates in Mechanical block %s. This block is configured for 3D simulation, but 3D "
    "simulation is disabled. Either enable 3D simulation mode, replace this block with one that "
    "can run in 2D mode, or reconfigure this block for 2D simulation, if possible.";

// Engine faults that the original messages do not cover.
inline constexpr const char* kMessageUnknownJointKind =
    "Error originates in Mechanical block %s. The joint kind %i is not known to the engine.";
inline constexpr const char* kMessageUnknownConstraintKind =
    "Error originates in Mechanical block %s. The constraint kind %i is not known to the engine.";
inline constexpr const char* kMessageMissingTransform =
    "Error originates in Mechanical block %s. No method maps this block into the plane of motion.";
inline constexpr const char* kMessageTransformBufferFull =
    "Error originates in a Mechanical model. More data was transformed into the plane of motion "
    "than was reserved.";
inline constexpr const char* kMessageNoDimensionAllowed =
    "Error originates in a Mechanical model. Neither 2D nor 3D simulation is enabled.";

inline constexpr const char* kMessageBlockOutOfMemory =
    "Error originates in Mechanical block %s. Insufficient memory for data structure allocation.";

inline constexpr const char* kMessageAlignedPrismaticAxes =
    "Error originates in Mechanical block %s. Prismatic axes in this joint are aligned, within "
    "tolerance. The motion is singular. Reconfigure the prismatic axes to be not aligned.";

// Two prismatic axes of a general constraint that came within tolerance of
// each other as the bodies moved.
inline constexpr const char* kMessageSingularPrismaticAxes =
    "Error originates in Mechanical block %s. The prismatic axes in this joint are aligned, within "
    "tolerance. The motion is singular. Consider using another joint or a (massless) body between "
    "the aligned axes.";

inline constexpr const char* kMessageFramesOffAxis =
    "Error originates in Mechanical block %s. The coordinate systems attached to this joint must "
    "lie on the prismatic axis (for 1 axis) or in the plane of the prismatic axes (for 2 axes). If "
    "joint has no prismatic axes, the attached coordinate systems must be collocated, within "
    "tolerances.";

inline constexpr const char* kMessageNoDegreesOfFreedom =
    "Mechanical model has no DoFs. Check constraints, drivers, and DoFs.";

inline constexpr const char* kMessageRevoluteAngle =
    "Error originates in Mechanical block %s. Unable to compute the rotation angle of this "
    "revolute joint. Check for singularities.";

inline constexpr const char* kMessageConstraintViolated =
    "Error originates in Mechanical block %s. A constraint has been violated. Check constraint "
    "solver type and tolerances in the Machine Environment block and Blocvane solver and "
    "tolerances in Configuration Parameters. Check for kinematic singularities.";

inline constexpr const char* kMessageConstraintViolatedSingular =
    "Error originates in Mechanical block %s. A constraint has been violated. Check constraint "
    "solver type and tolerances in the Machine Environment block and Blocvane solver and "
    "tolerances in Configuration Parameters. Check for kinematic singularities.\n\nThe "
    "constraints on the initial configuration of this mechanism are singular. There were %i "
    "active constraints in the initial configuration, but machine initialization indicates that "
    "perturbing the initial configuration changes these to %i active constraints.";

inline constexpr const char* kMessageSingularMass =
    "Error originates in Mechanical block %s. The motion is singular (the mass matrix is "
    "singular). Check the mass properties and joint axes of the attached bodies.";

inline constexpr const char* kMessageVelocityInconsistent =
    "Mechanical model velocity constraints are inconsistent. Check constraints, stiction "
    "actuators, and DoFs. Joint(s) with stiction might have locked at or near a kinematic "
    "singularity.";

inline constexpr const char* kMessageAccelerationInconsistent =
    "Mechanical model acceleration constraints are inconsistent. Check constraints, stiction "
    "actuators, and DoFs. Joint(s) with stiction might have locked at or near a kinematic "
    "singularity.";

inline constexpr const char* kMessageOverdeterminedDriver =
    "Error originates in Mechanical block %s. The motion is overdetermined by redundant driver(s) "
    "applied to this joint. Remove redundant driver(s). If there are no redundant drivers, "
    "consider modifying the Redundancy Analysis Tolerance.";
// The block named when no joint owns an over-determining driven column.
inline constexpr const char* kUnknownBlockName = "unknown block";

// Notes of the redundancy analysis (printed through formatWarning when verbose).
inline constexpr const char* kNoteRedundantPositionEquation =
    "The %d position constraint equation associated with block: %s was redundant";
inline constexpr const char* kNoteRedundantPositionEquations =
    "The %d position constraint equations associated with block: %s were redundant";
inline constexpr const char* kNoteRedundantVelocityEquations =
    "Redundant velocity constraint equations have been detected in block: %s";

inline constexpr const char* kMessageKinematicsNotSpecified =
    "Mechanical model motion is not completely specified when running in kinematics mode. To be "
    "legal in kinematics mode, all independent degrees of freedom must be kinematically actuated. "
    "Check joints, constraints, drivers, actuators, and DoFs.";
// The assembly analysis retries when a failure's text starts with this many
// bytes of kMessageKinematicsNotSpecified.
inline constexpr int kKinematicsNotSpecifiedCompared = 241;

// Warnings of the assembly's perturbation test (singular and plural).
inline constexpr const char* kWarningPerturbedActiveConstraint =
    "Warning: The initial configuration has %i active constraint, but a perturbation of the "
    "initial configuration has %i constraints. \n";
inline constexpr const char* kWarningPerturbedActiveConstraints =
    "Warning: The initial configuration has %i active constraints, but a perturbation of the "
    "initial configuration has %i constraints. \n";
