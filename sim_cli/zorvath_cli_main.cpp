// zorvath_cli: the command-line build of the ramp test simulation.
#include "platform/program_output.h"
#include "sim_cli/model/cli_model.h"

int main(int argc, char** argv) {
  platform::reserveStandardDescriptors();
  return sim_cli::runZorvathCli(argc, argv);
}
