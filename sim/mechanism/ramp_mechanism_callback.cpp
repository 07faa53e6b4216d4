// The ramp description's parameter callback: the shared conversion of the
// linkage parameters, over the ramp's own tables.
#include "sim/mechanism/linkage_parameters.h"
#include "sim/mechanism/ramp_mechanism.h"
#include "sim/mechanism/ramp_mechanism_tables.h"

namespace sim {

bool mechanismCallback(EngineMechanism* mechanism, const double* parameters, char* errorText,
                       int errorTextSize) {
  return linkage::convertLinkageParameters<ramp_tables::RampLinkage>(mechanism, parameters,
                                                                     errorText, errorTextSize);
}

}  // namespace sim
