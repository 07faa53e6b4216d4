// zorvath_cli's build run in-process, with its viewer sender pointed at a
// listener of the test: the 14 s run and its datagrams, the echo of options
// as they are read, the 4 s sequences, a sender that cannot start, and the
// build's controller tuning.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/model/model_data.h"
#include "sim/model/model_variant.h"
#include "sim/model/ramp_controller.h"
#include "sim/numeric/numeric_routines.h"
#include "sim/tests/temp_directory.h"
#include "sim/tests/udp_listener.h"
#include "sim_cli/mechanism/cli_mechanism.h"
#include "sim_cli/model/cli_model.h"

namespace {

using ::testing::ElementsAre;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Counts the ramp-position datagrams, and those of another length, until
// told to stop and the socket has gone quiet; keeps the last value sent.
class RampPositionCounter {
 public:
  explicit RampPositionCounter(UdpListener& listener)
      : listener_(listener), thread_([this] { run(); }) {}
  std::pair<int, int> stopAndCount() {
    stop_ = true;
    thread_.join();
    return {count_, otherLength_};
  }
  double lastValue() const { return lastValue_; }

 private:
  void run() {
    char buffer[2048];
    pollfd p{listener_.descriptor(), POLLIN, 0};
    while (true) {
      if (poll(&p, 1, 200) <= 0) {
        if (stop_) return;
        continue;
      }
      const ssize_t n = recv(listener_.descriptor(), buffer, sizeof buffer - 1, 0);
      if (n <= 0 || std::string(buffer, n).rfind("drelvik.0:ramp.0 p ", 0) != 0) continue;
      ++count_;
      if (n != 25) ++otherLength_;
      buffer[n] = '\0';
      std::sscanf(buffer, "drelvik.0:ramp.0 p %lf", &lastValue_);
    }
  }
  UdpListener& listener_;
  std::atomic<bool> stop_{false};
  int count_ = 0;
  int otherLength_ = 0;
  double lastValue_ = 0.0;
  std::thread thread_;
};

std::vector<std::pair<double, double>> subRateOutputs;
void recordSubRate(double command, double mode) {
  subRateOutputs.emplace_back(command, mode);
}

class CliRunTest : public TempDirectoryTest {
 protected:
  void SetUp() override {
    TempDirectoryTest::SetUp();
    listener_.enlargeBuffer(64 << 20);
    sim::blockParameters.port[2] = listener_.port();
    subRateOutputs.clear();
  }
  void TearDown() override {
    sim::subRateTaskObserver = nullptr;
    sim::blockParameters = sim::kDefaultBlockParameters;
    sim::selectModelVariant(sim::kRampModel);
    TempDirectoryTest::TearDown();
  }
  int run(std::vector<const char*> argv) {
    argv.insert(argv.begin(), "zorvath_cli");
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = sim_cli::runZorvathCli(static_cast<int>(argv.size()), argv.data());
    err_ = ::testing::internal::GetCapturedStderr();
    out_ = ::testing::internal::GetCapturedStdout();
    return status;
  }
  UdpListener listener_;
  std::string out_, err_;
};

const std::vector<std::string> kMetricOrder = {
    "TimeAtMaxTorque", "MaxTimeHoldingPeakTorque", "TimeToOpen", "TimeToClose",
    "AverageTorque",   "TimeAboveContinuous",      "PosErrorMax"};

std::vector<std::string> labels(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& line : lines) out.push_back(line.substr(0, line.find(' ')));
  return out;
}

TEST_F(CliRunTest, DefaultRunOpensTheRampAndSendsEveryRampPosition) {
  RampPositionCounter counter(listener_);
  EXPECT_EQ(run({}), 0) << err_;
  EXPECT_EQ(counter.stopAndCount(), std::make_pair(14001, 0));
  EXPECT_EQ(err_, "");
  // Nothing is echoed without options: the seven metric lines only.
  EXPECT_EQ(labels(linesOf(out_)), kMetricOrder);
  EXPECT_EQ(sim::model->baseTick, 14001u);
  EXPECT_STREQ(sim::model->errorStatus, "Simulation finished");
  EXPECT_TRUE(filesLeft().empty());
  EXPECT_EQ(sim::model->numBlocks, 1);
  EXPECT_STREQ(sim::model->blockTable[0]->name, "OgreSend");
  // The ramp opens within the run and is held at the open demand of 0.16 m
  // of stroke (about 104 degrees of hinge); nothing asks it to close again.
  using namespace sim::controller_constants;
  EXPECT_GT(sim::metrics.timeToOpen, 0.5);
  EXPECT_LT(sim::metrics.timeToOpen, 13.0);
  EXPECT_EQ(sim::metrics.timeToClose, 0.0);
  EXPECT_NEAR(sim::signals.kinematicOutputs[1], kOpenDemand / kScrewRadiansPerMetre, 1e-3);
  EXPECT_GT(sim::signals.kinematicOutputs[0], 90.0);
  // The datagrams carry the ramp position in degrees, not the stroke.
  EXPECT_NEAR(counter.lastValue(), sim::signals.kinematicOutputs[0], 0.02);
}

TEST_F(CliRunTest, EachOptionIsEchoedAsSoonAsItIsRead) {
  sim::subRateTaskObserver = &recordSubRate;
  EXPECT_EQ(run({"-ManMass", "1",  "2",   "3",   "4",  "5",   "6",   "7",   "8",  //
                 "-ManTime", "0",  "0",   "1",   "1",  "2",   "2",   "3",   "3",  //
                 "-ManMass", "90", "100", "100", "90", "110", "110", "100", "90"}),
            0)
      << err_;
  const std::vector<std::string> lines = linesOf(out_);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 3),
              ElementsAre("ManMass: 1.000000 2.000000 3.000000 4.000000 5.000000 6.000000 "
                          "7.000000 8.000000",
                          "ManTime: 0.000000 0.000000 1.000000 1.000000 2.000000 2.000000 "
                          "3.000000 3.000000",
                          "ManMass: 90.000000 100.000000 100.000000 90.000000 110.000000 "
                          "110.000000 100.000000 90.000000"));
  EXPECT_EQ(labels(std::vector<std::string>(lines.begin() + 3, lines.end())), kMetricOrder);
  EXPECT_EQ(sim::parameters.manMass[0], 90.0);
  // The build's 4 s sequences, at 0, 4, 8 and 12 s.
  EXPECT_THAT(subRateOutputs, ElementsAre(std::make_pair(1.0, 12.0), std::make_pair(2.0, 12.0),
                                          std::make_pair(3.0, 12.0), std::make_pair(3.0, 12.0)));
}

TEST_F(CliRunTest, DefaultsAreTheBuildsOwn) {
  sim::selectModelVariant(sim_cli::kCliModel);
  EXPECT_THAT(sim::parameters.manTime, ElementsAre(5.322157, 6.52893, 10.47, 10.46678, 1.499254,
                                                   2.287194, 3.256045, 4.714716));
  EXPECT_THAT(sim::parameters.manMass, ElementsAre(106.018784, 110.707368, 107.76865, 104.23948,
                                                   105.590268, 91.680771, 102.289689, 111.367581));
  // The noise is one count of a 12-bit encoder per standard deviation.
  sim::modelInitialize();
  std::uint32_t seed = sim::kNoiseSeed;
  EXPECT_EQ(sim::signals.noise, sim::normalRandom(&seed) * (2.0 * 3.141592653589793 / 4096.0));
  EXPECT_EQ(sim::model->stopTime, 14.0);
  sim::modelTerminate();
}

// The engine's first input port: feet 4, 3, 2, 1 and the Door's constant
// weight as (0, F, 0), then the actuator force; no mass or inertia entries.
TEST_F(CliRunTest, EngineInputsAreTheFeetTheDoorsWeightAndTheActuatorForce) {
  sim::selectModelVariant(sim_cli::kCliModel);
  sim::modelInitialize();
  ASSERT_EQ(sim::model->errorStatus, nullptr);
  for (const sim::EngineBlockIndex b : {sim::kKinematicsBlock, sim::kDynamicsBlock}) {
    double* const* in = sim::engineBlocks[b].input.inputPorts[0];
    ASSERT_NE(in, nullptr);
    // clang-format off
    const double* expected[16] = {
        nullptr, &sim::signals.footForce[3], nullptr,
        nullptr, &sim::signals.footForce[2], nullptr,
        nullptr, &sim::signals.footForce[1], nullptr,
        nullptr, &sim::signals.footForce[0], nullptr,
        nullptr, nullptr,                    nullptr,
        &sim::signals.actuatorForce,
    };
    // clang-format on
    for (int k = 0; k < 16; ++k) {
      if (expected[k] != nullptr) {
        EXPECT_EQ(in[k], expected[k]) << k;
      } else if (k != 13) {
        EXPECT_EQ(*in[k], 0.0) << k;
      }
    }
    // The model's constant is the one written in the model, -3933.81, not
    // the description's 401 x -9.81 one unit in the last place away.
    EXPECT_EQ(*in[13], -3933.81);
  }
  sim::modelTerminate();
}

TEST_F(CliRunTest, SenderThatCannotStartStopsBeforeTheNoiseAndTheEngine) {
  sim::blockParameters.address[1] = 16;  // one character more than the address can hold
  sim::noiseSeed = 7;
  EXPECT_EQ(run({}), 1);
  EXPECT_EQ(err_, "Error: udp address parameter must be a text of at most 15 characters\n");
  EXPECT_EQ(sim::model->baseTick, 0u);
  EXPECT_EQ(sim::noiseSeed, 7u);
  EXPECT_EQ(sim_cli::buildMechanismDescription()->isCreated, 0);
  EXPECT_EQ(labels(linesOf(out_)), kMetricOrder);
  EXPECT_THAT(out_, ::testing::EndsWith("PosErrorMax 0.000000\n"));
}

// ---------------------------------------------------------------------------
// The build's controller tuning, with a scripted plant.

class CliControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::selectModelVariant(sim_cli::kCliModel);
    *sim::model = sim::SimModel{};
    sim::signals = sim::ModelSignals{};
    sim::metrics = sim::ModelMetrics{};
    sim::resetControllerStates();
    sim::resetMetricCharts();
  }
  void TearDown() override { sim::selectModelVariant(sim::kRampModel); }
  void step(double displacement) {
    sim::model->timeTable[1] = tick_ * 0.001;
    sim::signals.kinematicOutputs[0] = 12.5;  // the ramp position, not read by the controller
    sim::signals.kinematicOutputs[1] = displacement;
    sim::controllerOutputs();
    sim::controllerAfterEngine();
    sim::storePreviousValues();
    ++tick_;
  }
  long tick_ = 0;
};

TEST_F(CliControllerTest, CurrentLoopSaturatesAtTheBuildsMotorLimits) {
  sim::controller.commandedPosition = 1000.0;  // a large position error
  step(0.0);
  EXPECT_DOUBLE_EQ(sim::controller.current, 26.866 * -0.37221767289510904);
  EXPECT_DOUBLE_EQ(sim::controller.torque, 26.866);
  EXPECT_DOUBLE_EQ(sim::signals.actuatorForce, 26.866 * -1978.956002261287);
  EXPECT_EQ(sim::controller.integral, 13.3);  // 0.001 x 1000 x 160 pi, limited
  // The torque is at the peak and above the continuous torque.
  EXPECT_DOUBLE_EQ(sim::metrics.timeAtMaxTorque, 0.001);
  EXPECT_DOUBLE_EQ(sim::metrics.timeAboveContinuous, 0.001);
}

TEST_F(CliControllerTest, IntegralGainIsOneHundredSixtyPi) {
  sim::controller.commandedPosition = 0.01;
  step(0.0);
  EXPECT_DOUBLE_EQ(sim::controller.integral, 0.001 * 0.01 * 502.6548245743669);
  // Below 13.3 the torque counts neither at the peak nor above continuous.
  EXPECT_EQ(sim::metrics.timeAboveContinuous, 0.0);
}

TEST_F(CliControllerTest, TorqueBetweenTheTwoThresholdsCountsAboveContinuousOnly) {
  // Position error 2: the control is 20, and so is the torque (the motor's
  // two factors multiply to one): above 13.3, below the peak of 26.866.
  sim::controller.commandedPosition = 2.0;
  step(0.0);
  EXPECT_NEAR(std::fabs(sim::controller.current * -2.6866), 20.0, 1e-9);
  EXPECT_DOUBLE_EQ(sim::metrics.timeAboveContinuous, 0.001);
  EXPECT_EQ(sim::metrics.timeAtMaxTorque, 0.0);
}

TEST_F(CliControllerTest, MotorAngleComesFromTheSecondKinematicOutput) {
  step(-0.2);
  EXPECT_DOUBLE_EQ(sim::controller.rawAngle, -0.2 * -2473.6950028266087);
  // Quantised to 4096 counts per turn with the build's noise (zero here).
  const double q = 2.0 * 3.141592653589793 / 4096.0;
  EXPECT_DOUBLE_EQ(sim::controller.quantisedAngle,
                   std::floor(0.2 * 2473.6950028266087 / q + 0.5) * q);
}

TEST_F(CliControllerTest, SpeedFilterUsesTheBuildsCoefficients) {
  sim::controller.measuredPosition = 1.0;  // J jumped by 1 since the last step
  step(0.0);
  EXPECT_DOUBLE_EQ(sim::controller.filterInput, 1000.0);
  EXPECT_DOUBLE_EQ(sim::controller.speed, 0.08483962696941312 * 1000.0);
  step(0.0);  // J = 0 now: rate -1000 against the filter's history
  EXPECT_DOUBLE_EQ(sim::controller.filterInput, -1000.0 - (-1.0242167772160824) * 1000.0);
}

}  // namespace
