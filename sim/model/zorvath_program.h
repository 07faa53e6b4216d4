// The whole program behind a ramp model's main: initialise, read the command
// line, run to the stop time, report and terminate.
#pragma once

#include "sim/model/command_line.h"

namespace sim {

// Runs the selected build (model_variant.h) with the given command line.
// 0 after a run that reached its stop time; 1 (the status text on standard
// error) after a run that ended on any other status, or whose output could
// not be written (the reason on standard error); -1 after a word of the
// command line that was not understood (no step run).
int runModelProgram(int argc, const char* const* argv, const CommandLine& commandLine);

// zorvath: the ramp build with its four options.
int runZorvath(int argc, const char* const* argv);

}  // namespace sim
