// The model's scheduler and run loop, run in-process: step counts, the 4 s
// task's sequences, engine failures and the instance guard.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_method_table.h"
#include "sim/mechanism/ramp_mechanism.h"
#include "sim/model/model_data.h"
#include "sim/model/model_method_table.h"
#include "sim/model/sim_model.h"
#include "sim/model/zorvath_program.h"
#include "sim/numeric/numeric_routines.h"
#include "sim/tests/temp_directory.h"

namespace {

using ::testing::HasSubstr;

// The model's own unpackState (when it links one), made to fail once the
// mechanism's time reaches failTime.
double failTime = -1.0;
using UnpackState = bool(EngineMechanism*, bool);
bool failingUnpackState(EngineMechanism* mechanism, bool keep) {
  if (failTime >= 0.0 && mechanism->time >= failTime - 1e-9)
    return setEngineError("Error originates in Mechanical block %s. Injected failure.",
                          "zorvath/Injected");
  const EngineMethod own =
      sim::modelMethodTable()->methods[static_cast<int>(EngineMethodId::unpackState)];
  return own != nullptr && methodAs<UnpackState>(own)(mechanism, keep);
}

std::vector<std::pair<double, double>> subRateOutputs;
void recordSubRate(double command, double mode) {
  subRateOutputs.emplace_back(command, mode);
}

class ModelRunTest : public TempDirectoryTest {
 protected:
  void SetUp() override {
    TempDirectoryTest::SetUp();
    // Registered before the model's own table: the first registration wins.
    resetEngineMethodSet();
    EngineMethodTable table{};
    table.methods[static_cast<int>(EngineMethodId::unpackState)] =
        toEngineMethod(&failingUnpackState);
    registerMechanismMethods(&table);
    failTime = -1.0;
    subRateOutputs.clear();
    sim::subRateTaskObserver = &recordSubRate;
    sim::parameters = sim::kDefaultParameters;
  }
  void TearDown() override {
    sim::subRateTaskObserver = nullptr;
    failTime = -1.0;
    TempDirectoryTest::TearDown();
  }

  int runProgram() {
    const char* argv[] = {"zorvath"};
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = sim::runZorvath(1, argv);
    out_ = ::testing::internal::GetCapturedStdout();
    err_ = ::testing::internal::GetCapturedStderr();
    return status;
  }

  std::string out_, err_;
};

TEST_F(ModelRunTest, RunCoversTwentySecondsInMajorStepsWithSixSubRateRuns) {
  EXPECT_EQ(runProgram(), 0) << err_;
  EXPECT_EQ(sim::model->baseTick, 20001u);
  EXPECT_DOUBLE_EQ(sim::model->timeTable[1], 20.001);
  EXPECT_STREQ(sim::model->errorStatus, "Simulation finished");
  const std::vector<std::pair<double, double>> expected = {{1, 12}, {2, 12}, {2, 12},
                                                           {3, 11}, {3, 12}, {3, 12}};
  EXPECT_EQ(subRateOutputs, expected);
  EXPECT_FALSE(exists("zorvath.qmf"));
}

// The measurement noise: one count of a 13-bit encoder per standard
// deviation, drawn at the start and again at the end of every major step.
TEST_F(ModelRunTest, NoiseIsOneCountOfAThirteenBitEncoder) {
  constexpr double kScale = 2.0 * 3.141592653589793 / 8192.0;
  std::uint32_t seed = sim::kNoiseSeed;
  sim::modelInitialize();
  ASSERT_EQ(sim::model->errorStatus, nullptr);
  EXPECT_EQ(sim::signals.noise, sim::normalRandom(&seed) * kScale);
  sim::oneStep();
  EXPECT_EQ(sim::signals.noise, sim::normalRandom(&seed) * kScale);
  EXPECT_EQ(sim::noiseSeed, seed);
  sim::modelTerminate();
}

TEST_F(ModelRunTest, SubRateSequencesRepeatWithPeriodsSevenAndFour) {
  sim::resetScheduler();
  for (int k = 0; k < 28; ++k) sim::subRateTask();
  ASSERT_EQ(subRateOutputs.size(), 28u);
  const double commands[] = {1, 2, 2, 3, 3, 3, 3};
  const double modes[] = {12, 12, 12, 11};
  for (int k = 0; k < 28; ++k) {
    EXPECT_EQ(subRateOutputs[k].first, commands[k % 7]) << k;
    EXPECT_EQ(subRateOutputs[k].second, modes[k % 4]) << k;
  }
}

TEST_F(ModelRunTest, EngineFailureEndsTheRunWithItsMessageAndStatusOne) {
  failTime = 2.5;
  EXPECT_EQ(runProgram(), 1);
  EXPECT_EQ(err_, "Error originates in Mechanical block zorvath/Injected. Injected failure.\n");
  // The step whose minor step reaches 2.5 s is the last.
  EXPECT_EQ(sim::model->baseTick, 2500u);
  EXPECT_THAT(out_, HasSubstr("\nPosErrorMax "));
  EXPECT_FALSE(exists("zorvath.qmf"));
}

TEST_F(ModelRunTest, FailureAtTheFirstKinematicsStepEndsAfterOneStep) {
  failTime = 0.0;
  EXPECT_EQ(runProgram(), 1);
  EXPECT_THAT(err_, HasSubstr("Injected failure."));
  EXPECT_EQ(sim::model->baseTick, 0u);  // the first step never got to its end
  EXPECT_THAT(out_, HasSubstr("\nTimeAtMaxTorque "));
}

TEST_F(ModelRunTest, InstanceCounterNeverGoesNegativeAndTheMechanismLivesWithTheModel) {
  sim::modelInitialize();
  ASSERT_EQ(sim::model->errorStatus, nullptr);
  EngineMechanism* mechanism = sim::buildMechanismDescription();
  EXPECT_EQ(mechanism->isCreated, 1);
  ::testing::internal::CaptureStdout();
  sim::modelTerminate();
  sim::modelTerminate();  // a second terminate neither destroys nor counts again
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(mechanism->isCreated, 0);
  sim::modelInitialize();
  EXPECT_EQ(sim::model->errorStatus, nullptr);  // not taken for a second instance
  EXPECT_EQ(mechanism->isCreated, 1);
  ::testing::internal::CaptureStdout();
  sim::modelTerminate();
  ::testing::internal::GetCapturedStdout();
}

}  // namespace
