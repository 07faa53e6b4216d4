// The ramp's signal computations inside the major step: person load, ramp mass
// terms, motor controller and the performance metrics.
#pragma once

namespace sim {

// Zeroes the controller's states (demand, filters, charts); model start.
void resetControllerStates();
// Zeroes the metric charts' states and counters; model start.
void resetMetricCharts();
// Person load, mass terms, rate transition, mode logic and controller output;
// runs after the ramp-position sender, before the engine's dynamics.
void controllerOutputs();
// Quantisation of the motor position and the metric charts; runs after the
// engine's dynamics and events.
void controllerAfterEngine();
// This step's values become the previous ones.
void storePreviousValues();

}  // namespace sim
