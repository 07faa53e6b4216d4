// The logger as the model drives it: started once, updated at every major
// step, stopped at the end of the run, when it writes the matrix file.
#pragma once

#include "sim/logging/log_records.h"

namespace sim {

// Writes every logged variable to `fileName` (a level-5 matrix file), frees
// everything and clears setup->state. A file that received no variable, or
// whose writing failed, is removed again; otherwise "** created ... **" is
// printed.
void stopDataLogging(const char* fileName, LoggingSetup* setup);

}  // namespace sim
