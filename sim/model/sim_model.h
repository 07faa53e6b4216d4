// The generated ramp model's records: the one SimModel, the user-code block
// record, the model's signals and the engine blocks, and the model's entry
// points. All model data is static; the step loop allocates nothing.
#pragma once

#include <cstdint>

#include "mech_engine_common/engine_entry_points.h"
#include "sim/logging/log_records.h"

namespace sim {

struct SimModel;
struct BlockRecord;

// ---------------------------------------------------------------------------
// User-code blocks

using BlockCallback = void (*)(BlockRecord* block);
using BlockOutputsCallback = void (*)(BlockRecord* block, int taskId);

// Data types of a block's input port (the logger's built-in type ids).
enum BlockDataType : std::int32_t { kBlockDouble = 0, kBlockUint8 = 3 };

// What a block reaches of the model through its record.
struct BlockSharedInfo {
  const char** errorStatus;
  double* timeTable;
  double* stopTime;
  std::uint8_t* stopRequested;
  std::int32_t* majorStep;
  double* stepSize;
};

// Work storage behind a block's work vectors (the largest any block asks for).
inline constexpr int kBlockIntegerWorkCapacity = 4;
inline constexpr int kBlockRealWorkCapacity = 4;
inline constexpr int kBlockPointerWorkCapacity = 1;
inline constexpr int kBlockOutputCapacity = 3;

struct BlockRecord {
  const char* name;
  const char* path;
  BlockRecord* self;
  // Counts set by initializeSizes.
  std::int32_t numContinuousStates;
  std::int32_t numDiscreteStates;
  std::int32_t numInputPorts;
  std::int32_t numOutputPorts;
  std::int32_t expectedParameterCount;
  std::int32_t numSampleTimes;
  std::int32_t numIntegerWork;
  std::int32_t numRealWork;
  std::int32_t numPointerWork;
  std::uint32_t options;
  SimModel* model;
  // Input port: width, data type and the signal it reads.
  std::int32_t inputWidth;
  std::int32_t inputDataType;  // BlockDataType
  const void* inputSignal;
  // Output port.
  std::int32_t outputWidth;
  double* outputSignal;
  // Parameters: each is [rows, cols, values...].
  std::int32_t numParameters;
  const double* const* parameters;
  std::int32_t* integerWork;
  void** pointerWork;
  double* realWork;
  BlockSharedInfo* modelInfo;
  double* sampleTime;
  double* offset;
  // Callbacks, in slot order.
  BlockCallback initializeSizes;
  BlockCallback initializeSampleTimes;
  BlockCallback start;
  BlockOutputsCallback outputs;
  BlockCallback terminate;
};

// Storage behind one block's pointers, kept in SimModel.
struct BlockStorage {
  std::int32_t integerWork[kBlockIntegerWorkCapacity];
  double realWork[kBlockRealWorkCapacity];
  void* pointerWork[kBlockPointerWorkCapacity];
  double output[kBlockOutputCapacity];
  double sampleTime;
  double offset;
};

// Roles of the user-code blocks (zorvath's block-table order).
enum ModelBlock : int {
  kFoot1Block = 0,
  kFoot2Block,
  kFoot3Block,
  kFoot4Block,
  kOgreSendBlock,
  kRealTimeDelayBlock,
  kModelBlockCount
};

// ---------------------------------------------------------------------------
// SimModel

inline constexpr int kContinuousStateCount = 10;
inline constexpr int kSampleTimeCount = 3;
inline constexpr double kBaseStepSize = 0.001;
inline constexpr double kNoStopTime = -1.0;
inline constexpr std::uint16_t kSubRateTicks = 4000;  // 4 s in base steps
inline constexpr int kSubRateTask = 2;                // index of the 4 s rate

struct SolverRecord {
  std::int32_t* majorStep;
  double** integrationData;  // first entry: the derivative buffer
  double* stepSize;
  double* modelTime;  // entry 0 of the time table
  double** derivatives;
  double** continuousStates;
  const char** errorStatus;
  double fixedStep;
  const char* solverName;
};

struct SimModel {
  BlockRecord** blockTable;
  const char* errorStatus;  // null while healthy; any text ends the run loop
  LoggingSetup* logInfo;
  SolverRecord solver;
  double solverStopTime;  // end of the integration step in progress
  double* continuousStates;
  double* derivatives;
  std::uint32_t baseTick;
  double baseStepSize;
  std::uint32_t task1Tick;
  double task1StepSize;
  std::uint8_t firstInitialisation;
  std::uint16_t subRateCounter;  // 0..3999
  double stopTime;               // the build's stop time; kNoStopTime: no end
  std::int32_t majorStep;
  std::uint8_t stopRequested;
  double sampleTimes[kSampleTimeCount];
  double offsets[kSampleTimeCount];
  std::int32_t taskIds[kSampleTimeCount];
  std::int32_t sampleHits[kSampleTimeCount][kSampleTimeCount];
  double timeTable[kSampleTimeCount];
  const char* solverName;
  BlockSharedInfo blockShared;

  // Storage behind the pointers above. The block table lists the blocks the
  // build has (numBlocks); their records are kept by role (ModelBlock), a
  // role the build lacks has a record without callbacks.
  std::int32_t numBlocks;
  BlockRecord* blockPointers[kModelBlockCount];
  BlockRecord blocks[kModelBlockCount];
  BlockStorage blockStorage[kModelBlockCount];
  double derivativeBuffer[kContinuousStateCount];
  double* integrationData[1];
};

// The one model and the pointer the model code reaches it through.
extern SimModel* const model;

// ---------------------------------------------------------------------------
// Signals, engine blocks and metrics

// The model's signals that cross between the model code, the blocks and the
// engine. The controller's own signals are kept with the controller.
struct ModelSignals {
  double footForce[4];     // f1..f4
  std::uint8_t footOn[4];  // s1..s4: a person stands on foot position k
  double rampWeight;       // RampMass x -9.81
  double rampMass;
  double rampInertiaTerm;  // RampMass x 0.6756
  double actuatorForce;
  double kinematicOutputs[3];  // zorvath: actuator displacement, ramp position, ramp rate
  double stateOutputs[kContinuousStateCount];
  double kinematicExtra[1];
  double dynamicOutputs[1];
  double dynamicPassThrough[1];
  double eventOutputs[1];
  double subRateCommand;  // outputs of the 4 s task
  double subRateMode;
  double noise;  // normal sample x the build's noise scale
};

extern ModelSignals signals;

extern std::uint32_t noiseSeed;

struct ModelMetrics {
  double timeAtMaxTorque;
  double maxTimeHoldingPeakTorque;
  double timeToOpen;
  double timeToClose;
  double averageTorque;
  double timeAboveContinuous;
  double posErrorMax;
};

extern ModelMetrics metrics;

// Model parameters, set from the command line.
struct ModelParameters {
  double manTime[8];
  double manMass[8];
  double rampMass;
  double timeMultiplier[3];  // the RealTimeDelay parameter: [1, 1, value]
};

extern ModelParameters parameters;

inline constexpr ModelParameters kDefaultParameters = {
    {2.127766, 2.111506, 2.76095, 2.752465, 2.646818, 4.212029, 4.383783, 6.366616},
    {106, 98, 103, 107, 101, 96, 102, 96},
    693,
    {1, 1, 0}};

enum EngineBlockIndex : int {
  kKinematicsBlock = 0,
  kDynamicsBlock,
  kEventsBlock,
  kEngineBlockCount
};

extern MechanismBlockData engineBlocks[kEngineBlockCount];

// ---------------------------------------------------------------------------
// Entry points

void modelInitialize();
void oneStep();
void modelStep();
void ode1Update(SolverRecord* solver);
void modelDerivatives();
void subRateTask();
void modelTerminate();

// Text of the status that a run reaching its stop time ends with.
inline constexpr const char* kSimulationFinished = "Simulation finished";
inline constexpr const char* kOverrun = "Overrun";
inline constexpr const char* kMultipleInstances =
    "Attempting to use multiple instances of Linkwerkmodo generated code";

}  // namespace sim
