// The command lines of the ramp models: an option table that reads values
// into the model parameters, the usage text, the echo of the values, and the
// metric lines printed after a run.
#pragma once

#include <span>

#include "sim/model/sim_model.h"

namespace sim {

struct CommandOption {
  const char* name;   // the word, matched exactly
  const char* label;  // of its echo line
  int valueCount;     // words read after it, each through atof
  double* (*target)(ModelParameters& p);
};

// zorvath echoes every parameter after the whole parse; zorvath_cli echoes
// each option right after reading it.
enum class EchoTiming { AfterParse, AsRead };

struct CommandLine {
  std::span<const CommandOption> options;
  std::span<const char* const> usageLines;  // printed after "Did not understand"
  EchoTiming echo;
};

extern const CommandLine kZorvathCommandLine;

// Reads the options left to right into `into`; a repeated option overwrites
// the earlier one. Returns null when every word was understood, else the
// first word that was not (an unknown word, or an option without all its
// values). With EchoTiming::AsRead each option is echoed once read.
const char* parseCommandLine(int argc, const char* const* argv, const CommandLine& commandLine,
                             ModelParameters& into);

void printUsage(const CommandLine& commandLine, const char* word);
// The echo line of every option, in table order.
void echoParameters(const CommandLine& commandLine, const ModelParameters& p);
void printMetrics(const ModelMetrics& m);

}  // namespace sim
