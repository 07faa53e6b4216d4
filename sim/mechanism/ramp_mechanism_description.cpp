// The ramp linkage of zorvath: its constant parameters and its mechanism
// record, which the shared description builder (linkage_description.h) makes
// from this build's tables (ramp_mechanism_tables.h).
#include "sim/mechanism/linkage_description.h"
#include "sim/mechanism/ramp_mechanism.h"
#include "sim/mechanism/ramp_mechanism_tables.h"

namespace sim {

using namespace ramp_tables;

namespace {

// ---------------------------------------------------------------------------
// Constant parameters

using linkage::kOrigin;
using linkage::kZAxis;
using linkage::ParameterVector;
using linkage::Point;

constexpr std::array<double, kMechanismParameterCount> buildParameters() {
  ParameterVector<kMechanismParameterCount> p;

  // Door: massless in the description; its mass and inertia come from the
  // dynamics inputs.
  p.put(kDoorParameters + kParamCentreOfMass, {-0.3109109746, 0.5998080742, 0});
  const Point doorFrames[9] = {kOrigin,
                               kOrigin,
                               kOrigin,
                               {0.1246100409, 0.1272475842, 0},
                               {-0.2492360076, 0.5840431598, 0},
                               {-0.2579739926, 0.58023652, 0},
                               {-0.5417422997, 1.1486580347, 0},
                               {-0.5503475442, 1.1445599943, 0},
                               {-0.6508655322, 1.0905384262, 0}};
  for (int k = 0; k < 9; ++k) p.put(frameParameter(kDoorParameters, k + 1), doorFrames[k]);
  p.put(70, kZAxis);                  // Revolute
  p.put(kGround1Parameter, kOrigin);  // first ground point
  p.put(76, kZAxis);                  // Revolute1

  p.diagonal(kLink3Parameters + kParamInertia, 0.001);
  p[kLink3Parameters + kParamMass] = 1.0;
  p.put(107, kZAxis);  // Revolute2

  const Point link4Centre{0.1100958871, 0.0633079429, 0};
  p.put(kLink4Parameters + kParamCentreOfMass, link4Centre);
  p.diagonal(kLink4Parameters + kParamInertia, 0.001);
  p[kLink4Parameters + kParamMass] = 1.0;
  const Point link4Frames[5] = {
      link4Centre, link4Centre, kOrigin, {0.2201917742, 0.1266158859, 0}, link4Centre};
  for (int k = 0; k < 5; ++k) p.put(frameParameter(kLink4Parameters, k + 1), link4Frames[k]);
  p.put(156, kZAxis);                                         // Revolute3
  p.put(kGround2Parameter, {0.2351566616, 0.0082118516, 0});  // second ground point
  p.put(162, kZAxis);                                         // Revolute5

  p.diagonal(kRodParameters + kParamInertia, 0.001);
  p[kRodParameters + kParamMass] = 25755.573764142293;
  p.put(193, {1, 0, 0});  // Prismatic

  p.diagonal(kExlarParameters + kParamInertia, 0.001);
  p[kExlarParameters + kParamMass] = 1.0;
  p.put(frameParameter(kExlarParameters, 1), {-0.25, 0, 0});
  p.put(224, kZAxis);                             // Revolute4
  p.put(kGround3Parameter, {0.9277, 0.0715, 0});  // third ground point
  return p.values;
}

}  // namespace

const std::array<double, kMechanismParameterCount> kMechanismParameters = buildParameters();

EngineMechanism* buildMechanismDescription() {
  return linkage::describeLinkage<RampLinkage>(&mechanismCallback);
}

}  // namespace sim
