// zorvath_cli's data: another motor and controller tuning, other sequences
// and person loads, the viewer sender as its only block, a 14 s run, and a
// mechanism on another spanning tree with fewer signals.
#include "sim_cli/model/cli_model.h"

#include <iterator>

#include "sim/model/zorvath_program.h"
#include "sim_cli/mechanism/cli_mechanism.h"

namespace sim_cli {

namespace {

using sim::signals;

constexpr sim::ControllerTuning kCliTuning = {
    .filterA1 = -1.0242167772160824,
    .filterA2 = 0.3635752850937346,
    .filterB0 = 0.08483962696941312,
    .filterB1 = 0.16967925393882624,
    .filterB2 = 0.08483962696941312,
    .controlLimit = 26.866,
    .currentPerControl = -0.37221767289510904,
    .torquePerCurrent = -2.6866,
    .torqueLimit = 26.866,
    .integralGain = 502.6548245743669,  // 160 pi
    .integralLimit = 13.3,
    .peakTorque = 26.866,
    .continuousTorque = 13.3,
};

constexpr double kCommandSequence[] = {1, 2, 3, 3, 3, 3, 3};
constexpr double kModeSequence[] = {12, 12, 12};

constexpr sim::ModelBlock kBlocks[] = {sim::kOgreSendBlock};

constexpr double kZero = 0.0;
// The Door's weight as the model writes it (the description's port constant
// is the product 401 x -9.81, one unit in the last place away).
constexpr double kDoorWeightSignal = -3933.81;

// Foot 4, 3, 2, 1 and the Door's weight as (0, F, 0), then the actuator
// force.
// clang-format off
const double* const kDynamicInputs[] = {
    &kZero, &signals.footForce[3], &kZero,
    &kZero, &signals.footForce[2], &kZero,
    &kZero, &signals.footForce[1], &kZero,
    &kZero, &signals.footForce[0], &kZero,
    &kZero, &kDoorWeightSignal,   &kZero,
    &signals.actuatorForce,
};
// clang-format on
static_assert(std::size(kDynamicInputs) == kDynamicInputCount);
static_assert(std::size(kDynamicInputs) <= sim::kDynamicInputCapacity);

constexpr sim::CommandOption kOptions[] = {
    {"-ManTime", "ManTime", 8, [](sim::ModelParameters& p) { return p.manTime; }},
    {"-ManMass", "ManMass", 8, [](sim::ModelParameters& p) { return p.manMass; }},
};

constexpr const char* kUsageLines[] = {
    "\nCommand line argument format example: \n",
    "-ManTime 0 0 1 1 2 2 3 3\n",
    "And/Or\n",
    "-ManMass 90 100 100 90 110 110 100 90\n",
};

}  // namespace

constinit const sim::ModelVariant kCliModel = {
    .stopTime = 14.0,
    .instanceMarker = 2120,
    .noiseScale = 2.0 * 3.141592653589793 / 4096.0,  // one count of the 12-bit encoder
    .tuning = &kCliTuning,
    .commandSequence = kCommandSequence,
    .modeSequence = kModeSequence,
    .blocks = kBlocks,
    .rampMassTerms = false,
    .dynamicInputs = kDynamicInputs,
    .displacementOutput = 1,
    .rampPositionOutput = 0,
    .dynamicOutputPort = false,
    .buildMechanism = &buildMechanismDescription,
    .mechanismParameters = kMechanismParameters.data(),
    .defaultParameters = {{5.322157, 6.52893, 10.47, 10.46678, 1.499254, 2.287194, 3.256045,
                           4.714716},
                          {106.018784, 110.707368, 107.76865, 104.23948, 105.590268, 91.680771,
                           102.289689, 111.367581},
                          0.0,
                          {1, 1, 0}},
};

const sim::CommandLine kCliCommandLine = {kOptions, kUsageLines, sim::EchoTiming::AsRead};

int runZorvathCli(int argc, const char* const* argv) {
  sim::selectModelVariant(kCliModel);
  return sim::runModelProgram(argc, argv, kCliCommandLine);
}

}  // namespace sim_cli
