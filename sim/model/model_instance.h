// The process-wide guard against a second instance of the generated model,
// and the record of whether this instance created the engine's mechanism.
#pragma once

#include "mech_engine_common/engine_mechanism.h"

namespace sim {

// Counts the instance in; false when another instance is already counted.
bool enterModelInstance();
// Remembers the mechanism this instance created, for leaveModelInstance.
void noteMechanismCreated(EngineMechanism* mechanism);
// Destroys the mechanism when this instance created it and counts the
// instance out; the counter never goes below zero.
void leaveModelInstance();

}  // namespace sim
