// The signatures of the methods that the mechanism's entry points call through
// MechanismMethods slots. A method returns true on failure, after recording
// its message with setEngineError. An input port is a table of pointers to
// double signals; an output port points to the first double of its output.
#pragma once

#include <cstdint>

#include "mech_engine_common/engine_mechanism.h"

// createEngineBody, createEngineJoint, createEngineConstraint2D,
// createKinematicData, the destroy methods, positionSweep2D, velocitySweep2D,
// dynamicSweep2D, ricatti2D, lagrange2D, kinematicAcceleration2D,
// kinematicLagrange2D, stabilise2D, assemblyCheck, scaleQuaternions3D.
using MechanismMethod = bool(EngineMechanism* mechanism);

// unpackState (keep initial conditions), assemblyAnalysis (first assembly),
// external2D, acceleration2D and projectVelocity (with their switch).
using MechanismSwitchMethod = bool(EngineMechanism* mechanism, bool on);

// kinematicInputs, dynamicInputs, eventInputs (null port allowed for events).
using InputPortMethod = bool(double** port, EngineMechanism* mechanism);

// kinematicOutputs2D, dynamicOutputs (null port allowed).
using OutputPortMethod = bool(double* port, EngineMechanism* mechanism);

// updateState and updateStateDerivatives: the host's state or derivative array.
using StateVectorMethod = bool(double* vector, EngineMechanism* mechanism);

// outputConstraints2D: the two output ports after the ones already used.
using ConstraintOutputsMethod = bool(EngineMechanism* mechanism, double* first, double* second);

// updateModeVector: the seventh input port entry.
using ModeVectorMethod = bool(EngineMechanism* mechanism, double** port);

// nonlinearSolver (mechanism, tight switch, out: converged byte).
using NonlinearSolverMethod = bool(EngineMechanism* mechanism, bool tight, std::uint8_t* converged);

// positionError2D (mechanism, error vector, with the joints' own equations).
using PositionErrorMethod = bool(EngineMechanism* mechanism, double* out, bool joints);

// redundant (mechanism, driven coordinates to test, free velocity coordinates,
// total, print switch, allow redundant drivers).
using RedundantMethod = bool(EngineMechanism* mechanism, std::int32_t drivenToTest,
                             std::int32_t freeCount, std::int32_t totalCount, bool print,
                             bool allowRedundantDrivers);
