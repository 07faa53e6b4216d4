// zorvath_cli's build of the ramp model: its data for the shared model code
// and its two-option command line.
#pragma once

#include "sim/model/command_line.h"
#include "sim/model/model_variant.h"

namespace sim_cli {

extern const sim::ModelVariant kCliModel;
extern const sim::CommandLine kCliCommandLine;

// Selects this build and runs it: 0 after a run to its stop time, 1 after a
// run that ended on another status, -1 after a word not understood.
int runZorvathCli(int argc, const char* const* argv);

}  // namespace sim_cli
