// The model's static data and its initialisation: solver and timing, the six
// user-code blocks, the logger, the noise generator and the engine blocks
// with their mechanism.
#include <cstring>
#include <iterator>
#include <span>

#include "mech_engine_common/engine_entry_points.h"
#include "mech_engine_common/engine_method_table.h"
#include "sim/blocks/driver_blocks.h"
#include "sim/logging/data_logging.h"
#include "sim/mechanism/ramp_mechanism.h"
#include "sim/model/engine_status.h"
#include "sim/model/model_data.h"
#include "sim/model/model_instance.h"
#include "sim/model/model_method_table.h"
#include "sim/model/model_variant.h"
#include "sim/model/ramp_controller.h"
#include "sim/numeric/numeric_routines.h"

namespace sim {

namespace {

SimModel theModel;

// The logger is configured with every name empty: nothing is logged.
LoggingSetup loggingSetup;

void setUpLogging() {
  loggingSetup = {};
  loggingSetup.format = kLogFormatMatrix;
  loggingSetup.maxRows = 1;
  loggingSetup.decimation = 1;
  loggingSetup.nameModifier = "none";
  loggingSetup.timeName = "";
  loggingSetup.stateName = "";
  loggingSetup.finalStateName = "";
  loggingSetup.outputNames = "";
  loggingSetup.loggedSignalsName = "";
}

double continuousStates[kContinuousStateCount];
std::uint8_t engineBlockWork[kEngineBlockCount][kEngineBlockWorkSize];
char mechanismErrorText[kMechanismErrorBufferSize];

// First-call flags of the kinematics block (assembled) and the events block
// (skip the first major step's inputs).
std::int32_t kinematicsFirstCall;
std::int32_t eventsFirstCall;

// The zeros of the environment port.
const double kEnvironmentZeros[3] = {-0.0, -0.0, -0.0};

// The first input port of the kinematics and dynamics blocks, wired as the
// build says.
double* dynamicInputs[kDynamicInputCapacity];
double* environmentPort[3];
double* stateOutputPort[kContinuousStateCount];
double* kinematicExtraPort[1];
double* eventInputPort[1];

double* constant(const double& value) {
  return const_cast<double*>(&value);
}

void fillSignalPorts() {
  const std::span<const double* const> wiring = modelVariant().dynamicInputs;
  for (std::size_t k = 0; k < wiring.size() && k < std::size(dynamicInputs); ++k)
    dynamicInputs[k] = constant(*wiring[k]);
  for (int i = 0; i < 3; ++i) environmentPort[i] = constant(kEnvironmentZeros[i]);
  for (int i = 0; i < kContinuousStateCount; ++i) stateOutputPort[i] = &signals.stateOutputs[i];
  kinematicExtraPort[0] = &signals.kinematicExtra[0];
  eventInputPort[0] = &signals.dynamicPassThrough[0];
}

void fillKinematicsBlock(EngineMechanism* mechanism) {
  MechanismBlockData& block = engineBlocks[kKinematicsBlock];
  block = {};
  block.mechanism = mechanism;
  block.input.startTime = 0.0;
  kinematicsFirstCall = 0;
  block.input.firstCallFlag = &kinematicsFirstCall;
  block.input.numInputPorts = 2;
  block.input.inputPorts[0] = dynamicInputs;
  block.input.inputPorts[1] = environmentPort;
  block.output.numOutputPorts = 3;
  block.output.outputPorts[0] = signals.kinematicOutputs;
  block.output.outputPorts[1] = signals.stateOutputs;
  block.output.outputPorts[2] = signals.kinematicExtra;
}

void fillDynamicsAndEventsBlocks() {
  MechanismBlockData& dynamics = engineBlocks[kDynamicsBlock];
  dynamics = {};
  dynamics.mechanism = modelVariant().buildMechanism();
  dynamics.mechanism->blockWork = engineBlockWork[kDynamicsBlock];
  dynamics.input.numInputPorts = 4;
  dynamics.input.inputPorts[0] = dynamicInputs;
  dynamics.input.inputPorts[1] = stateOutputPort;
  dynamics.input.inputPorts[2] = kinematicExtraPort;
  dynamics.input.inputPorts[3] = environmentPort;
  // The last output port feeds the events block.
  int port = 0;
  if (modelVariant().dynamicOutputPort)
    dynamics.output.outputPorts[port++] = signals.dynamicOutputs;
  dynamics.output.outputPorts[port++] = signals.dynamicPassThrough;
  dynamics.output.numOutputPorts = port;

  MechanismBlockData& events = engineBlocks[kEventsBlock];
  events = {};
  events.mechanism = modelVariant().buildMechanism();
  events.mechanism->blockWork = engineBlockWork[kEventsBlock];
  eventsFirstCall = 1;
  events.input.firstCallFlag = &eventsFirstCall;
  events.input.numInputPorts = 1;
  events.input.inputPorts[0] = eventInputPort;
  events.output.numOutputPorts = 1;
  events.output.outputPorts[0] = signals.eventOutputs;
}

void setUpSolverAndTiming(SimModel& m) {
  m.solverName = "ode1";
  m.sampleTimes[0] = 0.0;
  m.sampleTimes[1] = kBaseStepSize;
  m.sampleTimes[2] = 4.0;
  for (int i = 0; i < kSampleTimeCount; ++i) {
    m.offsets[i] = 0.0;
    m.taskIds[i] = i;
  }
  m.stopTime = modelVariant().stopTime;
  m.baseStepSize = kBaseStepSize;
  m.task1StepSize = kBaseStepSize;
  m.majorStep = 1;
  m.firstInitialisation = 1;
  m.continuousStates = continuousStates;
  m.derivatives = m.derivativeBuffer;
  m.integrationData[0] = m.derivativeBuffer;
  m.solver = {&m.majorStep,    m.integrationData, &m.baseStepSize,
              &m.timeTable[0], &m.derivatives,    &m.continuousStates,
              &m.errorStatus,  kBaseStepSize,     m.solverName};
  m.blockShared = {&m.errorStatus,   m.timeTable,  &m.stopTime,
                   &m.stopRequested, &m.majorStep, &m.baseStepSize};
  setUpLogging();
  m.logInfo = &loggingSetup;
}

// The parameter table of each block, [rows, cols, values...] each.
const double* footParameters[4][5];
const double* ogreParameters[4];
const double* realTimeDelayParameters[2];

void fillParameterTables() {
  DriverBlockParameters& p = blockParameters;
  for (int k = 0; k < 4; ++k) {
    const double* table[5] = {p.address, p.port, p.localPort, p.footIndex[k], p.sampleTime};
    std::memcpy(footParameters[k], table, sizeof table);
  }
  const double* ogre[4] = {p.address, p.port, p.localPort, p.sampleTime};
  std::memcpy(ogreParameters, ogre, sizeof ogre);
  realTimeDelayParameters[0] = p.sampleTime;
  realTimeDelayParameters[1] = parameters.timeMultiplier;
}

using Registration = void (*)(BlockRecord*);

struct BlockLayout {
  Registration registration;
  const double* const* parameters;
  std::int32_t numParameters;
};

void layOutBlocks(SimModel& m) {
  fillParameterTables();
  const BlockLayout layouts[kModelBlockCount] = {
      {&registerFootSendMethods, footParameters[0], 5},
      {&registerFootSendMethods, footParameters[1], 5},
      {&registerFootSendMethods, footParameters[2], 5},
      {&registerFootSendMethods, footParameters[3], 5},
      {&registerOgreSendMethods, ogreParameters, 4},
      {&registerRealTimeDelayMethods, realTimeDelayParameters, 2},
  };
  m.blockTable = m.blockPointers;
  m.numBlocks = 0;
  for (const ModelBlock b : modelVariant().blocks) {
    BlockRecord& block = m.blocks[b];
    BlockStorage& storage = m.blockStorage[b];
    block = {};
    storage = {};
    m.blockPointers[m.numBlocks++] = &block;
    block.name = kBlockIdentities[b].name;
    block.path = kBlockIdentities[b].path;
    block.self = &block;
    block.model = &m;
    block.numParameters = layouts[b].numParameters;
    block.parameters = layouts[b].parameters;
    block.integerWork = storage.integerWork;
    block.realWork = storage.realWork;
    block.pointerWork = storage.pointerWork;
    block.outputSignal = storage.output;
    block.modelInfo = &m.blockShared;
    block.sampleTime = &storage.sampleTime;
    block.offset = &storage.offset;
    if (b <= kFoot4Block)
      block.inputSignal = &signals.footOn[b];
    else if (b == kOgreSendBlock)
      block.inputSignal = &signals.kinematicOutputs[modelVariant().rampPositionOutput];
    layouts[b].registration(&block);
    block.initializeSizes(&block);
    block.initializeSampleTimes(&block);
    storage.sampleTime = kBaseStepSize;
    storage.offset = 0.0;
  }
}

// Starts one block when the build has it; true when it left an error status.
bool startBlock(SimModel& m, ModelBlock role) {
  BlockRecord* block = modelBlock(role);
  if (block == nullptr || block->start == nullptr) return false;
  block->start(block);
  return m.errorStatus != nullptr;
}

// Builds the mechanism, runs its parameter callback and creates it in the
// engine. False (with the status set) on failure.
bool createMechanism(SimModel& m) {
  EngineMechanism* mechanism = modelVariant().buildMechanism();
  mechanism->blockWork = engineBlockWork[kKinematicsBlock];
  mechanism->blockWork[kBlockWorkClearedByte] = 0;
  if (mechanism->parameterCallback(mechanism, modelVariant().mechanismParameters,
                                   mechanismErrorText, kMechanismErrorTextLimit)) {
    m.errorStatus = mechanismErrorText;
    return false;
  }
  registerMechanismMethods(modelMethodTable());
  if (createEngineMechanism(mechanism)) {
    reportEngineError(EngineCallSite::Creation);
    return false;
  }
  noteMechanismCreated(mechanism);
  mechanism->stateVector = m.continuousStates;
  fillKinematicsBlock(mechanism);
  return true;
}

}  // namespace

SimModel* const model = &theModel;
ModelSignals signals;
ModelMetrics metrics;
ModelParameters parameters = kDefaultParameters;
DriverBlockParameters blockParameters = kDefaultBlockParameters;
MechanismBlockData engineBlocks[kEngineBlockCount];
void (*subRateTaskObserver)(double command, double mode) = nullptr;
std::uint32_t noiseSeed;

BlockRecord* modelBlock(ModelBlock role) {
  BlockRecord& block = model->blocks[role];
  return block.self != nullptr ? &block : nullptr;
}

void modelInitialize() {
  SimModel& m = *model;
  // 1.
  initNonFinites();
  // 2.
  std::memset(&m, 0, sizeof m);
  setUpSolverAndTiming(m);
  resetScheduler();
  // 3.
  signals = {};
  std::memset(continuousStates, 0, sizeof continuousStates);
  std::memset(engineBlockWork, 0, sizeof engineBlockWork);
  metrics = {};
  fillSignalPorts();
  // 4.
  layOutBlocks(m);
  // 5.
  startDataLogging(m.logInfo, 0.0, m.stopTime, m.baseStepSize, &m.errorStatus);
  // 6.
  for (ModelBlock b : {kOgreSendBlock, kFoot1Block, kFoot2Block, kFoot3Block, kFoot4Block})
    if (startBlock(m, b)) return;
  // 7.
  noiseSeed = kNoiseSeed;
  signals.noise = normalRandom(&noiseSeed) * modelVariant().noiseScale;
  // 8.
  if (startBlock(m, kRealTimeDelayBlock)) return;
  // 9.
  if (m.firstInitialisation) {
    if (!enterModelInstance()) {
      m.errorStatus = kMultipleInstances;
      return;
    }
    if (!createMechanism(m)) return;
  }
  // 10.
  resetControllerStates();
  // 11.
  if (m.firstInitialisation) fillDynamicsAndEventsBlocks();
  // 12.
  resetMetricCharts();
  // 13.
  m.firstInitialisation = 0;
}

}  // namespace sim
