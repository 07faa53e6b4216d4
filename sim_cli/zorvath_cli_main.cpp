// zorvath_cli: the command-line build of the ramp test simulation.
#include "sim_cli/model/cli_model.h"

int main(int argc, char** argv) {
  return sim_cli::runZorvathCli(argc, argv);
}
