#include "sim/model/model_instance.h"

#include <cstdint>

#include "sim/model/model_variant.h"

namespace sim {

namespace {

std::uint32_t instanceCounter = 0;
std::uint32_t instanceMarker = 0;
EngineMechanism* createdMechanism = nullptr;

}  // namespace

bool enterModelInstance() {
  const std::uint32_t marker = modelVariant().instanceMarker;
  if (instanceMarker == 0) instanceMarker = marker;
  if (instanceMarker != marker) return true;  // the guard is off
  const bool alreadyInUse = instanceCounter != 0;
  ++instanceCounter;
  return !alreadyInUse;
}

void noteMechanismCreated(EngineMechanism* mechanism) {
  createdMechanism = mechanism;
}

void leaveModelInstance() {
  if (createdMechanism != nullptr) {
    if (createdMechanism->destroy != nullptr) createdMechanism->destroy(createdMechanism);
    createdMechanism = nullptr;
  }
  if (instanceCounter > 0) --instanceCounter;
  if (instanceCounter == 0) instanceMarker = 0;
}

}  // namespace sim
