#include "sim/model/zorvath_program.h"

#include <cstdio>
#include <cstring>

#include "sim/model/sim_model.h"

namespace sim {

int runModelProgram(int argc, const char* const* argv, const CommandLine& commandLine) {
  modelInitialize();
  if (const char* word = parseCommandLine(argc, argv, commandLine, parameters)) {
    printUsage(commandLine, word);
    return -1;
  }
  if (commandLine.echo == EchoTiming::AfterParse) echoParameters(commandLine, parameters);
  while (model->errorStatus == nullptr && model->stopRequested == 0) oneStep();
  printMetrics(metrics);
  std::fflush(stdout);
  const char* status = model->errorStatus;
  modelTerminate();
  if (status != nullptr && std::strcmp(status, kSimulationFinished) != 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", status);
    return 1;
  }
  return 0;
}

int runZorvath(int argc, const char* const* argv) {
  return runModelProgram(argc, argv, kZorvathCommandLine);
}

}  // namespace sim
