#include "sim/model/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

struct CommandOption {
  const char* name;
  int valueCount;
  double* (*target)(ModelParameters& p);
};

constexpr CommandOption kOptions[] = {
    {"-ManTime", 8, [](ModelParameters& p) { return p.manTime; }},
    {"-ManMass", 8, [](ModelParameters& p) { return p.manMass; }},
    {"-RampMass", 1, [](ModelParameters& p) { return &p.rampMass; }},
    {"-TimeMultiplier", 1, [](ModelParameters& p) { return &p.timeMultiplier[2]; }},
};

constexpr const char* kUsageLines[] = {
    "\nCommand line argument format examples: \n",
    "-ManTime 0 0 1 1 2 2 3 3\n",
    "-ManMass 90 100 100 90 110 110 100 90\n",
    "-RampMass 401\n",
};

const CommandOption* findOption(const char* word) {
  for (const CommandOption& option : kOptions)
    if (std::strcmp(option.name, word) == 0) return &option;
  return nullptr;
}

}  // namespace

const char* parseCommandLine(int argc, const char* const* argv, ModelParameters& into) {
  int i = 1;
  while (i < argc) {
    const CommandOption* option = findOption(argv[i]);
    // An option without all its values is not understood either: nothing is
    // read past the end of the argument list.
    if (option == nullptr || argc - i - 1 < option->valueCount) return argv[i];
    double* values = option->target(into);
    for (int k = 0; k < option->valueCount; ++k) values[k] = std::atof(argv[i + 1 + k]);
    i += 1 + option->valueCount;
  }
  return nullptr;
}

void printUsage(const char* word) {
  std::printf("Did not understand: %s\n", word);
  for (const char* line : kUsageLines) std::fputs(line, stdout);
}

void echoParameters(const ModelParameters& p) {
  auto eight = [](const char* label, const double* v) {
    std::printf("%s: %f %f %f %f %f %f %f %f\n", label, v[0], v[1], v[2], v[3], v[4], v[5], v[6],
                v[7]);
  };
  eight("ManTime", p.manTime);
  eight("ManMass", p.manMass);
  std::printf("RampMass: %f\n", p.rampMass);
  std::printf("TimeMultiplier: %f\n", p.timeMultiplier[2]);
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
