// Driver blocks that do nothing yet: the model registers, sizes and calls
// them, and the run goes on without viewer messages or pacing.
#include "sim/blocks/driver_blocks.h"

namespace sim {

namespace {

void noBlockWork(BlockRecord*) {}
void noBlockOutputs(BlockRecord*, int) {}

void registerIdleBlock(BlockRecord* block) {
  block->initializeSizes = &noBlockWork;
  block->initializeSampleTimes = &noBlockWork;
  block->start = &noBlockWork;
  block->outputs = &noBlockOutputs;
  block->terminate = &noBlockWork;
}

}  // namespace

void registerFootSendMethods(BlockRecord* block) {
  registerIdleBlock(block);
}
void registerOgreSendMethods(BlockRecord* block) {
  registerIdleBlock(block);
}
void registerRealTimeDelayMethods(BlockRecord* block) {
  registerIdleBlock(block);
}

}  // namespace sim
