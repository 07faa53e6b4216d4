// The command-line build's parameter callback: the shared conversion of the
// linkage parameters, over this build's tables.
#include "sim/mechanism/linkage_parameters.h"
#include "sim_cli/mechanism/cli_mechanism.h"
#include "sim_cli/mechanism/cli_mechanism_tables.h"

namespace sim_cli {

namespace {

struct CliLinkage {
  using Body = CliBody;
  using Frame = CliFrame;
  using Joint = CliJoint;
  using Layout = DescriptionLayout;
  static constexpr int kParameterCount = kMechanismParameterCount;
  static constexpr int kDescriptionCount = kMechanismDescriptionCount;
  static constexpr const char* kBlockPathPrefix = cli_tables::kBlockPathPrefix;
  static constexpr const auto& kBodies = cli_tables::kBodies;
  static constexpr const auto& kFrameSpecs = cli_tables::kFrameSpecs;
  static constexpr const auto& kJointSpecs = cli_tables::kJointSpecs;
  static constexpr Body kGround = CliBody::PermeatingBody;
  static EnginePrimitive* primitiveOf(Joint j) { return cli_tables::primitiveOf(j); }
};

}  // namespace

bool mechanismCallback(EngineMechanism* mechanism, const double* parameters, char* errorText,
                       int errorTextSize) {
  return sim::linkage::convertLinkageParameters<CliLinkage>(mechanism, parameters, errorText,
                                                            errorTextSize);
}

}  // namespace sim_cli
