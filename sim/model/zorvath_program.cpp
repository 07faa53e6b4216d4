#include "sim/model/zorvath_program.h"

#include <cstdio>
#include <cstring>

#include "platform/program_output.h"
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
  platform::flushStandardOutput();
  const char* status = model->errorStatus;
  modelTerminate();
  const bool failed = status != nullptr && std::strcmp(status, kSimulationFinished) != 0;
  if (failed) {
    platform::flushStandardOutput();
    std::fprintf(stderr, "%s\n", status);
  }
  // Metrics that could not be written are a failure of the run as well.
  const bool written = platform::finishStandardOutput(argc > 0 ? argv[0] : nullptr);
  return failed || !written ? 1 : 0;
}

int runZorvath(int argc, const char* const* argv) {
  return runModelProgram(argc, argv, kZorvathCommandLine);
}

}  // namespace sim
