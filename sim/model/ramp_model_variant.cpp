// zorvath's build of the ramp model: its tuning, sequences, blocks, engine
// wiring, mechanism and defaults; and the selection of the build.
#include <iterator>

#include "sim/mechanism/ramp_mechanism.h"
#include "sim/model/model_variant.h"

namespace sim {

namespace {

constexpr ControllerTuning kRampTuning = {
    .filterA1 = -0.8239088813061645,
    .filterA2 = 0.294288770892884,
    .filterB0 = 0.11759497239667989,
    .filterB1 = 0.23518994479335978,
    .filterB2 = 0.11759497239667989,
    .controlLimit = 48.3588,
    .currentPerControl = -0.20678759605283836,
    .torquePerCurrent = -4.83588,
    .torqueLimit = 48.3588,
    .integralGain = 251.32741228718345,  // 80 pi
    .integralLimit = 23.94,
    .peakTorque = 48.3588,
    .continuousTorque = 23.94,
};

constexpr double kCommandSequence[] = {1, 2, 2, 3, 3, 3, 3};
constexpr double kModeSequence[] = {12, 12, 12, 11};

constexpr ModelBlock kBlocks[] = {kFoot1Block, kFoot2Block,    kFoot3Block,
                                  kFoot4Block, kOgreSendBlock, kRealTimeDelayBlock};

// Constant entries of the force vectors and of the ramp's inertia matrix.
constexpr double kZero = 0.0;
constexpr double kOne = 1.0;

// Foot 4, 3, 2, 1 and the ramp weight as (0, F, 0); the ramp mass; its
// inertia row by row; the actuator force.
// clang-format off
const double* const kDynamicInputs[] = {
    &kZero, &signals.footForce[3], &kZero,
    &kZero, &signals.footForce[2], &kZero,
    &kZero, &signals.footForce[1], &kZero,
    &kZero, &signals.footForce[0], &kZero,
    &kZero, &signals.rampWeight,   &kZero,
    &signals.rampMass,
    &kOne,  &kZero,                &kZero,
    &kZero, &kOne,                 &kZero,
    &kZero, &kZero,                &signals.rampInertiaTerm,
    &signals.actuatorForce,
};
// clang-format on
static_assert(std::size(kDynamicInputs) == kRampDynamicInputCount);
static_assert(std::size(kDynamicInputs) <= kDynamicInputCapacity);

const ModelVariant* selected = &kRampModel;

}  // namespace

constinit const ModelVariant kRampModel = {
    .stopTime = 20.0,
    .instanceMarker = 2881,
    .noiseScale = 2.0 * 3.141592653589793 / 8192.0,  // one count of a 13-bit encoder
    .tuning = &kRampTuning,
    .commandSequence = kCommandSequence,
    .modeSequence = kModeSequence,
    .blocks = kBlocks,
    .rampMassTerms = true,
    .dynamicInputs = kDynamicInputs,
    .displacementOutput = 0,
    .rampPositionOutput = 1,
    .dynamicOutputPort = true,
    .buildMechanism = &buildMechanismDescription,
    .mechanismParameters = kMechanismParameters.data(),
    .defaultParameters = kDefaultParameters,
};

const ModelVariant& modelVariant() {
  return *selected;
}

void selectModelVariant(const ModelVariant& variant) {
  selected = &variant;
  parameters = variant.defaultParameters;
}

}  // namespace sim
