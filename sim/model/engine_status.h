// Turns the engine's error record into the model's error status. Each call
// site has a text buffer of its own.
#pragma once

namespace sim {

enum class EngineCallSite : int {
  Kinematics,
  Dynamics,
  Events,
  Derivatives,
  PostStep,
  Creation,
  Count
};

// Formats the engine error record into the call site's buffer and makes it
// the model's error status.
void reportEngineError(EngineCallSite site);

}  // namespace sim
