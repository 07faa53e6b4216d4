#include "sim/model/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr CommandOption kZorvathOptions[] = {
    {"-ManTime", "ManTime", 8, [](ModelParameters& p) { return p.manTime; }},
    {"-ManMass", "ManMass", 8, [](ModelParameters& p) { return p.manMass; }},
    {"-RampMass", "RampMass", 1, [](ModelParameters& p) { return &p.rampMass; }},
    {"-TimeMultiplier", "TimeMultiplier", 1,
     [](ModelParameters& p) { return &p.timeMultiplier[2]; }},
};

constexpr const char* kZorvathUsageLines[] = {
    "\nCommand line argument format examples: \n",
    "-ManTime 0 0 1 1 2 2 3 3\n",
    "-ManMass 90 100 100 90 110 110 100 90\n",
    "-RampMass 401\n",
};

const CommandOption* findOption(const CommandLine& commandLine, const char* word) {
  for (const CommandOption& option : commandLine.options)
    if (std::strcmp(option.name, word) == 0) return &option;
  return nullptr;
}

// "Label: v1 v2 ...\n" with the option's values.
void echoOption(const CommandOption& option, ModelParameters& p) {
  const double* values = option.target(p);
  std::printf("%s:", option.label);
  for (int k = 0; k < option.valueCount; ++k) std::printf(" %f", values[k]);
  std::printf("\n");
}

}  // namespace

const CommandLine kZorvathCommandLine = {kZorvathOptions, kZorvathUsageLines,
                                         EchoTiming::AfterParse};

const char* parseCommandLine(int argc, const char* const* argv, const CommandLine& commandLine,
                             ModelParameters& into) {
  int i = 1;
  while (i < argc) {
    const CommandOption* option = findOption(commandLine, argv[i]);
    // An option without all its values is not understood either: nothing is
    // read past the end of the argument list.
    if (option == nullptr || argc - i - 1 < option->valueCount) return argv[i];
    double* values = option->target(into);
    for (int k = 0; k < option->valueCount; ++k) values[k] = std::atof(argv[i + 1 + k]);
    if (commandLine.echo == EchoTiming::AsRead) echoOption(*option, into);
    i += 1 + option->valueCount;
  }
  return nullptr;
}

void printUsage(const CommandLine& commandLine, const char* word) {
  std::printf("Did not understand: %s\n", word);
  for (const char* line : commandLine.usageLines) std::fputs(line, stdout);
}

void echoParameters(const CommandLine& commandLine, const ModelParameters& p) {
  ModelParameters copy = p;
  for (const CommandOption& option : commandLine.options) echoOption(option, copy);
}

void printMetrics(const ModelMetrics& m) {
  const struct {
    const char* label;
    double value;
  } lines[] = {
      {"TimeAtMaxTorque", m.timeAtMaxTorque},
      {"MaxTimeHoldingPeakTorque", m.maxTimeHoldingPeakTorque},
      {"TimeToOpen", m.timeToOpen},
      {"TimeToClose", m.timeToClose},
      {"AverageTorque", m.averageTorque},
      {"TimeAboveContinuous", m.timeAboveContinuous},
      {"PosErrorMax", m.posErrorMax},
  };
  for (const auto& line : lines) std::printf("%s %f\n", line.label, line.value);
}

}  // namespace sim
