// The model's fixed data: block names, paths and parameter arrays, and the
// engine blocks' port tables.
#pragma once

#include "sim/model/sim_model.h"

namespace sim {

// Block parameters as [rows, cols, values...]. Kept in writable storage so
// that tests can point the viewer senders at a port of their own.
struct DriverBlockParameters {
  double address[2 + 9];  // "127.0.0.1" as character codes in a 1 x 9 row
  double port[3];
  double localPort[3];  // -1: do not bind
  double footIndex[4][3];
  double sampleTime[3];
};

extern DriverBlockParameters blockParameters;

inline constexpr DriverBlockParameters kDefaultBlockParameters = {
    {1, 9, 49, 50, 55, 46, 48, 46, 48, 46, 49},
    {1, 1, 40500},
    {1, 1, -1},
    {{1, 1, 1}, {1, 1, 2}, {1, 1, 3}, {1, 1, 4}},
    {1, 1, 0.001}};

struct BlockIdentity {
  const char* name;
  const char* path;
};

inline constexpr BlockIdentity kBlockIdentities[kModelBlockCount] = {
    {"FootSend",
     "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/"
     "Foot1SendOnChange/FootSend/FootSend"},
    {"FootSend",
     "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/"
     "Foot2SendOnChange/FootSend/FootSend"},
    {"FootSend",
     "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/"
     "Foot3SendOnChange/FootSend/FootSend"},
    {"FootSend",
     "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/"
     "Foot4SendOnChange/FootSend/FootSend"},
    {"OgreSend",
     "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/OgreSend"},
    {"RealTimeDelay", "zorvath/RealTimeDelay/RealTimeDelay"},
};

// Work area of each engine block; the engine clears byte 24 of the one that
// created the mechanism.
inline constexpr int kEngineBlockWorkSize = 32;

// The record of the block with the given role, or null when the build has
// no such block.
BlockRecord* modelBlock(ModelBlock role);

// Clears the scheduler's flags and the 4 s task's sequence indices; model
// start.
void resetScheduler();

// Test hook: called with the two outputs each time the 4 s task runs.
extern void (*subRateTaskObserver)(double command, double mode);

}  // namespace sim
