// The command line of zorvath: the person loads, the ramp mass and the
// pacer's time multiplier, and the texts the program prints around a run.
#pragma once

#include "sim/model/sim_model.h"

namespace sim {

// Reads the options left to right into `into`; a repeated option overwrites
// the earlier one. Returns null when every word was understood, else the
// first word that was not (an unknown word, or an option without all its
// values).
const char* parseCommandLine(int argc, const char* const* argv, ModelParameters& into);

void printUsage(const char* word);
void echoParameters(const ModelParameters& p);
void printMetrics(const ModelMetrics& m);

}  // namespace sim
