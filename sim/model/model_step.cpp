// The run-time side of the model: the one-step scheduler with its 4 s
// sub-rate, the base-rate task, the explicit Euler update and terminate.
//
// A major step runs the whole base-rate task; the Euler update then runs it
// once more as a minor step, in which only the three engine blocks run.
#include <cfloat>
#include <span>

#include "mech_engine_common/engine_entry_points.h"
#include "sim/logging/data_logging.h"
#include "sim/model/engine_status.h"
#include "sim/model/model_data.h"
#include "sim/model/model_instance.h"
#include "sim/model/model_variant.h"
#include "sim/model/ramp_controller.h"
#include "sim/numeric/numeric_routines.h"

namespace sim {

namespace {

// Indices into the 4 s task's two cyclic test sequences.
std::uint8_t commandIndex = 0;
std::uint8_t modeIndex = 0;

// Scheduler state.
bool baseRunning = false;
bool subRateRunning = false;
bool subRatePending = false;
std::uint16_t subRateTick = 0;

bool isMajor() {
  return model->majorStep != 0;
}

// Runs one engine block at the model time; false (status set) on failure.
bool runEngineBlock(EngineBlockIndex index, EngineCallSite site,
                    bool (*entry)(EngineMechanism*, MechanismInputView*, MechanismOutputView*)) {
  MechanismBlockData& block = engineBlocks[index];
  block.input.time = model->timeTable[0];
  block.output.isMajorStep = isMajor() ? 1 : 0;
  if (entry(block.mechanism, &block.input, &block.output)) {
    reportEngineError(site);
    return false;
  }
  return true;
}

// The outputs callback of a block the build has.
void runBlockOutputs(ModelBlock role) {
  BlockRecord* block = modelBlock(role);
  if (block != nullptr && block->outputs != nullptr) block->outputs(block, 0);
}

void advanceTime(SimModel& m) {
  ++m.baseTick;
  m.timeTable[0] = m.solverStopTime;
  ++m.task1Tick;
  m.timeTable[1] = m.task1Tick * m.task1StepSize;
}

void testStopTime(SimModel& m) {
  const double t1 = m.timeTable[1];
  if (m.stopTime != kNoStopTime && !((m.stopTime - t1) > t1 * DBL_EPSILON))
    m.errorStatus = kSimulationFinished;
  if (m.stopRequested) m.errorStatus = kSimulationFinished;
}

}  // namespace

void oneStep() {
  SimModel& m = *model;
  if (baseRunning) {
    m.errorStatus = kOverrun;
    return;
  }
  baseRunning = true;
  if (subRateTick == 0) {
    if (subRatePending) {
      baseRunning = false;
      subRateRunning = true;
      m.errorStatus = kOverrun;
      return;
    }
    subRatePending = true;
  }
  if (++subRateTick == kSubRateTicks) subRateTick = 0;
  modelStep();
  baseRunning = false;
  if (subRatePending) {
    subRateRunning = true;
    subRateTask();
    subRateRunning = false;
    subRatePending = false;
  }
}

void modelStep() {
  SimModel& m = *model;
  const bool major = isMajor();
  if (major) {
    m.solverStopTime = (m.baseTick + 1) * m.baseStepSize;
    m.sampleHits[1][kSubRateTask] = m.subRateCounter == 0;
    if (++m.subRateCounter > kSubRateTicks - 1) m.subRateCounter = 0;
  }
  // The kinematic outputs and the state port are read only after a major
  // step (the controller, the viewer sender): the minor step leaves them.
  if (!runEngineBlock(kKinematicsBlock, EngineCallSite::Kinematics,
                      major ? &mechanismKinematicsStep : &mechanismKinematicsStepWithoutOutputs)) {
    return;
  }
  if (major) {
    runBlockOutputs(kOgreSendBlock);
    controllerOutputs();
  }
  // The minor step's multipliers, accelerations and dynamic outputs are never
  // read (the derivatives were taken at the major step): it goes as far as
  // the articulated inertia, which the stabilisation after it reads.
  if (!runEngineBlock(kDynamicsBlock, EngineCallSite::Dynamics,
                      major ? &mechanismDynamicsStep : &mechanismArticulatedInertiaStep)) {
    return;
  }
  if (!runEngineBlock(kEventsBlock, EngineCallSite::Events, &mechanismEventStep)) return;
  if (!major) return;

  controllerAfterEngine();
  runBlockOutputs(kRealTimeDelayBlock);
  updateDataLogging(m.logInfo, m.timeTable);
  storePreviousValues();
  signals.noise = normalRandom(&noiseSeed) * modelVariant().noiseScale;
  testStopTime(m);
  ode1Update(&m.solver);
  advanceTime(m);
}

void ode1Update(SolverRecord* solver) {
  SimModel& m = *model;
  const double newTime = m.solverStopTime;
  const double h = *solver->stepSize;
  *solver->majorStep = 0;
  *solver->derivatives = solver->integrationData[0];
  const char* statusBefore = m.errorStatus;
  modelDerivatives();
  if (m.errorStatus != statusBefore) {
    *solver->majorStep = 1;
    return;
  }
  *solver->modelTime = newTime;
  double* x = *solver->continuousStates;
  const double* dx = *solver->derivatives;
  for (int i = 0; i < kContinuousStateCount; ++i) x[i] += h * dx[i];
  modelStep();
  if (m.errorStatus == statusBefore) {
    MechanismBlockData& kinematics = engineBlocks[kKinematicsBlock];
    kinematics.input.time = *solver->modelTime;
    if (mechanismPostStep(kinematics.mechanism, &kinematics.input))
      reportEngineError(EngineCallSite::PostStep);
  }
  *solver->majorStep = 1;
}

void modelDerivatives() {
  if (mechanismDerivatives(engineBlocks[kKinematicsBlock].mechanism, model->derivatives))
    reportEngineError(EngineCallSite::Derivatives);
}

void subRateTask() {
  const std::span<const double> commands = modelVariant().commandSequence;
  const std::span<const double> modes = modelVariant().modeSequence;
  signals.subRateCommand = commands[commandIndex];
  signals.subRateMode = modes[modeIndex];
  if (subRateTaskObserver != nullptr)
    subRateTaskObserver(signals.subRateCommand, signals.subRateMode);
  if (++commandIndex >= commands.size()) commandIndex = 0;
  if (++modeIndex >= modes.size()) modeIndex = 0;
}

void modelTerminate() {
  SimModel& m = *model;
  leaveModelInstance();
  for (ModelBlock b :
       {kOgreSendBlock, kFoot1Block, kFoot2Block, kFoot3Block, kFoot4Block, kRealTimeDelayBlock}) {
    BlockRecord* block = modelBlock(b);
    if (block != nullptr && block->terminate != nullptr) block->terminate(block);
  }
  stopDataLogging("zorvath.qmf", m.logInfo);
}

void resetScheduler() {
  baseRunning = subRateRunning = subRatePending = false;
  subRateTick = 0;
  commandIndex = modeIndex = 0;
}

}  // namespace sim
