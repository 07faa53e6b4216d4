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
