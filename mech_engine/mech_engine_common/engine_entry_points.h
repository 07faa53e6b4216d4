// The engine's front door: create and destroy a mechanism, and the five
// entry points the model calls every step. Each returns true on failure with
// the engine error record set (getEngineError).
#pragma once

#include <cstddef>
#include <cstdint>

#include "mech_engine_common/engine_mechanism.h"

inline constexpr int kMechanismBlockPortCapacity = 8;

// What an entry point reads of a mechanism block: the view starts at `time`.
struct MechanismInputView {
  double time;                  // current model time, written by the model before each call
  double startTime;             // `time` equal to it means the step is at the start time
  std::int32_t* firstCallFlag;  // kinematics: assembled flag; events: skip-first flag; else null
  std::int32_t numInputPorts;
  double** inputPorts[kMechanismBlockPortCapacity];
};

// What an entry point writes: the view starts at the byte before isMajorStep.
struct MechanismOutputView {
  std::uint8_t unused;
  std::uint8_t isMajorStep;
  std::int32_t numOutputPorts;
  double* outputPorts[kMechanismBlockPortCapacity];
};

// One mechanism block of the model (kinematics, dynamics or events).
struct MechanismBlockData {
  EngineMechanism* mechanism;
  MechanismInputView input;
  MechanismOutputView output;
};
static_assert(offsetof(MechanismBlockData, input) == sizeof(void*));
static_assert(offsetof(MechanismInputView, time) == 0);
static_assert(offsetof(MechanismInputView, startTime) == 8);
static_assert(offsetof(MechanismInputView, firstCallFlag) == 16);
static_assert(offsetof(MechanismInputView, numInputPorts) == 16 + sizeof(void*));
static_assert(offsetof(MechanismInputView, inputPorts) == 20 + sizeof(void*));
static_assert(offsetof(MechanismOutputView, isMajorStep) == 1);
static_assert(offsetof(MechanismOutputView, numOutputPorts) == 4);
static_assert(offsetof(MechanismOutputView, outputPorts) == 8);

// Completes the mechanism: dimension decision, method tables, the creation
// methods. A created mechanism is left alone (false). On failure the
// mechanism is destroyed again.
bool createEngineMechanism(EngineMechanism* mechanism);

// Frees what creation made and clears isCreated; safe on a null, uncreated or
// partly created mechanism.
void destroyEngineMechanism(EngineMechanism* mechanism);

// Chooses 2D or 3D and leaves the choice in allowedSimulationDimensions.
bool determineSimulationDimensionality(EngineMechanism* mechanism);

bool mechanismKinematicsStep(EngineMechanism* mechanism, MechanismInputView* in,
                             MechanismOutputView* out);
// The kinematics step without writing its kinematic outputs and its state
// port (the event pass-through is still written). For the minor step of a
// fixed-step Euler loop, where no block reads either.
bool mechanismKinematicsStepWithoutOutputs(EngineMechanism* mechanism, MechanismInputView* in,
                                           MechanismOutputView* out);
bool mechanismDynamicsStep(EngineMechanism* mechanism, MechanismInputView* in,
                           MechanismOutputView* out);
// The dynamics step up to the articulated inertia: inputs, environment,
// bias forces and ricatti, without multipliers, accelerations or dynamic
// outputs. For the minor step of a fixed-step Euler loop, whose derivatives
// were taken at the major step: there only the stabilisation that follows
// reads the step's dynamics, and it reads the articulated inertia.
bool mechanismArticulatedInertiaStep(EngineMechanism* mechanism, MechanismInputView* in,
                                     MechanismOutputView* out);
bool mechanismEventStep(EngineMechanism* mechanism, MechanismInputView* in,
                        MechanismOutputView* out);
bool mechanismDerivatives(EngineMechanism* mechanism, double* derivatives);
bool mechanismPostStep(EngineMechanism* mechanism, MechanismInputView* in);
