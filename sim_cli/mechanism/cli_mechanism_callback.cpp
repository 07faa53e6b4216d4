// The command-line build's parameter callback: the shared conversion of the
// linkage parameters, over this build's tables.
#include "sim/mechanism/linkage_parameters.h"
#include "sim_cli/mechanism/cli_mechanism.h"
#include "sim_cli/mechanism/cli_mechanism_tables.h"

namespace sim_cli {

bool mechanismCallback(EngineMechanism* mechanism, const double* parameters, char* errorText,
                       int errorTextSize) {
  return sim::linkage::convertLinkageParameters<cli_tables::CliLinkage>(mechanism, parameters,
                                                                        errorText, errorTextSize);
}

}  // namespace sim_cli
