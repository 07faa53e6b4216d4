// The linkage of the command-line build: its constant parameters and its
// mechanism record, which the shared description builder
// (sim/mechanism/linkage_description.h) makes from this build's tables
// (cli_mechanism_tables.h).
#include "sim/mechanism/linkage_description.h"
#include "sim_cli/mechanism/cli_mechanism.h"
#include "sim_cli/mechanism/cli_mechanism_tables.h"

namespace sim_cli {

using namespace cli_tables;

namespace {

// ---------------------------------------------------------------------------
// Constant parameters

using sim::linkage::kOrigin;
using sim::linkage::kZAxis;
using sim::linkage::ParameterVector;
using sim::linkage::Point;

constexpr std::array<double, kMechanismParameterCount> buildParameters() {
  ParameterVector<kMechanismParameterCount> p;
  constexpr Point small{0.001, 0.001, 0.001};

  p.put(kRevolute5Axis, kZAxis);

  const Point link4Centre{0.1100958871, 0.0633079429, 0};
  p.put(kLink4Parameters + kParamCentreOfMass, link4Centre);
  p.diagonal(kLink4Parameters + kParamInertia, small);
  p[kLink4Parameters + kParamMass] = 1.0;
  const Point link4Frames[5] = {
      link4Centre, link4Centre, kOrigin, {0.2201917742, 0.1266158859, 0}, link4Centre};
  for (int k = 0; k < 5; ++k) p.put(frameParameter(kLink4Parameters, k + 1), link4Frames[k]);

  p.put(kRevolute3Axis, kZAxis);
  p.put(kGround2Parameter, {0.2351566616, 0.0082118516, 0});
  p.put(kRevolute2Axis, kZAxis);

  p.diagonal(kLink3Parameters + kParamInertia, small);
  p[kLink3Parameters + kParamMass] = 1.0;

  p.put(kRevolute1Axis, kZAxis);

  // The Door carries its own mass here; only its weight and the persons'
  // loads come in as forces.
  p.put(kDoorParameters + kParamCentreOfMass, {-0.3109109746, 0.5998080742, 0});
  p.diagonal(kDoorParameters + kParamInertia, {1.0, 1.0, 183.03057936});
  p[kDoorParameters + kParamMass] = 401.0;
  const Point doorFrames[kDoorFrameCount] = {kOrigin,
                                             kOrigin,
                                             {0.1246100409, 0.1272475842, 0},
                                             {-0.1993888061, 0.4672345278, 0},
                                             {-0.2579739926, 0.58023652, 0},
                                             {-0.4333938397, 0.9189264278, 0},
                                             {-0.5503475442, 1.1445599943, 0},
                                             {-0.6508655322, 1.0905384262, 0}};
  for (int k = 0; k < kDoorFrameCount; ++k)
    p.put(frameParameter(kDoorParameters, k + 1), doorFrames[k]);

  p.put(kRevoluteAxis, kZAxis);
  p.put(kGround1Parameter, kOrigin);

  p.diagonal(kRodParameters + kParamInertia, small);
  p[kRodParameters + kParamMass] = 25755.573764142293;

  p.put(kPrismaticAxis, {1, 0, 0});

  p.diagonal(kExlarParameters + kParamInertia, small);
  p[kExlarParameters + kParamMass] = 1.0;
  p.put(frameParameter(kExlarParameters, 1), {-0.25, 0, 0});

  p.put(kRevolute4Axis, kZAxis);
  p.put(kGround3Parameter, {0.9277, 0.0715, 0});
  return p.values;
}

}  // namespace

const std::array<double, kMechanismParameterCount> kMechanismParameters = buildParameters();

EngineMechanism* buildMechanismDescription() {
  return sim::linkage::describeLinkage<CliLinkage>(&mechanismCallback);
}

}  // namespace sim_cli
