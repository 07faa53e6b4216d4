// The logger as the model drives it: started once, updated at every major
// step, stopped at the end of the run, when it writes the matrix file.
#pragma once

#include "sim/logging/log_records.h"

namespace sim {

// Creates the logging state and every variable the setup names: time, states
// and final states, logged signals, outputs. On failure it reports
// "*** Errors occurred when starting data logging.", frees everything it
// made, leaves setup->state null and *errorStatus set.
void startDataLogging(LoggingSetup* setup, double startTime, double finalTime, double stepSize,
                      const char** errorStatus);

// Appends the current sample of every variable; `time` points to the current
// model time. Returns 0.
int updateDataLogging(LoggingSetup* setup, const double* time);

// Writes every logged variable to `fileName` (a level-5 matrix file), frees
// everything and clears setup->state. A file that received no variable, or
// whose writing failed, is removed again; otherwise "** created ... **" is
// printed.
void stopDataLogging(const char* fileName, LoggingSetup* setup);

}  // namespace sim
