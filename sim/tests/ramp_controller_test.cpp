// The ramp controller with a scripted plant: the test sets the actuator
// displacement and the model time of each step and calls the controller's
// three parts in the model's order.
#include "sim/model/ramp_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "sim/model/model_data.h"
#include "sim/model/sim_model.h"

namespace {

using namespace sim::controller_constants;
using sim::controller;

// (foot 1..4, standing) for every foot-sender call.
std::vector<std::pair<int, int>> footCalls;
void recordFoot(sim::BlockRecord* block, int taskId) {
  EXPECT_EQ(taskId, 1);
  const int k = static_cast<int>(block - sim::model->blocks);
  footCalls.emplace_back(k + 1, sim::signals.footOn[k]);
}

class RampControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    *sim::model = sim::SimModel{};
    sim::signals = sim::ModelSignals{};
    sim::metrics = sim::ModelMetrics{};
    sim::parameters = sim::kDefaultParameters;
    for (double& t : sim::parameters.manTime) t = 100.0;  // nobody arrives unless a test says
    for (int k = 0; k < 4; ++k) sim::model->blocks[k].outputs = &recordFoot;
    footCalls.clear();
    sim::resetControllerStates();
    sim::resetMetricCharts();
    tick_ = 0;
  }
  void TearDown() override { sim::parameters = sim::kDefaultParameters; }

  // One major step at the next tick with actuator displacement x (m).
  void step(double x) {
    sim::model->timeTable[1] = tick_ * 0.001;
    sim::model->subRateCounter = static_cast<std::uint16_t>((tick_ + 1) % 4000);
    sim::signals.kinematicOutputs[0] = x;
    sim::controllerOutputs();
    sim::controllerAfterEngine();
    sim::storePreviousValues();
    ++tick_;
  }
  // Steps with the ramp closed, then open past 0.1 m of stroke.
  void closedSteps(int n) {
    for (int k = 0; k < n; ++k) step(0.0);
  }
  void openSteps(int n) {
    for (int k = 0; k < n; ++k) step(-0.2);
  }

  long tick_ = 0;
};

// ---------------------------------------------------------------------------
// Persons

TEST_F(RampControllerTest, PersonTimerRunsOnlyPastPointOneMetreOfStroke) {
  closedSteps(3);
  EXPECT_EQ(controller.timer, 0.0);
  EXPECT_EQ(controller.timerStart, 0.0);
  openSteps(1);  // this step's angle counts from the next step on
  EXPECT_EQ(controller.timerStart, 0.0);
  openSteps(1);
  EXPECT_DOUBLE_EQ(controller.timerStart, 0.004);
  openSteps(2);
  EXPECT_DOUBLE_EQ(controller.timer, 0.002);
  closedSteps(2);  // back below: the timer restarts
  EXPECT_EQ(controller.timer, 0.0);
  EXPECT_EQ(controller.timerStart, 0.0);

  // Exactly at 0.1 m nothing changes.
  controller.timer = 1.0;
  controller.timerStart = 0.5;
  sim::model->timeTable[1] = 2.0;
  controller.previousRawAngle = kTimerStartAngle;
  sim::controllerOutputs();
  EXPECT_EQ(controller.timer, 1.0);
  EXPECT_EQ(controller.timerStart, 0.5);
}

TEST_F(RampControllerTest, PersonLoadsFirstThenSecondFootAndLeaves) {
  sim::parameters.manTime[0] = 0.01;
  sim::parameters.manMass[0] = 80;
  sim::parameters.manTime[1] = 0.01;
  sim::parameters.manMass[1] = 0;  // a mass of 0 never changes a force
  closedSteps(1);
  openSteps(20);
  EXPECT_EQ(sim::signals.footForce[0], 80 * -19.81);  // not 2 x -9.81
  EXPECT_EQ(sim::signals.footOn[0], 1);
  openSteps(100);
  EXPECT_EQ(sim::signals.footForce[0], 0.0);
  EXPECT_EQ(sim::signals.footForce[2], 80 * -19.81);
  openSteps(100);
  EXPECT_EQ(sim::signals.footForce[2], 0.0);
  // One show for foot 1, then in one step its hide and foot 3's show, then
  // foot 3's hide.
  EXPECT_THAT(footCalls, ::testing::ElementsAre(std::pair{1, 1}, std::pair{1, 0}, std::pair{3, 1},
                                                std::pair{3, 0}));
  EXPECT_EQ(controller.personState[0], sim::kPersonGone);
  closedSteps(2);  // the timer returns to 0: the chart rearms
  EXPECT_EQ(controller.personState[0], sim::kPersonWaiting);
}

TEST_F(RampControllerTest, PersonsOnTheSameFootPositionAddTheirMasses) {
  sim::parameters.manTime[0] = 0.01;  // person 1, first position A
  sim::parameters.manMass[0] = 80;
  sim::parameters.manTime[2] = 0.05;  // person 3, first position A as well
  sim::parameters.manMass[2] = 70;
  closedSteps(1);
  openSteps(60);
  EXPECT_DOUBLE_EQ(sim::signals.footForce[0], 150 * -19.81);
  // The force changed twice; the foot is shown both times and never hidden.
  EXPECT_THAT(footCalls, ::testing::ElementsAre(std::pair{1, 1}, std::pair{1, 1}));
}

TEST_F(RampControllerTest, ArrivalAtTimeZeroWaitsForTheTimerToRun) {
  sim::parameters.manTime[1] = 0.0;  // person 2, position B
  sim::parameters.manMass[1] = 90;
  closedSteps(50);
  EXPECT_TRUE(footCalls.empty());
  openSteps(2);  // timer started, still 0
  EXPECT_TRUE(footCalls.empty());
  openSteps(1);  // e > 0
  EXPECT_THAT(footCalls, ::testing::ElementsAre(std::pair{2, 1}));
}

TEST_F(RampControllerTest, RampMassTermsFollowTheParameter) {
  sim::parameters.rampMass = 0;
  step(0);
  EXPECT_EQ(sim::signals.rampWeight, 0.0);
  EXPECT_EQ(sim::signals.rampInertiaTerm, 0.0);
  sim::parameters.rampMass = 693;
  step(0);
  EXPECT_EQ(sim::signals.rampWeight, 693 * -9.81);
  EXPECT_EQ(sim::signals.rampMass, 693.0);
  EXPECT_EQ(sim::signals.rampInertiaTerm, 693 * 0.6756);
}

// ---------------------------------------------------------------------------
// Mode logic

struct ModeCase {
  const char* title;
  std::uint8_t starting, early, command, previousCommand, modeCode;
  double speed;
  std::uint8_t subMode;
  double demand;  // with J = 100 and a previous demand of 42
};

constexpr double kJ = 100.0;
const ModeCase kModeCases[] = {
    {"StartFlagCloses", 1, 1, 0, 0, 12, 0, sim::kSubModeClose, 0.0},
    {"EarlyFlagOpens", 0, 1, 0, 0, 11, 0, sim::kSubModeOpen, kOpenDemand},
    {"NewCommandCode11Closes", 0, 0, 2, 1, 11, 0, sim::kSubModeClose, 0.0},
    {"NewCommandCode12Opens", 0, 0, 2, 1, 12, 0, sim::kSubModeOpen, kOpenDemand},
    {"NewCommandOtherCodeKeepsDemand", 0, 0, 2, 1, 5, 0, sim::kSubModeOther, 42.0},
    {"SameCommandStopsFastReverse", 0, 0, 1, 1, 11, -20, sim::kSubModeStop,
     -(kJ + (-20 + 7.5) * (-20 + 7.5) / 300)},
    {"SameCommandStopsAtMinusTen", 0, 0, 1, 1, 11, -10, sim::kSubModeStop, kJ},
    {"SameCommandStopsJustBelowTen", 0, 0, 1, 1, 11, 9.99, sim::kSubModeStop, kJ},
    {"SameCommandStopsFastForward", 0, 0, 1, 1, 11, 10, sim::kSubModeStop, kJ + 17.5 * 17.5 / 300},
};

class ModeLogicTest : public RampControllerTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ModeLogicTest, RequestGivesSubModeAndDemand) {
  const ModeCase& c = GetParam();
  controller.starting = c.starting;
  controller.early = c.early;
  controller.command = c.command;
  controller.previousCommand = c.previousCommand;
  controller.modeCode = c.modeCode;
  controller.speed = c.speed;
  controller.measuredPosition = kJ;
  controller.demand = 42.0;
  sim::controllerModeLogic();
  EXPECT_EQ(controller.subMode, c.subMode);
  EXPECT_DOUBLE_EQ(controller.demand, c.demand);
  EXPECT_EQ(controller.previousCommand, c.command);
}

INSTANTIATE_TEST_SUITE_P(Requests, ModeLogicTest, ::testing::ValuesIn(kModeCases),
                         [](const auto& info) { return std::string(info.param.title); });

TEST_F(RampControllerTest, DefaultSequenceClosesUntilHalfASecondThenOpens) {
  closedSteps(1);
  EXPECT_EQ(controller.modeState, sim::kModeEntry);
  closedSteps(400);
  EXPECT_EQ(controller.subMode, sim::kSubModeClose);
  EXPECT_EQ(controller.demand, 0.0);
  closedSteps(99);  // t = 0.499
  EXPECT_EQ(controller.subMode, sim::kSubModeClose);
  closedSteps(1);  // t = 0.5: the start flag falls while the early flag holds
  EXPECT_EQ(controller.subMode, sim::kSubModeOpen);
  EXPECT_EQ(controller.demand, kOpenDemand);
}

TEST_F(RampControllerTest, DefaultTablesOpenAtFourAndEightSecondsAndCloseAtSixteen) {
  // The 4 s task runs after the steps at 0, 4, 8, ... s, as the scheduler
  // calls it; its outputs reach the mode chart one period later.
  sim::resetScheduler();
  auto runTo = [&](long lastTick) {
    while (tick_ <= lastTick) {
      const bool taskDue = tick_ % 4000 == 0;
      closedSteps(1);
      if (taskDue) sim::subRateTask();
    }
  };
  runTo(3999);
  EXPECT_EQ(controller.command, 0);
  EXPECT_EQ(controller.subMode, sim::kSubModeOpen);
  runTo(4000);  // new command 1 with code 12: open
  EXPECT_EQ(controller.command, 1);
  EXPECT_EQ(controller.modeCode, 12);
  EXPECT_EQ(controller.subMode, sim::kSubModeOpen);
  EXPECT_EQ(controller.demand, kOpenDemand);
  controller.subMode = sim::kSubModeOther;  // shows whether the next command reruns the logic
  runTo(8000);                              // new command 2 with code 12: open again
  EXPECT_EQ(controller.command, 2);
  EXPECT_EQ(controller.subMode, sim::kSubModeOpen);
  controller.subMode = sim::kSubModeOther;
  runTo(15999);  // command 2 held again at 12 s: nothing runs
  EXPECT_EQ(controller.command, 2);
  EXPECT_EQ(controller.subMode, sim::kSubModeOther);
  EXPECT_EQ(controller.demand, kOpenDemand);
  runTo(16000);  // new command 3 with code 11: close
  EXPECT_EQ(controller.command, 3);
  EXPECT_EQ(controller.modeCode, 11);
  EXPECT_EQ(controller.subMode, sim::kSubModeClose);
  EXPECT_EQ(controller.demand, 0.0);
}

TEST_F(RampControllerTest, RateTransitionHoldsTheSubRateOutputsFourSecondsLate) {
  closedSteps(1);                   // step 0 takes the outputs over before the task first ran
  sim::signals.subRateCommand = 3;  // the task's run after step 0
  sim::signals.subRateMode = 11;
  closedSteps(3999);
  EXPECT_EQ(controller.command, 0);
  closedSteps(1);  // step 4000
  EXPECT_EQ(controller.command, 3);
  EXPECT_EQ(controller.modeCode, 11);
}

TEST(ToUint8Test, ConvertsLikeTheGeneratedCode) {
  EXPECT_EQ(sim::toUint8(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(sim::toUint8(std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(sim::toUint8(3.7), 3);
  EXPECT_EQ(sim::toUint8(256.0), 0);
  EXPECT_EQ(sim::toUint8(257.9), 1);
  EXPECT_EQ(sim::toUint8(-1.0), 255);
}

// ---------------------------------------------------------------------------
// Speed profile, current loop, quantisation

TEST(SpeedProfileTest, ShapeLimitAndRateLimit) {
  EXPECT_EQ(sim::shapeSpeedCommand(0.75, 7.5), 7.5);  // linear up to 0.75
  EXPECT_DOUBLE_EQ(sim::shapeSpeedCommand(0.76, 7.6), std::sqrt(300 * 0.76) - 7.5);
  EXPECT_DOUBLE_EQ(sim::shapeSpeedCommand(-3.0, -22.5), -(std::sqrt(900.0) - 7.5));
  EXPECT_EQ(sim::shapeSpeedCommand(1e6, 2400), 2400.0);
  EXPECT_EQ(sim::shapeSpeedCommand(-1e6, -2400), -2400.0);
  EXPECT_DOUBLE_EQ(sim::shapeSpeedCommand(10.0, 0.0), 0.2);
  EXPECT_DOUBLE_EQ(sim::shapeSpeedCommand(-10.0, 0.0), -0.2);
  EXPECT_DOUBLE_EQ(sim::shapeSpeedCommand(0.01, 0.0), 0.1);
}

TEST_F(RampControllerTest, ControlSaturatesAt48Point3588) {
  controller.commandedPosition = 1000.0;  // a large position error
  step(0);
  const double expectedCurrent = 48.3588 * -0.20678759605283836;
  EXPECT_DOUBLE_EQ(controller.current, expectedCurrent);
  EXPECT_LE(std::fabs(controller.torque), 48.3588);
  EXPECT_DOUBLE_EQ(sim::signals.actuatorForce, controller.torque * -1978.956002261287);
  controller.commandedPosition = -1000.0;
  step(0);
  EXPECT_DOUBLE_EQ(controller.current, -expectedCurrent);
}

TEST_F(RampControllerTest, SpeedFilterDifferentiatesTheMeasuredPosition) {
  controller.measuredPosition = 0.5;  // J
  controller.previousMeasured = 0.2;  // J of the step before
  controller.filter1 = 3.0;           // w1
  controller.filter2 = -1.0;          // w2
  step(0.0);
  const double w0 = 300.0 - (-0.8239088813061645) * 3.0 - 0.294288770892884 * -1.0;
  EXPECT_DOUBLE_EQ(controller.filterInput, w0);
  EXPECT_DOUBLE_EQ(controller.speed, 0.11759497239667989 * w0 + 0.23518994479335978 * 3.0 +
                                         0.11759497239667989 * -1.0);
  // The section's states move on by one step.
  EXPECT_EQ(controller.filter1, w0);
  EXPECT_EQ(controller.filter2, 3.0);
  EXPECT_EQ(controller.previousMeasured, 0.5);
}

TEST_F(RampControllerTest, CurrentLoopAddsSpeedPositionAndIntegralTerms) {
  // At rest on the demand (P = J = D of the step before, K = 0): m = 0, and
  // only the position error D - J and the integral drive the current.
  controller.measuredPosition = controller.previousMeasured = 1.5;
  controller.previousCommanded = 1.5;
  controller.commandedPosition = 2.0;  // ep = 0.5
  controller.integral = 1.0;
  step(0.0);
  EXPECT_EQ(controller.speedCommand, 0.0);
  EXPECT_DOUBLE_EQ(controller.current, (10 * 0.5 + 1.0) * -0.20678759605283836);
  EXPECT_DOUBLE_EQ(sim::signals.actuatorForce, controller.current * -4.83588 * -1978.956002261287);
  EXPECT_DOUBLE_EQ(controller.integral, 1.0 + 0.001 * 0.5 * 251.32741228718345);
}

TEST_F(RampControllerTest, IntegralIsLimitedToTheContinuousCurrent) {
  for (int k = 0; k < 300; ++k) {
    controller.commandedPosition = 1000.0;  // keep the error large
    step(0.0);
  }
  EXPECT_EQ(controller.integral, 23.94);
  for (int k = 0; k < 600; ++k) {
    controller.commandedPosition = -1000.0;
    step(0.0);
  }
  EXPECT_EQ(controller.integral, -23.94);
}

TEST(QuantisationTest, HalvesGoAwayFromZero) {
  EXPECT_EQ(sim::quantiseAngle(0.5 * kQuantum), kQuantum);
  EXPECT_EQ(sim::quantiseAngle(-0.5 * kQuantum), -kQuantum);
  EXPECT_EQ(sim::quantiseAngle(0.49 * kQuantum), 0.0);
  EXPECT_EQ(sim::quantiseAngle(0.0), 0.0);
  EXPECT_DOUBLE_EQ(sim::quantiseAngle(-10.2 * kQuantum), -10 * kQuantum);
}

TEST_F(RampControllerTest, MeasuredPositionIsTheQuantisedAngleWithNoise) {
  sim::signals.noise = 0.6 * kQuantum;
  step(0.0);
  EXPECT_EQ(controller.quantisedAngle, kQuantum);
  EXPECT_EQ(controller.measuredPosition, kQuantum);  // for the next step
}

// ---------------------------------------------------------------------------
// Metrics

class MetricChartTest : public RampControllerTest {
 protected:
  // One step of the metric charts with the given motor current and flags.
  void metricStep(double current, bool closed, bool open, double commanded = 0.0) {
    controller.current = current;
    controller.closed = closed;
    controller.open = open;
    controller.commandedPosition = commanded;
    sim::controllerAfterEngine();
  }
};

TEST_F(MetricChartTest, PeakRunStillGoingAtTheEndIsNotCounted) {
  const double peak = 20.0, low = 0.0;  // |current x -4.83588| above and below the peak
  for (double current : {peak, peak, peak, peak, low, peak, peak}) metricStep(current, true, false);
  EXPECT_DOUBLE_EQ(sim::metrics.timeAtMaxTorque, 0.006);
  EXPECT_DOUBLE_EQ(sim::metrics.maxTimeHoldingPeakTorque, 0.002);
  EXPECT_DOUBLE_EQ(sim::metrics.timeAboveContinuous, 0.006);
  EXPECT_DOUBLE_EQ(sim::metrics.averageTorque, 6 * 20.0 * 4.83588 / 7);
}

TEST_F(MetricChartTest, TimeToOpenCountsTheFirstOpeningOnly) {
  const struct {
    bool closed, open;
  } script[] = {{true, false},  {true, false}, {false, false}, {false, false},
                {false, false}, {false, true}, {false, false}, {false, false}};
  for (const auto& s : script) metricStep(0, s.closed, s.open);
  EXPECT_DOUBLE_EQ(sim::metrics.timeToOpen, 0.002);
}

TEST_F(MetricChartTest, TimeToCloseRestartsWhenTheRampOpensAgain) {
  const struct {
    bool closed, open;
  } script[] = {{true, false},                                   // entry
                {false, true},                                   // open: counting starts over
                {false, false},                                  // leaves open
                {false, false},                                  // +1
                {false, true},                                   // open again: back to 0
                {false, false}, {false, false}, {false, false},  // leaves open, +1, +1
                {true, false},                                   // closed: done
                {false, false}, {false, false}};
  for (const auto& s : script) metricStep(0, s.closed, s.open);
  EXPECT_DOUBLE_EQ(sim::metrics.timeToClose, 0.002);
}

TEST_F(MetricChartTest, LargestPositionErrorIsKept) {
  metricStep(0, true, false, 3.0);
  metricStep(0, true, false, -7.5);
  metricStep(0, true, false, 1.0);
  EXPECT_DOUBLE_EQ(sim::metrics.posErrorMax, 7.5);
}

}  // namespace
