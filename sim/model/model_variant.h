// The data that tells the two builds of the ramp model apart. zorvath and
// zorvath_cli run the same model code (scheduler, base-rate step, Euler
// update, controller, person load, metrics, logger, viewer sender); what
// differs is only the data here: tunings and constants, the 4 s task's
// sequences, which user-code blocks exist, how the engine blocks' ports are
// wired, the mechanism and the parameter defaults.
#pragma once

#include <cstdint>
#include <span>

#include "mech_engine_common/engine_mechanism.h"
#include "sim/model/sim_model.h"

namespace sim {

// The controller constants that differ between the builds (motor and gains).
struct ControllerTuning {
  // Speed filter: second-order low pass on the differentiated position.
  double filterA1, filterA2;
  double filterB0, filterB1, filterB2;
  // Current loop.
  double controlLimit;
  double currentPerControl;
  double torquePerCurrent;
  double torqueLimit;
  double integralGain;
  double integralLimit;
  // Metric thresholds.
  double peakTorque;
  double continuousTorque;
};

struct ModelVariant {
  double stopTime;
  std::uint32_t instanceMarker;  // of the single-instance guard
  double noiseScale;             // normal sample -> measurement noise (rad)
  const ControllerTuning* tuning;
  std::span<const double> commandSequence;  // the 4 s task's two cyclic tables
  std::span<const double> modeSequence;
  // The user-code blocks that exist, in block-table order.
  std::span<const ModelBlock> blocks;
  // RampMass feeds the ramp's weight, mass and inertia signals.
  bool rampMassTerms;

  // Engine blocks: the signals of the first input port of the kinematics and
  // dynamics blocks, the entries of the kinematics block's first output that
  // the model reads, and whether the dynamics block has an output port of
  // its own before the one that feeds the events block.
  std::span<const double* const> dynamicInputs;
  int displacementOutput;
  int rampPositionOutput;
  bool dynamicOutputPort;

  // The mechanism and its constant parameter vector.
  EngineMechanism* (*buildMechanism)();
  const double* mechanismParameters;

  ModelParameters defaultParameters;
};

// zorvath's data.
extern const ModelVariant kRampModel;

// The build the model code runs; zorvath's unless another is selected.
const ModelVariant& modelVariant();
// Selects the build (before modelInitialize) and resets the model parameters
// to its defaults.
void selectModelVariant(const ModelVariant& variant);

// Most dynamic inputs of any build.
inline constexpr int kDynamicInputCapacity = 26;

}  // namespace sim
