// The whole zorvath program behind its main: initialise, read the command
// line, run to the stop time, report and terminate.
#pragma once

namespace sim {

// 0 after a run that reached its stop time; 1 (the status text on standard
// error) after a run that ended on any other status; -1 after a word of the
// command line that was not understood (no step run).
int runZorvath(int argc, const char* const* argv);

}  // namespace sim
