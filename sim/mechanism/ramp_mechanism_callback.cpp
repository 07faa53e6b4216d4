// The ramp description's parameter callback: the shared conversion of the
// linkage parameters, over the ramp's own tables.
#include "sim/mechanism/linkage_parameters.h"
#include "sim/mechanism/ramp_mechanism.h"
#include "sim/mechanism/ramp_mechanism_tables.h"

namespace sim {

namespace {

struct RampLinkage {
  using Body = RampBody;
  using Frame = RampFrame;
  using Joint = RampJoint;
  using Layout = description_layout::Layout;
  static constexpr int kParameterCount = kMechanismParameterCount;
  static constexpr int kDescriptionCount = kMechanismDescriptionCount;
  static constexpr const char* kBlockPathPrefix = ramp_tables::kBlockPathPrefix;
  static constexpr const auto& kBodies = ramp_tables::kBodies;
  static constexpr const auto& kFrameSpecs = ramp_tables::kFrameSpecs;
  static constexpr const auto& kJointSpecs = ramp_tables::kJointSpecs;
  static constexpr Body kGround = RampBody::PermeatingBody;
  static EnginePrimitive* primitiveOf(Joint j) { return ramp_tables::primitiveOf(j); }
};

}  // namespace

bool mechanismCallback(EngineMechanism* mechanism, const double* parameters, char* errorText,
                       int errorTextSize) {
  return linkage::convertLinkageParameters<RampLinkage>(mechanism, parameters, errorText,
                                                        errorTextSize);
}

}  // namespace sim
