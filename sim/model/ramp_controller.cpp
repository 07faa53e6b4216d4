// Placeholder: the controller computes nothing yet, so the actuator force,
// the foot forces and the metrics stay 0.
#include "sim/model/ramp_controller.h"

namespace sim {

void resetControllerStates() {}
void resetMetricCharts() {}
void controllerOutputs() {}
void controllerAfterEngine() {}
void storePreviousValues() {}

}  // namespace sim
