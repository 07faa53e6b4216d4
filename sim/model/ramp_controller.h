// The ramp's signal computations inside the major step: the load of eight
// persons on four foot positions, the ramp mass terms, the measured motor
// position and speed, the mode chart with its mode logic, the speed profile
// and current loop giving the actuator force, and the seven metrics.
//
// Units: motor angle in rad, speed in rad/s, time in s, mass in kg, force in N.
#pragma once

#include <cstdint>

namespace sim {

// ---------------------------------------------------------------------------
// Constants

namespace controller_constants {
inline constexpr double kScrewRadiansPerMetre = -2473.6950028266087;  // 393.7 turns per metre
inline constexpr double kTimerStartAngle = 247.36950028266088;        // 0.1 m of stroke
inline constexpr double kFootForcePerKilogram = -19.81;
inline constexpr double kGravity = -9.81;
inline constexpr double kRampInertiaFactor = 0.6756;
inline constexpr double kEarlyTime = 4.0;
inline constexpr double kStartTime = 0.5;
inline constexpr double kStepSize = 0.001;
// Speed filter (second-order low pass on the differentiated position).
inline constexpr double kFilterA1 = -0.8239088813061645;
inline constexpr double kFilterA2 = 0.294288770892884;
inline constexpr double kFilterB0 = 0.11759497239667989;
inline constexpr double kFilterB1 = 0.23518994479335978;
inline constexpr double kFilterB2 = 0.11759497239667989;
// Demand and speed profile.
inline constexpr double kOpenDemand = 395.7912004522574;  // 0.16 m of stroke
inline constexpr double kProfileBreak = 0.75;
inline constexpr double kProfileGain = 300.0;
inline constexpr double kProfileOffset = 7.5;
inline constexpr double kProfileLinearGain = 10.0;
inline constexpr double kSpeedLimit = 2400.0;
inline constexpr double kSpeedRateLimit = 0.2;
inline constexpr double kStoppingSpeed = 10.0;
// Current loop.
inline constexpr double kSpeedGain = 2.0;
inline constexpr double kPositionGain = 10.0;
inline constexpr double kIntegralGain = 251.32741228718345;  // 80 pi
inline constexpr double kIntegralLimit = 23.94;
inline constexpr double kControlLimit = 48.3588;
inline constexpr double kCurrentPerControl = -0.20678759605283836;
inline constexpr double kTorquePerCurrent = -4.83588;
inline constexpr double kTorqueLimit = 48.3588;
inline constexpr double kForcePerTorque = -1978.956002261287;
// Quantisation of the motor angle: 4096 counts per turn.
inline constexpr double kQuantum = 2.0 * 3.141592653589793 / 4096.0;
// Metrics.
inline constexpr double kAtPositionTolerance = 1.2368475014133045;
inline constexpr double kPeakTorque = 48.3588;
inline constexpr double kContinuousTorque = 23.94;
}  // namespace controller_constants

// Person chart states.
enum PersonState : std::uint8_t {
  kPersonOnFirstFoot = 1,
  kPersonOnSecondFoot = 2,
  kPersonGone = 3,
  kPersonWaiting = 4,
};

// Mode chart states and sub-modes.
enum ModeChartState : std::uint8_t { kModeNotEntered = 0, kModeControlled = 1, kModeEntry = 2 };
enum SubMode : std::uint8_t {
  kSubModeNone = 0,
  kSubModeClose = 1,
  kSubModeOther = 2,
  kSubModeOpen = 3,
  kSubModeStop = 4
};

// Mode requests of the mode logic.
inline constexpr std::uint8_t kRequestStop = 7;
inline constexpr std::uint8_t kRequestClose = 11;
inline constexpr std::uint8_t kRequestOpen = 12;

// Metric chart states.
enum MetricChartState : std::uint8_t {
  kChartWaiting = 1,
  kChartEntry = 2,
  kChartDone = 3,
  kChartOpen = 4,
};

// Everything the controller keeps from step to step, and this step's values.
struct ControllerState {
  // This step.
  double rawAngle;          // theta
  double measuredPosition;  // J: the quantised angle of the previous step
  double speed;             // K
  double positionError;     // ep = D - J
  double filterInput;       // w0
  double speedCommand;      // m
  double current;
  double torque;          // limited
  double quantisedAngle;  // Q
  std::uint8_t command;   // c
  std::uint8_t modeCode;  // b
  std::uint8_t early;     // T4
  std::uint8_t starting;  // T05
  bool closed;
  bool open;

  // Held from earlier steps.
  double demand;             // P
  double commandedPosition;  // D
  double previousCommanded;  // D of the previous step
  double integral;           // I
  double previousMeasured;   // J of the previous step
  double filter1, filter2;   // w1, w2
  double previousSpeedCommand;
  double previousRawAngle;
  double previousFootForce[4];
  double heldCommand, heldMode;  // the 4 s task's outputs through the rate transition

  // Persons.
  double timer;                             // e
  double timerStart;                        // v
  double firstA, firstB, secondA, secondB;  // A1, B1, A2, B2
  std::uint8_t personState[8];
  bool personsEntered;

  // Mode chart.
  std::uint8_t modeState;
  std::uint8_t subMode;  // M
  std::uint8_t previousCommand;
  std::uint8_t previousEarly;
  std::uint8_t previousStarting;

  // Metric charts.
  bool metricsEntered;
  std::uint8_t peakChart, openChart, closeChart;
  std::uint32_t atPeakCount, longestPeakRun, currentPeakRun;
  std::uint32_t timeToOpenCount, timeToCloseCount, sampleCount, aboveContinuousCount;
  double meanTorque;
  double largestPositionError;
};

extern ControllerState controller;

// Zeroes the controller's states (demand, filters, charts); model start.
void resetControllerStates();
// Zeroes the metric charts' states and counters; model start.
void resetMetricCharts();
// Person load, mass terms, rate transition, mode chart and controller output;
// runs after the ramp-position sender, before the engine's dynamics.
void controllerOutputs();
// Quantisation of the motor position and the metric charts; runs after the
// engine's dynamics and events.
void controllerAfterEngine();
// This step's values become the previous ones.
void storePreviousValues();

// Parts, for tests.
void controllerModeLogic();
double shapeSpeedCommand(double demandError, double previousSpeedCommand);
double quantiseAngle(double angle);
std::uint8_t toUint8(double value);

}  // namespace sim
