// The user-code driver blocks of the ramp model: each registration fills the
// five callbacks of a block record.
#pragma once

#include "sim/model/sim_model.h"

namespace sim {

void registerFootSendMethods(BlockRecord* block);
void registerOgreSendMethods(BlockRecord* block);
void registerRealTimeDelayMethods(BlockRecord* block);

}  // namespace sim
