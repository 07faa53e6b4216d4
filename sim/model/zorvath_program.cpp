#include "sim/model/zorvath_program.h"

#include <cstdio>
#include <cstring>

#include "sim/model/command_line.h"
#include "sim/model/sim_model.h"

namespace sim {

int runZorvath(int argc, const char* const* argv) {
  modelInitialize();
  if (const char* word = parseCommandLine(argc, argv, parameters)) {
    printUsage(word);
    return -1;
  }
  echoParameters(parameters);
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

}  // namespace sim
