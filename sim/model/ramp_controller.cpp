// The ramp controller, person load and metrics of the major step. The model
// step calls, in order: controllerOutputs (after the ramp-position sender),
// the engine's dynamics and events, controllerAfterEngine, and after the
// pacer and the logger storePreviousValues.
#include "sim/model/ramp_controller.h"

#include <algorithm>
#include <cmath>

#include "sim/model/sim_model.h"
#include "sim/numeric/numeric_routines.h"

namespace sim {

using namespace controller_constants;

ControllerState controller;

namespace {

double taskTime() {
  return model->timeTable[1];
}

double limit(double value, double bound) {
  if (value >= bound) return bound;
  if (value <= -bound) return -bound;
  return value;
}

// ---------------------------------------------------------------------------
// Persons

// The persons' timer runs while the ramp is open past 0.1 m of stroke.
void advancePersonTimer(ControllerState& s) {
  const double angle = s.previousRawAngle;
  if (angle < kTimerStartAngle) {
    s.timer = 0.0;
    s.timerStart = 0.0;
  }
  if (angle > kTimerStartAngle) {
    if (s.timerStart == 0.0)
      s.timerStart = taskTime();
    else
      s.timer = taskTime() - s.timerStart;
  }
}

// Each person steps on its first foot position at its time, on the second
// 0.1 s later, and leaves 0.2 s after arriving. Odd persons use positions 1
// and 3, even persons 2 and 4.
void advancePerson(ControllerState& s, int p) {
  const double arrival = parameters.manTime[p];
  const double mass = parameters.manMass[p];
  double& first = p % 2 == 0 ? s.firstA : s.firstB;
  double& second = p % 2 == 0 ? s.secondA : s.secondB;
  std::uint8_t& state = s.personState[p];
  switch (state) {
    case kPersonWaiting:
      if (s.timer > arrival) {
        first += mass;
        state = kPersonOnFirstFoot;
      }
      break;
    case kPersonOnFirstFoot:
      if (s.timer > arrival + 0.1) {
        first -= mass;
        second += mass;
        state = kPersonOnSecondFoot;
      }
      break;
    case kPersonOnSecondFoot:
      if (s.timer > arrival + 0.2) {
        second -= mass;
        state = kPersonGone;
      }
      break;
    case kPersonGone:
      if (s.timer == 0.0) state = kPersonWaiting;
      break;
    default:
      state = kPersonWaiting;
      break;
  }
}

void advancePersons(ControllerState& s) {
  if (!s.personsEntered) {
    s.personsEntered = true;
    for (std::uint8_t& state : s.personState) state = kPersonWaiting;
    return;
  }
  for (int p = 0; p < 8; ++p) advancePerson(s, p);
}

// Foot forces; a foot sender runs only when its foot's force changed.
void updateFeet(ControllerState& s) {
  const double loads[4] = {s.firstA, s.firstB, s.secondA, s.secondB};
  for (int k = 0; k < 4; ++k) signals.footForce[k] = loads[k] * kFootForcePerKilogram;
  for (int k = 0; k < 4; ++k) {
    signals.footOn[k] = signals.footForce[k] < 0.0;
    if (signals.footForce[k] != s.previousFootForce[k]) {
      BlockRecord& foot = model->blocks[kFoot1Block + k];
      if (foot.outputs != nullptr) foot.outputs(&foot, 1);
    }
  }
}

void updateRampMassTerms() {
  signals.rampWeight = parameters.rampMass * kGravity;
  signals.rampMass = parameters.rampMass;
  signals.rampInertiaTerm = parameters.rampMass * kRampInertiaFactor;
}

// ---------------------------------------------------------------------------
// Measurement and mode

// The 4 s task's outputs are taken over in the step in which the sub-rate
// counter has just become 1, that is after the task ran at the end of the
// step before: the held values are 4 s old.
void rateTransition(ControllerState& s) {
  if (model->subRateCounter == 1) {
    s.heldCommand = signals.subRateCommand;
    s.heldMode = signals.subRateMode;
  }
}

void filterSpeed(ControllerState& s) {
  const double rate = (s.measuredPosition - s.previousMeasured) * 1000.0;
  s.filterInput = rate - kFilterA1 * s.filter1 - kFilterA2 * s.filter2;
  s.speed = kFilterB0 * s.filterInput + kFilterB1 * s.filter1 + kFilterB2 * s.filter2;
}

// Demand that brings the motor to rest from its present speed.
double stoppingDemand(const ControllerState& s) {
  const double distance = powWithSpecialCases(s.speed + kProfileOffset, 2.0) / kProfileGain;
  if (s.speed < -kStoppingSpeed) return -(s.measuredPosition + distance);
  if (s.speed < kStoppingSpeed) return s.measuredPosition;
  return s.measuredPosition + distance;
}

void runModeChart(ControllerState& s) {
  s.closed =
      std::fabs(s.measuredPosition) < kAtPositionTolerance && std::fabs(s.speed) < kStoppingSpeed;
  s.open = std::fabs(s.measuredPosition - kOpenDemand) < kAtPositionTolerance &&
           std::fabs(s.speed) < kStoppingSpeed;
  switch (s.modeState) {
    case kModeNotEntered:
      s.previousCommand = s.command;
      s.modeState = kModeEntry;
      s.demand = stoppingDemand(s);
      break;
    case kModeEntry:
      if (s.command != s.previousCommand || s.early == 1 || s.starting == 1) {
        s.previousCommand = s.command;
        s.modeState = kModeControlled;
        controllerModeLogic();
      }
      break;
    case kModeControlled:
      if (s.command != s.previousCommand || s.early != s.previousEarly ||
          s.starting != s.previousStarting) {
        s.subMode = kSubModeNone;
        controllerModeLogic();
      } else if (s.subMode == kSubModeNone || s.subMode > kSubModeStop) {
        controllerModeLogic();
      }
      break;
  }
  s.previousEarly = s.early;
  s.previousStarting = s.starting;
}

// ---------------------------------------------------------------------------
// Metrics

void runMetricCharts(ControllerState& s, double torque) {
  if (torque >= kPeakTorque) ++s.atPeakCount;
  if (!s.metricsEntered) {
    s.metricsEntered = true;
    s.peakChart = s.openChart = s.closeChart = kChartEntry;
  } else {
    if (s.peakChart == kChartEntry) {
      if (torque >= kPeakTorque) s.peakChart = kChartWaiting;
    } else if (s.peakChart == kChartWaiting) {
      if (torque >= kPeakTorque) {
        ++s.currentPeakRun;
      } else {
        s.longestPeakRun = std::max(s.longestPeakRun, s.currentPeakRun);
        s.currentPeakRun = 0;
        s.peakChart = kChartEntry;
      }
    }

    const bool moving = !s.closed && !s.open;
    if (s.openChart == kChartEntry) {
      if (moving) s.openChart = kChartWaiting;
    } else if (s.openChart == kChartWaiting) {
      if (s.open)
        s.openChart = kChartDone;
      else
        ++s.timeToOpenCount;
    }

    if (s.closeChart == kChartEntry) {
      if (s.open) {
        s.closeChart = kChartOpen;
        s.timeToCloseCount = 0;
      }
    } else if (s.closeChart == kChartOpen) {
      if (moving) s.closeChart = kChartWaiting;
    } else if (s.closeChart == kChartWaiting) {
      if (s.closed) {
        s.closeChart = kChartDone;
      } else if (s.open) {
        s.closeChart = kChartOpen;
        s.timeToCloseCount = 0;
      } else {
        ++s.timeToCloseCount;
      }
    }
  }
  ++s.sampleCount;
  s.meanTorque =
      s.sampleCount == 1 ? torque : ((s.sampleCount - 1) * s.meanTorque + torque) / s.sampleCount;
  if (torque >= kContinuousTorque) ++s.aboveContinuousCount;
  s.largestPositionError =
      std::max(s.largestPositionError, std::fabs(s.quantisedAngle - s.commandedPosition));
}

void publishMetrics(const ControllerState& s) {
  metrics.timeAtMaxTorque = s.atPeakCount * kStepSize;
  metrics.maxTimeHoldingPeakTorque = s.longestPeakRun * kStepSize;
  metrics.timeToOpen = s.timeToOpenCount * kStepSize;
  metrics.timeToClose = s.timeToCloseCount * kStepSize;
  metrics.averageTorque = s.meanTorque;
  metrics.timeAboveContinuous = s.aboveContinuousCount * kStepSize;
  metrics.posErrorMax = s.largestPositionError;
}

}  // namespace

// ---------------------------------------------------------------------------
// Parts

std::uint8_t toUint8(double value) {
  if (isNaN(value) || isInf(value)) return 0;
  double wrapped = std::fmod(std::floor(value), 256.0);
  if (wrapped < 0.0) wrapped += 256.0;
  return static_cast<std::uint8_t>(wrapped);
}

void controllerModeLogic() {
  ControllerState& s = controller;
  std::uint8_t request = kRequestStop;
  if (s.command != s.previousCommand) {
    request = s.modeCode;
    s.previousCommand = s.command;
  }
  if (s.early == 1) request = kRequestOpen;
  if (s.starting == 1 || request == kRequestClose) {
    s.subMode = kSubModeClose;
    s.demand = 0.0;
  } else if (request == kRequestOpen) {
    s.subMode = kSubModeOpen;
    s.demand = kOpenDemand;
  } else if (request == kRequestStop) {
    s.subMode = kSubModeStop;
    s.demand = stoppingDemand(s);
  } else {
    s.subMode = kSubModeOther;
  }
}

double shapeSpeedCommand(double demandError, double previousSpeedCommand) {
  const double size = std::fabs(demandError);
  double command = size > kProfileBreak
                       ? std::copysign(std::sqrt(kProfileGain * size) - kProfileOffset, demandError)
                       : kProfileLinearGain * demandError;
  command = limit(command, kSpeedLimit);
  if (command - previousSpeedCommand > kSpeedRateLimit)
    command = previousSpeedCommand + kSpeedRateLimit;
  else if (command - previousSpeedCommand < -kSpeedRateLimit)
    command = previousSpeedCommand - kSpeedRateLimit;
  return command;
}

double quantiseAngle(double angle) {
  const double counts = std::floor(std::fabs(angle) / kQuantum + 0.5) * kQuantum;
  return angle < 0.0 ? -counts : counts;
}

// ---------------------------------------------------------------------------
// Steps

// Everything, the metric charts included; resetMetricCharts clears those
// again as the last step of the model start.
void resetControllerStates() {
  controller = ControllerState{};
}

void resetMetricCharts() {
  ControllerState& s = controller;
  s.metricsEntered = false;
  s.peakChart = s.openChart = s.closeChart = 0;
  s.atPeakCount = s.longestPeakRun = s.currentPeakRun = 0;
  s.timeToOpenCount = s.timeToCloseCount = s.sampleCount = s.aboveContinuousCount = 0;
  s.meanTorque = 0.0;
  s.largestPositionError = 0.0;
}

void controllerOutputs() {
  ControllerState& s = controller;
  advancePersonTimer(s);
  advancePersons(s);
  updateFeet(s);
  updateRampMassTerms();
  s.positionError = s.commandedPosition - s.measuredPosition;
  rateTransition(s);
  s.command = toUint8(s.heldCommand);
  s.modeCode = toUint8(s.heldMode);
  s.early = taskTime() < kEarlyTime;
  s.starting = taskTime() < kStartTime;
  filterSpeed(s);
  runModeChart(s);
  s.speedCommand = shapeSpeedCommand(s.demand - s.previousCommanded, s.previousSpeedCommand);
  s.previousSpeedCommand = s.speedCommand;
  const double control =
      limit(kSpeedGain * (s.speedCommand - s.speed) + kPositionGain * s.positionError + s.integral,
            kControlLimit);
  s.current = control * kCurrentPerControl;
  s.torque = limit(s.current * kTorquePerCurrent, kTorqueLimit);
  signals.actuatorForce = s.torque * kForcePerTorque;
}

void controllerAfterEngine() {
  ControllerState& s = controller;
  s.rawAngle = signals.kinematicOutputs[0] * kScrewRadiansPerMetre;
  s.quantisedAngle = quantiseAngle(s.rawAngle + signals.noise);
  runMetricCharts(s, std::fabs(s.current * kTorquePerCurrent));
  publishMetrics(s);
}

void storePreviousValues() {
  ControllerState& s = controller;
  s.previousRawAngle = s.rawAngle;
  for (int k = 0; k < 4; ++k) s.previousFootForce[k] = signals.footForce[k];
  s.previousCommanded = s.commandedPosition;
  s.commandedPosition += s.speedCommand * kStepSize;
  s.previousMeasured = s.measuredPosition;
  s.measuredPosition = s.quantisedAngle;
  s.integral = limit(s.integral + kStepSize * s.positionError * kIntegralGain, kIntegralLimit);
  s.filter2 = s.filter1;
  s.filter1 = s.filterInput;
}

}  // namespace sim
